// Whole roads on which the window, the status menu, the account and the tunnel must tell one story:
// a start pressed twice or abandoned by a sign-out, a session the service stops accepting, a reason
// that must stay readable, a second account in the same run, controls that show what is saved, and
// a start that fails. Real window offscreen, real local account service, tunnel service, provider.
#include "ScreenRoad.h"
#include "account/UserAccountPage.h"
#include "nodes/ImageRadioButton.h"
#include "nodes/NodePageView.h"
#include "platform/LoginItemService.h"
#include "tunnel/NimoShared.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

constexpr const char* kLostSession = "登录已失效，请重新登录";
constexpr const char* kExpired = "会员已到期，请前往订阅续费！";
constexpr const char* kProxyOn = "代理：已开启";
constexpr const char* kProxyOff = "代理：已关闭";
constexpr const char* kTurnOn = "开启代理";
constexpr const char* kAutoRoute = "自动适配最佳线路";
constexpr const char* kLoadingSubtitle = "加载配置,请稍候...";
// The toast of a chosen node the new subscription lacks names the route taken in its place.
constexpr const char* kFallbackToastNames = kAutoRoute;
constexpr const char* kSubscriptionPath = "/api/customer/customerService/getCustomerServiceList";

// A second account: 1 GiB with 100 MiB used (924.0 M left), one node the demo account lacks.
constexpr const char* kOtherEmail = "zhang@nimomac.example.com";
constexpr const char* kOtherPassword = "secret1";
constexpr const char* kOtherNode = "韩国 首尔";

QString qs(const char* text) {
    return QString::fromUtf8(text);
}

bool loadingFace(const Road& road) {
    return !road.vc->startProxyButton()->isVisible() && road.vc->connectButton()->isVisible() &&
           road.vc->connectButton()->subLabel()->text() == qs(kLoadingSubtitle);
}

bool menuSays(const Road& road, const char* text) {
    return road.delegate->switchLabel()->text() == qs(text);
}

// The three holders of the tunnel status say the same.
bool statusAgrees(const Road& road) {
    const int manager = static_cast<int>(road.tunnel->vpnStatus());
    return manager == road.delegate->lastVpnState() && manager == road.vc->lastVpnStatus();
}

size_t toastsSaying(const Road& road, const QString& text, size_t from = 0) {
    size_t n = 0;
    for (size_t i = from; i < road.screens->toasts.shown.size(); ++i)
        n += road.screens->toasts.shown[i].second == text ? 1 : 0;
    return n;
}

std::vector<QString> toastsSince(const Road& road, size_t from) {
    std::vector<QString> texts;
    for (size_t i = from; i < road.screens->toasts.shown.size(); ++i)
        texts.push_back(road.screens->toasts.shown[i].second);
    return texts;
}

std::string joined(const std::vector<QString>& texts) {
    std::string out;
    for (const auto& t : texts)
        out += "[" + t.toStdString() + "]";
    return out;
}

size_t requestsTo(Road& road, const std::string& path) {
    size_t n = 0;
    for (const auto& r : road.account->requests())
        n += r["path"] == path ? 1 : 0;
    return n;
}

bool connectFromHome(Road& road) {
    road.vc->startProxyButton()->click();
    return waitUntil(
        [&] {
            return road.tunnel->vpnStatus() == VpnStatus::Connected && road.connectedFace() &&
                   menuSays(road, kProxyOn);
        },
        std::chrono::seconds(15));
}

NodePageView* visitRoutePage(Road& road) {
    road.vc->nodeRemarkLabel()->click();
    return road.vc->pageView_route();
}

UserAccountPage* visitAccountPage(Road& road) {
    if (!road.vc->otherWorkView()->isVisible())
        road.vc->nodeRemarkLabel()->click();
    road.vc->toolbar_btn_user()->click();
    return road.vc->pageView_user();
}

ImageRadioButton* itemNamed(NodePageView* page, const char* name) {
    for (ImageRadioButton* item : page->myNodeItmes())
        if (!item->isHidden() && item->titleLabel()->text() == qs(name))
            return item;
    return nullptr;
}

std::vector<std::string> lockedNames(NodePageView* page) {
    std::vector<std::string> names;
    for (ImageRadioButton* item : page->myNodeItmes())
        if (!item->isHidden() && item->isLocked())
            names.push_back(item->titleLabel()->text().toStdString());
    return names;
}

std::string sharedNode() {
    const auto value = NimoShared::shared().get(kSharedNodeName);
    return value && value->is_string() ? value->get<std::string>() : std::string("<none>");
}

// Every session the service gave out ends: the next customer request is refused with 40101.
void endEverySession(Road& road) {
    road.admin("/admin/fixture", nlohmann::json{{"demo", true}}.dump());
    road.account->service().setServers(nlohmann::json::array({road.node.serverEntry()}));
}

// Samples the two toasts: covered once a toast of the delegate shows while the window's toast with
// reason is on screen.
struct CoverWatch {
    QTimer timer;
    bool reasonShown = false;
    QString coveredBy;
    CoverWatch(const Road& road, const QString& reason) {
        QObject::connect(&timer, &QTimer::timeout, [this, &road, reason] {
            ToastWindowController* mine = road.vc->toastWC();
            if (!mine || mine->message != reason || !mine->isVisible())
                return;
            reasonShown = true;
            ToastWindowController* other = road.delegate->toastW();
            if (other && other->isVisible() && coveredBy.isEmpty())
                coveredBy = other->message;
        });
        timer.start(10);
    }
};

// A folder in which nothing can be created, renamed or removed while the object lives. Root writes
// through permissions, so for root the folder is made immutable instead.
struct ReadOnlyFolder {
    QString path;
    bool asRoot = ::geteuid() == 0;
    QFile::Permissions before = QFile::permissions(path);
    bool ok;
    explicit ReadOnlyFolder(QString folder)
        : path(std::move(folder)),
          ok(asRoot ? QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0
                    : QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner)) {}
    ~ReadOnlyFolder() {
        if (ok && asRoot)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
        else if (ok)
            QFile::setPermissions(path, before);
    }
};

} // namespace

// 加载配置 waits 2 s on the subscription answer; meanwhile the user presses the tray's 开启代理, or
// signs out. Either way one start road runs and every screen ends on what the tunnel does.
TEST(StateRoad, WhatTheUserDoesWhileTheConfigurationLoads) {
    enum class During { TrayStart, SignOut };
    const struct {
        const char* row;
        During during;
    } rows[] = {
        {"the tray's start pressed as well", During::TrayStart},
        {"signed out", During::SignOut},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.row);
        Road road;
        ASSERT_TRUE(road.launch());
        ASSERT_TRUE(road.signIn());
        // What the sign-in loads is done before the start's own subscription check is counted.
        ASSERT_TRUE(waitUntil([&] { return road.quiet(); }, std::chrono::seconds(10)));
        auto seen = std::make_shared<std::vector<VpnStatus>>();
        QObject::connect(road.tunnel.get(), &VPNTunnelManager::vpnStatusChanged, road.vc,
                         [seen](VpnStatus status) { seen->push_back(status); });
        road.account->script({{"path", kSubscriptionPath}, {"delay_ms", 2000}});
        road.admin("/admin/clear-requests");

        road.vc->startProxyButton()->click();
        ASSERT_TRUE(waitUntil([&] { return loadingFace(road); }, std::chrono::seconds(2)));
        EXPECT_TRUE(
            waitUntil([&] { return !road.delegate->toggleRunning()->isEnabled(); }, std::chrono::seconds(1)))
            << "the tray offers a second start while the first loads";

        if (row.during == During::TrayStart) {
            road.delegate->toggleRunning()->trigger();
            ASSERT_TRUE(waitUntil([&] { return road.tunnel->vpnStatus() == VpnStatus::Connected; },
                                  std::chrono::seconds(15)))
                << road.toast().toStdString();
            EXPECT_TRUE(waitUntil([&] { return road.connectedFace() && menuSays(road, kProxyOn); }))
                << "window shows start face: " << road.startFace();
            EXPECT_EQ(requestsTo(road, kSubscriptionPath), 1u) << "two start roads ran";
            EXPECT_TRUE(statusAgrees(road));
            continue;
        }

        UserAccountPage* page = visitAccountPage(road);
        page->buttonWithTag(UserAccountPage::kSignOutTag)->click();
        road.vc->toolbar_btn_home()->click();
        EXPECT_TRUE(waitUntil([&] { return road.startFace() && road.vc->ttbarLoginButton()->isVisible(); }))
            << "start face: " << road.startFace();
        EXPECT_EQ(road.vc->ttbarLoginButton()->text(), QStringLiteral("登录"));
        // Past the delayed answer and what a start would do with it: the tunnel never comes up.
        EXPECT_FALSE(waitUntil(
            [&] { return std::find(seen->begin(), seen->end(), VpnStatus::Connecting) != seen->end(); },
            std::chrono::seconds(5)))
            << "the cancelled start went on";
        EXPECT_LE(static_cast<int>(road.tunnel->vpnStatus()), 1);
        EXPECT_TRUE(road.startFace());
        EXPECT_TRUE(menuSays(road, kProxyOff));
        EXPECT_TRUE(statusAgrees(road));
    }
}

// A failure with a reason reaches the user as one readable toast that nothing draws over, and the
// lost session sends nothing more that needs the session.
TEST(StateRoad, AFailureIsToldOnceAndNeverCovered) {
    enum class Cause { LostSession, Expired, StaleTokenAtLaunch };
    const struct {
        const char* row;
        Cause cause;
        bool connected; // the tunnel runs when it happens, and must end
        const char* reason;
    } rows[] = {
        {"lost session on a page switch", Cause::LostSession, false, kLostSession},
        {"lost session while connected", Cause::LostSession, true, kLostSession},
        {"membership expired while connected", Cause::Expired, true, kExpired},
        {"stale session at launch", Cause::StaleTokenAtLaunch, false, kLostSession},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.row);
        Road road;
        std::optional<CoverWatch> watch;
        size_t from = 0;
        if (row.cause == Cause::StaleTokenAtLaunch) {
            // Signed in by an earlier run, with automatic sign-in on; the service has forgotten it.
            ASSERT_TRUE(road.settings.set(keys::apiToken, "stale-token"));
            ASSERT_TRUE(road.settings.set(
                keys::userInfo, nlohmann::json{{"id", 10001}, {"user_name", devservice::kDemoEmail}}));
            ASSERT_TRUE(road.settings.set(keys::lastAutoLogin, "true"));
            ASSERT_TRUE(road.launch());
            watch.emplace(road, qs(row.reason));
        } else {
            ASSERT_TRUE(road.launch());
            ASSERT_TRUE(road.signIn());
            if (row.connected) {
                ASSERT_TRUE(connectFromHome(road)) << road.toast().toStdString();
            }
            visitRoutePage(road);
            ASSERT_TRUE(waitUntil([&] { return road.quiet(); }, std::chrono::seconds(10)));
            if (row.cause == Cause::Expired)
                road.useSubscription({{"service_status", false}});
            else
                endEverySession(road);
            road.admin("/admin/clear-requests");
            watch.emplace(road, qs(row.reason));
            from = road.screens->toasts.shown.size();
            road.vc->toolbar_btn_home()->click();
        }
        ASSERT_TRUE(
            waitUntil([&] { return toastsSaying(road, qs(row.reason), from) > 0; }, std::chrono::seconds(8)))
            << joined(toastsSince(road, from));
        // The whole life of the reason and of whatever follows it.
        EXPECT_TRUE(waitUntil([&] { return road.quiet(); }, std::chrono::seconds(12)));
        const auto told = toastsSince(road, from);
        EXPECT_EQ(toastsSaying(road, qs(row.reason), from), 1u) << joined(told);
        for (const auto& text : told)
            EXPECT_FALSE(text.contains(QStringLiteral("40101"))) << text.toStdString();
        EXPECT_TRUE(watch->reasonShown);
        EXPECT_TRUE(watch->coveredBy.isEmpty()) << "covered by " << watch->coveredBy.toStdString();

        if (row.connected) {
            EXPECT_TRUE(waitUntil([&] { return road.tunnel->vpnStatus() == VpnStatus::Disconnected; }));
            EXPECT_TRUE(road.startFace());
            EXPECT_TRUE(menuSays(road, kProxyOff));
            EXPECT_TRUE(statusAgrees(road));
        }
        if (row.cause == Cause::Expired)
            continue;
        EXPECT_TRUE(road.vc->ttbarLoginButton()->isVisible());
        size_t namesWithout = 0;
        for (const auto& r : road.account->requests()) {
            const std::string path = r["path"];
            const bool withToken = !r["headers"].value("token", std::string()).empty();
            if (withToken)
                continue;
            EXPECT_FALSE(path.starts_with("/api/customer")) << "sent without a session: " << r.dump();
            namesWithout += path == "/api/public/sub/getNodeNames" ? 1 : 0;
        }
        EXPECT_LE(namesWithout, 1u);
    }
}

// One run, two accounts: everything the screens show for an account follows the one signed in,
// right after the sign-in, without a page switch or a restart.
TEST(StateRoad, SwitchingAccountsInOneRun) {
    Road road;
    ASSERT_TRUE(road.launch());
    const nlohmann::json other{
        {"email", kOtherEmail},
        {"password", kOtherPassword},
        {"member_level", 0},
        {"subscriptions", nlohmann::json::array({{{"id", 9},
                                                  {"total_bandwidth", 1073741824LL},
                                                  {"used_up", 0},
                                                  {"used_down", 104857600LL},
                                                  {"service_status", true},
                                                  {"sub_status", true},
                                                  {"sub_uuid", "u-9"},
                                                  {"nodes", nlohmann::json::array({kOtherNode})}}})}};
    road.admin("/admin/fixture",
               nlohmann::json{{"demo", true}, {"accounts", nlohmann::json::array({other})}}.dump());
    road.account->service().setServers(nlohmann::json::array({road.node.serverEntry()}));

    // The route page is open before anyone signs in: nothing is locked yet.
    NodePageView* route = visitRoutePage(road);
    ASSERT_TRUE(road.signIn(kOtherEmail, kOtherPassword));
    EXPECT_TRUE(waitUntil([&] { return road.vc->ttbarMergeButton()->text() == QStringLiteral("924.0 M"); }))
        << road.vc->ttbarMergeButton()->text().toStdString();
    EXPECT_TRUE(waitUntil([&] { return lockedNames(route).size() == 9 && itemNamed(route, kOtherNode); }))
        << lockedNames(route).size() << " locked";

    ImageRadioButton* item = itemNamed(route, kOtherNode);
    if (item && !item->isLocked())
        item->click();
    else // the page never learned the account's nodes; choose the node as the page would
        road.vc->onNodeSelected(std::string(kOtherNode), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return sharedNode() == kOtherNode; }));
    road.vc->toolbar_btn_home()->click();
    EXPECT_TRUE(waitUntil([&] { return road.vc->ttbarMergeButton()->text() == QStringLiteral("924.0 M"); }));

    UserAccountPage* page = visitAccountPage(road);
    page->buttonWithTag(UserAccountPage::kSignOutTag)->click();
    ASSERT_TRUE(waitUntil([&] { return road.vc->ttbarLoginButton()->isVisible(); }));
    const size_t from = road.screens->toasts.shown.size();
    ASSERT_TRUE(road.signIn());

    EXPECT_TRUE(waitUntil([&] { return road.vc->ttbarMergeButton()->text() == QStringLiteral("86.5 G"); }))
        << "title strip still shows " << road.vc->ttbarMergeButton()->text().toStdString();
    EXPECT_TRUE(waitUntil([&] { return sharedNode().empty(); })) << sharedNode();
    EXPECT_EQ(road.vc->nodeRemarkLabel()->text(), qs(kAutoRoute));
    EXPECT_TRUE(waitUntil([&] {
        for (const auto& text : toastsSince(road, from))
            if (text.contains(qs(kFallbackToastNames)))
                return true;
        return false;
    })) << joined(toastsSince(road, from));
    // The demo subscription holds six of the ten nodes.
    EXPECT_TRUE(waitUntil([&] {
        const auto locked = lockedNames(route);
        return locked.size() == 4 && std::find(locked.begin(), locked.end(), kOtherNode) != locked.end();
    })) << lockedNames(route).size()
        << " locked";
    if (ImageRadioButton* gone = itemNamed(route, kOtherNode)) {
        gone->click();
        EXPECT_TRUE(sharedNode().empty()) << "a node outside the plan was stored";
    }

    // The next start takes the automatic route and connects.
    road.vc->toolbar_btn_home()->click();
    ASSERT_TRUE(waitUntil([&] { return road.quiet(); }, std::chrono::seconds(10)));
    const size_t beforeStart = road.screens->toasts.shown.size();
    EXPECT_TRUE(connectFromHome(road)) << joined(toastsSince(road, beforeStart));
}

// Controls show what is stored, saving says how it went, and a password never carries over into
// the modes that set a new one.
TEST(StateRoad, ControlsShowWhatIsSaved) {
    Road road;
    ASSERT_TRUE(road.launch());
    road.vc->showLoginDialog();
    LoginAlertView* dialog = road.vc->loginDialog();
    dialog->recordCheckButton()->setChecked(true); // remember the account, automatic sign-in off
    ASSERT_FALSE(dialog->loginCheckButton()->isChecked());
    ASSERT_TRUE(road.signIn());

    // The route page's title follows the node chosen on it.
    ASSERT_TRUE(waitUntil([&] { return road.quiet(); }, std::chrono::seconds(10)));
    NodePageView* route = visitRoutePage(road);
    EXPECT_EQ(route->toolbarTitleLabel()->text(), qs(kAutoRoute));
    // Picked once the page has its locks, where it learns them.
    (void)waitUntil([&] { return !lockedNames(route).empty(); }, std::chrono::seconds(3));
    ImageRadioButton* pick = nullptr;
    for (ImageRadioButton* item : route->myNodeItmes())
        if (!item->isHidden() && !item->isLocked() && !item->isChecked() && !pick)
            pick = item;
    ASSERT_NE(pick, nullptr);
    const QString picked = pick->titleLabel()->text();
    pick->click();
    EXPECT_TRUE(waitUntil([&] { return route->toolbarTitleLabel()->text() == picked; }))
        << route->toolbarTitleLabel()->text().toStdString();
    road.vc->toolbar_btn_home()->click();
    visitRoutePage(road);
    EXPECT_EQ(route->toolbarTitleLabel()->text(), picked);

    // 开机启动: a tick is only what was saved; 保存设置 says how the save went.
    const QString autostart = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart");
    QDir().rmdir(autostart);
    QFile blocker(autostart); // a file where the folder goes: the entry cannot be written
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    UserAccountPage* page = visitAccountPage(road);
    QCheckBox* launchBox = page->autolaunchButton();
    auto saveAndLeave = [&](bool tick) {
        if (launchBox->isChecked() != tick)
            launchBox->click();
        const size_t from = road.screens->toasts.shown.size();
        page->buttonWithTag(UserAccountPage::kSaveSettingsTag)->click();
        const bool told = waitUntil([&] { return road.screens->toasts.shown.size() > from; });
        road.vc->toolbar_btn_route()->click();
        road.vc->toolbar_btn_user()->click();
        return told ? road.screens->toasts.shown.back().second : QString();
    };
    const QString failed = saveAndLeave(true);
    EXPECT_FALSE(failed.isEmpty()) << "a failed save says nothing";
    EXPECT_FALSE(launchBox->isChecked()) << "shows a tick that was never saved";
    ASSERT_TRUE(QFile::remove(autostart));
    const QString saved = saveAndLeave(true);
    EXPECT_FALSE(saved.isEmpty()) << "a save says nothing";
    EXPECT_NE(saved, failed);
    EXPECT_TRUE(platform::LoginItemService::isLoginItem(platform::applicationPath()));
    EXPECT_TRUE(launchBox->isChecked());
    launchBox->click(); // untick without saving
    road.vc->toolbar_btn_route()->click();
    road.vc->toolbar_btn_user()->click();
    EXPECT_TRUE(launchBox->isChecked());

    // Register and reset start with an empty password, whatever the sign-in form held.
    road.vc->showLoginDialog();
    dialog = road.vc->loginDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->passwordField()->text(), qs(devservice::kDemoPassword)); // remembered
    dialog->onTapButton(dialog->forgetPwBtn());
    ASSERT_EQ(dialog->iUIType(), LoginAlertView::Reset);
    EXPECT_TRUE(dialog->passwordField()->text().isEmpty()) << "reset mode keeps the old password";
    dialog->onTapButton(dialog->registerBtn()); // back to sign-in
    dialog->passwordField()->setText(QStringLiteral("typed-in"));
    dialog->onTapButton(dialog->registerBtn());
    ASSERT_EQ(dialog->iUIType(), LoginAlertView::Register);
    EXPECT_TRUE(dialog->passwordField()->text().isEmpty()) << "register mode keeps the password";

    // Automatic sign-in off: the next launch starts signed out, the remembered account filled in.
    road.delegate.reset();
    road.admin("/admin/clear-requests");
    QProcess client;
    ASSERT_TRUE(startClient(client));
    const bool loaded = waitUntil([&] { return requestsTo(road, "/api/public/sub/getNodeNames") > 0; },
                                  std::chrono::seconds(15));
    client.terminate();
    client.waitForFinished(5000);
    ASSERT_TRUE(loaded);
    // From the new launch's first request on: answers to this process's own may still arrive.
    size_t withSession = 0;
    bool launched = false;
    for (const auto& r : road.account->requests()) {
        launched = launched || r.value("path", std::string()) == "/api/public/server/getPublicSetting";
        if (launched)
            withSession += r["headers"].value("token", std::string()).empty() ? 0 : 1;
    }
    EXPECT_EQ(withSession, 0u) << "the next launch is still signed in";
    EXPECT_FALSE(road.settings.hasUserInfo());
    EXPECT_FALSE(road.settings.isSignedIn());
    EXPECT_TRUE(road.settings.contains(keys::lastAccountIdPw));

    road.delegate = std::make_unique<AppDelegate>(road.screens->context, road.screens->toasts);
    road.delegate->applicationDidFinishLaunching();
    road.vc = road.delegate->mainWC()->mainVC();
    EXPECT_TRUE(road.vc->ttbarLoginButton()->isVisible());
    road.vc->showLoginDialog();
    EXPECT_EQ(road.vc->loginDialog()->accountField()->text(), qs(devservice::kDemoEmail));
}

// A start the tunnel service refuses (it cannot store the configuration) ends with the manager,
// the status menu and the window on the same status, all off, the start button offered again.
TEST(StateRoad, AFailedStartLeavesEveryScreenAgreeing) {
    Road road;
    ASSERT_TRUE(road.launch());
    ASSERT_TRUE(road.signIn());
    ASSERT_TRUE(connectFromHome(road)) << road.toast().toStdString(); // installs the provider
    road.vc->connectButton()->earthImge()->click();
    ASSERT_TRUE(
        waitUntil([&] { return road.startFace() && menuSays(road, kProxyOff); }, std::chrono::seconds(10)));
    ASSERT_TRUE(waitUntil([&] { return road.quiet(); }, std::chrono::seconds(10)));

    // The stored configuration needs a repair the service can no longer store.
    RawClient raw(road.service.socketPath());
    const std::string id = road.tunnel->tunnelManager()->identifier;
    auto loaded = raw.request({{"op", "load"}, {"application", "com.nimomac.qn"}, {"configuration", id}});
    ASSERT_TRUE(loaded && loaded->value("ok", false)) << (loaded ? loaded->dump() : "no answer");
    nlohmann::json configuration = (*loaded)["result"]["configuration"];
    configuration["enabled"] = false;
    ASSERT_EQ(saveConfiguration(raw, configuration), id);
    const ReadOnlyFolder state(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/nimo"));
    ASSERT_TRUE(state.ok);

    const size_t from = road.screens->toasts.shown.size();
    road.vc->startProxyButton()->click();
    ASSERT_TRUE(waitUntil([&] { return road.screens->toasts.shown.size() > from && road.startFace(); },
                          std::chrono::seconds(10)))
        << joined(toastsSince(road, from));
    EXPECT_TRUE(waitUntil([&] { return statusAgrees(road); }))
        << "manager " << static_cast<int>(road.tunnel->vpnStatus()) << ", menu "
        << road.delegate->lastVpnState() << ", window " << road.vc->lastVpnStatus();
    EXPECT_LE(static_cast<int>(road.tunnel->vpnStatus()), 1);
    EXPECT_TRUE(road.startFace());
    EXPECT_TRUE(menuSays(road, kProxyOff));
    EXPECT_EQ(road.delegate->toggleRunning()->text(), qs(kTurnOn));
    EXPECT_TRUE(road.delegate->toggleRunning()->isEnabled());
}
