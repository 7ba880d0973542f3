#pragma once

#include "app/MainWindowController.h"
#include "app/ToastWindowController.h"
#include "tunnel/AppContext.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QEvent;

namespace nimo {

class StatusNotifierItem;
struct AppContext;
class Toasts;

// The application: the status item and its menu, the running mode, the main window, the first
// receiver of every tunnel status change, and quit.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // toasts is the context's presenter; the delegate's own toast is the one it shows for itself.
    AppDelegate(const AppContext& context, Toasts& toasts, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate() {}
    bool applicationSupportsSecureRestorableState() const { return true; }

    void powerSwitch();
    void openMainDialog();
    void pacMode();
    void globalMode();
    void quit();

    void handleVpnStatusChange(int status);
    void updateStatusMenu();
    void updateModeMenuItems();
    void showToast(const QString& text);
    // Tells the user how to let the provider run; shown when the tunnel manager asks.
    void showApprovalAlert(const QString& informativeText);

    // The status menu and its outlets.
    QMenu* statusMenu() const { return statusMenu_.get(); }
    QAction* switchLabel() const { return switchLabel_; }
    QAction* toggleRunning() const { return toggleRunning_; }
    QAction* pacItem() const { return pacItem_; }
    QAction* globalItem() const { return globalItem_; }
    QAction* openMainItem() const { return openMainItem_; }
    QAction* quitItem() const { return quitItem_; }

    QSystemTrayIcon* statusItem() const { return statusItem_; }
    // Name of the image the status item shows.
    QString statusIconName() const { return statusIconName_; }
    // True when the desktop shows status items; without one the main window is the way in.
    bool hasStatusItem() const { return hasTray_; }
    // The icon the status item shows for an image name: the idle icon takes the panel's text
    // colour, so it reads on light and dark panels alike.
    static QIcon statusIcon(const QString& name);

    MainWindowController* mainWC() const { return mainWC_.get(); }
    ToastWindowController* toastW() const;
    int lastVpnState() const { return lastVpnState_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildStatusMenu();
    void watchForStatusItemHost();
    void statusItemHostChanged(bool present);
    void setStatusIcon(const QString& name);
    void setSwitchImage(const QString& name);
    void setRunningMode(const char* mode);
    void showMainWindowController();

    const AppContext& context_;
    Toasts& toasts_;
    VPNTunnelManager& tunnel_;
    std::unique_ptr<QMenu> statusMenu_;
    QPointer<QAction> switchLabel_;
    QPointer<QAction> toggleRunning_;
    QPointer<QAction> pacItem_;
    QPointer<QAction> globalItem_;
    QPointer<QAction> openMainItem_;
    QPointer<QAction> quitItem_;
    QSystemTrayIcon* statusItem_ = nullptr;
    StatusNotifierItem* panelItem_ = nullptr; // for a StatusNotifierItem panel, there now or later
    QString statusIconName_;
    bool hasTray_ = false;
    std::unique_ptr<MainWindowController> mainWC_;
    int lastVpnState_ = 0;
    QString deferredToast_;                     // a status toast waiting for the screen's reason to go
    QPointer<ToastWindowController> waitingOn_; // the reason it waits for
};

} // namespace nimo
