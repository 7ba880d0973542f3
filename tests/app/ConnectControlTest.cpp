// The tunnel display and the connection control of the main screen, offscreen, with a tunnel
// manager whose service never answers (statuses are driven by hand).
#include "ShellFixture.h"
#include "app/NodesInfoVC.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "widgets/ConnectButton.h"

#include <QAction>
#include <QRadioButton>
#include <gtest/gtest.h>
#include <numbers>

using namespace nimo;
using namespace nimo::test;

TEST(ConnectButton, EveryStateShowsItsFace) {
    Shell shell;
    ConnectButton button(shell.tunnel);
    button.resize(260, 88);
    button.setupViews();
    button.show();
    const struct {
        int state;
        bool visible;
        const char* title;
        const char* subtitle;
        int ringTag;
        const char* centre;
        QRect centreFrame; // Qt geometry
        const char* key;
        double period;
    } rows[] = {
        {9,
         true,
         "正在加速",
         "加载配置,请稍候...",
         1,
         "mainwork_starting@2x.png",
         {10, 10, 68, 68},
         "start.conntecting",
         0.75},
        {1,
         true,
         "正在加速",
         "开始连接...",
         1,
         "mainwork_starting@2x.png",
         {10, 10, 68, 68},
         "start.conntecting",
         0.75},
        {2, true, "已连接", "点击断开", 2, "mainwork_stop@2x.png", {0, 0, 88, 88}, "start.conntected", 3.6},
        {2, true, "已连接", "点击断开", 2, "mainwork_stop@2x.png", {0, 0, 88, 88}, "start.conntected", 3.6},
        {3,
         true,
         "正在断开",
         "开始断开，请稍候...",
         1,
         "mainwork_starting@2x.png",
         {10, 10, 68, 68},
         "start.conntecting",
         0.75},
        {0, false, "正在断开", "开始断开，请稍候...", 1, "mainwork_starting@2x.png", {10, 10, 68, 68}, "", 0},
        {1, false, "正在加速", "开始连接...", 1, "mainwork_starting@2x.png", {10, 10, 68, 68}, "", 0},
        {4, false, "正在加速", "开始连接...", 1, "mainwork_starting@2x.png", {10, 10, 68, 68}, "", 0},
        {8, false, "正在加速", "开始连接...", 1, "mainwork_starting@2x.png", {10, 10, 68, 68}, "", 0},
        {-1, false, "正在加速", "开始连接...", 1, "mainwork_starting@2x.png", {10, 10, 68, 68}, "", 0},
        {10, false, "正在加速", "开始连接...", 1, "mainwork_starting@2x.png", {10, 10, 68, 68}, "", 0},
    };
    for (const auto& row : rows) {
        if (row.state == 2 || row.state == 3 || row.state == 9)
            button.startButton()->setRotation(1.0); // each of these restarts the ring from angle 0
        button.changeConnectState(row.state);
        const std::string at = "state " + std::to_string(row.state);
        EXPECT_EQ(button.isVisible(), row.visible) << at;
        EXPECT_EQ(button.titleLabel()->text().toStdString(), row.title) << at;
        EXPECT_EQ(button.subLabel()->text().toStdString(), row.subtitle) << at;
        EXPECT_EQ(button.startButton()->tag(), row.ringTag) << at;
        EXPECT_EQ(button.earthImge()->imageName().toStdString(), row.centre) << at;
        EXPECT_EQ(button.earthImge()->geometry(), row.centreFrame) << at;
        EXPECT_EQ(button.startButton()->geometry(), QRect(0, 0, 88, 88)) << at;
        if (*row.key) {
            EXPECT_EQ(button.startButton()->animationKeys(), QStringList{QString::fromLatin1(row.key)}) << at;
            const auto spin = button.startButton()->animationForKey(QString::fromLatin1(row.key));
            ASSERT_TRUE(spin) << at;
            EXPECT_DOUBLE_EQ(spin->to, -2 * std::numbers::pi) << at;
            EXPECT_DOUBLE_EQ(spin->durationSeconds, row.period) << at;
            EXPECT_NEAR(button.startButton()->rotation(), 0, 0.3) << at;
            EXPECT_EQ(button.startButton()->anchorPoint(), QPointF(0.5, 0.5)) << at;
        } else if (row.state != 1) {
            EXPECT_TRUE(button.startButton()->animationKeys().isEmpty()) << at;
            EXPECT_FALSE(button.startButton()->isAnimationRunning()) << at;
        }
    }
}

TEST(ConnectButton, TheRingTurnsOnlyWhileItsWindowIsOnScreen) {
    Shell shell;
    QWidget window;
    window.resize(400, 200);
    ConnectButton button(shell.tunnel, &window);
    button.setGeometry(0, 0, 260, 88);
    button.setupViews();
    window.show();
    button.changeConnectState(ConnectButton::Connected);
    EXPECT_TRUE(button.startButton()->isAnimationRunning());
    window.hide(); // closed to the tray
    EXPECT_FALSE(button.startButton()->isAnimationRunning());
    window.show();
    EXPECT_TRUE(button.startButton()->isAnimationRunning());
    window.setWindowState(Qt::WindowMinimized);
    EXPECT_FALSE(button.startButton()->isAnimationRunning());
    window.setWindowState(Qt::WindowNoState);
    EXPECT_TRUE(button.startButton()->isAnimationRunning());
    button.changeConnectState(ConnectButton::Idle);
    EXPECT_FALSE(button.startButton()->isAnimationRunning());
}

TEST(ConnectionControl, StatusesModesNodesAndFailuresOnTheHomePage) {
    Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    NodesInfoVC* vc = shell.delegate.mainWC()->mainVC();
    auto startFace = [&] { return vc->startProxyButton()->isVisible() && !vc->connectButton()->isVisible(); };
    auto toast = [&] { return vc->toastWC() ? vc->toastWC()->message : QString(); };

    // Signed out: only the toast.
    vc->onTapButton(vc->startProxyButton());
    EXPECT_EQ(toast(), QStringLiteral("请先登录再使用"));
    EXPECT_TRUE(startFace());

    // The tunnel busy in a way start cannot change: the press does nothing.
    ASSERT_TRUE(shell.settings.set(UserDefaultsCacheKeys::userInfo, {{"user_name", "a@b.cn"}}));
    for (int status : {4, 5}) {
        shell.script->report(status);
        vc->toastWC()->close();
        vc->onTapButton(vc->startProxyButton());
        EXPECT_FALSE(vc->connectButton()->isVisible()) << status;
        EXPECT_TRUE(vc->toastWC()->isHidden()) << status;
    }
    shell.script->report(1);

    // The status table.
    const struct {
        int status;
        bool startShown;
        int face; // -1: connect button hidden
        const char* title;
    } steps[] = {{2, false, 1, "正在加速"}, {3, false, 2, "已连接"}, {3, false, 2, "已连接"},
                 {5, false, 3, "正在断开"}, {1, true, -1, ""},       {2, false, -1, ""},
                 {1, true, -1, ""}};
    vc->connectButton()->changeConnectState(ConnectButton::Idle);
    for (const auto& step : steps) {
        if (step.status == 2 && step.face == 1)
            vc->connectButton()->changeConnectState(ConnectButton::Loading); // as the start press does
        shell.script->report(step.status);
        const std::string at = "status " + std::to_string(step.status);
        EXPECT_EQ(vc->startProxyButton()->isVisible(), step.startShown) << at;
        EXPECT_EQ(vc->connectButton()->isVisible(), step.face >= 0) << at;
        if (step.face >= 0) {
            EXPECT_EQ(vc->connectButton()->titleLabel()->text().toStdString(), step.title) << at;
        }
    }

    // An activation failure after the tunnel came up only toasts.
    shell.script->report(2);
    shell.script->report(3);
    platform::NotificationCenter::defaultCenter().post(NOTIFY_VPNActivation_Failed,
                                                       QStringLiteral("激活失败：x"));
    EXPECT_EQ(toast(), QStringLiteral("激活失败：x"));
    EXPECT_TRUE(vc->connectButton()->isVisible());
    platform::NotificationCenter::defaultCenter().post(NOTIFY_VPNActivation_Failed, 42); // not a text
    EXPECT_EQ(toast(), QStringLiteral("激活失败：x"));
    shell.script->report(5);
    shell.script->report(1);
    vc->connectButton()->changeConnectState(ConnectButton::Loading);
    platform::NotificationCenter::defaultCenter().post(NOTIFY_VPNActivation_Failed,
                                                       QStringLiteral("激活失败：y"));
    EXPECT_TRUE(startFace());

    // Modes from the home page: stored, and the menu's check marks follow.
    vc->modeButton(1003)->click();
    EXPECT_EQ(NimoShared::shared().get(kSharedTunMode), nlohmann::json("global"));
    EXPECT_TRUE(shell.delegate.globalItem()->isChecked());
    shell.delegate.pacMode();
    EXPECT_TRUE(vc->modeButton(1002)->isChecked());

    // Nodes: shown and stored; a message is toasted.
    vc->onNodeSelected(std::string("日本 东京"), std::string("已切换线路"));
    EXPECT_EQ(vc->nodeRemarkLabel()->text(), QStringLiteral("日本 东京"));
    EXPECT_EQ(NimoShared::shared().get(kSharedNodeName), nlohmann::json("日本 东京"));
    EXPECT_EQ(toast(), QStringLiteral("已切换线路"));
    vc->onNodeSelected(std::string("RiZezuva"), std::nullopt);
    EXPECT_EQ(vc->nodeRemarkLabel()->text(), QStringLiteral("自动适配最佳线路"));

    // Tapping the tunnel display: the ring only when connected, the centre only while busy.
    EXPECT_EQ(vc->connectButton()->startButton()->tag(), 1);
}
