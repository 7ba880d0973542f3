#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>

namespace nimo::test {

namespace {
const char* const kXdgVars[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR",
                                "XDG_CACHE_HOME"};
}

TempXdg::TempXdg() {
    for (const char* var : kXdgVars) {
        const char* old = std::getenv(var);
        saved_[var] = old ? std::optional<std::string>(old) : std::nullopt;
        std::string sub = dir_.path().toStdString() + "/" + var;
        QDir().mkpath(QString::fromStdString(sub));
        QFile::setPermissions(QString::fromStdString(sub),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        setenv(var, sub.c_str(), 1);
    }
}

TempXdg::~TempXdg() {
    for (const auto& [var, value] : saved_) {
        if (value)
            setenv(var.c_str(), value->c_str(), 1);
        else
            unsetenv(var.c_str());
    }
}

std::string TempXdg::root() const {
    return dir_.path().toStdString();
}
std::string TempXdg::path(const std::string& relative) const {
    return root() + "/" + relative;
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > deadline.count())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

std::string binDir() {
    if (const char* dir = std::getenv("NIMO_BIN_DIR"))
        return dir;
    return QCoreApplication::applicationDirPath().toStdString();
}

} // namespace nimo::test
