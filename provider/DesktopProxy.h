#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace nimo::provider {

// Where the desktop's programs are pointed: rule mode uses the auto-config script at pacUrl, global
// mode the SOCKS5 port for everything but loopback and private ranges.
struct ProxyTarget {
    std::string mode; // "rule" or "global"
    int socksPort = 0;
    std::string pacUrl;
};

// The desktop's proxy settings: GNOME (GSettings org.gnome.system.proxy), KDE (kioslaverc and its
// reload signal) and proxy.env in the runtime folder for shells. What the user had is saved to a
// file before the first change and put back by restore(), also by a later process after a crash or
// a power loss.
class DesktopProxy {
public:
    explicit DesktopProxy(std::string savedFile);

    // The default file: <state>/nimo/desktop-proxy.json.
    static std::string defaultSavedFile();
    static std::string envFile(); // <runtime>/nimo/proxy.env

    // Saves the user's settings unless a saved copy exists already, then applies target. Returns
    // what could not be done ("" when all went well); what could be done stays done.
    std::string apply(const ProxyTarget& target);
    // Puts back what was saved and forgets it; false when something could not be put back (the
    // saved copy is then kept for the next try).
    bool restore();
    bool hasSaved() const;

private:
    std::string savedFile_;
};

// kioslaverc text with the keys of one group replaced (value nullopt: key removed); other groups,
// keys and lines stay as they were.
std::string editIniGroup(const std::string& text, const std::string& group, const nlohmann::json& values);
// The value of key in group, or null.
nlohmann::json iniValue(const std::string& text, const std::string& group, const std::string& key);

} // namespace nimo::provider
