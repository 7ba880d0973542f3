#include "app/NodesInfoVC.h"

#include "NimoBuildConfig.h"
#include "account/LoginAlertView.h"
#include "account/UserAccountPage.h"
#include "app/MainWindowController.h"
#include "app/ToastWindowController.h"
#include "nodes/NodePageView.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "service/NMApi.h"
#include "service/ServiceDates.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/ColorHex.h"
#include "widgets/ConnectButton.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/ImageButton.h"
#include "widgets/SmallWidgets.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>
#include <QWindow>
#include <numbers>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;
using Position = ImageButton::ImagePosition;

namespace {

constexpr const char* kAutoRouteTitle = "自动适配最佳线路";
constexpr const char* kAutoRouteName = "RiZezuva";
constexpr const char* kLoadFailed = "加载失败，请稍候重试";
const QColor kToolbarGrey(102, 102, 102); // (0.4, 0.4, 0.4)
constexpr int kSlots = 5;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QString nodeTitle(const std::optional<std::string>& name) {
    if (!name || name->empty() || *name == kAutoRouteName)
        return QString::fromUtf8(kAutoRouteTitle);
    return qs(*name);
}

std::optional<std::string> sharedText(const NimoShared& shared, const char* key) {
    auto value = shared.get(key);
    if (value && value->is_string())
        return value->get<std::string>();
    return std::nullopt;
}

// Subscription identifiers are secrets: the log shows only their first characters.
std::string masked(const std::string& secret) {
    return secret.size() <= 4 ? std::string("****") : secret.substr(0, 4) + "****";
}

QWidget* whiteView(QWidget* parent) {
    auto* view = new ColorView(Qt::white, parent);
    return view;
}

} // namespace

NodesInfoVC::NodesInfoVC(const AppContext& context, QWidget* parent) : QWidget(parent), context_(context) {
    setObjectName(QStringLiteral("NodesInfoVC"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    api_ = context_.makeApi(HostList::main, this);

    buildHomePage();
    buildOtherWorkView();
    buildTitleStrip();
    refreshTitleStrip(false);

    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, NOTIFY_UPDATE_RUNNING_MODE_MENU,
                       [this](const QVariant&) { onRunningModeChanged(); });
    center.addObserver(this, NOTIFY_VPNActivation_Failed,
                       [this](const QVariant& object) { onActivationFailed(object); });
    // Once per start, e.g. global mode without nimo-netd: programs ignoring the proxy go direct.
    connect(&context_.tunnel, &VPNTunnelManager::providerNotice, this, &NodesInfoVC::showToast);
}

NodesInfoVC::~NodesInfoVC() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void NodesInfoVC::connectTap(QAbstractButton* button) {
    connect(button, &QAbstractButton::clicked, this, [this, button] { onTapButton(button); });
}

// ---- views

void NodesInfoVC::buildHomePage() {
    QWidget* home = mainWorkView();
    setFrame(home, 0, 0, kWidth, kHeight);

    auto* back = new ImageView(QStringLiteral("mainwork_back@2x.png"), home);
    setFrame(back, kWidth - 379 - 30, 134, 379, 386);

    auto* tips = new ImageView(QStringLiteral("mainwork_tips@2x.png"), home);
    tips->setObjectName(QStringLiteral("mainworkTips"));
    setFrame(tips, 90, 390, 301, 62);
    auto* headline = new QLabel(QStringLiteral("一键连接，畅享全球网络"), tips);
    headline->setFont(boldSystemFont(22));
    headline->setStyleSheet(QStringLiteral("color: #303030;"));
    setFrame(headline, 0, 28, 301, 32);
    auto* tagline = new QLabel(QStringLiteral("安全、稳定、高速的加速服务"), tips);
    tagline->setFont(systemFont(13));
    tagline->setStyleSheet(QStringLiteral("color: #8C96A0;"));
    setFrame(tagline, 0, 10, 301, 20);

    setFrame(startProxyButton(), 90, 290, 202, 71);
    setFrame(connectButton(), 90, 282, 260, 88);
    connectButton()->setupViews();
    connectButton()->hide();

    setFrame(nodeRemarkLabel(), 96, 250, 250, 13);
    nodeRemarkLabel()->setText(nodeTitle(sharedText(context_.shared, kSharedNodeName)));

    const std::string mode = runningModeFrom(context_.shared.get(kSharedTunMode));
    const struct {
        const char* title;
        int tag;
        bool on;
        int x;
    } radios[] = {{"智能模式", 1002, mode == kTunModeRule, 96},
                  {"全局模式", 1003, mode == kTunModeGlobal, 196}};
    for (const auto& r : radios) {
        auto* radio = new QRadioButton(QString::fromUtf8(r.title), home);
        radio->setObjectName(QStringLiteral("modeButton%1").arg(r.tag));
        radio->setProperty("tag", r.tag);
        radio->setFont(systemFont(11));
        radio->setStyleSheet(QStringLiteral("QRadioButton { color: #666666; }"));
        radio->setFocusPolicy(Qt::NoFocus);
        radio->setChecked(r.on);
        setFrame(radio, r.x, 212, 90, 20);
        connectTap(radio);
    }

    auto* tabbar = new ImageView(QStringLiteral("mainwork_tabbar_back@2x.png"), home);
    setFrame(tabbar, 0, 0, kWidth, 170);
    const struct {
        const char* title;
        const char* image;
        int tag;
    } tabs[] = {{"网络加速", "maintabbar_1_h@2x.png", 1100},
                {"线路选择", "maintabbar_2_n@2x.png", 1101},
                {"会员中心", "maintabbar_5_n@2x.png", 1104}};
    int slot = 0;
    for (const auto& tab : tabs) {
        ImageButton* button =
            makeTabButton(QString::fromUtf8(tab.title), QString::fromLatin1(tab.image), tab.tag, tabbar);
        setFrame(button, kWidth / 2 - 230 + slot * 230 - 40, 52, 80, 52);
        ++slot;
        if (tab.tag == 1100) {
            button->setFont(boldSystemFont(11));
            button->setTitleColor(colorFromHex("#3B79E0"));
            button->setCursor(Qt::ArrowCursor);
        } else {
            connectTap(button);
        }
    }
}

ImageButton* NodesInfoVC::makeTabButton(const QString& title, const QString& image, int tag,
                                        QWidget* parent) {
    auto* button = new ImageButton(image, Position::ImageAbove, parent);
    button->setObjectName(QStringLiteral("tab%1").arg(tag));
    button->setText(title);
    button->setTag(tag);
    button->setImageSize(QSize(28, 28));
    button->setFont(systemFont(11));
    button->setTitleColor(kToolbarGrey);
    return button;
}

void NodesInfoVC::buildOtherWorkView() {
    QWidget* other = otherWorkView();
    setFrame(other, 0, 0, kWidth, kHeight);
    other->hide();
    QWidget* header = otherHeaderView();
    setFrame(header, 0, kHeight - topbarHeight, kWidth, topbarHeight);
    auto* headerImage = new ImageView(QStringLiteral("otherwork_toolbar_back@2x.png"), header);
    setFrame(headerImage, 0, 0, kWidth, topbarHeight);
    const double slotWidth = kWidth / double(kSlots);
    auto place = [&](QWidget* view, int slot) {
        setFrame(view, slot * slotWidth + (slotWidth - 120) / 2, 8, 120, 60);
    };
    place(toolbar_btn_back(), 4);
    place(toolbar_btn_home(), 0);
    place(toolbar_btn_route(), 2);
    place(toolbar_btn_user(), 4);
    toolbar_btn_import()->hide();
    toolbar_btn_add()->hide();
    toolbar_btn_user()->setFont(boldSystemFont(12));
    toolbar_btn_back()->lower();
    headerImage->lower();
}

void NodesInfoVC::buildTitleStrip() {
    const int top = kHeight;
    auto* logo = new ImageView(QStringLiteral("titlebar_logo"), this);
    setFrame(logo, 20, top - 18 - 16, 138, 18);

    auto* close = new ImageButton(QStringLiteral("titlebar_close"), Position::ImageOnly, this);
    close->setObjectName(QStringLiteral("titlebarClose"));
    close->setTag(1);
    setFrame(close, kWidth - 13 - 18, top - 13 - 18, 13, 13);
    auto* minimize = new ImageButton(QStringLiteral("titlebar_min"), Position::ImageOnly, this);
    minimize->setObjectName(QStringLiteral("titlebarMin"));
    minimize->setTag(2);
    setFrame(minimize, kWidth - 13 - 18 - 30, top - 13 - 18, 13, 13);
    auto* visitor = new ImageButton(QStringLiteral("titlebar_visitor"), Position::ImageOnly, this);
    visitor->setObjectName(QStringLiteral("titlebarVisitor"));
    visitor->setTag(3);
    setFrame(visitor, kWidth - 13 - 18 - 30 - 40, top - 20 - 14, 20, 20);
    for (ImageButton* button : {close, minimize, visitor})
        connectTap(button);

    // Right to left: account badge, traffic, days left; the sign-in button and its hint where the
    // badge goes when signed out.
    const double badgeX = kWidth - 13 - 18 - 30 - 40 - 16 - 146;
    setFrame(ttbarAccoutback(), badgeX, top - 26 - 11, 146, 26);
    setFrame(ttbarAccoutButton(), 10, 0, 130, 26);
    setFrame(ttbarMergeButton(), badgeX - 12 - 84, top - 16 - 16, 84, 16);
    setFrame(ttbarExpireButton(), badgeX - 12 - 84 - 8 - 60, top - 16 - 16, 60, 16);
    const double loginX = kWidth - 13 - 18 - 30 - 40 - 16 - 58;
    setFrame(ttbarLoginButton(), loginX, top - 24 - 12, 58, 24);
    // The hint turns about its right end by 5 degrees each way; the insets keep it inside.
    constexpr int kSwing = 12;
    setFrame(ttbarTips(), loginX - 4 - 119 - kSwing, top - 41 - 4 - kSwing, 119 + 2 * kSwing,
             41 + 2 * kSwing);
    ttbarTips()->setDrawingInsets(QMargins(kSwing, kSwing, kSwing, kSwing));
}

ImageView* NodesInfoVC::ttbarAccoutback() {
    if (!ttbarAccoutback_) {
        ttbarAccoutback_ = new ImageView(QStringLiteral("titlebar_userback"), this);
        ttbarAccoutback_->setObjectName(QStringLiteral("ttbarAccoutback"));
        ttbarAccoutback_->hide();
    }
    return ttbarAccoutback_;
}

ImageButton* NodesInfoVC::ttbarAccoutButton() {
    if (!ttbarAccoutButton_) {
        ttbarAccoutButton_ =
            new ImageButton(QStringLiteral("titlebar_user"), Position::ImageLeft, ttbarAccoutback());
        ttbarAccoutButton_->setObjectName(QStringLiteral("ttbarAccoutButton"));
        ttbarAccoutButton_->setText(QStringLiteral("---@---.com"));
        ttbarAccoutButton_->setFont(systemFont(11));
        ttbarAccoutButton_->setTitleColor(QColor(202, 206, 209));
        ttbarAccoutButton_->setImageSize(QSize(14, 14));
        ttbarAccoutButton_->setTag(170);
        connectTap(ttbarAccoutButton_);
    }
    return ttbarAccoutButton_;
}

ImageButton* NodesInfoVC::ttbarMergeButton() {
    if (!ttbarMergeButton_) {
        ttbarMergeButton_ = new ImageButton(QStringLiteral("titlebar_merge"), Position::ImageLeft, this);
        ttbarMergeButton_->setObjectName(QStringLiteral("ttbarMergeButton"));
        ttbarMergeButton_->setText(QStringLiteral("---.--"));
        ttbarMergeButton_->setFont(systemFont(11));
        ttbarMergeButton_->setTitleColor(colorFromHex("#A3B2BA"));
        ttbarMergeButton_->setImageSize(QSize(14, 14));
        ttbarMergeButton_->setCursor(Qt::ArrowCursor);
        ttbarMergeButton_->hide();
    }
    return ttbarMergeButton_;
}

ImageButton* NodesInfoVC::ttbarExpireButton() {
    if (!ttbarExpireButton_) {
        ttbarExpireButton_ =
            new ImageButton(QStringLiteral("titlebar_expiretime"), Position::ImageLeft, this);
        ttbarExpireButton_->setObjectName(QStringLiteral("ttbarExpireButton"));
        ttbarExpireButton_->setText(QStringLiteral("---天"));
        ttbarExpireButton_->setFont(systemFont(11));
        ttbarExpireButton_->setTitleColor(colorFromHex("#A3B2BA"));
        ttbarExpireButton_->setImageSize(QSize(14, 14));
        ttbarExpireButton_->setCursor(Qt::ArrowCursor);
        ttbarExpireButton_->hide();
    }
    return ttbarExpireButton_;
}

ImageButton* NodesInfoVC::ttbarLoginButton() {
    if (!ttbarLoginButton_) {
        ttbarLoginButton_ = new ImageButton(QString(), Position::TitleOnly, this);
        ttbarLoginButton_->setObjectName(QStringLiteral("ttbarLoginButton"));
        ttbarLoginButton_->setImagePosition(Position::ImageBehind);
        ttbarLoginButton_->setText(QStringLiteral("登录"));
        ttbarLoginButton_->setFont(systemFont(14));
        ttbarLoginButton_->setTitleColor(Qt::white);
        ttbarLoginButton_->setBackgroundColor(colorFromHex("#78A9ED"));
        ttbarLoginButton_->setCornerRadius(5);
        ttbarLoginButton_->setTag(168);
        connectTap(ttbarLoginButton_);
    }
    return ttbarLoginButton_;
}

ImageButton* NodesInfoVC::ttbarTips() {
    if (!ttbarTips_) {
        ttbarTips_ = new ImageButton(QStringLiteral("titlebar_login_tips"), Position::ImageBehind, this);
        ttbarTips_->setObjectName(QStringLiteral("ttbarTips"));
        // Drawn by the toolkit over the bubble, left of its arrow.
        ttbarTips_->setText(QStringLiteral("登录后开始加速"));
        ttbarTips_->setFont(systemFont(12));
        ttbarTips_->setTitleColor(colorFromHex("#C27A0E"));
        ttbarTips_->setTitleInsets(QMargins(0, 0, 9, 0));
        ttbarTips_->setTag(169);
        ttbarTips_->setAttribute(Qt::WA_TransparentForMouseEvents);
        ttbarTips_->setAnchorPoint(QPointF(1, 0.5));
    }
    return ttbarTips_;
}

QWidget* NodesInfoVC::mainWorkView() {
    if (!mainWorkView_) {
        mainWorkView_ = whiteView(this);
        mainWorkView_->setObjectName(QStringLiteral("mainWorkView"));
    }
    return mainWorkView_;
}

ImageButton* NodesInfoVC::nodeRemarkLabel() {
    if (!nodeRemarkLabel_) {
        nodeRemarkLabel_ =
            new ImageButton(QStringLiteral("mainwork_route@2x.png"), Position::ImageLeft, mainWorkView());
        nodeRemarkLabel_->setObjectName(QStringLiteral("nodeRemarkLabel"));
        nodeRemarkLabel_->setFont(systemFont(11));
        nodeRemarkLabel_->setTitleColor(QColor(80, 137, 218));
        nodeRemarkLabel_->setImageSize(QSize(13, 13));
        nodeRemarkLabel_->setTag(1001);
        connectTap(nodeRemarkLabel_);
    }
    return nodeRemarkLabel_;
}

ImageButton* NodesInfoVC::startProxyButton() {
    if (!startProxyButton_) {
        startProxyButton_ =
            new ImageButton(QStringLiteral("mainwork_start@2x.png"), Position::ImageBehind, mainWorkView());
        startProxyButton_->setObjectName(QStringLiteral("startProxyButton"));
        startProxyButton_->setText(QStringLiteral("一键加速"));
        startProxyButton_->setFont(boldSystemFont(19));
        startProxyButton_->setTitleColor(Qt::white);
        // Title right of the power mark the image draws at its left end.
        startProxyButton_->setTitleInsets(QMargins(30, 0, 0, 7));
        startProxyButton_->setTag(1000);
        connectTap(startProxyButton_);
    }
    return startProxyButton_;
}

ConnectButton* NodesInfoVC::connectButton() {
    if (!connectButton_)
        connectButton_ = new ConnectButton(context_.tunnel, mainWorkView());
    return connectButton_;
}

QWidget* NodesInfoVC::otherWorkView() {
    if (!otherWorkView_) {
        otherWorkView_ = whiteView(this);
        otherWorkView_->setObjectName(QStringLiteral("otherWorkView"));
    }
    return otherWorkView_;
}

QWidget* NodesInfoVC::otherHeaderView() {
    if (!otherHeaderView_) {
        otherHeaderView_ = new QWidget(otherWorkView());
        otherHeaderView_->setObjectName(QStringLiteral("otherHeaderView"));
    }
    return otherHeaderView_;
}

ImageView* NodesInfoVC::toolbar_btn_back() {
    if (!toolbar_btn_back_) {
        toolbar_btn_back_ =
            new ImageView(QStringLiteral("otherwork_toolbar_btn_back@2x.png"), otherHeaderView());
        toolbar_btn_back_->setObjectName(QStringLiteral("toolbar_btn_back"));
    }
    return toolbar_btn_back_;
}

ImageButton* NodesInfoVC::lazyToolbarButton(ImageButton*& slot, const char* title, const char* image,
                                            int tag) {
    if (slot)
        return slot;
    ImageButton* button =
        makeTabButton(QString::fromUtf8(title), QString::fromLatin1(image), tag, otherHeaderView());
    slot = button;
    button->setObjectName(QStringLiteral("toolbar%1").arg(tag));
    button->setFont(systemFont(12));
    button->setDrawingInsets(QMargins(0, 6, 0, 0));
    connectTap(button);
    return button;
}

ImageButton* NodesInfoVC::toolbar_btn_home() {
    return lazyToolbarButton(toolbar_btn_home_, "网络加速", "maintabbar_1_n@2x.png", 2000);
}

ImageButton* NodesInfoVC::toolbar_btn_route() {
    return lazyToolbarButton(toolbar_btn_route_, "线路选择", "maintabbar_2_n@2x.png", 2001);
}

ImageButton* NodesInfoVC::toolbar_btn_import() {
    return lazyToolbarButton(toolbar_btn_import_, "导入配置", "maintabbar_3_n@2x.png", 2002);
}

ImageButton* NodesInfoVC::toolbar_btn_add() {
    return lazyToolbarButton(toolbar_btn_add_, "添加节点", "maintabbar_4_n@2x.png", 2003);
}

ImageButton* NodesInfoVC::toolbar_btn_user() {
    return lazyToolbarButton(toolbar_btn_user_, "会员中心", "maintabbar_5_n@2x.png", 2004);
}

NodePageView* NodesInfoVC::pageView_route() {
    if (!pageView_route_) {
        pageView_route_ = new NodePageView(context_, otherWorkView());
        pageView_route_->setObjectName(QStringLiteral("pageView_route"));
        pageView_route_->setSuperVC(this);
        pageView_route_->hide();
    }
    return pageView_route_;
}

UserAccountPage* NodesInfoVC::pageView_user() {
    if (!pageView_user_) {
        pageView_user_ = new UserAccountPage(context_, otherWorkView());
        pageView_user_->setObjectName(QStringLiteral("pageView_user"));
        pageView_user_->setSuperVC(this);
        pageView_user_->setAutoFillBackground(true);
        QPalette palette = pageView_user_->palette();
        palette.setColor(QPalette::Window, colorFromHex("#F6F6F6"));
        pageView_user_->setPalette(palette);
        pageView_user_->hide();
    }
    return pageView_user_;
}

QRadioButton* NodesInfoVC::modeButton(int tag) const {
    return mainWorkView_ ? mainWorkView_->findChild<QRadioButton*>(QStringLiteral("modeButton%1").arg(tag))
                         : nullptr;
}

// ---- appearance

void NodesInfoVC::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (isLoadedView_ || waitingForFirstPaint_)
        return;
    // The first requests bring the network stack in: they wait until the window shows its first
    // pixels, which it paints and flushes while it handles its first expose.
    QWindow* handle = window()->windowHandle();
    if (!handle || handle->isExposed()) {
        viewWillAppear();
        viewDidAppear();
        return;
    }
    waitingForFirstPaint_ = true;
    handle->installEventFilter(this);
}

bool NodesInfoVC::eventFilter(QObject* watched, QEvent* event) {
    auto* handle = qobject_cast<QWindow*>(watched);
    if (waitingForFirstPaint_ && handle && event->type() == QEvent::Expose && handle->isExposed()) {
        waitingForFirstPaint_ = false;
        handle->removeEventFilter(this);
        // Queued, so it runs once the window has handled this event, painted and flushed.
        platform::postToMain(this, [this] {
            viewWillAppear();
            viewDidAppear();
        });
    }
    return QWidget::eventFilter(watched, event);
}

void NodesInfoVC::viewWillAppear() {
    if (isLoadedView_)
        return;
    context_.tunnel.sendMessage("Hello");
    loadPublicSetting();
}

void NodesInfoVC::viewDidAppear() {
    if (isLoadedView_)
        return;
    isLoadedView_ = true;
    loadUserInfo([this](const std::optional<NMNetWorkError>&) {
        refreshTitleStrip(false);
        loadSubscription([this](bool success, const std::optional<QString>& message) {
            if (success)
                fetchNodes(true);
            else if (message)
                showToast(*message);
        });
    });
}

void NodesInfoVC::mousePressEvent(QMouseEvent* event) {
    if (QWidget* focus = QApplication::focusWidget())
        focus->clearFocus();
    event->ignore(); // on to the window, which moves when dragged
}

// ---- buttons

void NodesInfoVC::onTapButton(QObject* sender) {
    if (QWidget* focus = QApplication::focusWidget())
        focus->clearFocus();
    QWidget* window = windowController ? static_cast<QWidget*>(windowController.data()) : nullptr;
    const int tag = sender ? sender->property("tag").toInt() : 0;
    switch (tag) {
    case 1:
        if (window)
            window->close();
        return;
    case 2:
        if (window)
            window->showMinimized();
        return;
    case 3:
        openInBrowser(build::kChatUrl, context_.opener);
        return;
    case 168:
        showLoginDialog();
        return;
    case 170:
        loadUserInfo([this](const std::optional<NMNetWorkError>&) { refreshTitleStrip(false); });
        return;
    case 1000:
        platform::consoleLog("VPNTunnelManager.shared.vpnStatus:" +
                             std::to_string(static_cast<int>(context_.tunnel.vpnStatus())) +
                             ",lastStatus:" + std::to_string(lastVpnStatus));
        if (static_cast<int>(context_.tunnel.vpnStatus()) > 1)
            stopTunnelIfActive();
        else
            startConnect();
        return;
    case 1001:
        mainWorkView()->hide();
        otherWorkView()->show();
        showPage(1);
        return;
    case 1002:
    case 1003:
        // The running tunnel follows at once, as from the menu: a window that says "global" while
        // the tunnel stays in rule mode until the next start would be telling the user wrong.
        if (!context_.tunnel.switchRunningMode(context_.shared, tag == 1002 ? kTunModeRule : kTunModeGlobal))
            showToast(QStringLiteral("运行模式未能保存：本机设置无法写入"));
        // Also puts the radio buttons back on the stored mode when it could not be saved.
        platform::NotificationCenter::defaultCenter().post(NOTIFY_UPDATE_RUNNING_MODE_MENU);
        return;
    default:
        break;
    }
    if (tag >= 1101 && tag <= 1104) {
        mainWorkView()->hide();
        otherWorkView()->show();
        showPage(tag - 1100);
    } else if (tag >= 2000 && tag <= 2005) {
        showPage(tag - 2000);
    }
}

void NodesInfoVC::showToast(const QString& text) {
    context_.toasts.showToast(this, text);
}

ToastWindowController* NodesInfoVC::toastWC() const {
    auto* toasts = dynamic_cast<const Toasts*>(&context_.toasts);
    return toasts ? toasts->current(this) : nullptr;
}

int NodesInfoVC::requsetCount() const {
    return api_->retryIndex();
}

// ---- title strip and pages

void NodesInfoVC::refreshTitleStrip(bool stopTunnel) {
    const std::optional<nlohmann::json> info = context_.settings.object(keys::userInfo);
    const bool signedIn = info.has_value();
    if (signedIn) {
        if (auto name = info->find("user_name"); name != info->end() && name->is_string())
            ttbarAccoutButton()->setText(qs(name->get<std::string>()));
        if (auto expiry = info->find("member_expiry_at"); expiry != info->end() && expiry->is_string()) {
            const std::string date =
                displayDate(expiry->get<std::string>(), "yyyy-MM-dd HH:mm:ss").substr(0, 10);
            ttbarExpireButton()->setText(QString::number(daysFromToday(date)) + QStringLiteral("天"));
        }
        ttbarTips()->removeAllAnimations();
        ttbarTips()->setRotation(0);
        ttbarLoginButton()->hide();
        ttbarTips()->hide();
    } else {
        ttbarTips()->show();
        ttbarTips()->addAnimation(QString::fromLatin1(kTipsAnimationKey),
                                  {-std::numbers::pi / 36, std::numbers::pi / 36, 0.75, true});
    }
    ttbarAccoutback()->setVisible(signedIn);
    ttbarMergeButton()->setVisible(signedIn);
    ttbarExpireButton()->setVisible(signedIn);
    ttbarLoginButton()->setVisible(!signedIn);
    if (stopTunnel)
        stopTunnelIfActive();
}

void NodesInfoVC::showPage(int index) {
    const double slotWidth = kWidth / double(kSlots);
    if (index > 0) {
        const int slot = index == 1 ? 2 : index == 4 ? 4 : index;
        setFrame(toolbar_btn_back(), slot * slotWidth + (slotWidth - 120) / 2, 8, 120, 60);
        for (ImageButton* button :
             {toolbar_btn_route(), toolbar_btn_import(), toolbar_btn_add(), toolbar_btn_user()})
            button->setFont(systemFont(11));
        if (pagerouteLoaded)
            pageView_route()->hide();
        if (pageuserLoaded)
            pageView_user()->hide();
    }
    const QRectF pageFrame(0, 0, kWidth, kHeight - topbarHeight);
    switch (index) {
    case 4:
        toolbar_btn_user()->setFont(boldSystemFont(12));
        if (pageuserLoaded) {
            pageView_user()->refresh();
        } else {
            setFrame(pageView_user(), pageFrame);
            pageView_user()->buildPage();
            pageuserLoaded = true;
        }
        loadUserInfo([this](const std::optional<NMNetWorkError>&) {
            if (pageuserLoaded)
                pageView_user()->refresh();
        });
        pageView_user()->show();
        break;
    case 1:
        toolbar_btn_route()->setFont(boldSystemFont(12));
        if (!pagerouteLoaded) {
            setFrame(pageView_route(), pageFrame);
            pageView_route()->buildPage();
            pagerouteLoaded = true;
            QPointer<NodesInfoVC> weak(this);
            pageView_route()->nodeStateChangeBlock = [weak](const std::optional<std::string>& name,
                                                            const std::optional<std::string>& message) {
                if (weak)
                    platform::postToMain(weak, [weak, name, message] {
                        if (weak)
                            weak->onNodeSelected(name, message);
                    });
            };
        }
        pageView_route()->show();
        break;
    case 0:
        otherWorkView()->hide();
        mainWorkView()->show();
        refreshTitleStrip(false);
        loadUserInfo([this](const std::optional<NMNetWorkError>&) {
            refreshTitleStrip(false);
            loadSubscription([this](bool success, const std::optional<QString>& message) {
                if (success)
                    fetchNodes(true);
                else if (message)
                    showToast(*message);
                fetchNodes(false);
            });
        });
        break;
    default:
        break;
    }
}

void NodesInfoVC::showLoginDialog() {
    if (loginDialog_)
        return;
    auto* cover = new CancelTapView(this);
    cover->setObjectName(QStringLiteral("loginCover"));
    cover->setColor(colorFromHex("#cecece", 0.75));
    setFrame(cover, 0, 0, kWidth, kHeight);
    auto* dialog = new LoginAlertView(context_, cover);
    setFrame(dialog, (kWidth - 390) / 2.0, (kHeight - 420) / 2.0, 390, 420);
    dialog->superVC = this;
    dialog->buildDialog();
    loginCover_ = cover;
    loginDialog_ = dialog;
    dialog->valuebackBlock = [this](const QString& result) {
        // The dialog calls back from its own handlers: remove it once they have returned.
        if (loginCover_) {
            loginCover_->hide();
            loginCover_->deleteLater();
        }
        loginCover_ = nullptr;
        loginDialog_ = nullptr;
        refreshTitleStrip(false);
        if (pageuserLoaded)
            pageView_user()->refresh();
        if (result == QStringLiteral("Account"))
            showToast(QStringLiteral("登录成功！"));
        else if (result == QStringLiteral("Register"))
            showToast(QStringLiteral("注册成功！将为您自动登录.."));
    };
    cover->show();
    cover->raise();
    dialog->show();
}

// ---- service loads

void NodesInfoVC::loadUserInfo(UserInfoCompletion completion) {
    ServiceHandlers<> handlers;
    handlers.success = [completion] {
        if (completion)
            completion(std::nullopt);
    };
    handlers.failure = [this, completion](const NMNetWorkError& error) {
        platform::postToMain(this, [this, completion, error] {
            if (error.is(NMNetWorkError::Kind::dataAnalysis)) {
                showToast(qs(error.errorDescription()));
                if (completion)
                    completion(error);
                return;
            }
            platform::consoleLog("register.err:" + error.message());
            showToast(qs(error.message()));
            if (completion)
                completion(error);
            if (error.message().starts_with("[40101]"))
                stopTunnelIfActive();
        });
    };
    handlers.exhausted = [completion] {
        if (completion)
            completion(NMNetWorkError::msg(kLoadFailed));
    };
    (void)api_->loadUserInfo(std::move(handlers));
}

void NodesInfoVC::loadSubscription(SubscriptionCompletion completion) {
    auto finish = [completion](bool success, std::optional<QString> message) {
        if (completion)
            completion(success, message);
    };
    ServiceHandlers<std::optional<SubscriptionRecord>> handlers;
    handlers.success = [this, finish](std::optional<SubscriptionRecord> record) {
        if (!record) {
            // Not a list of records: report it, so a waiting connect press does not wait forever.
            platform::consoleLog("error:" + NMNetWorkError::dataAnalysis().errorDescription());
            platform::postToMain(this, [finish] {
                finish(false,
                       QStringLiteral("数据有误:") + qs(NMNetWorkError::dataAnalysis().errorDescription()));
            });
            return;
        }
        if (record->id)
            (void)context_.settings.set(keys::serverId, *record->id);
        if (auto amount = remainingTrafficText(*record)) {
            (void)context_.settings.set(keys::lastAmount, *amount);
            platform::postToMain(this, [this, text = qs(*amount)] { ttbarMergeButton()->setText(text); });
        }
        const auto refuse = [this, finish](const char* message) {
            platform::postToMain(this, [this, finish, message] {
                const VpnStatus status = context_.tunnel.vpnStatus();
                if (status == VpnStatus::Connecting || status == VpnStatus::Connected)
                    context_.tunnel.stopVPN();
                finish(false, QString::fromUtf8(message));
            });
        };
        if (record->serviceStatus == false) {
            refuse("会员已到期，请前往订阅续费！");
            return;
        }
        if (record->subStatus == false) {
            refuse("流量已超标，请前往订阅续费！");
            return;
        }
        if (record->subUuid) {
            context_.shared.set(*record->subUuid, kSharedSubUuid);
            platform::consoleLog("--saveSubUUID:" + masked(*record->subUuid));
            finish(true, std::nullopt);
        } else {
            finish(false, QStringLiteral("subuuid.is.null"));
        }
    };
    handlers.failure = [this, finish](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
        platform::postToMain(this, [this, finish, error] {
            if (error.is(NMNetWorkError::Kind::dataAnalysis)) {
                finish(false, QStringLiteral("数据有误:") + qs(error.errorDescription()));
                return;
            }
            if (error.message().starts_with("[40101]")) {
                refreshTitleStrip(false);
                stopTunnelIfActive();
            }
            finish(false, qs(error.message()));
        });
    };
    handlers.hostFailed = [](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
    };
    handlers.exhausted = [finish] { finish(false, QString::fromUtf8(kLoadFailed)); };
    api_->loadSubscription(std::move(handlers));
}

void NodesInfoVC::loadPublicSetting() {
    ServiceHandlers<bool> handlers;
    handlers.success = [this](bool usable) {
        if (!usable)
            return;
        platform::postToMain(this, [this] {
            loadUserInfo(nullptr);
            fetchNodes(false);
        });
    };
    handlers.failure = [this](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
        platform::postToMain(this, [this, error] {
            if (error.is(NMNetWorkError::Kind::dataAnalysis)) {
                showToast(QStringLiteral("信息加载失败:") + qs(error.errorDescription()));
                return;
            }
            platform::consoleLog("register.err:" + error.message());
            showToast(QStringLiteral("信息加载失败:") + qs(error.message()));
        });
    };
    handlers.hostFailed = [](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
    };
    api_->loadPublicSetting(std::move(handlers));
}

void NodesInfoVC::fetchNodes(bool subscribed) {
    if (subscribed)
        (void)api_->fetchSubscribeNodeList(nullptr);
    else
        (void)api_->fetchNodeNames(nullptr);
}

// ---- connection control

void NodesInfoVC::showStartFace() {
    startProxyButton()->show();
    connectButton()->changeConnectState(ConnectButton::Idle);
}

void NodesInfoVC::showBusyFace(int state) {
    startProxyButton()->hide();
    connectButton()->changeConnectState(state);
}

void NodesInfoVC::startConnect() {
    refreshTitleStrip(false);
    if (!context_.settings.hasUserInfo()) {
        showToast(QStringLiteral("请先登录再使用"));
        return;
    }
    showBusyFace(ConnectButton::Loading);
    QPointer<NodesInfoVC> weak(this);
    loadSubscription([weak](bool success, const std::optional<QString>& message) {
        if (!weak)
            return;
        if (!success) {
            if (message)
                weak->showToast(*message);
            weak->showStartFace();
            return;
        }
        weak->context_.tunnel.activateExtension([weak](bool submitted) {
            platform::postToMain(weak, [weak, submitted] {
                if (!weak || submitted)
                    return;
                weak->showToast(QStringLiteral("！！！请求系统激活失败"));
                weak->showStartFace();
            });
        });
    });
}

void NodesInfoVC::stopTunnelIfActive() {
    const VpnStatus status = context_.tunnel.vpnStatus();
    if (status == VpnStatus::Connecting || status == VpnStatus::Connected)
        context_.tunnel.stopVPN();
}

void NodesInfoVC::applyVpnStatus(int status) {
    platform::consoleLog("onVpnStatusChange:" + std::to_string(status));
    switch (status) {
    case 0:
    case 1:
        if (lastVpnStatus == 5 || lastVpnStatus == 3) {
            showStartFace();
        } else if (lastVpnStatus == 2) {
            // A start the provider took and then lost: the tunnel is down, so offer the start button
            // again instead of waiting on "开始连接..."; the tunnel manager tells why, once.
            showStartFace();
        }
        break;
    case 2:
        startProxyButton()->hide();
        if (lastVpnStatus == 0 || lastVpnStatus == 1)
            connectButton()->changeConnectState(ConnectButton::Connecting);
        break;
    case 3:
        if (lastVpnStatus != 3) {
            showBusyFace(ConnectButton::Connected);
            context_.tunnel.sendMessage("subuuid." +
                                        sharedText(context_.shared, kSharedSubUuid).value_or(""));
        }
        break;
    case 5:
        if (lastVpnStatus == 3)
            showBusyFace(ConnectButton::Disconnecting);
        break;
    default:
        platform::consoleLog("onVpnStatusChange.unknow:" + std::to_string(status));
        break;
    }
    lastVpnStatus = status;
}

void NodesInfoVC::onActivationFailed(const QVariant& object) {
    if (object.typeId() != QMetaType::QString)
        return;
    showToast(object.toString());
    if (lastVpnStatus != 3)
        showStartFace();
}

void NodesInfoVC::onRunningModeChanged() {
    const std::string mode = runningModeFrom(context_.shared.get(kSharedTunMode));
    if (QRadioButton* button = modeButton(mode == kTunModeRule ? 1002 : 1003))
        button->setChecked(true);
}

void NodesInfoVC::onNodeSelected(const std::optional<std::string>& name,
                                 const std::optional<std::string>& message) {
    if (name) {
        nodeRemarkLabel()->setText(nodeTitle(name));
        context_.shared.set(*name, kSharedNodeName);
        if (lastVpnStatus == 3)
            context_.tunnel.sendMessage("switchNode." + *name);
    }
    if (message)
        showToast(qs(*message));
}

} // namespace nimo
