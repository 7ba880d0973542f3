#include "platform/NotificationCenter.h"

#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <algorithm>

namespace nimo::platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(QObject* owner, const std::string& name, Handler handler) {
    if (!owner || !handler)
        return;
    std::lock_guard lock(mutex_);
    entries_.push_back({nextId_++, QPointer<QObject>(owner), owner, name, std::move(handler)});
}

void NotificationCenter::removeObserver(QObject* owner, const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_,
                  [&](const Entry& e) { return e.ownerKey == owner && (name.empty() || e.name == name); });
}

size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return std::count_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.name == name && !e.owner.isNull(); });
}

bool NotificationCenter::isRegistered(quint64 id) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.id == id; });
}

void NotificationCenter::post(const std::string& name, const QVariant& object) {
    std::vector<Entry> targets;
    {
        std::lock_guard lock(mutex_);
        // Owners that went away without removing themselves are forgotten here.
        std::erase_if(entries_, [](const Entry& e) { return e.owner.isNull(); });
        for (const auto& e : entries_)
            if (e.name == name)
                targets.push_back(e);
    }
    const bool onMain = isMainThread();
    for (auto& e : targets) {
        if (onMain) {
            if (e.owner.isNull())
                continue;
            // An observer removed by an earlier handler of the same post is not called.
            if (isRegistered(e.id))
                e.handler(object);
        } else {
            // From another thread the owner may go at any moment: only the weak reference travels,
            // and the main loop checks it.
            postToMainWeak(e.owner, [this, id = e.id, handler = e.handler, object] {
                if (isRegistered(id))
                    handler(object);
            });
        }
    }
}

} // namespace nimo::platform
