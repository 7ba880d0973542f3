// Failover time through the real transport: how long one request takes to reach a working host
// past refused hosts, a host that drops connection attempts and one that accepts and never answers.
// Run by hand: bin/service_failover_bench [runs]
#include "DevServer.h"
#include "DevService.h"
#include "LoopbackPeers.h"
#include "http/SessionManager.h"
#include "service/NMApi.h"
#include "service/UserDefaultsCacheKeys.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

using namespace nimo;
namespace keys = UserDefaultsCacheKeys;

namespace {

constexpr auto kConnectTimeout = std::chrono::milliseconds(250);
constexpr auto kNoDataTimeout = std::chrono::milliseconds(250);

struct Bench {
    SettingsStore& store;
    http::SessionManager& session;
    std::string goodUrl;

    // Milliseconds for one request that fails over through dead entries to the working host; -1
    // when it did not succeed.
    double once(std::vector<std::string> dead) {
        // The working host twice at the end: a slow answer must never push the request on to the
        // built-in hosts outside this machine.
        dead.push_back(goodUrl);
        dead.push_back(goodUrl);
        (void)store.remove(keys::lastOkHost);
        (void)store.set(keys::backupUrls, dead);
        NMApi api(store, HostList::main, session);
        QEventLoop loop;
        bool ok = false;
        QElapsedTimer timer;
        timer.start();
        api.loadPublicSetting({.success =
                                   [&](bool) {
                                       ok = true;
                                       loop.quit();
                                   },
                               .failure = [&](const NMNetWorkError&) { loop.quit(); },
                               .exhausted = [&] { loop.quit(); }});
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        return ok && api.retryIndex() == static_cast<int>(dead.size()) - 2 ? ms : -1;
    }

    double median(int runs, const std::function<std::vector<std::string>()>& entries) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            const double ms = once(entries());
            if (ms < 0)
                return -1;
            times.push_back(ms);
        }
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    // Settings on tmpfs when there is one: each success writes the store, and a disk's fsync would
    // swamp the transport times being measured.
    QTemporaryDir dir(QDir("/dev/shm").exists() ? "/dev/shm/nimo-bench-XXXXXX" : QString());
    SettingsStore store(dir.filePath("settings.json").toStdString(), dir.filePath("keychain").toStdString());

    devservice::DevService service;
    devservice::DevServer server(service);
    if (server.start(0) < 0) {
        std::fprintf(stderr, "cannot start the local service\n");
        return 1;
    }
    auto config = http::SessionConfiguration::defaultConfiguration();
    config.connectTimeout = kConnectTimeout;
    config.noDataTimeout = kNoDataTimeout;
    http::SessionManager session(config);
    Bench bench{store, session, server.baseURL()};

    const double base = bench.median(runs * 3, [] { return std::vector<std::string>{}; });
    std::printf("connect timeout %lld ms, no-data deadline %lld ms, %d runs each (median)\n\n",
                static_cast<long long>(kConnectTimeout.count()),
                static_cast<long long>(kNoDataTimeout.count()), runs);
    std::printf("| case | total ms | cost ms | target ms | |\n|---|---|---|---|---|\n");
    std::printf("| working host only | %.2f | | | |\n", base);
    bool allMet = base >= 0;
    for (int n : {1, 4, 16}) {
        const double total = bench.median(runs, [n] {
            std::vector<std::string> dead;
            for (int i = 0; i < n; ++i)
                dead.push_back(devservice::refusedUrl());
            return dead;
        });
        const double perHost = (total - base) / n;
        const bool met = total >= 0 && perHost < 50;
        allMet = allMet && met;
        std::printf("| %d refused host%s | %.2f | %.2f per host | < 50 per host | %s |\n", n,
                    n > 1 ? "s" : "", total, perHost, met ? "met" : "MISSED");
    }
    {
        devservice::SilentListener dropping(0);
        dropping.fillBacklog();
        const double total = bench.median(runs, [&] { return std::vector<std::string>{dropping.url()}; });
        const double limit = static_cast<double>(kConnectTimeout.count()) + 100;
        const bool met = total >= 0 && total - base < limit;
        allMet = allMet && met;
        std::printf("| connection attempt dropped (full backlog) | %.2f | %.2f | < %.0f | %s |\n", total,
                    total - base, limit, met ? "met" : "MISSED");
    }
    {
        devservice::SilentListener silent(64);
        const double total = bench.median(runs, [&] { return std::vector<std::string>{silent.url()}; });
        const double limit = static_cast<double>(kNoDataTimeout.count()) + 100;
        const bool met = total >= 0 && total - base < limit;
        allMet = allMet && met;
        std::printf("| accepts, never answers | %.2f | %.2f | < %.0f | %s |\n", total, total - base, limit,
                    met ? "met" : "MISSED");
    }
    return allMet ? 0 : 1;
}
