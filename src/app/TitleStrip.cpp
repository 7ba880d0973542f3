#include "app/TitleStrip.h"

#include "app/MainScreenTags.h"
#include "service/AccountSession.h"
#include "service/ServiceDates.h"
#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/ImageButton.h"
#include "widgets/SmallWidgets.h"

#include <numbers>

namespace nimo {

using Position = ImageButton::ImagePosition;

namespace {
constexpr const char* kNoTraffic = "---.--";
constexpr const char* kNoDays = "---天";
constexpr const char* kNoAccount = "---@---.com";

ImageButton* figureButton(const char* image, const char* objectName, const char* title, QWidget* parent) {
    auto* button = new ImageButton(QString::fromLatin1(image), Position::ImageLeft, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setText(QString::fromUtf8(title));
    button->setFont(systemFont(11));
    button->setTitleColor(colorFromHex("#A3B2BA"));
    button->setImageSize(QSize(14, 14));
    button->setCursor(Qt::ArrowCursor);
    // A figure, not a control: Tab passes it by.
    button->setFocusPolicy(Qt::NoFocus);
    button->hide();
    return button;
}
} // namespace

TitleStrip::TitleStrip(QWidget* root, const AccountSession& account, TapHandler tap)
    : QObject(root), root_(root), account_(account), tap_(std::move(tap)) {}

ImageButton* TitleStrip::titleButton(const char* image, const char* objectName, const char* name, int tag) {
    auto* button = new ImageButton(QString::fromLatin1(image), Position::ImageOnly, root_);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAccessibleName(QString::fromUtf8(name));
    button->setTag(tag);
    tap_(button);
    return button;
}

void TitleStrip::build(int width, int height) {
    const int top = height;
    auto* logo = new ImageView(QStringLiteral("titlebar_logo"), root_);
    setFrame(logo, 20, top - 18 - 16, 138, 18);

    setFrame(titleButton("titlebar_close", "titlebarClose", "关闭", tagValue(MainScreenTag::Close)),
             width - 13 - 18, top - 13 - 18, 13, 13);
    setFrame(titleButton("titlebar_min", "titlebarMin", "最小化", tagValue(MainScreenTag::Minimize)),
             width - 13 - 18 - 30, top - 13 - 18, 13, 13);
    setFrame(
        titleButton("titlebar_visitor", "titlebarVisitor", "在线客服", tagValue(MainScreenTag::CustomerChat)),
        width - 13 - 18 - 30 - 40, top - 20 - 14, 20, 20);

    // Right to left: account badge, traffic, days left; the sign-in button and its hint where the
    // badge goes when signed out.
    const double badgeX = width - 13 - 18 - 30 - 40 - 16 - 146;
    setFrame(ttbarAccoutback(), badgeX, top - 26 - 11, 146, 26);
    setFrame(ttbarAccoutButton(), 10, 0, 130, 26);
    setFrame(ttbarMergeButton(), badgeX - 12 - 84, top - 16 - 16, 84, 16);
    setFrame(ttbarExpireButton(), badgeX - 12 - 84 - 8 - 60, top - 16 - 16, 60, 16);
    const double loginX = width - 13 - 18 - 30 - 40 - 16 - 58;
    setFrame(ttbarLoginButton(), loginX, top - 24 - 12, 58, 24);
    // The hint turns about its right end by 5 degrees each way; the insets keep it inside.
    constexpr int kSwing = 12;
    setFrame(ttbarTips(), loginX - 4 - 119 - kSwing, top - 41 - 4 - kSwing, 119 + 2 * kSwing,
             41 + 2 * kSwing);
    ttbarTips()->setDrawingInsets(QMargins(kSwing, kSwing, kSwing, kSwing));
}

void TitleStrip::refresh() {
    const std::optional<nlohmann::json> info = account_.userInfo();
    const bool signedIn = info.has_value();
    // Every figure comes from the account shown now: a signed-out strip, or another account's,
    // never keeps the previous one's.
    QString name = QString::fromLatin1(kNoAccount);
    QString days = QString::fromUtf8(kNoDays);
    if (signedIn) {
        if (auto it = info->find("user_name"); it != info->end() && it->is_string())
            name = QString::fromStdString(it->get<std::string>());
        if (auto expiry = info->find("member_expiry_at"); expiry != info->end() && expiry->is_string()) {
            const std::string date =
                displayDate(expiry->get<std::string>(), "yyyy-MM-dd HH:mm:ss").substr(0, 10);
            days = QString::number(daysFromToday(date)) + QStringLiteral("天");
        }
        ttbarTips()->removeAllAnimations();
        ttbarTips()->setRotation(0);
        ttbarTips()->hide();
    } else {
        ttbarTips()->show();
        ttbarTips()->addAnimation(QString::fromLatin1(kTipsAnimationKey),
                                  {-std::numbers::pi / 36, std::numbers::pi / 36, 0.75, true});
    }
    ttbarAccoutButton()->setText(name);
    ttbarExpireButton()->setText(days);
    const auto traffic = account_.trafficText();
    ttbarMergeButton()->setText(traffic ? QString::fromStdString(*traffic) : QString::fromLatin1(kNoTraffic));
    ttbarAccoutback()->setVisible(signedIn);
    ttbarMergeButton()->setVisible(signedIn);
    ttbarExpireButton()->setVisible(signedIn);
    ttbarLoginButton()->setVisible(!signedIn);
}

ImageView* TitleStrip::ttbarAccoutback() {
    if (!ttbarAccoutback_) {
        ttbarAccoutback_ = new ImageView(QStringLiteral("titlebar_userback"), root_);
        ttbarAccoutback_->setObjectName(QStringLiteral("ttbarAccoutback"));
        ttbarAccoutback_->hide();
    }
    return ttbarAccoutback_;
}

ImageButton* TitleStrip::ttbarAccoutButton() {
    if (!ttbarAccoutButton_) {
        ttbarAccoutButton_ =
            new ImageButton(QStringLiteral("titlebar_user"), Position::ImageLeft, ttbarAccoutback());
        ttbarAccoutButton_->setObjectName(QStringLiteral("ttbarAccoutButton"));
        ttbarAccoutButton_->setText(QString::fromLatin1(kNoAccount));
        ttbarAccoutButton_->setFont(systemFont(11));
        ttbarAccoutButton_->setTitleColor(QColor(202, 206, 209));
        ttbarAccoutButton_->setImageSize(QSize(14, 14));
        ttbarAccoutButton_->setTag(tagValue(MainScreenTag::Account));
        tap_(ttbarAccoutButton_);
    }
    return ttbarAccoutButton_;
}

ImageButton* TitleStrip::ttbarMergeButton() {
    if (!ttbarMergeButton_)
        ttbarMergeButton_ = figureButton("titlebar_merge", "ttbarMergeButton", kNoTraffic, root_);
    return ttbarMergeButton_;
}

ImageButton* TitleStrip::ttbarExpireButton() {
    if (!ttbarExpireButton_)
        ttbarExpireButton_ = figureButton("titlebar_expiretime", "ttbarExpireButton", kNoDays, root_);
    return ttbarExpireButton_;
}

ImageButton* TitleStrip::ttbarLoginButton() {
    if (!ttbarLoginButton_) {
        ttbarLoginButton_ = new ImageButton(QString(), Position::TitleOnly, root_);
        ttbarLoginButton_->setObjectName(QStringLiteral("ttbarLoginButton"));
        ttbarLoginButton_->setImagePosition(Position::ImageBehind);
        ttbarLoginButton_->setText(QStringLiteral("登录"));
        ttbarLoginButton_->setFont(systemFont(14));
        ttbarLoginButton_->setTitleColor(Qt::white);
        ttbarLoginButton_->setBackgroundColor(colorFromHex("#78A9ED"));
        ttbarLoginButton_->setCornerRadius(5);
        ttbarLoginButton_->setTag(tagValue(MainScreenTag::Login));
        tap_(ttbarLoginButton_);
    }
    return ttbarLoginButton_;
}

ImageButton* TitleStrip::ttbarTips() {
    if (!ttbarTips_) {
        ttbarTips_ = new ImageButton(QStringLiteral("titlebar_login_tips"), Position::ImageBehind, root_);
        ttbarTips_->setObjectName(QStringLiteral("ttbarTips"));
        // Drawn by the toolkit over the bubble, left of its arrow.
        ttbarTips_->setText(QStringLiteral("登录后开始加速"));
        ttbarTips_->setFont(systemFont(12));
        ttbarTips_->setTitleColor(colorFromHex("#C27A0E"));
        ttbarTips_->setTitleInsets(QMargins(0, 0, 9, 0));
        ttbarTips_->setTag(tagValue(MainScreenTag::LoginTips));
        ttbarTips_->setAttribute(Qt::WA_TransparentForMouseEvents);
        ttbarTips_->setAnchorPoint(QPointF(1, 0.5));
    }
    return ttbarTips_;
}

} // namespace nimo
