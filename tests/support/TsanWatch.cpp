// Run by Sanitizer.StillSeesTheThreadThatStartedAProcess in a ThreadSanitizer build: a thread of a
// multi-threaded process starts a QProcess, then races plainly with another thread. The sanitizer
// must report it (it did not before the preloaded clone(): support/TsanVforkClone.cpp).
#include <QCoreApplication>
#include <QProcess>
#include <atomic>
#include <thread>

namespace {
int shared = 0;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::atomic<bool> quit{false};
    std::thread busy([&] {
        while (!quit)
            std::this_thread::yield();
    });
    QProcess child;
    child.start(QStringLiteral("/bin/true"), {});
    child.waitForFinished();
    std::thread reader([] {
        const int seen = shared;
        (void)seen;
    });
    shared = 1;
    reader.join();
    quit = true;
    busy.join();
    return 0;
}
