#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace nimo::platform {

void postToMain(QObject* owner, std::function<void()> fn) {
    if (!owner)
        return;
    // The owner is the context: Qt drops the queued call if it is destroyed first.
    QMetaObject::invokeMethod(owner, std::move(fn), Qt::QueuedConnection);
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
