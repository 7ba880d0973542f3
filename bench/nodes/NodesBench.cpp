// Main-thread cost of the route page: the build with 40 items and their flags (first paint
// included), a refresh with 1000 fetched names, and the whole fetch chain against the local account
// service, measured as the main thread's own CPU time (the HTTP worker and the service are not
// counted). Run by hand: bin/nodes_bench (offscreen unless a display is chosen).
#include "NodesFixture.h"

#include <QApplication>
#include <QPixmapCache>
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

std::vector<std::string> everyOther(const std::vector<std::string>& list) {
    std::vector<std::string> out;
    for (size_t i = 0; i < list.size(); i += 2)
        out.push_back(list[i]);
    return out;
}

// Build and first paint; cold: the flag images are rendered anew each time.
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

// The whole road on the main thread: build, both answers (1000 names, 500 subscribed) decoded,
// cached and applied.
static void BM_BuildFetchAndRefresh1000(benchmark::State& state) {
    test::RouteWorld world;
    const auto catalogue = names(1000);
    world.signIn(catalogue, everyOther(catalogue));
    for (auto _ : state) {
        (void)world.settings.remove(keys::allNodes);
        (void)world.settings.remove(keys::subNodes);
        const double start = mainThreadSeconds();
        auto page = world.makePage();
        const bool done = test::waitUntil([&] { return page->myNodeItmes()[0]->title() == catalogue[0]; },
                                          std::chrono::seconds(10));
        benchmark::DoNotOptimize(page->grab());
        state.SetIterationTime(mainThreadSeconds() - start);
        if (!done)
            state.SkipWithError("the fetch chain did not finish");
    }
}
BENCHMARK(BM_BuildFetchAndRefresh1000)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
