#include "TrafficSupport.h"

#include "DevService.h"
#include "http/SessionManager.h"
#include "service/NMApi.h"
#include "support/TestSupport.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"

#include <QProcess>
#include <QStringList>
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace nimo::test {

class TargetThread {
public:
    explicit TargetThread(httplib::Server& server) : thread_([&server] { server.listen_after_bind(); }) {}
    ~TargetThread() { thread_.join(); }

private:
    std::thread thread_;
};

TrafficTarget::TrafficTarget() : server_(std::make_unique<httplib::Server>()) {
    server_->set_tcp_nodelay(true);
    server_->Get("/", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.remote_addr, "text/plain");
    });
    server_->Get("/bytes", [](const httplib::Request& req, httplib::Response& res) {
        const auto n = std::stoll(req.get_param_value("n").empty() ? "0" : req.get_param_value("n"));
        res.set_content(std::string(static_cast<std::size_t>(std::max<long long>(0, n)), 'x'),
                        "application/octet-stream");
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::make_unique<TargetThread>(*server_);
    for (int i = 0; i < 2000 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TrafficTarget::~TrafficTarget() {
    server_->stop();
    thread_.reset();
}

std::string TrafficTarget::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

namespace {
size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}
} // namespace

std::optional<std::string> fetch(const std::string& url, int socksPort, long timeoutMs) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    const std::string proxy = socksPort ? "socks5h://127.0.0.1:" + std::to_string(socksPort) : "";
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, socksPort ? "" : "*");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK || status != 200)
        return std::nullopt;
    return body;
}

bool portOpen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return open;
}

std::string gsettingsGet(const std::string& schema, const std::string& key) {
    QProcess process;
    process.start("gsettings", {"get", QString::fromStdString(schema), QString::fromStdString(key)});
    process.waitForFinished(5000);
    return process.readAllStandardOutput().trimmed().toStdString();
}

bool gsettingsSet(const std::string& schema, const std::string& key, const std::string& value) {
    return QProcess::execute("gsettings", {"set", QString::fromStdString(schema), QString::fromStdString(key),
                                           QString::fromStdString(value)}) == 0;
}

std::vector<std::string> pacDecisions(const std::string& script, const std::vector<std::string>& hosts) {
    // What browsers give a script; enough of it for IPv4 literals and names.
    const std::string runtime = R"(
function isPlainHostName(h) { return h.indexOf(".") < 0 && h.indexOf(":") < 0; }
function dnsDomainIs(h, d) { return h.length >= d.length && h.substring(h.length - d.length) == d; }
function ip4(a) { return a.split(".").reduce(function (x, y) { return x * 256 + Number(y); }, 0); }
function isInNet(h, p, m) { return ((ip4(h) & ip4(m)) >>> 0) === ((ip4(p) & ip4(m)) >>> 0); }
)";
    const std::string program = runtime + script + "\nvar hosts = " + nlohmann::json(hosts).dump() +
                                ";\nconsole.log(JSON.stringify(hosts.map(function (h) {"
                                " return FindProxyForURL(\"http://\" + h + \"/\", h); })));\n";
    QProcess node;
    node.start("node", {"-e", QString::fromStdString(program)});
    if (!node.waitForFinished(10000) || node.exitCode() != 0)
        return {};
    const auto out = nlohmann::json::parse(node.readAllStandardOutput().toStdString(), nullptr, false);
    if (!out.is_array())
        return {};
    return out.get<std::vector<std::string>>();
}

std::string await(const std::function<void(std::optional<std::string>&)>& start) {
    std::optional<std::string> outcome;
    start(outcome);
    if (!waitUntil([&] { return outcome.has_value(); }, std::chrono::seconds(10)))
        return "no answer";
    return *outcome;
}

std::optional<SubscriptionRecord> signInAndSubscribe(SettingsStore& settings) {
    http::SessionManager session(http::SessionManager::standardConfiguration());
    NMApi api(settings, HostList::main, session);
    EXPECT_EQ(await([&](auto& out) {
                  api.login(devservice::kDemoEmail, devservice::kDemoPassword,
                            {.success = [&](bool stored) { out = stored ? "" : "nothing stored"; },
                             .failure = [&](const NMNetWorkError& e) { out = e.errorDescription(); },
                             .exhausted = [&] { out = "exhausted"; }});
              }),
              "");
    std::optional<SubscriptionRecord> record;
    EXPECT_EQ(await([&](auto& out) {
                  api.loadSubscription(
                      {.success =
                           [&](std::optional<SubscriptionRecord> r) {
                               record = r;
                               out = "";
                           },
                       .failure = [&](const NMNetWorkError& e) { out = e.errorDescription(); },
                       .exhausted = [&] { out = "exhausted"; }});
              }),
              "");
    if (!record || !record->subUuid || record->subUuid->empty()) {
        ADD_FAILURE() << "no subscription identifier";
        return std::nullopt;
    }
    NimoShared::shared().set(*record->subUuid, kSharedSubUuid);
    return record;
}

} // namespace nimo::test
