#include "app/AppDelegate.h"

#include "app/NodesInfoVC.h"
#include "app/SingleInstance.h"
#include "app/StatusNotifierItem.h"
#include "platform/LocalizedStrings.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/Images.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <utility>

namespace nimo {

namespace {

constexpr const char* kMainWindowTitle = "NimoMac";
constexpr const char* kApproveButtonTitle = "允许";
constexpr const char* kApprovalLinuxHint =
    "在 Linux 上，点击“允许”即由隧道服务为当前用户批准网络扩展；也可以在终端运行 "
    "nimo-tunneld approve com.nimomac.qn.sysne。";
constexpr const char* kApprovalDeclined = "激活失败：网络扩展未获批准";

QString localized(const char* key) {
    return QString::fromStdString(platform::localizedString(key));
}

} // namespace

AppDelegate::AppDelegate(const AppContext& context, Toasts& toasts, QObject* parent)
    : QObject(parent), context_(context), toasts_(toasts), tunnel_(context.tunnel) {
    statusItem_ = new QSystemTrayIcon(this);
    buildStatusMenu();
}

AppDelegate::~AppDelegate() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

// The menu of the status item; titles before the first status change.
void AppDelegate::buildStatusMenu() {
    statusMenu_ = std::make_unique<QMenu>();
    statusMenu_->setObjectName(QStringLiteral("statusMenu"));
    QMenu* menu = statusMenu_.get();

    switchLabel_ = menu->addAction(localized("Proxy: Off"));
    switchLabel_->setObjectName(QStringLiteral("switchLabel"));
    setSwitchImage(QString::fromLatin1(images::NSImageNameStatusUnavailable));

    toggleRunning_ = menu->addAction(localized("Turn Proxy On"));
    toggleRunning_->setObjectName(QStringLiteral("toggleRunning"));
    connect(toggleRunning_, &QAction::triggered, this, &AppDelegate::powerSwitch);

    menu->addSeparator();
    pacItem_ = menu->addAction(QStringLiteral("PAC模式"));
    pacItem_->setObjectName(QStringLiteral("pacItem"));
    pacItem_->setCheckable(true);
    connect(pacItem_, &QAction::triggered, this, &AppDelegate::pacMode);

    globalItem_ = menu->addAction(QStringLiteral("全局模式"));
    globalItem_->setObjectName(QStringLiteral("globalItem"));
    globalItem_->setCheckable(true);
    connect(globalItem_, &QAction::triggered, this, &AppDelegate::globalMode);

    menu->addSeparator();
    openMainItem_ = menu->addAction(QStringLiteral("打开主界面"));
    openMainItem_->setObjectName(QStringLiteral("openMainItem"));
    connect(openMainItem_, &QAction::triggered, this, &AppDelegate::openMainDialog);

    menu->addSeparator();
    quitItem_ = menu->addAction(QStringLiteral("退出"));
    quitItem_->setObjectName(QStringLiteral("quitItem"));
    connect(quitItem_, &QAction::triggered, this, &AppDelegate::quit);
}

QIcon AppDelegate::statusIcon(const QString& name) {
    if (name != QLatin1String("vpnstate_off"))
        return images::icon(name);
    const QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
    QIcon icon;
    for (int side : {16, 22, 32, 44, 64}) {
        QPixmap pixmap = images::pixmap(name, QSize(side, side), 1.0);
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), ink);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void AppDelegate::setStatusIcon(const QString& name) {
    statusIconName_ = name;
    const QIcon icon = statusIcon(name);
    statusItem_->setIcon(icon);
    statusItem_->setContextMenu(statusMenu_.get());
    if (panelItem_)
        panelItem_->setIcon(icon.pixmap(QSize(22, 22), 2.0).toImage(), name);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    // A theme switch repaints the idle icon in the new text colour.
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && !statusIconName_.isEmpty())
        setStatusIcon(statusIconName_);
    return QObject::eventFilter(watched, event);
}

void AppDelegate::watchForStatusItemHost() {
    panelItem_ = new StatusNotifierItem(this);
    panelItem_->setMenu(statusMenu_.get());
    // Only a panel that cannot draw the menu itself asks for it to be popped up.
    const auto popUp = [this](const QPoint& at) { statusMenu_->popup(at.isNull() ? QCursor::pos() : at); };
    connect(panelItem_, &StatusNotifierItem::activateRequested, this, &AppDelegate::openMainDialog);
    connect(panelItem_, &StatusNotifierItem::contextMenuRequested, this, popUp);
    connect(panelItem_, &StatusNotifierItem::activationTokenProvided, &SingleInstance::adoptToken);
    connect(panelItem_, &StatusNotifierItem::registeredChanged, this, &AppDelegate::statusItemHostChanged);
    panelItem_->setToolTip(QStringLiteral("NimoMac"));
    setStatusIcon(statusIconName_);
    if (!panelItem_->start()) {
        delete panelItem_;
        panelItem_ = nullptr;
    }
}

void AppDelegate::statusItemHostChanged(bool present) {
    hasTray_ = present;
    QApplication::setQuitOnLastWindowClosed(!present);
    // The panel went away: the window is the way in again.
    if (!present)
        openMainDialog();
}

void AppDelegate::setSwitchImage(const QString& name) {
    switchLabel_->setIcon(images::icon(name));
    switchLabel_->setProperty("imageName", name);
}

void AppDelegate::applicationDidFinishLaunching() {
    setStatusIcon(QStringLiteral("vpnstate_off"));
    statusItem_->setToolTip(QStringLiteral("NimoMac"));
    // A panel of the StatusNotifierItem kind, there now or later, gets our own item. Qt's tray serves
    // only an X11 tray of the older kind. Without either (stock GNOME, bare X) the main window is the
    // way in and closing it ends the client (the tunnel stays up in its service).
    watchForStatusItemHost();
    if (!(panelItem_ && panelItem_->watcherWasThere()) && QSystemTrayIcon::isSystemTrayAvailable()) {
        delete std::exchange(panelItem_, nullptr);
        hasTray_ = true;
        connect(statusItem_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        openMainDialog();
                });
        statusItem_->show();
    }
    QApplication::setQuitOnLastWindowClosed(!hasTray_);
    qApp->installEventFilter(this);

    platform::NotificationCenter::defaultCenter().addObserver(
        this, NOTIFY_UPDATE_RUNNING_MODE_MENU, [this](const QVariant&) { updateModeMenuItems(); });

    showMainWindowController();

    connect(&tunnel_, &VPNTunnelManager::approvalNeeded, this, &AppDelegate::showApprovalAlert);
    QPointer<AppDelegate> weak(this);
    tunnel_.setOnVpnStatusChange(this, [weak](VpnStatus status) {
        if (weak)
            weak->handleVpnStatusChange(static_cast<int>(status));
    });
}

void AppDelegate::showMainWindowController() {
    mainWC_ = MainWindowController::makeMainWindowController(QString::fromLatin1(kMainWindowTitle), context_);
    if (NodesInfoVC* vc = mainWC_->mainVC())
        connect(vc, &NodesInfoVC::startingChanged, this, [this] { updateStatusMenu(); });
    mainWC_->center();
    mainWC_->showWindow();
    mainWC_->activateWindow();
}

void AppDelegate::handleVpnStatusChange(int status) {
    if ((status == 0 || status == 1) && lastVpnState_ == 5)
        showToast(localized("Proxy: Off"));
    else if (status == 3 && lastVpnState_ != 3)
        showToast(localized("Proxy: On"));
    else if (status != 0 && status != 1 && status != 3)
        platform::consoleLog("onVpnStatusChange:" + std::to_string(status));
    lastVpnState_ = status;

    platform::postToMain(this, [this] {
        updateStatusMenu();
        updateModeMenuItems();
    });

    if (mainWC_ && mainWC_->mainVC())
        mainWC_->mainVC()->applyVpnStatus(status);
}

void AppDelegate::showToast(const QString& text) {
    // A reason the main screen shows is not drawn over: the status toast waits until it is gone.
    ToastWindowController* reason =
        mainWC_ && mainWC_->mainVC() ? toasts_.current(mainWC_->mainVC()) : nullptr;
    if (reason && reason->isVisible() && !reason->fadingOut()) {
        deferredToast_ = text;
        if (waitingOn_ != reason) {
            waitingOn_ = reason;
            const auto flush = [this] {
                waitingOn_ = nullptr;
                if (const QString next = std::exchange(deferredToast_, QString()); !next.isEmpty())
                    showToast(next);
            };
            // Queued: the reason goes while the presenter replaces or releases it.
            const auto once = Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection);
            connect(reason, &ToastWindowController::fadedOut, this, flush, once);
            connect(reason, &QObject::destroyed, this, flush, once);
        }
        return;
    }
    toasts_.showToast(this, text);
}

ToastWindowController* AppDelegate::toastW() const {
    return toasts_.current(this);
}

void AppDelegate::showApprovalAlert(const QString& informativeText) {
    QMessageBox alert;
    alert.setObjectName(QStringLiteral("VPNApprovalAlert"));
    alert.setIcon(QMessageBox::Information);
    alert.setText(QStringLiteral("需要系统权限"));
    alert.setInformativeText(informativeText + QStringLiteral("\n\n") +
                             QString::fromUtf8(kApprovalLinuxHint));
    QPushButton* allow = alert.addButton(QString::fromUtf8(kApproveButtonTitle), QMessageBox::AcceptRole);
    allow->setObjectName(QStringLiteral("approveButton"));
    QPushButton* later = alert.addButton(QStringLiteral("知道了"), QMessageBox::RejectRole);
    later->setObjectName(QStringLiteral("declineButton"));
    alert.setDefaultButton(allow);
    alert.setWindowModality(Qt::ApplicationModal);
    alert.exec();
    if (alert.clickedButton() == allow) {
        // The waiting activation goes on once the service has the approval, and the tunnel starts.
        tunnel_.approveExtension(this, [this](bool approved) {
            if (!approved)
                tunnel_.failStart("激活失败：无法批准网络扩展");
        });
        return;
    }
    // Without an approval the activation never finishes: give the start button back now.
    tunnel_.failStart(kApprovalDeclined);
}

void AppDelegate::updateStatusMenu() {
    switch (lastVpnState_) {
    case 0:
    case 1:
        switchLabel_->setText(QString::fromStdString(statusMenuText(lastVpnState_)));
        setSwitchImage(QString::fromLatin1(images::NSImageNameStatusUnavailable));
        toggleRunning_->setText(localized("Turn Proxy On"));
        // Not while a start the window began is still loading its configuration.
        toggleRunning_->setEnabled(!(mainWC_ && mainWC_->mainVC() && mainWC_->mainVC()->isStarting()));
        setStatusIcon(QStringLiteral("vpnstate_off"));
        break;
    case 2:
        switchLabel_->setText(QString::fromStdString(statusMenuText(lastVpnState_)));
        toggleRunning_->setText(QStringLiteral("正在连接"));
        toggleRunning_->setEnabled(false);
        break;
    case 3:
        switchLabel_->setText(QString::fromStdString(statusMenuText(lastVpnState_)));
        setSwitchImage(QString::fromLatin1(images::NSImageNameStatusAvailable));
        toggleRunning_->setText(localized("Turn Proxy Off"));
        toggleRunning_->setEnabled(true);
        setStatusIcon(QStringLiteral("vpnstate_on"));
        break;
    case 5:
        switchLabel_->setText(QString::fromStdString(statusMenuText(lastVpnState_)));
        toggleRunning_->setText(QStringLiteral("正在断开"));
        toggleRunning_->setEnabled(false);
        break;
    default: // 4 (reasserting) and unknown values leave the menu as it is
        break;
    }
}

void AppDelegate::updateModeMenuItems() {
    const std::string mode = runningModeFrom(context_.shared.get(kSharedTunMode));
    pacItem_->setChecked(false);
    globalItem_->setChecked(false);
    if (mode == kTunModeRule)
        pacItem_->setChecked(true);
    else if (mode == kTunModeGlobal)
        globalItem_->setChecked(true);
}

void AppDelegate::powerSwitch() {
    switch (lastVpnState_) {
    case 0:
    case 1:
        if (mainWC_ && mainWC_->mainVC())
            mainWC_->mainVC()->startConnect();
        break;
    case 3:
        tunnel_.stopVPN(this, [this](bool, const std::optional<std::string>&) {
            platform::postToMain(this, [this] { updateStatusMenu(); });
        });
        break;
    default: // 2, 4, 5: busy
        break;
    }
}

void AppDelegate::openMainDialog() {
    if (mainWC_) {
        if (mainWC_->isMinimized())
            mainWC_->showNormal();
        mainWC_->showWindow();
    } else {
        showMainWindowController();
        return;
    }
    mainWC_->activateWindow();
}

void AppDelegate::setRunningMode(const char* mode) {
    if (!tunnel_.switchRunningMode(context_.shared, mode)) {
        // Not stored means not changed: the provider and the menu keep the mode they have.
        showToast(QStringLiteral("运行模式未能保存：本机设置无法写入"));
        return;
    }
    platform::NotificationCenter::defaultCenter().post(NOTIFY_UPDATE_RUNNING_MODE_MENU);
}

void AppDelegate::pacMode() {
    setRunningMode(kTunModeRule);
}

void AppDelegate::globalMode() {
    setRunningMode(kTunModeGlobal);
}

void AppDelegate::quit() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    QApplication::quit();
}

} // namespace nimo
