#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;
class QMenu;

namespace nimo {

class StatusNotifierAdaptor;
class StatusNotifierMenu;

// The status item over the desktop's StatusNotifierItem protocol. Qt's own tray looks for a
// StatusNotifierWatcher once, at start-up, so a panel that starts after the client (as at login)
// would never see it; it offers its icon as pixels only and answers a click with a menu of its own.
// This item watches the session bus and registers whenever a watcher is there, says when it comes
// and goes, offers a themed icon by name, and hands its menu to the panel to draw.
class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
    static constexpr const char* kItemPath = "/StatusNotifierItem";

    explicit StatusNotifierItem(QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // The menu the panel shows for the item; set before start().
    void setMenu(QMenu* menu);
    // Exports the item and starts watching; false without a session bus.
    bool start();
    // A watcher has accepted the item.
    bool isRegistered() const { return registered_; }
    // A watcher was on the bus when the item started.
    bool watcherWasThere() const { return watcherWasThere_; }
    QString serviceName() const { return serviceName_; }

    // The pixels, and the name of the image they were drawn from: an image with a themed symbolic
    // icon in the package is offered by that name too, which a panel draws in its own colour.
    void setIcon(const QImage& icon, const QString& imageName = {});
    void setToolTip(const QString& text);

    // Read by the adaptor.
    QImage icon() const { return icon_; }
    QString iconName() const { return iconName_; }
    // The package's icon theme folder, where the themed icons are.
    static QString iconThemePath();
    // The themed icon for an image, or empty when the package has none.
    static QString themedIconName(const QString& imageName);
    QString toolTip() const { return toolTip_; }
    bool hasMenu() const { return menu_ != nullptr; }

Q_SIGNALS:
    void registeredChanged(bool registered);
    void activateRequested(const QPoint& at);
    void contextMenuRequested(const QPoint& at);
    // The panel's activation token for the window a click is about to bring forward.
    void activationTokenProvided(const QString& token);

private:
    void registerWithWatcher();
    void setRegistered(bool registered);

    StatusNotifierAdaptor* adaptor_ = nullptr;
    QDBusServiceWatcher* watcher_ = nullptr;
    StatusNotifierMenu* menu_ = nullptr;
    QString serviceName_;
    QImage icon_;
    QString iconName_;
    QString toolTip_;
    bool registered_ = false;
    bool watcherWasThere_ = false;
};

} // namespace nimo
