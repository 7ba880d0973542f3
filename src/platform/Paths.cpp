#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace nimo::platform::paths {

namespace {
std::string envOr(const char* var, const std::string& fallbackBelowHome) {
    const char* value = std::getenv(var);
    if (value && *value == '/')
        return value;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/" + fallbackBelowHome;
}
} // namespace

std::string configHome() {
    return envOr("XDG_CONFIG_HOME", ".config");
}
std::string dataHome() {
    return envOr("XDG_DATA_HOME", ".local/share");
}
std::string stateHome() {
    return envOr("XDG_STATE_HOME", ".local/state");
}

std::string runtimeHome() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (value && *value == '/')
        return value;
    return "/tmp/nimo-runtime-" + std::to_string(::getuid());
}

std::string settingsDir() {
    return configHome() + "/nimo";
}
std::string settingsFile() {
    return settingsDir() + "/settings.json";
}
std::string keychainDir() {
    return dataHome() + "/nimo/keychain";
}
std::string sharedContainer() {
    return settingsDir() + "/group.com.nimomac.qn";
}
std::string sharedDomainFile() {
    return sharedContainer() + "/Library/Preferences/group.com.nimomac.qn.json";
}
std::string runtimeDir() {
    return runtimeHome() + "/nimo";
}
std::string stateDir() {
    return stateHome() + "/nimo";
}
std::string autostartDir() {
    return configHome() + "/autostart";
}

std::string packageRoot() {
    QDir dir(QCoreApplication::applicationDirPath());
    dir.cdUp();
    return dir.absolutePath().toStdString();
}

std::string resourcesDir() {
    return packageRoot() + "/Contents/Resources";
}

bool ensureDir(const std::string& dir, unsigned mode) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (!QDir().mkpath(QString::fromStdString(dir)))
        return false;
    ::chmod(dir.c_str(), mode);
    return true;
}

} // namespace nimo::platform::paths
