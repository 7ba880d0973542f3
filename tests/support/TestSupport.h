#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace nimo::test {

// Points the XDG variables at a fresh temporary folder for the life of the object and restores the
// previous values afterwards.
class TempXdg {
public:
    TempXdg();
    ~TempXdg();
    TempXdg(const TempXdg&) = delete;
    TempXdg& operator=(const TempXdg&) = delete;

    std::string root() const;
    std::string path(const std::string& relative) const;

private:
    QTemporaryDir dir_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Sets an environment variable (or unsets it, for none) for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// A folder of stand-in programs put first on PATH for the life of the object, so code that looks a
// program up by name (xdg-open, pkexec) runs the stand-in.
class FakePrograms {
public:
    FakePrograms();
    // Writes an executable shell script name with body (after a "#!/bin/sh" line); its path.
    std::string add(const std::string& name, const std::string& body);
    std::string dir() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
    std::optional<ScopedEnv> path_;
};

// A session bus of its own for one test: dbus-daemon --session, stopped with the object. address()
// is empty when the daemon did not start. Open to every user, it also serves a client the test runs
// as another user (a desktop session's).
class PrivateBus {
public:
    enum class Access { Owner, AnyUser };
    explicit PrivateBus(Access access = Access::Owner);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    const QString& address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
    QTemporaryDir config_;
};

// The whole content of a file, or none when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

// Processes events until pred() holds or the deadline passes; returns pred()'s last value. The
// deadline is stretched by deadlineScale().
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

// How many times longer the tests' deadlines are in this build: $NIMO_TEST_DEADLINE_SCALE (set by
// the sanitizer builds, which run several times slower), 1 when unset or not a number from 1 to 100.
int deadlineScale();
// ms stretched by deadlineScale(), for deadlines waited on outside waitUntil.
int scaledMs(int ms);

// Sends SIGTERM to every process running program whose environment mentions root (the temporary
// folders of the test that started it, directly or through a client).
void stopProcessesStartedIn(const std::string& root, const char* program);

// Folder of the project's executables (helpers such as store_writer, nimo-tunneld).
std::string binDir();

} // namespace nimo::test
