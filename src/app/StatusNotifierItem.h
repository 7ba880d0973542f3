#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;

namespace nimo {

class StatusNotifierAdaptor;

// The status item over the desktop's StatusNotifierItem protocol. Qt's own tray looks for a
// StatusNotifierWatcher once, at start-up; a panel that starts after the client (as at login) would
// never see it. This item watches the session bus and registers whenever a watcher is there, and
// says when it comes and goes.
class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
    static constexpr const char* kItemPath = "/StatusNotifierItem";

    explicit StatusNotifierItem(QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Exports the item and starts watching; false without a session bus.
    bool start();
    // A watcher has accepted the item.
    bool isRegistered() const { return registered_; }
    QString serviceName() const { return serviceName_; }

    void setIcon(const QImage& icon);
    void setToolTip(const QString& text);

    // Read by the adaptor.
    QImage icon() const { return icon_; }
    QString toolTip() const { return toolTip_; }

Q_SIGNALS:
    void registeredChanged(bool registered);
    void activateRequested(const QPoint& at);
    void contextMenuRequested(const QPoint& at);

private:
    void registerWithWatcher();
    void setRegistered(bool registered);

    StatusNotifierAdaptor* adaptor_ = nullptr;
    QDBusServiceWatcher* watcher_ = nullptr;
    QString serviceName_;
    QImage icon_;
    QString toolTip_;
    bool registered_ = false;
};

} // namespace nimo
