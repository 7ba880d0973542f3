// The connect road through the real window: sign in with the dialog, press start, watch the tunnel
// display go loading -> connecting -> connected, switch the mode from the status menu, stop; and the
// ways a start ends back on the start face. Real local account service, tunnel service, provider.
#include "ScreenRoad.h"

#include "LoopbackNodes.h"
#include "ServiceServers.h"
#include "ShellFixture.h"
#include "TunnelTestSupport.h"
#include "account/LoginAlertView.h"
#include "account/UserAccountPage.h"
#include "app/NodesInfoVC.h"
#include "nodes/ImageRadioButton.h"
#include "nodes/NodePageView.h"
#include "platform/Log.h"
#include "tunnel/NimoShared.h"
#include "widgets/ConnectButton.h"
#include "widgets/ImageButton.h"
#include "widgets/KeyboardFocus.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;
using platform::ScopedLogCapture;

namespace {

std::vector<int> connectStates(const ScopedLogCapture& log) {
    std::vector<int> states;
    for (const auto& line : log.lines(platform::LogChannel::Console))
        if (line.starts_with("changeConnectState:"))
            states.push_back(std::stoi(line.substr(19)));
    return states;
}

// Presses one button of the approval alert as soon as it shows.
void answerApprovalWith(const char* buttonName) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, buttonName] {
        auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!alert || alert->objectName() != QStringLiteral("VPNApprovalAlert"))
            return;
        EXPECT_TRUE(alert->informativeText().contains(QStringLiteral("nimo-tunneld approve")));
        if (auto* button = alert->findChild<QPushButton*>(QString::fromLatin1(buttonName)))
            button->click();
        poll->deleteLater();
    });
    poll->start(20);
}

// One key pressed and let go where the keyboard's input goes: the focused control, else the window.
void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
    QPointer<QWidget> target =
        QApplication::focusWidget() ? QApplication::focusWidget() : QApplication::activeWindow();
    for (const auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, key, modifiers, text);
        if (target)
            QApplication::sendEvent(target, &event);
    }
}

void type(const QString& text) {
    for (const QChar c : text)
        press(0, Qt::NoModifier, QString(c));
}

QString focused() {
    return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
}

// Tab until the control of that name has the focus.
void tabTo(const QString& name) {
    for (int i = 0; i < 60 && focused() != name; ++i)
        press(Qt::Key_Tab);
}

// The controls a screen reader would offer in the shown part of window that have no name: those of a
// control's role, links, and anything the keyboard can reach whatever role it reports.
std::string unnamedControls(QWidget* window) {
    static const QList<QAccessible::Role> controls = {
        QAccessible::Button,       QAccessible::PushButton, QAccessible::CheckBox, QAccessible::RadioButton,
        QAccessible::EditableText, QAccessible::ComboBox,   QAccessible::Link,     QAccessible::PageTab,
        QAccessible::Slider,       QAccessible::SpinBox,    QAccessible::ListItem};
    const auto isControl = [](QAccessibleInterface* node) {
        const auto* widget = qobject_cast<const QWidget*>(node->object());
        return controls.contains(node->role()) || (widget && (widget->focusPolicy() & Qt::TabFocus));
    };
    QStringList unnamed;
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
        for (int i = 0; i < node->childCount(); ++i) {
            QAccessibleInterface* child = node->child(i);
            if (!child || child->state().invisible)
                continue;
            if (isControl(child) && child->text(QAccessible::Name).trimmed().isEmpty())
                unnamed << child->object()->objectName() + QStringLiteral(":") +
                               QString::fromLatin1(child->object()->metaObject()->className());
            walk(child);
        }
    };
    walk(QAccessible::queryAccessibleInterface(window));
    return unnamed.join(QStringLiteral(", ")).toStdString();
}

} // namespace

// The keyboard alone: Tab to the sign-in button, Return opens the dialog on its account field, Tab
// visits every control of the dialog in reading order and wraps, Escape closes it; then a sign-in
// typed and sent with Return. Every shown control of the home page, the dialog, the route page and
// the account page has a name for screen readers.
TEST(ScreenRoad, KeyboardAloneSignsInAndEveryControlHasAName) {
    Road road;
    ASSERT_TRUE(road.launch());
    QWidget* window = road.delegate->mainWC();
    window->activateWindow();
    ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window; }));
    QAccessibleInterface* frame = QAccessible::queryAccessibleInterface(window);
    EXPECT_EQ(frame->role(), QAccessible::Window);
    EXPECT_EQ(frame->text(QAccessible::Name), QStringLiteral("NimoMac"));
    EXPECT_EQ(unnamedControls(window), "") << "home page";

    tabTo(QStringLiteral("ttbarLoginButton"));
    EXPECT_TRUE(showsFocusRing(road.vc->ttbarLoginButton()));
    press(Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return road.vc->loginDialog() != nullptr; }));
    LoginAlertView* dialog = road.vc->loginDialog();
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == dialog->accountField(); }));
    EXPECT_EQ(unnamedControls(window), "") << "login dialog";

    // Reading order, round once, never leaving the dialog; Shift+Tab walks it back.
    const QStringList order = {QStringLiteral("closeButton"),      QStringLiteral("accountField"),
                               QStringLiteral("passwordField"),    QStringLiteral("recordCheckButton"),
                               QStringLiteral("loginCheckButton"), QStringLiteral("startLoginButton"),
                               QStringLiteral("registerBtn"),      QStringLiteral("forgetPwBtn"),
                               QStringLiteral("agreementLink"),    QStringLiteral("privacyLink")};
    QStringList forward;
    for (int i = 0; i < order.size(); ++i) {
        press(Qt::Key_Tab);
        forward << focused();
    }
    EXPECT_EQ(forward, order.mid(2) + order.mid(0, 2));
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(focused(), QStringLiteral("privacyLink"));
    // Space ticks a box the keyboard reached; Return there is still the dialog's.
    tabTo(QStringLiteral("recordCheckButton"));
    press(Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    EXPECT_TRUE(dialog->recordCheckButton()->isChecked());
    press(Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return road.vc->loginDialog() == nullptr; }));

    tabTo(QStringLiteral("ttbarLoginButton"));
    press(Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_TRUE(waitUntil([&] { return road.vc->loginDialog() != nullptr; }));
    ASSERT_TRUE(
        waitUntil([&] { return QApplication::focusWidget() == road.vc->loginDialog()->accountField(); }));
    type(QString::fromLatin1(devservice::kDemoEmail));
    press(Qt::Key_Tab);
    type(QString::fromLatin1(devservice::kDemoPassword));
    press(Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return !road.vc->loginDialog() && road.settings.hasUserInfo(); },
                          std::chrono::seconds(8)))
        << road.toast().toStdString();

    // The route page through its tab, then its rows; the account page through the toolbar.
    tabTo(QStringLiteral("tab1101"));
    press(Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    ASSERT_TRUE(waitUntil([&] { return road.vc->pageView_route()->isVisible(); }));
    EXPECT_EQ(unnamedControls(window), "") << "route page";
    const auto rows = road.vc->pageView_route()->findChildren<ImageRadioButton*>();
    EXPECT_GT(rows.size(), 1);
    for (const ImageRadioButton* row : rows)
        EXPECT_EQ(row->accessibleName().endsWith(QStringLiteral("，已锁定")), row->isLocked())
            << row->title();
    road.vc->onTapButton(road.vc->toolbar_btn_user());
    ASSERT_TRUE(waitUntil([&] { return road.vc->pageView_user()->isVisible(); }));
    EXPECT_EQ(unnamedControls(window), "") << "account page";
}

TEST(ScreenRoad, SignInStartConnectedGlobalModeAndStop) {
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    EXPECT_TRUE(waitUntil([&] { return road.toast() == QStringLiteral("登录成功！"); }));
    EXPECT_FALSE(road.vc->ttbarLoginButton()->isVisible());

    ScopedLogCapture log;
    road.vc->onTapButton(road.vc->startProxyButton());
    ASSERT_TRUE(waitUntil([&] { return road.delegate->lastVpnState() == 3; }, std::chrono::seconds(15)))
        << road.toast().toStdString();
    ASSERT_TRUE(waitUntil(
        [&] { return road.vc->connectButton()->titleLabel()->text() == QStringLiteral("已连接"); }));
    const std::vector<int> expected{9, 1, 2};
    EXPECT_EQ(connectStates(log), expected);
    EXPECT_FALSE(road.vc->startProxyButton()->isVisible());
    EXPECT_TRUE(road.vc->connectButton()->startButton()->animationKeys().contains(
        QString::fromLatin1(ConnectButton::kConnectedKey)));
    ASSERT_TRUE(
        waitUntil([&] { return road.delegate->switchLabel()->text() == QStringLiteral("代理：已开启"); }));

    // The provider runs with the four start options and heard the account's identifier once.
    const std::string uuid = NimoShared::shared().get(kSharedSubUuid).value_or("").get<std::string>();
    ASSERT_FALSE(uuid.empty());
    RawClient raw(road.service.socketPath());
    auto status =
        raw.request({{"op", "status"}, {"configuration", road.tunnel->tunnelManager()->identifier}});
    ASSERT_TRUE(status);
    const auto options = (*status)["result"]["options"];
    EXPECT_EQ(options["subuuid"], "<redacted>"); // a secret: the answer only says there is one
    EXPECT_EQ(options["host"], road.account->url());
    EXPECT_EQ(options["nodeName"], "");
    EXPECT_EQ(options["tunMode"], "rule");
    const std::string greeting = "Success to send a message[subuuid.<redacted>]";
    ASSERT_TRUE(waitUntil([&] { return log.contains(greeting); }));
    road.vc->applyVpnStatus(3); // a repeated report sends nothing more
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    int greetings = 0;
    for (const auto& line : log.lines(platform::LogChannel::Stdout))
        greetings += line.starts_with(greeting) ? 1 : 0;
    EXPECT_EQ(greetings, 1);

    // A node chosen while connected reaches the provider; the automatic route sends nothing after the dot.
    road.vc->onNodeSelected(std::string(), std::nullopt);
    EXPECT_EQ(NimoShared::shared().get(kSharedNodeName), nlohmann::json(""));
    EXPECT_EQ(road.vc->nodeRemarkLabel()->text(), QStringLiteral("自动适配最佳线路"));
    EXPECT_TRUE(waitUntil([&] { return log.contains("Success to send a message[switchNode.]"); }));

    road.delegate->globalItem()->trigger();
    EXPECT_TRUE(waitUntil([&] { return log.contains("Success to send a message[tunMode.global]"); }));
    EXPECT_TRUE(road.vc->modeButton(1003)->isChecked());
    road.vc->modeButton(1002)->click(); // the home page's radio reaches the running tunnel too
    EXPECT_TRUE(waitUntil([&] { return log.contains("Success to send a message[tunMode.rule]"); }));

    // Stop from the tunnel display: the start face and the menu come back.
    road.vc->connectButton()->earthImge()->click();
    ASSERT_TRUE(waitUntil([&] { return road.startFace(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(
        waitUntil([&] { return road.delegate->switchLabel()->text() == QStringLiteral("代理：已关闭"); }));
    EXPECT_FALSE(road.vc->connectButton()->startButton()->isAnimationRunning());
}

TEST(ScreenRoad, StartsThatEndOnTheStartFace) {
    const struct {
        const char* row;
        nlohmann::json subscription; // fields changed in the record, or null for the real one
        const char* toast;
    } rows[] = {
        {"expired membership", {{"service_status", false}}, "会员已到期，请前往订阅续费！"},
        {"traffic used up", {{"sub_status", false}}, "流量已超标，请前往订阅续费！"},
        {"no identifier", {{"sub_uuid", nullptr}}, "加载失败，请稍候重试"},
    };
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    for (const auto& row : rows) {
        road.useSubscription(row.subscription);
        road.vc->onTapButton(road.vc->startProxyButton());
        EXPECT_TRUE(waitUntil([&] { return road.toast() == QString::fromUtf8(row.toast); })) << row.row;
        EXPECT_TRUE(waitUntil([&] { return road.startFace(); })) << row.row;
        EXPECT_LE(road.delegate->lastVpnState(), 1) << row.row;
        road.account->service().handle({"POST", "/admin/clear-overrides", {}, {}, {}, {}, {}, {}});
    }

    // Signed out: only the toast, and no request.
    road.settings.clearSession();
    road.account->service().handle({"POST", "/admin/clear-requests", {}, {}, {}, {}, {}, {}});
    road.vc->onTapButton(road.vc->startProxyButton());
    EXPECT_EQ(road.toast(), QStringLiteral("请先登录再使用"));
    EXPECT_TRUE(road.startFace());
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(road.account->requests().empty());
}

TEST(ScreenRoad, AProviderThatFailsAfterAcceptingGivesTheStartFaceBackWithTheReason) {
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    // The account host goes away once the start is under way: the provider cannot reach it.
    QObject::connect(road.tunnel.get(), &VPNTunnelManager::vpnStatusChanged, road.vc, [&](VpnStatus status) {
        if (status == VpnStatus::Connecting)
            road.account.reset();
    });
    road.vc->onTapButton(road.vc->startProxyButton());
    ASSERT_TRUE(waitUntil([&] { return road.delegate->lastVpnState() == 2; }, std::chrono::seconds(10)));
    ASSERT_TRUE(waitUntil([&] { return road.startFace(); }, std::chrono::seconds(15)));
    EXPECT_TRUE(waitUntil([&] { return road.toast().startsWith(QStringLiteral("加速失败：")); }))
        << road.toast().toStdString();
    EXPECT_LE(road.delegate->lastVpnState(), 1);
}

TEST(ScreenRoad, AnActivationThatNeedsApprovalDeclinedOrAllowed) {
    Road road(false); // the service waits for an approval
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    answerApprovalWith("declineButton");
    road.vc->onTapButton(road.vc->startProxyButton());
    EXPECT_TRUE(waitUntil([&] { return road.toast() == QStringLiteral("激活失败：网络扩展未获批准"); },
                          std::chrono::seconds(10)))
        << road.toast().toStdString();
    EXPECT_TRUE(road.startFace());

    answerApprovalWith("approveButton");
    road.vc->onTapButton(road.vc->startProxyButton());
    ASSERT_TRUE(waitUntil([&] { return road.delegate->lastVpnState() == 3; }, std::chrono::seconds(15)))
        << road.toast().toStdString();
    // The service keeps who approved, and when.
    QFile approvals(qEnvironmentVariable("XDG_STATE_HOME") +
                    QStringLiteral("/nimo/extensions/approvals.json"));
    ASSERT_TRUE(approvals.open(QIODevice::ReadOnly));
    const auto stored = nlohmann::json::parse(approvals.readAll().toStdString(), nullptr, false);
    EXPECT_TRUE(stored["records"][kTunnelBundleId].contains("at")) << stored.dump();
    EXPECT_TRUE(stored["records"][kTunnelBundleId].contains("uid")) << stored.dump();
}

TEST(ScreenRoad, TheClientStartedSignedInLoadsInOrderWithItsHeaders) {
    ServiceHarness service; // the temporary home the client runs in
    ASSERT_TRUE(service.start());
    LocalService account;
    const nlohmann::json fixture{{"demo", true}, {"tokens", {{"launch-token", devservice::kDemoEmail}}}};
    ASSERT_EQ(account.service().handle({"POST", "/admin/fixture", {}, {}, {}, {}, {}, fixture.dump()}).status,
              200);
    SettingsStore settings;
    ASSERT_TRUE(settings.set(keys::apiToken, "launch-token"));
    ASSERT_TRUE(settings.set(keys::lastAutoLogin, "true")); // signed in at launch only with 自动登录 on
    ASSERT_TRUE(settings.set(keys::lastOkHost, account.url()));

    QProcess client;
    ASSERT_TRUE(startClient(client));
    auto paths = [&] {
        std::vector<std::string> list;
        for (const auto& r : account.requests())
            list.push_back(r["path"]);
        return list;
    };
    auto at = [&](const std::vector<std::string>& list, const char* path) {
        auto it = std::find(list.begin(), list.end(), path);
        return it == list.end() ? -1L : long(it - list.begin());
    };
    const bool loaded = waitUntil(
        [&] {
            return at(paths(), "/api/customer/customerService/getSubscribeNodeList") >= 0 &&
                   settings.string(keys::lastAmount).has_value();
        },
        std::chrono::seconds(15));
    client.terminate();
    client.waitForFinished(5000);
    ASSERT_TRUE(loaded);
    const auto list = paths();
    EXPECT_GE(at(list, "/api/public/server/getPublicSetting"), 0);
    EXPECT_LT(at(list, "/api/customer/user/getUserInfo"),
              at(list, "/api/customer/customerService/getCustomerServiceList"));
    EXPECT_LT(at(list, "/api/customer/customerService/getCustomerServiceList"),
              at(list, "/api/customer/customerService/getSubscribeNodeList"));
    for (const auto& r : account.requests()) {
        EXPECT_TRUE(r["headers"].contains("version")) << r.dump();
        if (r["path"].get<std::string>().starts_with("/api/customer")) {
            EXPECT_EQ(r["headers"]["token"], "launch-token");
            EXPECT_EQ(r["headers"]["authorization"], "launch-token");
        }
    }
    // What the title strip shows: the account and the traffic left, kept in the settings.
    EXPECT_EQ(settings.string(keys::userAccount), devservice::kDemoEmail);
    EXPECT_EQ(settings.string(keys::lastAmount), "86.5 G");
}
