#include "app/SingleInstance.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <future>
#include <gtest/gtest.h>

using namespace nimo;
using nimo::test::waitUntil;

namespace {
// Asks from another thread, as a second process would, while this thread runs the event loop.
std::future<bool> notifyInBackground(const QString& dir, const QString& token = {}) {
    return std::async(std::launch::async, [dir, token] {
        SingleInstance later(dir);
        return later.notifyPrimary(3000, token);
    });
}
} // namespace

TEST(SingleInstance, ASecondLaunchAsksTheFirstToShowItsWindow) {
    test::TempXdg xdg;
    const QString dir = QString::fromStdString(xdg.path("run/nimo"));
    SingleInstance first(dir);
    ASSERT_TRUE(first.becomePrimary());
    EXPECT_EQ(QFile::permissions(dir) & (QFile::ReadGroup | QFile::ReadOther), 0);
    int shown = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++shown; });

    SingleInstance second(dir);
    EXPECT_FALSE(second.becomePrimary());
    auto answer = notifyInBackground(dir);
    ASSERT_TRUE(
        waitUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(answer.get());
    EXPECT_EQ(shown, 1);
}

// The launcher's activation token travels with the request; what cannot be a token is not handed on.
TEST(SingleInstance, ASecondLaunchHandsOnItsActivationToken) {
    test::TempXdg xdg;
    const QString dir = QString::fromStdString(xdg.path("run/nimo"));
    SingleInstance first(dir);
    ASSERT_TRUE(first.becomePrimary());
    QStringList tokens;
    QObject::connect(&first, &SingleInstance::activationRequested,
                     [&](const QString& token) { tokens << token; });
    const struct {
        const char* sent;
        const char* received;
    } cases[] = {{"", ""},
                 {"sway-token_1:2/3=", "sway-token_1:2/3="},
                 {"host-1234-5678-nimo_TIME9", "host-1234-5678-nimo_TIME9"},
                 {"two words", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        tokens.clear();
        auto answer = notifyInBackground(dir, QString::fromUtf8(c.sent));
        ASSERT_TRUE(waitUntil([&] { return tokens.size() == 1; }));
        EXPECT_TRUE(answer.get());
        EXPECT_EQ(tokens.first(), QString::fromUtf8(c.received));
    }
    test::ScopedEnv noWayland("XDG_ACTIVATION_TOKEN", std::nullopt);
    test::ScopedEnv x11("DESKTOP_STARTUP_ID", std::string("from-x11"));
    EXPECT_EQ(SingleInstance::launchToken(), QStringLiteral("from-x11"));
}

TEST(SingleInstance, LeftoversOfADeadInstanceDoNotBlockTheNextStart) {
    test::TempXdg xdg;
    const QString dir = QString::fromStdString(xdg.path("run/nimo"));
    QDir().mkpath(dir);
    SingleInstance probe(dir);
    // A lock naming a process that is gone, and a socket file nobody listens on.
    QFile lock(probe.lockPath());
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write("999999\nnimo\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    QFile stale(probe.socketPath());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();

    SingleInstance next(dir);
    EXPECT_TRUE(next.becomePrimary());
    int shown = 0;
    QObject::connect(&next, &SingleInstance::activationRequested, [&] { ++shown; });
    auto answer = notifyInBackground(dir);
    ASSERT_TRUE(waitUntil([&] { return shown == 1; }));
    EXPECT_TRUE(answer.get());
}

TEST(SingleInstance, JunkOnTheSocketIsDroppedAndShowsNothing) {
    test::TempXdg xdg;
    const QString dir = QString::fromStdString(xdg.path("run/nimo"));
    SingleInstance first(dir);
    ASSERT_TRUE(first.becomePrimary());
    int shown = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++shown; });

    QLocalSocket flood;
    flood.connectToServer(first.socketPath());
    ASSERT_TRUE(flood.waitForConnected(1000));
    flood.write(QByteArray(100000, 'x'));
    ASSERT_TRUE(waitUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }));

    QLocalSocket wrong;
    wrong.connectToServer(first.socketPath());
    ASSERT_TRUE(wrong.waitForConnected(1000));
    wrong.write("quit\n");
    ASSERT_TRUE(waitUntil([&] { return wrong.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(shown, 0);

    auto answer = notifyInBackground(dir); // still serving
    ASSERT_TRUE(waitUntil([&] { return shown == 1; }));
    EXPECT_TRUE(answer.get());
}

TEST(SingleInstance, LaunchingNimoTwiceLeavesOneProcess) {
    test::TempXdg xdg;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString nimo = QString::fromStdString(test::binDir() + "/nimo");
    ASSERT_TRUE(QFile::exists(nimo));

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(nimo, {});
    ASSERT_TRUE(first.waitForStarted());
    const QString socket = QString::fromStdString(xdg.path("XDG_RUNTIME_DIR/nimo/nimo.sock"));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(socket); }, std::chrono::seconds(10)));

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(nimo, {});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    ASSERT_TRUE(waitUntil(
        [&] {
            return first.readAllStandardError().contains("singleInstance.show") ||
                   first.state() != QProcess::Running;
        },
        std::chrono::seconds(5)));
    EXPECT_EQ(first.state(), QProcess::Running);
    // Its own socket and the tunnel client run on plain local sockets: no network module is mapped.
    QFile maps("/proc/" + QString::number(first.processId()) + "/maps");
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    EXPECT_FALSE(maps.readAll().contains("libQt6Network"));

    first.terminate();
    ASSERT_TRUE(first.waitForFinished(5000));
    // The client started its tunnel service on these temporary folders; end exactly that one.
    test::stopProcessesStartedIn(xdg.root(), "nimo-tunneld");
}
