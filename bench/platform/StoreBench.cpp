// Cost of the settings store's reads and writes on a file the size of a signed-in user's settings.
#include "platform/JsonFileStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <thread>

using nimo::platform::JsonFileStore;

namespace {
std::string makeStore(const QTemporaryDir& dir) {
    const std::string path = dir.path().toStdString() + "/settings.json";
    JsonFileStore store(path);
    nlohmann::json nodes = nlohmann::json::array();
    for (int i = 0; i < 40; ++i)
        nodes.push_back("节点-" + std::to_string(i));
    (void)store.update([&](nlohmann::json& o) {
        o["key.nimo.api.token"] = std::string(64, 't');
        o["key.nimo.user.info"] = {{"user_name", "demo"}, {"email", "demo@example.com"}, {"level", 1}};
        o["key.nimo.all.nodes"] = nodes;
        o["key.last.ok.host"] = "https://api1.example.com";
    });
    // Let the file settle so reads can trust the cache.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return path;
}
} // namespace

static void BM_CachedRead(benchmark::State& state) {
    QTemporaryDir dir;
    JsonFileStore store(makeStore(dir));
    for (auto _ : state)
        benchmark::DoNotOptimize(store.string("key.last.ok.host"));
}
BENCHMARK(BM_CachedRead);

static void BM_ReadAfterOtherWriter(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string path = makeStore(dir);
    JsonFileStore reader(path), writer(path);
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        (void)writer.set("key.nimo.serverid", ++i);
        state.ResumeTiming();
        benchmark::DoNotOptimize(reader.integer("key.nimo.serverid"));
    }
}
BENCHMARK(BM_ReadAfterOtherWriter);

static void BM_WriteChanged(benchmark::State& state) {
    QTemporaryDir dir;
    JsonFileStore store(makeStore(dir));
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(store.set("key.nimo.serverid", ++i));
}
BENCHMARK(BM_WriteChanged);

static void BM_WriteUnchanged(benchmark::State& state) {
    QTemporaryDir dir;
    JsonFileStore store(makeStore(dir));
    (void)store.set("key.last.ok.host", "https://api2.example.com");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (auto _ : state)
        benchmark::DoNotOptimize(store.set("key.last.ok.host", "https://api2.example.com"));
}
BENCHMARK(BM_WriteUnchanged);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
