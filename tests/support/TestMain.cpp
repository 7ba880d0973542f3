#include <QApplication>
#include <cstdlib>
#include <gmock/gmock.h>

// Every test binary runs its Qt code offscreen with a real application object and event loop.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
