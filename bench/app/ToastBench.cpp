// Main-thread CPU of showing a toast: from Toasts::showToast until the toast window's first paint
// (the fade-in that follows runs on its own). Each toast replaces the previous one of the same
// owner, as a user pressing a button again would see. scripts/bench runs it under Xvfb, where a
// toast without a compositor also grabs the screen behind it.
#include "app/ToastWindowController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <benchmark/benchmark.h>
#include <ctime>

using namespace nimo;

namespace {

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class PaintWatch : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

} // namespace

static void BM_ToastShow(benchmark::State& state) {
    Toasts toasts;
    QObject owner;
    int round = 0;
    for (auto _ : state) {
        PaintWatch watch;
        const double start = threadSeconds();
        toasts.showToast(&owner, QStringLiteral("请先登录再使用 %1").arg(++round));
        if (ToastWindowController* toast = toasts.current(&owner))
            toast->installEventFilter(&watch);
        QElapsedTimer wall;
        wall.start();
        while (!watch.painted && wall.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        state.SetIterationTime(threadSeconds() - start);
        if (!watch.painted)
            state.SkipWithError("the toast was never painted");
        if (ToastWindowController* toast = toasts.current(&owner))
            toast->removeEventFilter(&watch);
    }
}
BENCHMARK(BM_ToastShow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
