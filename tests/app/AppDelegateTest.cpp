#include "ShellFixture.h"
#include "app/NodesInfoVC.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

using namespace nimo;
using nimo::test::Shell;

namespace {

struct MenuLook {
    QString switchTitle;
    QString switchImage;
    QString toggleTitle;
    bool toggleEnabled;
    QString statusIcon;
};

MenuLook lookOf(const AppDelegate& d) {
    return {d.switchLabel()->text(), d.switchLabel()->property("imageName").toString(),
            d.toggleRunning()->text(), d.toggleRunning()->isEnabled(), d.statusIconName()};
}

void expectLook(const MenuLook& actual, const MenuLook& expected, const std::string& row) {
    EXPECT_EQ(actual.switchTitle.toStdString(), expected.switchTitle.toStdString()) << row;
    EXPECT_EQ(actual.switchImage.toStdString(), expected.switchImage.toStdString()) << row;
    EXPECT_EQ(actual.toggleTitle.toStdString(), expected.toggleTitle.toStdString()) << row;
    EXPECT_EQ(actual.toggleEnabled, expected.toggleEnabled) << row;
    EXPECT_EQ(actual.statusIcon.toStdString(), expected.statusIcon.toStdString()) << row;
}

const MenuLook kOff{"代理：已关闭", "NSStatusUnavailable", "开启代理", true, "vpnstate_off"};
const MenuLook kOn{"代理：已开启", "NSStatusAvailable", "关闭代理", true, "vpnstate_on"};

} // namespace

TEST(AppDelegate, StartsWithTheWindowAndTheOffIcon) {
    Shell shell;
    AppDelegate& d = shell.delegate;
    EXPECT_EQ(d.mainWC(), nullptr);
    d.applicationDidFinishLaunching();
    EXPECT_TRUE(d.applicationSupportsSecureRestorableState());
    EXPECT_EQ(d.statusIconName(), QStringLiteral("vpnstate_off"));
    EXPECT_EQ(d.statusItem()->contextMenu(), d.statusMenu());
    ASSERT_NE(d.mainWC(), nullptr);
    EXPECT_TRUE(d.mainWC()->isVisible());
    EXPECT_EQ(d.mainWC()->windowTitle(), QStringLiteral("NimoMac"));
    EXPECT_EQ(d.mainWC()->size(), QSize(920, 580));
    EXPECT_EQ(d.mainWC()->minimumSize(), d.mainWC()->maximumSize()); // not resizable
    EXPECT_TRUE(d.mainWC()->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(d.mainWC()->mainVC()->windowController, d.mainWC());
    // Offscreen there is no status-item host: the window is the way in, and closing it ends the client.
    EXPECT_FALSE(d.hasStatusItem());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
    // The menu is not refreshed until the first status: check marks are still off.
    EXPECT_FALSE(d.pacItem()->isChecked());
    EXPECT_FALSE(d.globalItem()->isChecked());
    expectLook(lookOf(d), kOff, "initial");
}

TEST(AppDelegate, StatusMenuFollowsEveryStatus) {
    struct Row {
        std::vector<int> statuses;
        MenuLook look;
    };
    const Row rows[] = {
        {{1}, kOff},
        {{3, 0}, kOff},
        {{3}, kOn},
        {{3, 2}, {"代理：连接中...", "NSStatusAvailable", "正在连接", false, "vpnstate_on"}},
        {{1, 2}, {"代理：连接中...", "NSStatusUnavailable", "正在连接", false, "vpnstate_off"}},
        {{3, 5}, {"代理：正在断开...", "NSStatusAvailable", "正在断开", false, "vpnstate_on"}},
        {{3, 4}, kOn}, // reasserting
        {{3, 7}, kOn}, // unknown
        {{3, 2, 4}, {"代理：连接中...", "NSStatusAvailable", "正在连接", false, "vpnstate_on"}}, // unchanged
        {{3, 5, 1}, kOff},
    };
    for (const auto& row : rows) {
        Shell shell;
        shell.delegate.applicationDidFinishLaunching();
        std::string name;
        for (int status : row.statuses) {
            shell.script->report(status); // through the manager's listener
            Shell::drain(); // the menu is refreshed from the main loop with the status of that moment
            name += std::to_string(status) + " ";
        }
        expectLook(lookOf(shell.delegate), row.look, name);
        EXPECT_EQ(shell.delegate.lastVpnState(), row.statuses.back()) << name;
        EXPECT_EQ(shell.delegate.mainWC()->mainVC()->lastVpnStatus(), row.statuses.back()) << name;
    }
}

TEST(AppDelegate, ToastsOnlyRealChangesOfTheProxy) {
    struct Row {
        int from, to;
        const char* toast; // nullptr: none
    };
    const Row rows[] = {
        {5, 1, "代理：已关闭"}, {5, 0, "代理：已关闭"}, {2, 1, nullptr},        {3, 1, nullptr},
        {2, 3, "代理：已开启"}, {0, 3, "代理：已开启"}, {4, 3, "代理：已开启"}, {3, 3, nullptr},
        {1, 2, nullptr},        {3, 5, nullptr},        {3, 4, nullptr},        {1, 9, nullptr},
    };
    for (const auto& row : rows) {
        Shell shell;
        shell.delegate.applicationDidFinishLaunching();
        shell.delegate.handleVpnStatusChange(row.from);
        const ToastWindowController* before = shell.delegate.toastW();
        platform::ScopedLogCapture capture;
        shell.delegate.handleVpnStatusChange(row.to);
        const std::string name = std::to_string(row.from) + " -> " + std::to_string(row.to);
        if (row.toast) {
            ASSERT_NE(shell.delegate.toastW(), before) << name;
            EXPECT_EQ(shell.delegate.toastW()->message, QString::fromUtf8(row.toast)) << name;
            EXPECT_TRUE(shell.delegate.toastW()->isVisible()) << name;
        } else {
            EXPECT_EQ(shell.delegate.toastW(), before) << name;
        }
        const bool logged = capture.contains("onVpnStatusChange:" + std::to_string(row.to));
        EXPECT_TRUE(logged) << name; // by the delegate for 2, 4, 5 and others, by the main screen always
    }
}

TEST(AppDelegate, PowerSwitchConnectsOnlyFromIdle) {
    struct Row {
        int state;
        bool asksToConnect;
    };
    const Row rows[] = {{0, true}, {1, true}, {2, false}, {4, false}, {5, false}};
    for (const auto& row : rows) {
        Shell shell;
        shell.delegate.applicationDidFinishLaunching();
        shell.delegate.handleVpnStatusChange(row.state);
        Shell::drain();
        // Signed out: the main screen's connect refuses with its toast, which shows it was asked.
        shell.delegate.toggleRunning()->setEnabled(true);
        shell.delegate.toggleRunning()->trigger();
        NodesInfoVC* screen = shell.delegate.mainWC()->mainVC();
        if (row.asksToConnect) {
            ASSERT_NE(screen->toastWC(), nullptr) << row.state;
            EXPECT_EQ(screen->toastWC()->message, QStringLiteral("请先登录再使用"));
        } else {
            EXPECT_EQ(screen->toastWC(), nullptr) << row.state;
        }
    }
}

TEST(AppDelegate, PowerSwitchWhileConnectedStopsAndRefreshesTheMenu) {
    Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    shell.delegate.handleVpnStatusChange(3);
    Shell::drain();
    shell.delegate.powerSwitch();
    // No service and no configuration: the stop fails, the menu is refreshed, nothing is toasted.
    Shell::drain();
    EXPECT_EQ(shell.delegate.mainWC()->mainVC()->toastWC(), nullptr);
    expectLook(lookOf(shell.delegate), kOn, "after failed stop");
}

TEST(AppDelegate, PowerSwitchWithoutMainWindowDoesNothing) {
    Shell shell;
    shell.delegate.powerSwitch(); // never launched: no window, no crash
    EXPECT_EQ(shell.delegate.mainWC(), nullptr);
}

TEST(AppDelegate, ModeCheckMarksFollowTheStoredMode) {
    struct Row {
        std::optional<nlohmann::json> stored;
        bool pac, global;
    };
    const Row rows[] = {
        {std::nullopt, true, false},
        {nlohmann::json("rule"), true, false},
        {nlohmann::json("global"), false, true},
        {nlohmann::json("other"), false, false},
        {nlohmann::json(5), true, false},
        {nlohmann::json(""), false, false},
    };
    for (const auto& row : rows) {
        Shell shell;
        shell.delegate.applicationDidFinishLaunching();
        if (row.stored)
            NimoShared::shared().set(*row.stored, kSharedTunMode);
        // Posted by the home page's mode buttons too.
        platform::NotificationCenter::defaultCenter().post(NOTIFY_UPDATE_RUNNING_MODE_MENU);
        const std::string name = row.stored ? row.stored->dump() : "absent";
        EXPECT_EQ(shell.delegate.pacItem()->isChecked(), row.pac) << name;
        EXPECT_EQ(shell.delegate.globalItem()->isChecked(), row.global) << name;
    }
}

TEST(AppDelegate, ModeItemsStoreTheModeAndRefreshEveryCheckMark) {
    Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    QObject screen;
    int heard = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&screen, NOTIFY_UPDATE_RUNNING_MODE_MENU,
                                                              [&](const QVariant&) { ++heard; });

    shell.delegate.globalItem()->trigger();
    EXPECT_EQ(NimoShared::shared().get(kSharedTunMode), nlohmann::json("global"));
    EXPECT_TRUE(shell.delegate.globalItem()->isChecked());
    EXPECT_FALSE(shell.delegate.pacItem()->isChecked());
    EXPECT_EQ(heard, 1);

    shell.delegate.pacItem()->trigger();
    EXPECT_EQ(NimoShared::shared().get(kSharedTunMode), nlohmann::json("rule"));
    EXPECT_TRUE(shell.delegate.pacItem()->isChecked());
    EXPECT_FALSE(shell.delegate.globalItem()->isChecked());
    EXPECT_EQ(heard, 2);

    // Choosing the mode already chosen keeps its check mark.
    shell.delegate.pacItem()->trigger();
    EXPECT_TRUE(shell.delegate.pacItem()->isChecked());
}

TEST(AppDelegate, OpenMainDialogBringsTheWindowBack) {
    Shell shell;
    shell.delegate.openMainDialog(); // before launch: makes the window
    ASSERT_NE(shell.delegate.mainWC(), nullptr);
    MainWindowController* window = shell.delegate.mainWC();
    EXPECT_TRUE(window->isVisible());

    window->showMinimized();
    shell.delegate.openMainItem()->trigger();
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->isVisible());

    window->close(); // the main screen's own close button
    EXPECT_FALSE(window->isVisible());
    shell.delegate.openMainDialog();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(shell.delegate.mainWC(), window); // kept, not made again
}

TEST(AppDelegate, QuitStopsObservingTheModeNotification) {
    Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    const size_t before =
        platform::NotificationCenter::defaultCenter().observerCount(NOTIFY_UPDATE_RUNNING_MODE_MENU);
    shell.delegate.quitItem()->trigger();
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(NOTIFY_UPDATE_RUNNING_MODE_MENU),
              before - 1);
}

TEST(AppDelegate, MenuHoldsItsItemsInOrder) {
    Shell shell;
    QStringList titles;
    for (QAction* action : shell.delegate.statusMenu()->actions())
        if (!action->isSeparator())
            titles << action->text();
    EXPECT_EQ(titles, (QStringList{"代理：已关闭", "开启代理", "PAC模式", "全局模式", "打开主界面", "退出"}));
}
