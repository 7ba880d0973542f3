#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimo::platform::paths {

namespace {
// $HOME, else the home folder of the account: never a folder other users can write to.
std::string homeDir() {
    const char* home = std::getenv("HOME");
    if (home && *home == '/')
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/')
        return pw->pw_dir;
    return "/nonexistent";
}

std::string envOr(const char* var, const std::string& fallbackBelowHome) {
    const char* value = std::getenv(var);
    if (value && *value == '/')
        return value;
    return homeDir() + "/" + fallbackBelowHome;
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
    // A name under /tmp can be created first by anyone; the state folder is the user's own.
    return stateHome() + "/nimo-runtime";
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
std::string netdSocket() {
    const char* path = std::getenv("NIMO_NETD_SOCKET");
    return path && *path ? path : "/run/nimo-netd/netd.sock";
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
    // Every folder made here gets mode itself, whatever the umask: a permissive umask must not
    // leave a folder above a private file open to others.
    std::string path;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty() || ::stat(path.c_str(), &st) == 0)
            continue;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        ::chmod(path.c_str(), mode);
    }
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isPrivateDir(const std::string& dir, std::string* why) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        *why = "无法读取 " + dir;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = dir + " 不是文件夹";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        *why = dir + " 不属于当前用户";
        return false;
    }
    if ((st.st_mode & 0077) != 0) {
        *why = dir + " 对其他用户开放";
        return false;
    }
    return true;
}

std::optional<FileStamp> fileStamp(const std::string& path) {
    struct stat file {};
    if (path.empty() || ::stat(path.c_str(), &file) != 0)
        return std::nullopt;
    return FileStamp{file.st_dev, file.st_ino, file.st_size, file.st_mtim.tv_sec, file.st_mtim.tv_nsec};
}

} // namespace nimo::platform::paths
