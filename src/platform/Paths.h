#pragma once

#include <optional>
#include <string>

namespace nimo::platform {

// Every location follows the XDG variables at the time of the call, so tests point them at
// temporary folders.
namespace paths {

std::string configHome();  // $XDG_CONFIG_HOME or ~/.config
std::string dataHome();    // $XDG_DATA_HOME or ~/.local/share
std::string stateHome();   // $XDG_STATE_HOME or ~/.local/state
std::string runtimeHome(); // $XDG_RUNTIME_DIR or <state>/nimo-runtime (never a shared folder)

std::string settingsDir();      // <config>/nimo
std::string settingsFile();     // <config>/nimo/settings.json
std::string keychainDir();      // <data>/nimo/keychain: survives a reset of the settings store
std::string sharedContainer();  // <config>/nimo/group.com.nimomac.qn
std::string sharedDomainFile(); // <container>/Library/Preferences/group.com.nimomac.qn.json
std::string runtimeDir();       // <runtime>/nimo (created 0700 by its users)
std::string stateDir();         // <state>/nimo
std::string autostartDir();     // <config>/autostart
// nimo-netd's socket: $NIMO_NETD_SOCKET, else the system unit's /run/nimo-netd/netd.sock
std::string netdSocket();

// The application package: the folder above the running executable's bin/ folder.
std::string packageRoot();
// Files the application ships beside its executables: <package root>/Contents/Resources.
std::string resourcesDir();

// Creates dir and every missing folder above it with mode (not widened by the umask); true when
// it exists afterwards. Folders that already exist keep their mode.
bool ensureDir(const std::string& dir, unsigned mode);

// True when dir is a real folder (not a link) of the current user that no one else may enter;
// otherwise false with the reason in *why.
bool isPrivateDir(const std::string& dir, std::string* why);

// What the file at a path is now: a program launched from it earlier is stale once it differs.
struct FileStamp {
    unsigned long long device = 0, inode = 0;
    long long size = 0, modifiedSec = 0, modifiedNsec = 0;
    bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> fileStamp(const std::string& path);

} // namespace paths
} // namespace nimo::platform
