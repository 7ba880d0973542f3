#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace nimo::test {

// Stands for a panel's StatusNotifierWatcher: records the items that register, and says a host is
// there so the toolkit offers its own status item at start-up.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items)
public:
    QStringList items;
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }
    void RegisterStatusNotifierHost(const QString&) {}
};

// Stands for the desktop's notification server: records what it is asked to show.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls; // "replaced id|text|expiry"
public Q_SLOTS:
    uint Notify(const QString&, uint replaces, const QString&, const QString& summary, const QString&,
                const QStringList&, const QVariantMap&, int timeout) {
        calls << QStringLiteral("%1|%2|%3").arg(replaces).arg(summary).arg(timeout);
        return replaces ? replaces : 42;
    }
    void CloseNotification(uint) {}
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
};

} // namespace nimo::test
