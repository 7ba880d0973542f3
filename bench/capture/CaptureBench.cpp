// Global mode's redirect against the transport's own SOCKS5 port, interleaved: throughput of a
// download and the time to first byte of small requests, a new connection each. As root: a
// "desktop" namespace with nimo-netd and the provider (run as an unprivileged user, capture on), a
// "world" namespace with the node (ss-server) and a web site. Prints one line per figure.
//
//   capture_bench [MB] [requests] [rounds]
#include "CaptureSupport.h"
#include "DevServer.h"
#include "DevService.h"
#include "LoopbackNodes.h"
#include "ProcessActivity.h"
#include "tunnel/TunnelProtocol.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <curl/curl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace nimo;
using namespace nimo::test;

namespace {

constexpr uid_t kUser = 64035;
const std::string kDesktop4 = "198.51.100.2", kNode4 = "198.51.100.1", kSite4 = "203.0.113.10";

size_t discard(char*, size_t size, size_t count, void* total) {
    *static_cast<long long*>(total) += static_cast<long long>(size * count);
    return size * count;
}

// Seconds of the whole transfer (or to its first byte), 0 when it failed or came short.
double fetch(const std::string& url, int socksPort, long long expected, bool firstByte) {
    CURL* curl = curl_easy_init();
    long long bytes = 0;
    const std::string proxy = socksPort ? "socks5://127.0.0.1:" + std::to_string(socksPort) : "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, socksPort ? "" : "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    double seconds = 0;
    if (curl_easy_perform(curl) == CURLE_OK && bytes == expected)
        curl_easy_getinfo(curl, firstByte ? CURLINFO_STARTTRANSFER_TIME : CURLINFO_TOTAL_TIME, &seconds);
    curl_easy_cleanup(curl);
    return seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::string binDir() {
    return QCoreApplication::applicationDirPath().toStdString();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 200;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 9;
    if (const std::string why = captureUnavailableReason(); !why.empty()) {
        std::fprintf(stderr, "capture_bench: %s\n", why.c_str());
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    const std::string tag = std::to_string(::getpid() % 100000);
    Netns desktop("nimo-cb-d" + tag), world("nimo-cb-w" + tag);
    const std::string d = desktop.name(), w = world.name(), dv = "nimo-cb" + tag, wv = "nimo-cbw" + tag;
    for (const std::string& step :
         {"ip link add " + dv + " netns " + d + " type veth peer name " + wv + " netns " + w,
          "ip -n " + d + " addr add " + kDesktop4 + "/24 dev " + dv, "ip -n " + d + " link set " + dv + " up",
          "ip -n " + w + " addr add " + kNode4 + "/24 dev " + wv, "ip -n " + w + " link set " + wv + " up",
          "ip -n " + d + " route add default via " + kNode4,
          "ip -n " + w + " addr add " + kSite4 + "/32 dev lo"})
        if (sh(step) != 0) {
            std::fprintf(stderr, "capture_bench: %s failed\n", step.c_str());
            return 1;
        }

    const std::string big(static_cast<std::size_t>(megabytes) * 1024 * 1024, 'x');
    devservice::DevService account;
    devservice::DevServer accountServer(account);
    devservice::LoopbackNode node("香港 01", kNode4);
    httplib::Server site, hostCheck;
    std::thread siteThread, hostThread;
    {
        InNetns in(d);
        accountServer.start(0);
    }
    {
        InNetns in(w);
        std::string error;
        if (!node.start(&error)) {
            std::fprintf(stderr, "capture_bench: node: %s\n", error.c_str());
            return 1;
        }
        site.set_tcp_nodelay(true);
        site.Get("/big", [&big](const httplib::Request&, httplib::Response& res) {
            res.set_content(big, "application/octet-stream");
        });
        site.Get("/small", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("ok", "text/plain");
        });
        // The provider's check asks the account host through the node: the world answers it too.
        hostCheck.Get("/.*", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/plain");
        });
        if (!site.bind_to_port(kSite4.c_str(), 80) ||
            !hostCheck.bind_to_port("127.0.0.1", accountServer.port())) {
            std::fprintf(stderr, "capture_bench: the web site could not listen\n");
            return 1;
        }
        siteThread = std::thread([&] { site.listen_after_bind(); });
        hostThread = std::thread([&] { hostCheck.listen_after_bind(); });
    }
    account.setServers(nlohmann::json::array({node.serverEntry()}));

    QTemporaryDir home, netdDir;
    const std::string h = home.path().toStdString();
    for (const char* sub : {"", "/run", "/state", "/config", "/data"}) {
        ::mkdir((h + sub).c_str(), 0700);
        [[maybe_unused]] int ignored = ::chown((h + sub).c_str(), kUser, kUser);
    }
    ::chmod(h.c_str(), 0755);
    ::chmod(netdDir.path().toStdString().c_str(), 0755);
    const std::string netdSocket = netdDir.path().toStdString() + "/netd.sock";
    QProcess netd;
    netd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    netd.start("/bin/sh", {"-c", QString::fromStdString("exec " + desktop.exec() + binDir() +
                                                        "/nimo-netd --socket " + netdSocket)});

    const std::string id = std::to_string(kUser);
    const std::string provider = binDir() +
                                 "/../Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension/"
                                 "Contents/bin/com.nimomac.qn.sysne";
    QProcess tunnel;
    tunnel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tunnel.start(
        "/bin/sh",
        {"-c", QString::fromStdString(
                   "exec " + desktop.exec() + "setpriv --reuid=" + id + " --regid=" + id +
                   " --clear-groups env -i PATH=/usr/bin:/bin HOME=" + h + " XDG_RUNTIME_DIR=" + h +
                   "/run XDG_STATE_HOME=" + h + "/state XDG_CONFIG_HOME=" + h + "/config XDG_DATA_HOME=" + h +
                   "/data GSETTINGS_BACKEND=keyfile NIMO_NETD_SOCKET=" + netdSocket + " " + provider)});
    tunnel.waitForStarted();
    while (netdRequest(netdSocket, {"{}"}).find("error:") == 0) // listening once it answers
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tunnel.write(tunnelproto::encodeLine({{"type", "start"},
                                          {"options",
                                           {{"subuuid", "6f1d2c8e-4b7a-4e0f-9c1d-2a5b8e7f3c90"},
                                            {"host", accountServer.baseURL()},
                                            {"nodeName", ""},
                                            {"tunMode", "global"}}}}));
    int socksPort = 0;
    tunnelproto::LineBuffer lines;
    bool connected = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int asked = 0; std::chrono::steady_clock::now() < deadline && !socksPort; ++asked) {
        tunnel.waitForReadyRead(100);
        for (const auto& line : lines.feed(tunnel.readAllStandardOutput())) {
            const auto message = nlohmann::json::parse(line.text, nullptr, false);
            const std::string type = message.is_object() ? message.value("type", "") : "";
            if (type == "status" && message.value("status", 0) == 3)
                connected = true;
            if (type == "status" && message.value("status", 0) == 1) {
                std::fprintf(stderr, "capture_bench: provider: %s\n", message.value("error", "").c_str());
                return 1;
            }
            if (type == "reply" && message.contains("data")) {
                const auto reply = tunnelproto::fromBase64(message["data"]);
                const auto state = nlohmann::json::parse(reply ? reply->toStdString() : "", nullptr, false);
                if (state.is_object() && state["state"].is_object() &&
                    state["state"].value("capture", "") == "on")
                    socksPort = state["state"].value("socksPort", 0);
            }
        }
        if (connected && !socksPort && asked % 5 == 0) // capture comes a moment after connected
            tunnel.write(tunnelproto::encodeLine(
                {{"type", "message"}, {"id", asked}, {"data", tunnelproto::toBase64("Hello")}}));
    }
    if (!socksPort) {
        std::fprintf(stderr, "capture_bench: the capture did not come on\n");
        return 1;
    }

    const std::string bigUrl = "http://" + kSite4 + "/big", smallUrl = "http://" + kSite4 + "/small";
    const auto size = static_cast<long long>(big.size());
    // Each road as the user, interleaved: the machine's drift falls on both alike. The provider's
    // CPU over the downloads is the relay's cost: the SOCKS5 road does not pass through it.
    const bench::Activity before = bench::processActivity(tunnel.processId());
    const std::string rates = runAs(
        d, kUser,
        [&] {
            // Each round's pair gives a ratio: a burst of load falls on one pair, not on one road.
            std::vector<double> redirect, socks, ratios;
            for (int round = 0; round < rounds; ++round) {
                for (const int port : {0, socksPort}) {
                    const double s = fetch(bigUrl, port, size, false);
                    if (s <= 0)
                        return std::string("transfer failed");
                    (port ? socks : redirect).push_back(static_cast<double>(megabytes) / s);
                }
                ratios.push_back(redirect.back() / socks.back());
            }
            return std::to_string(median(redirect)) + " " + std::to_string(median(socks)) + " " +
                   std::to_string(median(ratios));
        },
        600000);
    const double relayTicks =
        static_cast<double>(bench::processActivity(tunnel.processId()).ticks - before.ticks);
    const std::string firsts = runAs(
        d, kUser,
        [&] {
            std::vector<double> redirect, socks;
            for (int i = 0; i < requests; ++i)
                for (const int port : {0, socksPort}) {
                    const double s = fetch(smallUrl, port, 2, true);
                    if (s <= 0)
                        return std::string("request failed");
                    (port ? socks : redirect).push_back(s * 1000);
                }
            return std::to_string(median(redirect)) + " " + std::to_string(median(socks));
        },
        600000);
    double redirectRate = 0, socksRate = 0, ratio = 0, redirectMs = 0, socksMs = 0;
    if (std::sscanf(rates.c_str(), "%lf %lf %lf", &redirectRate, &socksRate, &ratio) != 3 ||
        std::sscanf(firsts.c_str(), "%lf %lf", &redirectMs, &socksMs) != 2) {
        std::fprintf(stderr, "capture_bench: %s / %s\n", rates.c_str(), firsts.c_str());
        return 1;
    }
    std::printf("throughput %lld MB, median of %d: redirect %.1f MB/s, socks %.1f MB/s, ratio %.3f\n",
                megabytes, rounds, redirectRate, socksRate, ratio);
    std::printf("relay CPU: %.3f s per 100 MB\n", relayTicks / static_cast<double>(::sysconf(_SC_CLK_TCK)) *
                                                      100.0 / static_cast<double>(megabytes * rounds));
    std::printf("first byte, %d requests each: redirect %.3f ms, socks %.3f ms, extra %.3f ms\n", requests,
                redirectMs, socksMs, redirectMs - socksMs);

    tunnel.write(tunnelproto::encodeLine({{"type", "stop"}}));
    tunnel.waitForFinished(5000);
    netd.kill();
    netd.waitForFinished();
    sh(desktop.exec() + "nft flush ruleset");
    site.stop();
    hostCheck.stop();
    siteThread.join();
    hostThread.join();
    accountServer.stop();
    return 0;
}
