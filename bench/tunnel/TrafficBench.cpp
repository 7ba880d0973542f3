// Traffic through the tunnel on loopback against a direct connection: throughput of a 100 MB
// transfer, median time to first byte of 1000 small requests, and CPU time of the provider, its
// transport helper and the node per MB. A real provider (started as the tunnel service starts it),
// a real node (ss-server) and a loopback HTTP target; the desktop settings go to a temporary keyfile.
//
//   traffic_bench [MB] [requests]
#include "DevServer.h"
#include "DevService.h"
#include "LoopbackNodes.h"
#include "tunnel/TunnelProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <curl/curl.h>
#include <fstream>
#include <httplib.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace nimo;

namespace {

size_t discard(char*, size_t size, size_t count, void* total) {
    *static_cast<long long*>(total) += static_cast<long long>(size * count);
    return size * count;
}

struct Fetch {
    bool ok = false;
    long long bytes = 0;
    double seconds = 0;   // whole transfer
    double firstByte = 0; // time to first byte
};

Fetch fetch(const std::string& url, int socksPort) {
    CURL* curl = curl_easy_init();
    Fetch out;
    const std::string proxy = socksPort ? "socks5h://127.0.0.1:" + std::to_string(socksPort) : "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, socksPort ? "" : "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.bytes);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    out.ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME, &out.seconds);
    curl_easy_getinfo(curl, CURLINFO_STARTTRANSFER_TIME, &out.firstByte);
    curl_easy_cleanup(curl);
    return out;
}

// User + system CPU time of a process in seconds, from /proc.
double cpuSeconds(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

qint64 firstChild(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    qint64 child = 0;
    in >> child;
    return child;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 1000;

    QTemporaryDir home;
    for (const char* var : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME"}) {
        const QString dir = home.path() + "/" + var;
        QDir().mkpath(dir);
        qputenv(var, dir.toUtf8());
    }
    qputenv("GSETTINGS_BACKEND", "keyfile");

    httplib::Server target;
    target.set_tcp_nodelay(true);
    const std::string big(static_cast<std::size_t>(megabytes) * 1024 * 1024, 'x');
    target.Get("/big", [&big](const httplib::Request&, httplib::Response& res) {
        res.set_content(big, "application/octet-stream");
    });
    target.Get("/small",
               [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    const int targetPort = target.bind_to_any_port("127.0.0.1");
    std::thread targetThread([&] { target.listen_after_bind(); });

    devservice::LoopbackNode node("香港 01", "127.0.0.2");
    std::string error;
    if (!node.start(&error)) {
        std::fprintf(stderr, "node: %s\n", error.c_str());
        return 1;
    }
    devservice::DevService account;
    account.setServers(nlohmann::json::array({node.serverEntry()}));
    devservice::DevServer accountServer(account);
    accountServer.start(0);

    QProcess provider;
    provider.setProgram(
        QCoreApplication::applicationDirPath() +
        "/../Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension/Contents/bin/"
        "com.nimomac.qn.sysne");
    provider.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    provider.start();
    provider.waitForStarted();
    provider.write(tunnelproto::encodeLine({{"type", "start"},
                                            {"options",
                                             {{"subuuid", "6f1d2c8e-4b7a-4e0f-9c1d-2a5b8e7f3c90"},
                                              {"host", accountServer.baseURL()},
                                              {"nodeName", ""},
                                              {"tunMode", "global"}}}}));
    provider.write(
        tunnelproto::encodeLine({{"type", "message"}, {"id", 1}, {"data", tunnelproto::toBase64("Hello")}}));
    int socksPort = 0;
    tunnelproto::LineBuffer lines;
    bool connected = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && !(connected && socksPort)) {
        provider.waitForReadyRead(100);
        for (const auto& line : lines.feed(provider.readAllStandardOutput())) {
            const auto message = nlohmann::json::parse(line.text, nullptr, false);
            if (message.value("type", "") == "status" && message.value("status", 0) == 3)
                connected = true;
            if (message.value("type", "") == "status" && message.value("status", 0) == 1) {
                std::fprintf(stderr, "provider: %s\n", message.value("error", "").c_str());
                return 1;
            }
            if (connected && message.value("type", "") == "reply" && message.contains("data")) {
                const auto reply = tunnelproto::fromBase64(message["data"]);
                const auto state = nlohmann::json::parse(reply ? reply->toStdString() : "", nullptr, false);
                socksPort = state.is_object() ? state["state"].value("socksPort", 0) : 0;
            }
        }
        if (connected && !socksPort) // the hello came before connected: ask again
            provider.write(tunnelproto::encodeLine(
                {{"type", "message"}, {"id", 2}, {"data", tunnelproto::toBase64("Hello")}}));
    }
    if (!socksPort) {
        std::fprintf(stderr, "the tunnel did not come up\n");
        return 1;
    }
    const qint64 providerPid = provider.processId();
    const qint64 helperPid = firstChild(providerPid);
    const std::string bigUrl = "http://127.0.0.1:" + std::to_string(targetPort) + "/big";
    const std::string smallUrl = "http://127.0.0.1:" + std::to_string(targetPort) + "/small";

    std::printf("transfer of %lld MB (best of 3)\n", megabytes);
    for (const int port : {0, socksPort}) {
        double best = 0;
        double cpuProvider = 0, cpuHelper = 0, cpuNode = 0;
        for (int round = 0; round < 3; ++round) {
            const double p0 = cpuSeconds(providerPid), h0 = cpuSeconds(helperPid),
                         n0 = cpuSeconds(node.pid());
            const Fetch f = fetch(bigUrl, port);
            if (!f.ok || f.bytes != static_cast<long long>(big.size())) {
                std::fprintf(stderr, "transfer failed\n");
                return 1;
            }
            const double rate = static_cast<double>(f.bytes) / (1024.0 * 1024.0) / f.seconds;
            if (rate > best) {
                best = rate;
                cpuProvider = cpuSeconds(providerPid) - p0;
                cpuHelper = cpuSeconds(helperPid) - h0;
                cpuNode = cpuSeconds(node.pid()) - n0;
            }
        }
        std::printf("  %-8s %8.1f MB/s", port ? "tunnel" : "direct", best);
        if (port)
            std::printf("   CPU per MB: provider %.3f ms, transport helper %.3f ms, node %.3f ms",
                        cpuProvider * 1000 / static_cast<double>(megabytes),
                        cpuHelper * 1000 / static_cast<double>(megabytes),
                        cpuNode * 1000 / static_cast<double>(megabytes));
        std::printf("\n");
    }

    std::printf("time to first byte, %d requests, a new connection each (median / 90th percentile)\n",
                requests);
    for (const int port : {0, socksPort}) {
        std::vector<double> times;
        for (int i = 0; i < requests; ++i) {
            const Fetch f = fetch(smallUrl, port);
            if (f.ok)
                times.push_back(f.firstByte * 1000);
        }
        std::sort(times.begin(), times.end());
        const double p90 = times.empty() ? 0 : times[times.size() * 9 / 10];
        std::printf("  %-8s %7.3f ms / %7.3f ms  (%zu ok)\n", port ? "tunnel" : "direct", median(times), p90,
                    times.size());
    }

    provider.write(tunnelproto::encodeLine({{"type", "stop"}}));
    provider.waitForFinished(5000);
    target.stop();
    targetThread.join();
    accountServer.stop();
    return 0;
}
