#pragma once

#include <QObject>
#include <QPointer>
#include <QVariant>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nimo::platform {

// Process-wide notification centre, the platform's default one. Observers are keyed by an owner
// object and dropped when it is destroyed; delivery happens on the main loop (synchronously when
// posted there, queued when posted from another thread).
class NotificationCenter {
public:
    using Handler = std::function<void(const QVariant& object)>;

    static NotificationCenter& defaultCenter();

    void addObserver(QObject* owner, const std::string& name, Handler handler);
    // Removes the owner's observers of name, or all of them when name is empty.
    void removeObserver(QObject* owner, const std::string& name = {});
    void post(const std::string& name, const QVariant& object = {});

    size_t observerCount(const std::string& name) const;

private:
    struct Entry {
        quint64 id;
        QPointer<QObject> owner;
        const QObject* ownerKey;
        std::string name;
        Handler handler;
    };
    bool isRegistered(quint64 id) const;

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    quint64 nextId_ = 1;
};

} // namespace nimo::platform
