#include "DesktopProxy.h"

#include "PacServer.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDateTime>
#include <QFile>
#include <QLockFile>
#include <QSaveFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gio/gio.h>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace nimo::provider {

namespace {
const platform::SystemLog kLog("provider");
constexpr const char* kProxySchema = "org.gnome.system.proxy";
constexpr const char* kKdeGroup = "Proxy Settings";
constexpr int kSavedVersion = 2;
constexpr qint64 kMaxFile = 1024 * 1024;
constexpr int kLockMs = 3000;

// GSettings keys the modes change, as (schema, key); the mode comes last so no program sees a new
// mode with old details.
const std::vector<std::pair<std::string, std::string>>& gnomeKeys() {
    static const std::vector<std::pair<std::string, std::string>> keys = {
        {"org.gnome.system.proxy", "autoconfig-url"},
        {"org.gnome.system.proxy", "ignore-hosts"},
        {"org.gnome.system.proxy.socks", "host"},
        {"org.gnome.system.proxy.socks", "port"},
        {"org.gnome.system.proxy.http", "host"},
        {"org.gnome.system.proxy.http", "port"},
        {"org.gnome.system.proxy.https", "host"},
        {"org.gnome.system.proxy.https", "port"},
        {"org.gnome.system.proxy.ftp", "host"},
        {"org.gnome.system.proxy.ftp", "port"},
        {"org.gnome.system.proxy", "mode"}};
    return keys;
}

const std::vector<std::string>& kdeKeys() {
    static const std::vector<std::string> keys = {"ProxyType",  "Proxy Config Script", "socksProxy",
                                                  "httpProxy",  "httpsProxy",          "ftpProxy",
                                                  "NoProxyFor", "ReversedException"};
    return keys;
}

// ---- GNOME, through GIO in this process

struct GObjectFree {
    void operator()(gpointer p) const { g_object_unref(p); }
};
using Settings = std::unique_ptr<GSettings, GObjectFree>;

std::string printed(GVariant* value) {
    gchar* text = g_variant_print(value, FALSE);
    std::string out = text;
    g_free(text);
    return out;
}

// The proxy schemas of this machine, or none when GSettings or its proxy schema is not installed
// (g_settings_new would abort on a missing schema).
class Gnome {
public:
    Gnome() {
        GSettingsSchemaSource* source = g_settings_schema_source_get_default();
        if (!source)
            return;
        for (const auto& [schema, key] : gnomeKeys()) {
            if (settings_.count(schema))
                continue;
            GSettingsSchema* found = g_settings_schema_source_lookup(source, schema.c_str(), TRUE);
            if (!found) {
                clear();
                return;
            }
            g_settings_schema_unref(found);
            settings_[schema] = Settings(g_settings_new(schema.c_str()));
            // Changes are kept and written together: one write per schema, not one per key.
            g_settings_delay(settings_[schema].get());
        }
    }
    bool present() const { return !settings_.empty(); }
    void clear() { settings_.clear(); }

    // What the user set (nullopt: the key holds its default).
    std::optional<std::string> userValue(const std::string& schema, const std::string& key) const {
        GVariant* value = g_settings_get_user_value(at(schema), key.c_str());
        if (!value)
            return std::nullopt;
        std::string text = printed(value);
        g_variant_unref(value);
        return text;
    }
    std::string value(const std::string& schema, const std::string& key) const {
        GVariant* value = g_settings_get_value(at(schema), key.c_str());
        std::string text = printed(value);
        g_variant_unref(value);
        return text;
    }
    // For the tunnel: a key that reads as text already, if only by default, is left alone (a write
    // per schema is a file or a dconf commit).
    bool point(const std::string& schema, const std::string& key, const std::string& text) {
        return value(schema, key) == text || set(schema, key, text);
    }
    // Sets (or, for nullopt, resets) the key unless it holds that already; false when refused.
    bool set(const std::string& schema, const std::string& key, const std::optional<std::string>& text) {
        GSettings* s = at(schema);
        if (userValue(schema, key) == text)
            return true;
        if (!g_settings_is_writable(s, key.c_str()))
            return false;
        if (!text) {
            g_settings_reset(s, key.c_str());
            return true;
        }
        GSettingsSchema* schemaInfo = nullptr;
        g_object_get(s, "settings-schema", &schemaInfo, nullptr);
        GSettingsSchemaKey* keyInfo = g_settings_schema_get_key(schemaInfo, key.c_str());
        GVariant* parsed = g_variant_parse(g_settings_schema_key_get_value_type(keyInfo), text->c_str(),
                                           nullptr, nullptr, nullptr);
        g_settings_schema_key_unref(keyInfo);
        g_settings_schema_unref(schemaInfo);
        return parsed && g_settings_set_value(s, key.c_str(), parsed);
    }
    // Writes what was set, the main schema (with the mode) last, and waits until it is stored.
    void sync() {
        for (auto& [schema, settings] : settings_)
            if (schema != kProxySchema)
                g_settings_apply(settings.get());
        if (auto it = settings_.find(kProxySchema); it != settings_.end())
            g_settings_apply(it->second.get());
        g_settings_sync();
    }

private:
    GSettings* at(const std::string& schema) const { return settings_.at(schema).get(); }
    std::map<std::string, Settings> settings_;
};

std::string gvariantString(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "'";
}

std::string gnomeIgnoreHosts() {
    std::string ignore = "['localhost', '::1'";
    for (const auto& n : directNetworks())
        ignore += ", '" + n + "'";
    return ignore + "]";
}

// Keys whose current values are the ones a tunnel writes: these never count as the user's.
std::set<std::string> gnomeTunnelKeys(const Gnome& gnome) {
    const std::string mode = gnome.value(kProxySchema, "mode");
    const std::string pac = gnome.value(kProxySchema, "autoconfig-url");
    const bool rule = mode == "'auto'" && pac.size() > 2 && isTunnelPacUrl(pac.substr(1, pac.size() - 2));
    const bool global = mode == "'manual'" &&
                        gnome.value("org.gnome.system.proxy.socks", "host") == "'127.0.0.1'" &&
                        gnome.value(kProxySchema, "ignore-hosts") == gnomeIgnoreHosts();
    if (rule)
        return {"org.gnome.system.proxy mode", "org.gnome.system.proxy autoconfig-url"};
    if (global)
        return {"org.gnome.system.proxy mode",      "org.gnome.system.proxy ignore-hosts",
                "org.gnome.system.proxy.http host", "org.gnome.system.proxy.https host",
                "org.gnome.system.proxy.ftp host",  "org.gnome.system.proxy.socks host",
                "org.gnome.system.proxy.socks port"};
    return {};
}

// ---- KDE and files

std::string kioslaverc() {
    return platform::paths::configHome() + "/kioslaverc";
}

bool kdeInUse() {
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
    return desktop.toUpper().contains("KDE") || QFile::exists(QString::fromStdString(kioslaverc()));
}

std::optional<std::string> readFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(kMaxFile).toStdString();
}

bool writeFile(const std::string& path, const std::string& text) {
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()) &&
           file.commit();
}

// Writes text to path so that it survives a power loss: temporary file, fsync, rename, fsync of the
// folder, then read back and compared. The reason when any step failed ("" when it is on disk).
std::string writeDurably(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::strerror(errno);
    std::size_t done = 0;
    int error = 0;
    while (done < text.size() && !error) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = n < 0 ? errno : EIO;
        else
            done += static_cast<std::size_t>(n);
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        return std::strerror(error);
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    if (const int dir = ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    const auto back = readFile(path);
    if (!back || *back != text || !nlohmann::json::accept(*back))
        return "读回的内容与写入的不符";
    return {};
}

// Keys whose current values are the ones a tunnel writes.
bool kdeHoldsTunnelValues(const std::string& text) {
    const auto type = iniValue(text, kKdeGroup, "ProxyType");
    const auto socks = iniValue(text, kKdeGroup, "socksProxy");
    const auto script = iniValue(text, kKdeGroup, "Proxy Config Script");
    return (type == "1" && socks.is_string() &&
            socks.get<std::string>().rfind("socks://127.0.0.1 ", 0) == 0) ||
           (type == "2" && script.is_string() && isTunnelPacUrl(script.get<std::string>()));
}

void kdeReload() {
    // KIO re-reads its proxy settings on this signal; without a session bus there is nobody to tell.
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto signal =
        QDBusMessage::createSignal("/KIO/Scheduler", "org.kde.KIO.Scheduler", "reparseSlaveConfiguration");
    signal << QString();
    bus.send(signal);
}

std::string noProxyList(bool withDomains) {
    std::string list = "localhost,::1";
    for (const auto& n : directNetworks())
        list += "," + n;
    if (withDomains)
        for (const auto& d : directDomains())
            list += "," + (d == "localhost" ? d : "." + d);
    return list;
}

// A saved copy this code can put back, or nullopt.
std::optional<nlohmann::json> parseSaved(const std::string& text) {
    auto saved = nlohmann::json::parse(text, nullptr, false);
    if (!saved.is_object() || saved.value("version", 0) != kSavedVersion)
        return std::nullopt;
    if (saved.contains("gnome")) {
        if (!saved["gnome"].is_object())
            return std::nullopt;
        for (const auto& [key, value] : saved["gnome"].items())
            if (!value.is_string() && !value.is_null())
                return std::nullopt;
    }
    if (saved.contains("kde")) {
        const auto& kde = saved["kde"];
        if (!kde.is_object() || !kde.value("values", nlohmann::json()).is_object() ||
            !kde.value("existed", nlohmann::json()).is_boolean())
            return std::nullopt;
        for (const auto& [key, value] : kde["values"].items())
            if (!value.is_string() && !value.is_null())
                return std::nullopt;
    }
    return saved;
}
} // namespace

bool isTunnelPacUrl(const std::string& url) {
    static const std::regex pattern(R"(http://127\.0\.0\.1:[0-9]{1,5}/proxy\.pac)");
    return std::regex_match(url, pattern);
}

DesktopProxy::DesktopProxy(std::string savedFile) : savedFile_(std::move(savedFile)) {}

std::string DesktopProxy::defaultSavedFile() {
    return platform::paths::stateDir() + "/desktop-proxy.json";
}

std::string DesktopProxy::envFile() {
    return platform::paths::runtimeDir() + "/proxy.env";
}

bool DesktopProxy::hasSaved() const {
    return QFile::exists(QString::fromStdString(savedFile_));
}

std::string DesktopProxy::setAside() {
    const std::string aside = savedFile_ + ".corrupt-" +
                              QDateTime::currentDateTimeUtc().toString("yyyyMMddTHHmmsszzz").toStdString();
    if (::rename(savedFile_.c_str(), aside.c_str()) != 0)
        return {};
    return aside;
}

std::string DesktopProxy::saveUsersSettings(bool gnomePresent, bool kde) {
    nlohmann::json saved = {{"version", kSavedVersion}};
    if (gnomePresent) {
        Gnome gnome;
        const auto tunnel = gnomeTunnelKeys(gnome);
        nlohmann::json values = nlohmann::json::object();
        for (const auto& [schema, key] : gnomeKeys()) {
            const std::string name = schema + " " + key;
            const auto user = tunnel.count(name) ? std::nullopt : gnome.userValue(schema, key);
            values[name] = user ? nlohmann::json(*user) : nlohmann::json();
        }
        saved["gnome"] = values;
        if (!tunnel.empty())
            kLog.error("GNOME 的代理设置是隧道自己的设置，不作为用户的设置保存；恢复时重置为默认值");
    }
    if (kde) {
        const auto text = readFile(kioslaverc());
        const bool tunnel = text && kdeHoldsTunnelValues(*text);
        nlohmann::json values = nlohmann::json::object();
        for (const auto& key : kdeKeys())
            values[key] = tunnel ? nlohmann::json() : iniValue(text.value_or(""), kKdeGroup, key);
        saved["kde"] = {{"existed", text.has_value()}, {"values", values}};
        if (text && !tunnel)
            saved["kde"]["text"] = *text;
    }
    if (!platform::paths::ensureDir(platform::paths::stateDir(), 0700))
        return "无法创建目录 " + platform::paths::stateDir();
    return writeDurably(savedFile_, saved.dump(2));
}

std::string DesktopProxy::saveIfMissing(bool gnomePresent, bool kde) {
    if (copyInPlace_ && hasSaved())
        return {}; // written or checked by this process
    QLockFile lock(QString::fromStdString(savedFile_ + ".lock"));
    lock.tryLock(kLockMs);
    bool save = !hasSaved();
    if (!save && !parseSaved(readFile(savedFile_).value_or(""))) {
        const std::string aside = setAside();
        kLog.error("原有的代理设置的保存副本已损坏，已另存为 " + aside);
        save = true;
    }
    if (save) {
        if (const std::string why = saveUsersSettings(gnomePresent, kde); !why.empty()) {
            kLog.error("无法保存原有的代理设置：" + why);
            return "无法保存原有的代理设置，未修改桌面代理（" + why + "）";
        }
    }
    copyInPlace_ = true;
    return {};
}

std::string DesktopProxy::save() {
    Gnome gnome;
    return saveIfMissing(gnome.present(), kdeInUse());
}

void DesktopProxy::warmUp() {
    Gnome gnome;
}

std::string DesktopProxy::apply(const ProxyTarget& target) {
    const bool global = target.mode == "global";
    Gnome gnome;
    const bool kde = kdeInUse();
    if (const std::string why = saveIfMissing(gnome.present(), kde); !why.empty())
        return why;

    std::string problems;
    const std::string socksHost = "127.0.0.1";
    const std::string port = std::to_string(target.socksPort);
    if (gnome.present()) {
        std::vector<std::array<std::string, 3>> values;
        if (global)
            values = {{"org.gnome.system.proxy", "ignore-hosts", gnomeIgnoreHosts()},
                      {"org.gnome.system.proxy.http", "host", "''"},
                      {"org.gnome.system.proxy.https", "host", "''"},
                      {"org.gnome.system.proxy.ftp", "host", "''"},
                      {"org.gnome.system.proxy.socks", "host", gvariantString(socksHost)},
                      {"org.gnome.system.proxy.socks", "port", port},
                      {"org.gnome.system.proxy", "mode", "'manual'"}};
        else
            values = {{"org.gnome.system.proxy", "autoconfig-url", gvariantString(target.pacUrl)},
                      {"org.gnome.system.proxy", "mode", "'auto'"}};
        bool ok = true;
        for (const auto& [schema, key, value] : values)
            ok = gnome.point(schema, key, value) && ok;
        gnome.sync();
        if (!ok)
            problems += "GNOME 代理设置写入失败；";
    }
    if (kde) {
        const std::string text = readFile(kioslaverc()).value_or("");
        nlohmann::json values;
        if (global)
            values = {{"ProxyType", "1"},
                      {"socksProxy", "socks://" + socksHost + " " + port},
                      {"httpProxy", ""},
                      {"httpsProxy", ""},
                      {"ftpProxy", ""},
                      {"NoProxyFor", noProxyList(false)},
                      {"ReversedException", "false"}};
        else
            values = {{"ProxyType", "2"}, {"Proxy Config Script", target.pacUrl}};
        if (writeFile(kioslaverc(), editIniGroup(text, kKdeGroup, values)))
            kdeReload();
        else
            problems += "KDE 代理设置写入失败；";
    }
    const std::string proxy = "socks5h://" + socksHost + ":" + port;
    std::ostringstream env;
    env << "# NimoMac " << (global ? "global" : "rule") << " mode: source this file in a shell\n";
    for (const char* name :
         {"ALL_PROXY", "all_proxy", "HTTP_PROXY", "http_proxy", "HTTPS_PROXY", "https_proxy"})
        env << "export " << name << "=" << proxy << "\n";
    const std::string noProxy = noProxyList(!global);
    env << "export NO_PROXY=" << noProxy << "\nexport no_proxy=" << noProxy << "\n";
    platform::paths::ensureDir(platform::paths::runtimeDir(), 0700);
    if (!writeFile(envFile(), env.str()))
        problems += "proxy.env 写入失败；";
    kLog.info(std::string("桌面代理已指向隧道：") + (global ? "全局模式" : "规则模式（PAC）"));
    if (!problems.empty())
        kLog.error("桌面代理设置未全部完成：" + problems);
    return problems;
}

RestoreOutcome DesktopProxy::restore() {
    copyInPlace_ = false;
    restoreProblem_.clear();
    QFile::remove(QString::fromStdString(envFile()));
    // The copy appears only by rename, so its absence needs no lock: the common start pays nothing.
    if (!hasSaved())
        return RestoreOutcome::NothingSaved;
    QLockFile lock(QString::fromStdString(savedFile_ + ".lock"));
    lock.tryLock(kLockMs);
    const auto text = readFile(savedFile_);
    if (!text && !hasSaved())
        return RestoreOutcome::NothingSaved;
    const auto saved = parseSaved(text.value_or(""));
    Gnome gnome;
    if (!saved) {
        // What the user had is unknown; what must not stay is the desktop pointed at a dead tunnel.
        const std::string aside = setAside();
        if (gnome.present()) {
            for (const auto& name : gnomeTunnelKeys(gnome)) {
                const auto space = name.find(' ');
                gnome.set(name.substr(0, space), name.substr(space + 1), std::nullopt);
            }
            gnome.sync();
        }
        if (const auto kde = readFile(kioslaverc()); kde && kdeHoldsTunnelValues(*kde)) {
            nlohmann::json cleared = nlohmann::json::object();
            for (const auto& key : kdeKeys())
                cleared[key] = nullptr;
            if (writeFile(kioslaverc(), editIniGroup(*kde, kKdeGroup, cleared)))
                kdeReload();
        }
        restoreProblem_ = "原有的代理设置的保存副本已损坏，已另存为 " + aside + "，隧道的代理设置已清除";
        kLog.error(restoreProblem_);
        return RestoreOutcome::Damaged;
    }
    std::string problems;
    if (saved->contains("gnome") && gnome.present()) {
        bool ok = true;
        for (const auto& [schema, key] : gnomeKeys()) {
            const auto& value = (*saved)["gnome"].value(schema + " " + key, nlohmann::json());
            const auto wanted =
                value.is_string() ? std::optional<std::string>(value.get<std::string>()) : std::nullopt;
            ok = gnome.set(schema, key, wanted) && ok;
        }
        gnome.sync();
        for (const auto& [schema, key] : gnomeKeys()) {
            const auto& value = (*saved)["gnome"].value(schema + " " + key, nlohmann::json());
            if (gnome.userValue(schema, key) !=
                (value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt))
                ok = false;
        }
        if (!ok)
            problems += "GNOME 代理设置未能恢复；";
    }
    if (saved->contains("kde")) {
        const auto& kde = (*saved)["kde"];
        const auto current = readFile(kioslaverc());
        const bool existed = kde["existed"].get<bool>();
        std::string restored = editIniGroup(current.value_or(""), kKdeGroup, kde["values"]);
        // Nothing else changed the file meanwhile: it gets its old bytes back.
        if (kde.contains("text") && kde["text"].is_string() &&
            editIniGroup(kde["text"].get<std::string>(), kKdeGroup, kde["values"]) == restored)
            restored = kde["text"].get<std::string>();
        bool ok = true;
        if (!existed && (restored.empty() || restored == std::string("[") + kKdeGroup + "]\n"))
            ok = !current || QFile::remove(QString::fromStdString(kioslaverc()));
        else if (!current || restored != *current)
            ok = writeFile(kioslaverc(), restored);
        if (ok)
            kdeReload();
        else
            problems += "KDE 代理设置未能恢复；";
    }
    if (!problems.empty()) {
        restoreProblem_ = "原有的代理设置未能全部恢复，下次启动时重试：" + problems;
        kLog.error(restoreProblem_);
        return RestoreOutcome::Failed;
    }
    QFile::remove(QString::fromStdString(savedFile_));
    kLog.info("已恢复原有的代理设置");
    return RestoreOutcome::Restored;
}

namespace {
std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}
} // namespace

nlohmann::json iniValue(const std::string& text, const std::string& group, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (!t.empty() && t.front() == '[') {
            inGroup = t == "[" + group + "]";
            continue;
        }
        const auto eq = t.find('=');
        if (inGroup && eq != std::string::npos && trim(t.substr(0, eq)) == key)
            return trim(t.substr(eq + 1));
    }
    return nullptr;
}

std::string editIniGroup(const std::string& text, const std::string& group, const nlohmann::json& values) {
    std::istringstream in(text);
    std::string line, out;
    bool inGroup = false, seenGroup = false;
    std::set<std::string> written;
    auto writeRest = [&] {
        for (auto it = values.begin(); it != values.end(); ++it)
            if (it->is_string() && !written.count(it.key())) {
                out += it.key() + "=" + it->get<std::string>() + "\n";
                written.insert(it.key());
            }
    };
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (!t.empty() && t.front() == '[') {
            if (inGroup)
                writeRest();
            inGroup = t == "[" + group + "]";
            seenGroup = seenGroup || inGroup;
            out += line + "\n";
            continue;
        }
        const auto eq = t.find('=');
        if (inGroup && eq != std::string::npos) {
            const std::string key = trim(t.substr(0, eq));
            auto it = values.find(key);
            if (it != values.end()) {
                if (it->is_string() && !written.count(key)) {
                    const bool same = trim(t.substr(eq + 1)) == it->get<std::string>();
                    out += (same ? line : key + "=" + it->get<std::string>()) + "\n";
                    written.insert(key);
                }
                continue; // replaced, or removed when the saved value was absent
            }
        }
        out += line + "\n";
    }
    if (inGroup) {
        writeRest();
    } else if (!seenGroup) {
        bool any = false;
        for (auto it = values.begin(); it != values.end(); ++it)
            any = any || it->is_string();
        if (any) {
            if (!out.empty() && out.back() != '\n')
                out += "\n";
            out += "[" + group + "]\n";
            writeRest();
        }
    }
    // A last line without its newline keeps it that way when nothing was added after it.
    if (!text.empty() && text.back() != '\n') {
        const auto cut = text.rfind('\n');
        const std::string last = text.substr(cut == std::string::npos ? 0 : cut + 1) + "\n";
        if (out.size() >= last.size() && out.compare(out.size() - last.size(), last.size(), last) == 0)
            out.pop_back();
    }
    return out;
}

} // namespace nimo::provider
