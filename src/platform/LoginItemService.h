#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimo::platform {

// The user's login items are the desktop entries in $XDG_CONFIG_HOME/autostart/: a desktop session
// starts each entry's Exec when the user logs in. An entry belongs to an application when the
// program of its Exec resolves to the application's file (symbolic links followed, a bare name
// looked up on PATH); an entry whose program no longer exists, or that the session would skip
// (Hidden, or disabled for autostart), resolves to nothing and is ignored. The files are written and
// read here, by the desktop-entry rules, never through QSettings.
class LoginItemService {
public:
    // True when an entry resolves to appPath.
    static bool isLoginItem(const std::string& appPath);
    // Writes a new entry for appPath. False when one already resolves to it, when the path cannot be
    // written into an entry (a control character in it), or when the folder cannot be used.
    static bool addLoginItem(const std::string& appPath);
    // Removes every entry that resolves to appPath. False when there was none or the folder cannot be
    // used.
    static bool removeLoginItem(const std::string& appPath);
};

// The running client's own executable: what a login item of "this application" starts.
std::string applicationPath();

// Adds (enabled) or removes the login item of the running client; false when that failed.
bool setLaunchAtLogin(bool enabled);

// The desktop-entry rules the service writes and reads by; exposed for tests.
namespace desktopentry {

// The Exec argument for program: bare when it holds no reserved character, else in double quotes
// with " ` $ \ escaped, and % doubled. None for a text with a control character.
std::optional<std::string> quoteExecArgument(std::string_view program);
// The escapes of a string value: "\" becomes "\\" (the only one a file name needs besides the
// control characters quoteExecArgument refuses).
std::string escapeValue(std::string_view text);
// The inverse of the value escapes: \s \n \t \r \\ ; any other backslash stays as written.
std::string unescapeValue(std::string_view text);
// The arguments of an unescaped Exec value, with quoting and %% undone; field codes (%f, %U, ...)
// standing alone are dropped. None when a quote is left open.
std::optional<std::vector<std::string>> splitExec(std::string_view exec);
// The whole entry a login item of program is written as.
std::optional<std::string> autostartEntry(const std::string& program);

} // namespace desktopentry

} // namespace nimo::platform
