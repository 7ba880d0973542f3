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

// What a restore did.
enum class RestoreOutcome {
    NothingSaved, // no saved copy: the desktop was never changed, or is back already
    Restored,     // every saved setting is back and the copy is gone
    Damaged,      // the copy could not be read; it is kept aside and the tunnel's own values are cleared
    Failed,       // something could not be put back; the copy stays for the next try
};

// The desktop's proxy settings: GNOME (GSettings org.gnome.system.proxy, in process), KDE
// (kioslaverc and its reload signal) and proxy.env in the runtime folder for shells. What the user
// had is saved to a file, synced and read back, before the first change, and put back exactly by
// restore(), also by a later process after a crash or a power loss.
class DesktopProxy {
public:
    explicit DesktopProxy(std::string savedFile);

    // The default file: <state>/nimo/desktop-proxy.json.
    static std::string defaultSavedFile();
    static std::string envFile(); // <runtime>/nimo/proxy.env

    // Saves the user's settings unless a saved copy exists already, then applies target. Returns
    // what could not be done ("" when all went well). When the copy cannot be saved nothing changes.
    std::string apply(const ProxyTarget& target);
    // The saving step of apply alone, changing nothing, so that it can run while the process waits.
    std::string save();
    // Loads what the first use of GSettings loads (schemas, the settings backend) ahead of time.
    static void warmUp();
    RestoreOutcome restore();
    bool hasSaved() const;
    // Why the last restore was not Restored/NothingSaved, in words for the user.
    const std::string& restoreProblem() const { return restoreProblem_; }

private:
    std::string saveUsersSettings(bool gnome, bool kde);
    // "" when a saved copy is in place; otherwise why apply must change nothing.
    std::string saveIfMissing(bool gnome, bool kde);
    // Moves a damaged copy aside; the path it went to.
    std::string setAside();

    std::string savedFile_;
    std::string restoreProblem_;
    bool copyInPlace_ = false;
};

// kioslaverc text with the keys of one group replaced (value null: key removed); other groups,
// keys and lines stay as they were, byte for byte, as do lines that already hold the wanted value.
std::string editIniGroup(const std::string& text, const std::string& group, const nlohmann::json& values);
// The value of key in group, or null.
nlohmann::json iniValue(const std::string& text, const std::string& group, const std::string& key);
// Whether url is the address of a tunnel's own auto-config script.
bool isTunnelPacUrl(const std::string& url);

} // namespace nimo::provider
