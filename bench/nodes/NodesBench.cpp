// Main-thread cost of the route page: the build with 40 items and their flags (first paint
// included), a refresh with 1000 fetched names, and the whole fetch chain against the local account
// service, measured as the main thread's own CPU time (the HTTP worker and the service are not
// counted). Run by hand: bin/nodes_bench (offscreen unless a display is chosen).
#include "NodesFixture.h"
#include "ProcessActivity.h"

#include <QApplication>
#include <QEventLoop>
#include <QPixmapCache>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <ctime>

using namespace nimo;
namespace keys = UserDefaultsCacheKeys;

namespace {

double mainThreadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const std::vector<std::string> kCountries = {
    "香港", "日本", "美国",   "新加坡", "德国", "韩国",   "台湾",   "巴西",   "印度",   "马来西亚",
    "英国", "法国", "俄罗斯", "泰国",   "迪拜", "菲律宾", "西班牙", "意大利", "墨西哥", "印度尼西亚"};

std::vector<std::string> names(size_t count, int round = 0) {
    std::vector<std::string> out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(kCountries[i % kCountries.size()] + " " +
                      std::to_string(i + static_cast<size_t>(round)));
    return out;
}

// Waits in the event loop (asleep, unlike a polling wait, so the wait itself costs no CPU) until
// pred holds or 30 s have passed.
bool waitAsleep(const std::function<bool()>& pred) {
    QEventLoop loop;
    QTimer check;
    check.setInterval(25);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (pred())
            loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    check.start();
    if (!pred())
        loop.exec();
    return pred();
}

std::vector<std::string> everyOther(const std::vector<std::string>& list) {
    std::vector<std::string> out;
    for (size_t i = 0; i < list.size(); i += 2)
        out.push_back(list[i]);
    return out;
}

// Build and first paint; cold: the flag pixmaps are made anew each time.
void buildPage(benchmark::State& state, bool cold) {
    test::RouteWorld world;
    const auto catalogue = names(40);
    (void)world.settings.set(keys::allNodes, catalogue);
    (void)world.settings.set(keys::subNodes, everyOther(catalogue));
    world.select(catalogue[2]);
    for (auto _ : state) {
        if (cold)
            QPixmapCache::clear();
        const double start = mainThreadSeconds();
        auto page = std::make_unique<NodePageView>(world.context, &world.window);
        page->setGeometry(0, 128, 920, 452);
        page->buildPage();
        benchmark::DoNotOptimize(page->grab());
        state.SetIterationTime(mainThreadSeconds() - start);
    }
}

} // namespace

static void BM_BuildWithFlags(benchmark::State& state) {
    buildPage(state, false);
}
BENCHMARK(BM_BuildWithFlags)->UseManualTime()->Unit(benchmark::kMillisecond);

static void BM_BuildWithFlagsCold(benchmark::State& state) {
    buildPage(state, true);
}
BENCHMARK(BM_BuildWithFlagsCold)->UseManualTime()->Unit(benchmark::kMillisecond);

// reloadNodeItems with 1000 names and 500 subscribed, alternating two lists so every label changes.
static void BM_Refresh1000(benchmark::State& state) {
    test::RouteWorld world;
    auto page = world.makePage();
    const auto a = names(1000, 0), b = names(1000, 1);
    const auto subA = everyOther(a), subB = everyOther(b);
    world.select(a[4]);
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        const double start = mainThreadSeconds();
        page->reloadNodeItems(flip ? a : b, flip ? subA : subB);
        benchmark::DoNotOptimize(page->grab());
        state.SetIterationTime(mainThreadSeconds() - start);
    }
}
BENCHMARK(BM_Refresh1000)->UseManualTime()->Unit(benchmark::kMillisecond);

// The whole road on the main thread: build, both answers (N names, N/2 subscribed) decoded, cached
// and applied. 100000 names are trimmed to 1000 on the worker.
static void BM_BuildFetchAndRefresh(benchmark::State& state) {
    // Deadlines long enough for the 100000-name answers on a loaded machine.
    auto config = http::SessionConfiguration::defaultConfiguration();
    config.noDataTimeout = std::chrono::seconds(20);
    config.requestTimeout = std::chrono::seconds(30);
    test::RouteWorld world(config);
    const auto catalogue = names(static_cast<size_t>(state.range(0)));
    world.signIn(catalogue, everyOther(catalogue));
    if (state.range(1) > 0)
        world.service.script({{"path", "/api/public/sub/getNodeNames"}, {"delay_ms", state.range(1)}});
    // Resident memory the first road leaves, the page still up: what a user's client keeps.
    const long residentBefore = bench::statusKiB(0, "VmRSS:");
    bool first = true;
    for (auto _ : state) {
        (void)world.settings.remove(keys::allNodes);
        (void)world.settings.remove(keys::subNodes);
        const double start = mainThreadSeconds();
        auto page = world.makePage();
        const bool done = waitAsleep([&] { return page->myNodeItmes()[0]->title() == catalogue[0]; });
        benchmark::DoNotOptimize(page->grab());
        state.SetIterationTime(mainThreadSeconds() - start);
        if (first)
            state.counters["rss_growth_MiB"] =
                static_cast<double>(bench::statusKiB(0, "VmRSS:") - residentBefore) / 1024.0;
        first = false;
        if (!done)
            state.SkipWithError("the fetch chain did not finish");
    }
}
BENCHMARK(BM_BuildFetchAndRefresh)
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({100000, 0})
    ->Args({1000, 300})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
