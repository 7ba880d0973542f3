#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <mutex>

namespace nimo::platform {

namespace {
// Posting to the application object races with its destruction when done from another thread:
// the destructor clears the flag under the same lock first.
std::mutex appMutex;
bool appHooked = false;
bool appAlive = false;

void appGone() {
    std::lock_guard lock(appMutex);
    appAlive = false;
    appHooked = false;
}

// Posts fn to the main loop; false when there is no application object.
bool postToApp(std::function<void()> fn) {
    std::lock_guard lock(appMutex);
    auto* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (!appHooked) {
        appHooked = true;
        appAlive = true;
        qAddPostRoutine(appGone);
    }
    if (!appAlive)
        return false;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
    return true;
}
} // namespace

void postToMain(QObject* owner, std::function<void()> fn) {
    if (!owner)
        return;
    // The owner is the context: Qt drops the queued call if it is destroyed first.
    QMetaObject::invokeMethod(owner, std::move(fn), Qt::QueuedConnection);
}

void postToMainWeak(const QPointer<QObject>& owner, std::function<void()> fn) {
    postToApp([owner, fn = std::move(fn)] {
        if (owner)
            fn();
    });
}

void postToMain(std::function<void()> fn) {
    postToApp(std::move(fn));
}

void postToMainAfter(QObject* owner, int ms, std::function<void()> fn) {
    if (!owner)
        return;
    // A timer must be started from a thread with an event loop: arm it from the main loop.
    postToMain(owner,
               [owner, ms, fn = std::move(fn)]() mutable { QTimer::singleShot(ms, owner, std::move(fn)); });
}

bool isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace nimo::platform
