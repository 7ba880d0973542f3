#include "account/UserAccountPage.h"

#include "NimoBuildConfig.h"
#include "platform/LoginItemService.h"
#include "service/NetWorkTool.h"
#include "service/ServiceDates.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "widgets/Buttons.h"
#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/KeyboardFocus.h"
#include "widgets/PageHost.h"
#include "widgets/SmallWidgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QLineEdit>
#include <QUrl>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;
using nlohmann::json;

namespace {

// Signed-out texts, also the fields' first content.
const QString kNoAccount = QStringLiteral("ID：----");
const QString kNoUser = QStringLiteral("---@---");
const QString kNoDays = QStringLiteral("SVIP：----天");
const QString kNoEndDate = QStringLiteral("到期时间：xxxx-xx-xx");
const QString kNoTraffic = QStringLiteral("剩余流量：---.-- GB");

const QString kBadgeSignedOut = QStringLiteral("page_4_v_free_over@2x.png");
const QString kBadgeFree = QStringLiteral("page_4_v_free@2x.png");
const QString kBadgeVip = QStringLiteral("page_4_v_vip@2x.png");
const QString kBadgeSvip = QStringLiteral("page_4_v_svip@2x.png");
const QString kBadgeFreeOver = QStringLiteral("page_4_v_free_over@2x.png");
const QString kBadgeVipOver = QStringLiteral("page_4_v_vip_over@2x.png");

const char* const kGrey = "#666666";
const char* const kDark = "#303030";

QLabel* makeLabel(const QString& text, Qt::Alignment alignment, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(systemFont(12));
    label->setAlignment(alignment | Qt::AlignVCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colorFromHex(kGrey));
    label->setPalette(palette);
    return label;
}

QCheckBox* makeCheckBox(const QString& title, QWidget* parent) {
    auto* box = new QCheckBox(title, parent);
    box->setFont(systemFont(12));
    makeKeyboardControl(box);
    QPalette palette = box->palette();
    palette.setColor(QPalette::WindowText, colorFromHex(kGrey));
    box->setPalette(palette);
    return box;
}

ColorView* makeCard(QWidget* parent, const QRectF& frame) {
    auto* card = new ColorView(Qt::white, parent);
    card->setCornerRadius(3);
    setFrame(card, frame);
    return card;
}

// The integer of a field, when it is one.
std::optional<std::int64_t> integerField(const json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || !it->is_number_integer())
        return std::nullopt;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > std::uint64_t(INT64_MAX))
        return std::nullopt;
    return it->get<std::int64_t>();
}

std::optional<std::string> stringField(const json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

} // namespace

UserAccountPage::UserAccountPage(const AppContext& context, QWidget* parent)
    : UxPageView(parent), context_(context) {
    setObjectName(QStringLiteral("UserAccountPage"));
}

CanTapImageView* UserAccountPage::superUserHeader() {
    if (!superUserHeader_) {
        superUserHeader_ = new CanTapImageView(kBadgeSignedOut, this);
        superUserHeader_->setObjectName(QStringLiteral("superUserHeader"));
    }
    return superUserHeader_;
}

QLabel* UserAccountPage::accountLabel() {
    if (!accountLabel_) {
        accountLabel_ = makeLabel(kNoAccount, Qt::AlignHCenter, this);
        accountLabel_->setObjectName(QStringLiteral("accountLabel"));
    }
    return accountLabel_;
}

QLabel* UserAccountPage::userLabel() {
    if (!userLabel_) {
        userLabel_ = makeLabel(kNoUser, Qt::AlignLeft, this);
        userLabel_->setObjectName(QStringLiteral("userLabel"));
    }
    return userLabel_;
}

TitleButton* UserAccountPage::exprietimeBtn() {
    if (!exprietimeBtn_) {
        exprietimeBtn_ =
            new TitleButton(TitleButton::ImagePosition::Left, QStringLiteral("page_4_expiretime@2x.png"),
                            kNoDays, systemFont(15), colorFromHex(kDark), this);
        exprietimeBtn_->setObjectName(QStringLiteral("exprietimeBtn"));
    }
    return exprietimeBtn_;
}

QLabel* UserAccountPage::expiretimeLabel() {
    if (!expiretimeLabel_) {
        expiretimeLabel_ = makeLabel(kNoEndDate, Qt::AlignHCenter, this);
        expiretimeLabel_->setObjectName(QStringLiteral("expiretimeLabel"));
    }
    return expiretimeLabel_;
}

TitleButton* UserAccountPage::mergeBtn() {
    if (!mergeBtn_) {
        mergeBtn_ = new TitleButton(TitleButton::ImagePosition::Left, QStringLiteral("page_4_merge@2x.png"),
                                    kNoTraffic, systemFont(15), colorFromHex(kDark), this);
        mergeBtn_->setObjectName(QStringLiteral("mergeBtn"));
    }
    return mergeBtn_;
}

QCheckBox* UserAccountPage::autolaunchButton() {
    if (!autolaunchButton_) {
        autolaunchButton_ = makeCheckBox(QStringLiteral("开机启动"), this);
        autolaunchButton_->setObjectName(QStringLiteral("autolaunchButton"));
        autolaunchButton_->setChecked(true);
    }
    return autolaunchButton_;
}

QCheckBox* UserAccountPage::autologinButton() {
    if (!autologinButton_) {
        autologinButton_ = makeCheckBox(QStringLiteral("自动登录"), this);
        autologinButton_->setObjectName(QStringLiteral("autologinButton"));
        addTagged(autologinButton_, kAutoLoginTag);
    }
    return autologinButton_;
}

QCheckBox* UserAccountPage::killSwitchButton() {
    if (!killSwitchButton_) {
        killSwitchButton_ = makeCheckBox(QStringLiteral("断网保护"), this);
        killSwitchButton_->setObjectName(QStringLiteral("killSwitchButton"));
        killSwitchButton_->setToolTip(QStringLiteral("全局模式下隧道意外断开时，阻止所有程序直接联网"));
        addTagged(killSwitchButton_, kKillSwitchTag);
    }
    return killSwitchButton_;
}

QAbstractButton* UserAccountPage::addTagged(QAbstractButton* button, int tag) {
    button->setProperty("tag", tag);
    connect(button, &QAbstractButton::clicked, this, [this, button] { onTapButton(button); });
    return button;
}

QAbstractButton* UserAccountPage::buttonWithTag(int tag) const {
    const auto buttons = findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons)
        if (button->property("tag") == tag)
            return button;
    return nullptr;
}

void UserAccountPage::buildPage() {
    UxPageView::buildPage();
    toolbarTitleLabel()->setText(QStringLiteral("基本信息"));

    ColorView* profile = makeCard(this, {11, 247, 375, 157});
    auto* avatar = new ImageView(QStringLiteral("page_4_header@2x.png"), profile);
    setFrame(avatar, 67, 59, 75, 74);
    superUserHeader()->setParent(profile);
    setFrame(superUserHeader(), 69, 56, 71, 21);
    accountLabel()->setParent(profile);
    setFrame(accountLabel(), 59, 29, 91, 20);
    userLabel()->setParent(profile);
    setFrame(userLabel(), 173, 96, 200, 20);
    auto* renew = addTagged(new TitleButton(TitleButton::ImagePosition::Behind,
                                            QStringLiteral("page_1_start_btn@2x.png"),
                                            QStringLiteral("续  费"), systemFont(16), Qt::white, profile),
                            kRenewTag);
    setFrame(renew, 173, 48, 138, 39);

    ColorView* membership = makeCard(this, {389, 247, 259, 157});
    exprietimeBtn()->setParent(membership);
    setFrame(exprietimeBtn(), 66, 81, 135, 18);
    expiretimeLabel()->setParent(membership);
    setFrame(expiretimeLabel(), 16, 56, 227, 15);

    ColorView* traffic = makeCard(this, {651, 247, 259, 157});
    mergeBtn()->setParent(traffic);
    setFrame(mergeBtn(), 42, 81, 188, 20);

    auto* mark = new ColorView(colorFromHex("#558EE8"), this);
    setFrame(mark, 21, 194, 2, 15);
    auto* section = new QLabel(QStringLiteral("系统设置"), this);
    section->setFont(systemFont(14));
    QPalette sectionPalette = section->palette();
    sectionPalette.setColor(QPalette::WindowText, colorFromHex("#3F3934"));
    section->setPalette(sectionPalette);
    // Level with its mark, as the toolbar title is with its accent.
    setFrame(section, 34, 194, 200, 16);

    ColorView* settingsCard = makeCard(this, {11, 67, 899, 125});
    autolaunchButton()->setParent(settingsCard);
    setFrame(autolaunchButton(), 64, 80, 80, 15);
    autologinButton()->setParent(settingsCard);
    setFrame(autologinButton(), 64, 32, 80, 15);
    killSwitchButton()->setParent(settingsCard);
    setFrame(killSwitchButton(), 184, 80, 90, 15);
    auto* save = addTagged(
        new TitleButton(TitleButton::ImagePosition::Behind, QStringLiteral("page_4_btn_border@2x.png"),
                        QStringLiteral("保存设置"), systemFont(12), colorFromHex(kGrey), settingsCard),
        kSaveSettingsTag);
    setFrame(save, 759, 67, 133, 44);
    auto* signOutButton = addTagged(
        new TitleButton(TitleButton::ImagePosition::Behind, QStringLiteral("page_4_btn_border@2x.png"),
                        QStringLiteral("退出登录"), systemFont(12), colorFromHex(kGrey), settingsCard),
        kSignOutTag);
    setFrame(signOutButton, 759, 19, 133, 44);

    const QColor linkColor = colorFromHex("#3B79E0");
    auto* questions = addTagged(
        TitleButton::link(QStringLiteral("常见问题"), systemFont(12), linkColor, this), kQuestionsLinkTag);
    setFrame(questions, 35, 6, 55, 15);
    auto* about = addTagged(TitleButton::link(QStringLiteral("关于我们"), systemFont(12), linkColor, this),
                            kAboutLinkTag);
    setFrame(about, 155, 6, 55, 15);
    auto* website =
        addTagged(TitleButton::link(QStringLiteral("官方网站：") + QString::fromUtf8(build::kWebsiteDomain),
                                    systemFont(12), linkColor, this),
                  kWebsiteLinkTag);
    // An operator's longer domain name widens the link rather than being cut off.
    setFrame(website, 274, 6, std::max(180, website->sizeHint().width()), 15);

    for (QWidget* child : findChildren<QWidget*>())
        child->show();

    autolaunchButton()->setChecked(platform::LoginItemService::isLoginItem(platform::applicationPath()));
    autologinButton()->setChecked(context_.settings.contains(keys::lastAutoLogin));
    const auto killSwitch = context_.shared.get(kSharedKillSwitch);
    killSwitchButton()->setChecked(!killSwitch || !killSwitch->is_boolean() || killSwitch->get<bool>());
    refresh();
}

void UserAccountPage::showSignedOutTexts() {
    accountLabel()->setText(kNoAccount);
    userLabel()->setText(kNoUser);
    superUserHeader()->setImageName(kBadgeSignedOut);
    exprietimeBtn()->setText(kNoDays);
    expiretimeLabel()->setText(kNoEndDate);
    mergeBtn()->setText(kNoTraffic);
}

void UserAccountPage::refresh() {
    SettingsStore& settings = context_.settings;
    const std::optional<json> info = settings.object(keys::userInfo);
    if (!info) {
        showSignedOutTexts();
    } else {
        if (const auto id = integerField(*info, "id"))
            accountLabel()->setText(QStringLiteral("ID：%1").arg(*id));
        if (const auto name = stringField(*info, "user_name"))
            userLabel()->setText(QString::fromStdString(*name));
        const std::int64_t level = integerField(*info, "member_level").value_or(0);
        if (const auto expiry = stringField(*info, "member_expiry_at")) {
            const std::string end = displayDate(*expiry, "yyyy-MM-dd HH:mm:ss");
            if (end.empty()) {
                // A date the page cannot read: no day count and no date rather than a made-up one.
                exprietimeBtn()->setText(kNoDays);
                expiretimeLabel()->setText(kNoEndDate);
            } else {
                const int days = daysFromToday(end.substr(0, 10));
                exprietimeBtn()->setText(QStringLiteral("SVIP：%1天").arg(days));
                expiretimeLabel()->setText(QStringLiteral("到期时间：") + QString::fromStdString(end));
                if (days < 0)
                    superUserHeader()->setImageName(level >= 1 ? kBadgeVipOver : kBadgeFreeOver);
                else if (level == 2)
                    superUserHeader()->setImageName(kBadgeSvip);
                else if (level == 1)
                    superUserHeader()->setImageName(kBadgeVip);
                else if (level == 0)
                    superUserHeader()->setImageName(kBadgeFree);
            }
        }
        if (const auto amount = settings.string(keys::lastAmount))
            mergeBtn()->setText(QStringLiteral("剩余流量：") + QString::fromStdString(*amount));
    }
    autologinButton()->setChecked(settings.contains(keys::lastAutoLogin));
    // What is saved, not a tick nobody saved.
    autolaunchButton()->setChecked(platform::LoginItemService::isLoginItem(platform::applicationPath()));
}

std::string UserAccountPage::renewURL(const std::string& paymentBase, const std::optional<std::string>& token,
                                      std::int64_t nowMs) {
    if (!token)
        return paymentBase + "/webpay/#/";
    const QByteArray encoded = QUrl::toPercentEncoding(QString::fromStdString(*token));
    return paymentBase + "/webpay/#/?token=" + encoded.toStdString() + "&time=" + std::to_string(nowMs);
}

void UserAccountPage::signOut() {
    if (!context_.settings.hasUserInfo()) {
        const QString text = QStringLiteral("您尚未登录!");
        if (superVC())
            superVC()->showToast(text);
        else
            context_.toasts.showToast(this, text);
    }
    context_.settings.clearSession();
    refresh();
    if (superVC())
        superVC()->refreshTitleStrip(true);
}

void UserAccountPage::onTapButton(QObject* sender) {
    // A field being edited elsewhere in the window keeps what was typed.
    if (auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget()))
        editor->clearFocus();
    switch (sender->property("tag").toInt()) {
    case kAutoLoginTag:
        if (autologinButton()->isChecked())
            (void)context_.settings.set(keys::lastAutoLogin, "true");
        else
            (void)context_.settings.remove(keys::lastAutoLogin);
        break;
    case kKillSwitchTag:
        (void)context_.shared.set(killSwitchButton()->isChecked(), kSharedKillSwitch);
        break;
    case kRenewTag:
        (void)openInBrowser(renewURL(build::kPaymentUrl, context_.settings.string(keys::apiToken),
                                     QDateTime::currentMSecsSinceEpoch()),
                            context_.opener);
        break;
    case kSaveSettingsTag: {
        const bool saved = platform::setLaunchAtLogin(autolaunchButton()->isChecked());
        autolaunchButton()->setChecked(platform::LoginItemService::isLoginItem(platform::applicationPath()));
        const QString text = saved ? QStringLiteral("设置已保存")
                                   : QStringLiteral("保存失败：无法写入开机启动项（~/.config/autostart）");
        if (superVC())
            superVC()->showToast(text);
        else
            context_.toasts.showToast(this, text);
        break;
    }
    case kSignOutTag:
        signOut();
        break;
    default:
        (void)openInBrowser(build::kWebsiteUrl, context_.opener);
        break;
    }
}

} // namespace nimo
