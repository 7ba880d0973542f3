#include "DesktopProxy.h"

#include "PacServer.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <sstream>

namespace nimo::provider {

namespace {
const platform::SystemLog kLog("provider");

// GSettings keys the modes change, as (schema, key).
const std::vector<std::pair<std::string, std::string>>& gnomeKeys() {
    static const std::vector<std::pair<std::string, std::string>> keys = {
        {"org.gnome.system.proxy", "mode"},         {"org.gnome.system.proxy", "autoconfig-url"},
        {"org.gnome.system.proxy", "ignore-hosts"}, {"org.gnome.system.proxy.socks", "host"},
        {"org.gnome.system.proxy.socks", "port"},   {"org.gnome.system.proxy.http", "host"},
        {"org.gnome.system.proxy.http", "port"},    {"org.gnome.system.proxy.https", "host"},
        {"org.gnome.system.proxy.https", "port"},   {"org.gnome.system.proxy.ftp", "host"},
        {"org.gnome.system.proxy.ftp", "port"}};
    return keys;
}

const std::vector<std::string>& kdeKeys() {
    static const std::vector<std::string> keys = {"ProxyType",  "Proxy Config Script", "socksProxy",
                                                  "httpProxy",  "httpsProxy",          "ftpProxy",
                                                  "NoProxyFor", "ReversedException"};
    return keys;
}
constexpr const char* kKdeGroup = "Proxy Settings";

std::string gsettingsProgram() {
    return QStandardPaths::findExecutable("gsettings").toStdString();
}

// Runs gsettings; its output, or nullopt when it failed.
std::optional<std::string> gsettings(const QStringList& args) {
    static const std::string program = gsettingsProgram();
    if (program.empty())
        return std::nullopt;
    QProcess process;
    process.start(QString::fromStdString(program), args);
    if (!process.waitForFinished(3000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        return std::nullopt;
    }
    return process.readAllStandardOutput().trimmed().toStdString();
}

// The proxy keys as "schema key" -> value text, read by one process; nullopt when GSettings or its
// proxy schema is not there.
std::optional<std::map<std::string, std::string>> gnomeValues() {
    auto text = gsettings({"list-recursively", "org.gnome.system.proxy"});
    if (!text)
        return std::nullopt;
    std::map<std::string, std::string> values;
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find(' ');
        const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second != std::string::npos)
            values[line.substr(0, second)] = line.substr(second + 1);
    }
    if (values.empty())
        return std::nullopt;
    return values;
}

// Sets the keys whose value differs (in the given order); false when one could not be set.
bool gnomeSet(const std::vector<std::array<std::string, 3>>& wanted,
              const std::map<std::string, std::string>& current) {
    bool ok = true;
    for (const auto& [schema, key, value] : wanted) {
        auto it = current.find(schema + " " + key);
        if (it != current.end() && it->second == value)
            continue;
        ok = gsettings({"set", QString::fromStdString(schema), QString::fromStdString(key),
                        QString::fromStdString(value)})
                 .has_value() &&
             ok;
    }
    return ok;
}

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
    return file.read(1024 * 1024).toStdString();
}

bool writeFile(const std::string& path, const std::string& text, QFileDevice::Permissions permissions) {
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(permissions);
    file.write(text.data(), static_cast<qint64>(text.size()));
    return file.commit();
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

std::string gvariantString(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "'";
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
} // namespace

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

std::string DesktopProxy::apply(const ProxyTarget& target) {
    const bool global = target.mode == "global";
    const auto gnome = gnomeValues();
    const bool kde = kdeInUse();
    if (!hasSaved()) {
        nlohmann::json saved = {{"version", 1}};
        if (gnome) {
            nlohmann::json values = nlohmann::json::object();
            for (const auto& [schema, key] : gnomeKeys())
                if (auto it = gnome->find(schema + " " + key); it != gnome->end())
                    values[schema + " " + key] = it->second;
            saved["gnome"] = values;
        }
        if (kde) {
            const std::string text = readFile(kioslaverc()).value_or("");
            nlohmann::json values = nlohmann::json::object();
            for (const auto& key : kdeKeys())
                values[key] = iniValue(text, kKdeGroup, key);
            saved["kde"] = values;
        }
        platform::paths::ensureDir(platform::paths::stateDir(), 0700);
        if (!writeFile(savedFile_, saved.dump(2), QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return "无法保存原有的代理设置，未修改桌面代理";
    }

    std::string problems;
    const std::string socksHost = "127.0.0.1";
    const std::string port = std::to_string(target.socksPort);
    if (gnome) {
        std::vector<std::array<std::string, 3>> values;
        if (global) {
            std::string ignore = "['localhost', '::1'";
            for (const auto& n : directNetworks())
                ignore += ", '" + n + "'";
            ignore += "]";
            values = {{"org.gnome.system.proxy", "ignore-hosts", ignore},
                      {"org.gnome.system.proxy.http", "host", "''"},
                      {"org.gnome.system.proxy.https", "host", "''"},
                      {"org.gnome.system.proxy.ftp", "host", "''"},
                      {"org.gnome.system.proxy.socks", "host", gvariantString(socksHost)},
                      {"org.gnome.system.proxy.socks", "port", port},
                      {"org.gnome.system.proxy", "mode", "'manual'"}};
        } else {
            values = {{"org.gnome.system.proxy", "autoconfig-url", gvariantString(target.pacUrl)},
                      {"org.gnome.system.proxy", "mode", "'auto'"}};
        }
        if (!gnomeSet(values, *gnome))
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
        if (writeFile(kioslaverc(), editIniGroup(text, kKdeGroup, values),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner))
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
    if (!writeFile(envFile(), env.str(), QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        problems += "proxy.env 写入失败；";
    kLog.info(std::string("桌面代理已指向隧道：") + (global ? "全局模式" : "规则模式（PAC）"));
    if (!problems.empty())
        kLog.error("桌面代理设置未全部完成：" + problems);
    return problems;
}

bool DesktopProxy::restore() {
    QFile::remove(QString::fromStdString(envFile()));
    const auto text = readFile(savedFile_);
    if (!text)
        return true;
    const auto saved = nlohmann::json::parse(*text, nullptr, false);
    bool ok = true;
    const auto gnome = gnomeValues();
    if (saved.is_object() && saved.contains("gnome") && saved["gnome"].is_object() && gnome) {
        // The mode goes last, so no program sees the old mode with half-restored details.
        std::vector<std::pair<std::string, std::string>> order = gnomeKeys();
        std::stable_partition(order.begin(), order.end(), [](const auto& k) { return k.second != "mode"; });
        std::vector<std::array<std::string, 3>> values;
        for (const auto& [schema, key] : order) {
            auto value = saved["gnome"].find(schema + " " + key);
            if (value != saved["gnome"].end() && value->is_string())
                values.push_back({schema, key, value->get<std::string>()});
        }
        ok = gnomeSet(values, *gnome);
    }
    if (saved.is_object() && saved.contains("kde") && saved["kde"].is_object()) {
        const std::string current = readFile(kioslaverc()).value_or("");
        if (writeFile(kioslaverc(), editIniGroup(current, kKdeGroup, saved["kde"]),
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            kdeReload();
        else
            ok = false;
    }
    if (!ok) {
        kLog.error("原有的代理设置未能全部恢复，下次启动时重试");
        return false;
    }
    QFile::remove(QString::fromStdString(savedFile_));
    kLog.info("已恢复原有的代理设置");
    return true;
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
                    out += key + "=" + it->get<std::string>() + "\n";
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
    return out;
}

} // namespace nimo::provider
