#include "app/NodesInfoVC.h"

#include "NimoBuildConfig.h"
#include "account/LoginAlertView.h"
#include "account/UserAccountPage.h"
#include "app/ConnectJob.h"
#include "app/HomePage.h"
#include "app/MainScreenTags.h"
#include "app/MainWindowController.h"
#include "app/PageContainer.h"
#include "app/TitleStrip.h"
#include "app/ToastWindowController.h"
#include "nodes/NodeCatalogue.h"
#include "nodes/NodePageView.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "service/AccountSession.h"
#include "service/SettingsStore.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/ColorHex.h"
#include "widgets/ConnectButton.h"
#include "widgets/Frames.h"
#include "widgets/SmallWidgets.h"

#include <QApplication>
#include <QMouseEvent>
#include <QRadioButton>
#include <QWindow>
#include <algorithm>

namespace nimo {

namespace {

constexpr const char* kNodeOutsidePlan = "原线路不在当前套餐内，已切换为自动适配最佳线路";

std::optional<std::string> sharedText(const NimoShared& shared, const char* key) {
    auto value = shared.get(key);
    if (value && value->is_string())
        return value->get<std::string>();
    return std::nullopt;
}

} // namespace

NodesInfoVC::NodesInfoVC(const AppContext& context, QWidget* parent) : QWidget(parent), context_(context) {
    setObjectName(QStringLiteral("NodesInfoVC"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    const auto tap = [this](QAbstractButton* button) { connectTap(button); };
    loader_ = new ServiceLoader(context_, *this, this);
    home_ = new HomePage(this, context_.tunnel, tap);
    presenter_ = std::make_unique<ConnectionPresenter>(*home_);
    pages_ = new PageContainer(this, context_, *this, topbarHeight, tap);
    titleStrip_ = new TitleStrip(this, context_.account, tap);
    job_ = new ConnectJob(*loader_, context_.tunnel, this);

    home_->build(kWidth, kHeight, sharedText(context_.shared, kSharedNodeName),
                 runningModeFrom(context_.shared.get(kSharedTunMode)));
    pages_->build(kWidth, kHeight);
    titleStrip_->build(kWidth, kHeight);
    refreshTitleStrip(false);

    connect(job_, &ConnectJob::finished, this, [this](ConnectJob::Outcome outcome, const QString& message) {
        onConnectJobFinished(static_cast<int>(outcome), message);
    });
    connect(&context_.tunnel, &VPNTunnelManager::tunnelFailed, this, [this](const QString& reason) {
        showToast(reason);
        presenter_->showStatusNow(static_cast<int>(context_.tunnel.vpnStatus()));
    });
    auto& account = context_.account;
    connect(&account, &AccountSession::accountChanged, this, &NodesInfoVC::onAccountChanged);
    connect(&account, &AccountSession::userInfoChanged, this, [this] { titleStrip_->refresh(); });
    connect(&account, &AccountSession::subscriptionChanged, this, [this] { titleStrip_->refresh(); });
    connect(&account, &AccountSession::nodesChanged, this, &NodesInfoVC::checkNodeAgainstSubscription);

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

// ---- the pieces' views, by the names the screen has always had

int NodesInfoVC::lastVpnStatus() const {
    return presenter_->lastVpnStatus;
}
ImageView* NodesInfoVC::ttbarAccoutback() {
    return titleStrip_->ttbarAccoutback();
}
ImageButton* NodesInfoVC::ttbarAccoutButton() {
    return titleStrip_->ttbarAccoutButton();
}
ImageButton* NodesInfoVC::ttbarMergeButton() {
    return titleStrip_->ttbarMergeButton();
}
ImageButton* NodesInfoVC::ttbarExpireButton() {
    return titleStrip_->ttbarExpireButton();
}
ImageButton* NodesInfoVC::ttbarLoginButton() {
    return titleStrip_->ttbarLoginButton();
}
ImageButton* NodesInfoVC::ttbarTips() {
    return titleStrip_->ttbarTips();
}
QWidget* NodesInfoVC::mainWorkView() {
    return home_->mainWorkView();
}
ImageButton* NodesInfoVC::nodeRemarkLabel() {
    return home_->nodeRemarkLabel();
}
ImageButton* NodesInfoVC::startProxyButton() {
    return home_->startProxyButton();
}
ConnectButton* NodesInfoVC::connectButton() {
    return home_->connectButton();
}
QRadioButton* NodesInfoVC::modeButton(int tag) const {
    return home_->modeButton(tag);
}
QWidget* NodesInfoVC::otherWorkView() {
    return pages_->otherWorkView();
}
QWidget* NodesInfoVC::otherHeaderView() {
    return pages_->otherHeaderView();
}
ImageView* NodesInfoVC::toolbar_btn_back() {
    return pages_->toolbar_btn_back();
}
ImageButton* NodesInfoVC::toolbar_btn_home() {
    return pages_->toolbar_btn_home();
}
ImageButton* NodesInfoVC::toolbar_btn_route() {
    return pages_->toolbar_btn_route();
}
ImageButton* NodesInfoVC::toolbar_btn_import() {
    return pages_->toolbar_btn_import();
}
ImageButton* NodesInfoVC::toolbar_btn_add() {
    return pages_->toolbar_btn_add();
}
ImageButton* NodesInfoVC::toolbar_btn_user() {
    return pages_->toolbar_btn_user();
}
NodePageView* NodesInfoVC::pageView_route() {
    return pages_->pageView_route();
}
UserAccountPage* NodesInfoVC::pageView_user() {
    return pages_->pageView_user();
}
bool NodesInfoVC::pagerouteLoaded() const {
    return pages_->pagerouteLoaded;
}
bool NodesInfoVC::pageuserLoaded() const {
    return pages_->pageuserLoaded;
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
    loader_->loadPublicSetting();
}

void NodesInfoVC::viewDidAppear() {
    if (isLoadedView_)
        return;
    isLoadedView_ = true;
    loader_->reloadAccount(false);
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
    switch (static_cast<MainScreenTag>(tag)) {
    case MainScreenTag::Close:
        if (window)
            window->close();
        return;
    case MainScreenTag::Minimize:
        if (window)
            window->showMinimized();
        return;
    case MainScreenTag::CustomerChat:
        openInBrowser(build::kChatUrl, context_.opener);
        return;
    case MainScreenTag::Login:
        showLoginDialog();
        return;
    case MainScreenTag::Account:
        loader_->loadUserInfo([this](const std::optional<NMNetWorkError>&) { refreshTitleStrip(false); });
        return;
    case MainScreenTag::Start:
        platform::consoleLog("VPNTunnelManager.shared.vpnStatus:" +
                             std::to_string(static_cast<int>(context_.tunnel.vpnStatus())) +
                             ",lastStatus:" + std::to_string(lastVpnStatus()));
        if (static_cast<int>(context_.tunnel.vpnStatus()) > 1)
            stopTunnelIfActive();
        else
            startConnect();
        return;
    case MainScreenTag::NodeRemark:
        mainWorkView()->hide();
        otherWorkView()->show();
        showPage(1);
        return;
    case MainScreenTag::RuleMode:
    case MainScreenTag::GlobalMode:
        // The running tunnel follows at once, as from the menu: a window that says "global" while
        // the tunnel stays in rule mode until the next start would be telling the user wrong.
        if (!context_.tunnel.switchRunningMode(
                context_.shared, tag == tagValue(MainScreenTag::RuleMode) ? kTunModeRule : kTunModeGlobal))
            showToast(QStringLiteral("运行模式未能保存：本机设置无法写入"));
        // Also puts the radio buttons back on the stored mode when it could not be saved.
        platform::NotificationCenter::defaultCenter().post(NOTIFY_UPDATE_RUNNING_MODE_MENU);
        return;
    default:
        break;
    }
    if (tag >= tagValue(MainScreenTag::FirstHomeTab) && tag <= tagValue(MainScreenTag::LastHomeTab)) {
        mainWorkView()->hide();
        otherWorkView()->show();
        showPage(tag - tagValue(MainScreenTag::HomeTab));
    } else if (tag >= tagValue(MainScreenTag::FirstToolbar) && tag <= tagValue(MainScreenTag::LastToolbar)) {
        showPage(tag - tagValue(MainScreenTag::FirstToolbar));
    }
}

void NodesInfoVC::showToast(const QString& text) {
    context_.toasts.showToast(this, text);
}

ToastWindowController* NodesInfoVC::toastWC() const {
    auto* toasts = dynamic_cast<const Toasts*>(&context_.toasts);
    return toasts ? toasts->current(this) : nullptr;
}

// ---- title strip and pages

void NodesInfoVC::refreshTitleStrip(bool stopTunnel) {
    titleStrip_->refresh();
    if (stopTunnel)
        stopTunnelIfActive();
}

void NodesInfoVC::showPage(int index) {
    pages_->selectToolbar(index);
    switch (index) {
    case 4:
        pages_->showAccountPage();
        loader_->loadUserInfo([this](const std::optional<NMNetWorkError>&) {
            if (pages_->pageuserLoaded)
                pageView_user()->refresh();
        });
        break;
    case 1:
        if (pages_->showRoutePage()) {
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
        break;
    case 0:
        otherWorkView()->hide();
        mainWorkView()->show();
        refreshTitleStrip(false);
        loader_->reloadAccount(true);
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
        if (pages_->pageuserLoaded)
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

// ---- the account

// Another account, or none: nothing of the previous one stays on screen or in the start road.
void NodesInfoVC::onAccountChanged() {
    titleStrip_->refresh();
    if (!context_.account.hasToken()) {
        job_->cancel();
        return;
    }
    // Signed in: the new account's figures, plan and node lists, and then its node choice.
    checkNodeOnNextList_ = true;
    platform::postToMain(this, [this] { loader_->reloadAccount(true); });
}

// A node chosen under another plan is kept only if this plan has it.
void NodesInfoVC::checkNodeAgainstSubscription() {
    if (!checkNodeOnNextList_ || !context_.account.signedIn())
        return;
    const auto subscribed = context_.account.subscribedNodes();
    if (!subscribed)
        return;
    checkNodeOnNextList_ = false;
    const std::string current = currentNodeSelection(context_.shared);
    if (isAutoRoute(current) ||
        std::find(subscribed->begin(), subscribed->end(), current) != subscribed->end())
        return;
    onNodeSelected(std::string(), std::string(kNodeOutsidePlan));
}

// ---- connection control

bool NodesInfoVC::isStarting() const {
    return job_->running();
}

void NodesInfoVC::startConnect() {
    refreshTitleStrip(false);
    if (!context_.settings.hasUserInfo()) {
        showToast(QStringLiteral("请先登录再使用"));
        return;
    }
    // One start road at a time: the window's button and the menu's switch both end up here.
    if (job_->running())
        return;
    presenter_->showBusyFace(ConnectButton::Loading);
    job_->start();
    Q_EMIT startingChanged(true);
}

void NodesInfoVC::onConnectJobFinished(int outcome, const QString& message) {
    Q_EMIT startingChanged(false);
    switch (static_cast<ConnectJob::Outcome>(outcome)) {
    case ConnectJob::Outcome::Started:
        return; // the status events take the face on
    case ConnectJob::Outcome::Refused:
        if (!message.isEmpty())
            showToast(message);
        break;
    case ConnectJob::Outcome::Failed:
    case ConnectJob::Outcome::Cancelled:
        break;
    }
    presenter_->showStatusNow(static_cast<int>(context_.tunnel.vpnStatus()));
}

void NodesInfoVC::stopTunnelIfActive() {
    const VpnStatus status = context_.tunnel.vpnStatus();
    if (status == VpnStatus::Connecting || status == VpnStatus::Connected)
        context_.tunnel.stopVPN();
}

void NodesInfoVC::applyVpnStatus(int status) {
    const bool nowConnected = status == 3 && presenter_->lastVpnStatus != 3;
    presenter_->applyVpnStatus(status);
    if (nowConnected)
        context_.tunnel.sendMessage("subuuid." + sharedText(context_.shared, kSharedSubUuid).value_or(""));
}

void NodesInfoVC::onActivationFailed(const QVariant& object) {
    if (object.typeId() != QMetaType::QString)
        return;
    showToast(object.toString());
    if (presenter_->lastVpnStatus != 3)
        presenter_->showStartFace();
}

void NodesInfoVC::onRunningModeChanged() {
    home_->showMode(runningModeFrom(context_.shared.get(kSharedTunMode)));
}

void NodesInfoVC::onNodeSelected(const std::optional<std::string>& name,
                                 const std::optional<std::string>& message) {
    if (name) {
        home_->showNode(name);
        context_.shared.set(*name, kSharedNodeName);
        if (presenter_->lastVpnStatus == 3)
            context_.tunnel.sendMessage("switchNode." + *name);
        if (pages_->pagerouteLoaded)
            pageView_route()->refresh();
    }
    if (message)
        showToast(QString::fromStdString(*message));
}

} // namespace nimo
