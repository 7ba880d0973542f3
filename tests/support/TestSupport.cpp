#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <csignal>
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

PrivateBus::PrivateBus(Access access) {
    QStringList args{QStringLiteral("--session"), QStringLiteral("--nofork"),
                     QStringLiteral("--print-address=1")};
    if (access == Access::AnyUser) {
        // The session configuration lets only the daemon's own user connect.
        QFile config(config_.filePath(QStringLiteral("bus.conf")));
        if (config.open(QIODevice::WriteOnly))
            config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                         "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                         "<allow own=\"*\"/></policy></busconfig>\n");
        args[0] = QStringLiteral("--config-file=") + config.fileName();
    }
    daemon_.start(QStringLiteral("dbus-daemon"), args);
    if (daemon_.waitForStarted(5000) && waitUntil([&] { return daemon_.canReadLine(); }))
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
}

PrivateBus::~PrivateBus() {
    daemon_.kill();
    daemon_.waitForFinished(3000);
}

std::string TempXdg::root() const {
    return dir_.path().toStdString();
}
std::string TempXdg::path(const std::string& relative) const {
    return root() + "/" + relative;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()))
        saved_ = old;
    if (value)
        setenv(name_.c_str(), value->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (saved_)
        setenv(name_.c_str(), saved_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

FakePrograms::FakePrograms() {
    const char* path = std::getenv("PATH");
    path_.emplace("PATH", dir() + ":" + (path ? path : "/usr/bin:/bin"));
}

std::string FakePrograms::add(const std::string& name, const std::string& body) {
    const QString file = dir_.filePath(QString::fromStdString(name));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    out.write("#!/bin/sh\n");
    out.write(body.data(), qint64(body.size()));
    out.write("\n");
    out.close();
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return file.toStdString();
}

std::optional<std::string> readFile(const std::string& path) {
    QFile in(QString::fromStdString(path));
    if (!in.open(QIODevice::ReadOnly))
        return std::nullopt;
    return in.readAll().toStdString();
}

int deadlineScale() {
    static const int scale = [] {
        const char* text = std::getenv("NIMO_TEST_DEADLINE_SCALE");
        const int value = text ? std::atoi(text) : 1;
        return value >= 1 && value <= 100 ? value : 1;
    }();
    return scale;
}

int scaledMs(int ms) {
    return ms * deadlineScale();
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    QElapsedTimer timer;
    timer.start();
    const qint64 limit = deadline.count() * deadlineScale();
    while (!pred()) {
        if (timer.elapsed() > limit)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void stopProcessesStartedIn(const std::string& root, const char* program) {
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        QFile environment(QStringLiteral("/proc/") + pid + QStringLiteral("/environ"));
        if (!cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().contains(program))
            continue;
        if (environment.open(QIODevice::ReadOnly) &&
            environment.readAll().contains(QByteArray::fromStdString(root)))
            ::kill(pid.toInt(), SIGTERM);
    }
}

std::string binDir() {
    if (const char* dir = std::getenv("NIMO_BIN_DIR"))
        return dir;
    return QCoreApplication::applicationDirPath().toStdString();
}

} // namespace nimo::test
