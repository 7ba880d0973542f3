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
    QString iconName_;
    QString toolTip_;
    bool registered_ = false;
};

} // namespace nimo
