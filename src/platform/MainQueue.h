#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

namespace nimo::platform {

// Runs fn on the main loop, from any thread. Dropped when owner is destroyed before it runs, so a
// callback never reaches a gone screen or manager. owner must live on the main thread.
void postToMain(QObject* owner, std::function<void()> fn);

// For callers on other threads, where owner may be destroyed while they post: owner is checked on the
// main loop itself. Dropped as well once the application object is gone.
void postToMainWeak(const QPointer<QObject>& owner, std::function<void()> fn);

// Runs fn on the main loop, tied to no owner (dropped only once the application object is gone).
void postToMain(std::function<void()> fn);

// Like postToMain, after ms milliseconds.
void postToMainAfter(QObject* owner, int ms, std::function<void()> fn);

// True when called on the thread of the application's main loop.
bool isMainThread();

} // namespace nimo::platform
