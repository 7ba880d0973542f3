#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <deque>
#include <mutex>
#include <utility>

namespace nimo::platform {

namespace {
// Posting to the application object races with its destruction when done from another thread:
// the destructor clears the flag under the same lock first.
std::mutex appMutex;
bool appHooked = false;
bool appAlive = false;
// Calls posted here wait under appMutex and the main loop takes them from there, one per event, in
// order. Qt's own queue would carry them as well, but behind a lock thread checkers cannot see, so
// every call from a worker would look like a data race.
std::deque<std::function<void()>> pending;

// Lives on the main thread; each of its (custom) events runs the oldest pending call.
class PendingRunner : public QObject {
protected:
    void customEvent(QEvent*) override {
        std::function<void()> job;
        {
            std::lock_guard lock(appMutex);
            if (pending.empty())
                return;
            job = std::move(pending.front());
            pending.pop_front();
        }
        job();
    }
};
PendingRunner* runner = nullptr; // guarded by appMutex

// Runs in the application object's destructor, on the main thread.
void appGone() {
    std::deque<std::function<void()>> dropped;
    PendingRunner* gone = nullptr;
    {
        std::lock_guard lock(appMutex);
        appAlive = false;
        appHooked = false;
        dropped.swap(pending);
        gone = std::exchange(runner, nullptr);
    }
    delete gone;
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
        runner = new PendingRunner;
        runner->moveToThread(app->thread());
    }
    if (!appAlive)
        return false;
    static const auto runEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
    pending.push_back(std::move(fn));
    QCoreApplication::postEvent(runner, new QEvent(runEvent));
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
