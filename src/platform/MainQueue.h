#pragma once

#include <QObject>
#include <functional>

namespace nimo::platform {

// Runs fn on the main loop, from any thread. Dropped when owner is destroyed before it runs, so a
// callback never reaches a gone screen or manager. owner must live on the main thread.
void postToMain(QObject* owner, std::function<void()> fn);

// Like postToMain, after ms milliseconds.
void postToMainAfter(QObject* owner, int ms, std::function<void()> fn);

// True when called on the thread of the application's main loop.
bool isMainThread();

} // namespace nimo::platform
