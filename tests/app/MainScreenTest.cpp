// The main screen against the local account service: first-appearance loading, the host counter,
// the subscription checks and traffic text, and the title strip.
#include "ServiceServers.h"
#include "ShellFixture.h"
#include "app/NodesInfoVC.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "widgets/ImageButton.h"
#include "widgets/SmallWidgets.h"

#include <QDateTime>
#include <gtest/gtest.h>
#include <numbers>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

constexpr const char* kToken = "screen-token";

// A main screen over temporary folders, signed in to the local account service with kToken.
struct MainScreen {
    TempXdg xdg;
    LocalService account;
    SettingsStore settings;
    VPNTunnelManager tunnel{Shell::quietSetup(xdg)};
    ScreenContext screens{settings, tunnel};

    void signIn(nlohmann::json fixture = {{"demo", true}}) {
        fixture["tokens"] = {{kToken, devservice::kDemoEmail}};
        auto reply = account.service().handle({"POST", "/admin/fixture", {}, {}, {}, {}, {}, fixture.dump()});
        ASSERT_EQ(reply.status, 200) << reply.body;
        ASSERT_TRUE(settings.set(keys::apiToken, kToken));
        ASSERT_TRUE(settings.set(keys::lastOkHost, account.url()));
    }
    std::vector<std::string> paths() {
        std::vector<std::string> list;
        for (const auto& r : account.requests())
            if (r.is_object() && !r["path"].get<std::string>().starts_with("/admin"))
                list.push_back(r["path"]);
        return list;
    }
};

long indexOf(const std::vector<std::string>& list, const std::string& path) {
    auto it = std::find(list.begin(), list.end(), path);
    return it == list.end() ? -1 : long(it - list.begin());
}

struct Outcome {
    std::optional<bool> success;
    QString message;
};

Outcome loadSubscription(NodesInfoVC& vc) {
    Outcome outcome;
    vc.loadSubscription([&](bool ok, const std::optional<QString>& message) {
        if (!outcome.success) {
            outcome.success = ok;
            outcome.message = message.value_or(QString());
        }
    });
    waitUntil([&] { return outcome.success.has_value(); });
    return outcome;
}

nlohmann::json subscription(const nlohmann::json& fields) {
    const nlohmann::json record = subscriptionRecord(fields);
    return {{"demo", false},
            {"accounts",
             {{{"email", devservice::kDemoEmail},
               {"password", devservice::kDemoPassword},
               {"id", 5},
               {"member_expiry_at", "2030-01-01T00:00:00+08:00"},
               {"member_level", 1},
               {"subscriptions", {record}}}}}};
}

} // namespace

TEST(MainScreen, FirstAppearanceLoadsInOrderWithHeadersAndShowsTheAccount) {
    MainScreen s;
    s.signIn();
    NodesInfoVC vc(s.screens.context);
    vc.show();
    ASSERT_TRUE(waitUntil([&] {
        return indexOf(s.paths(), "/api/customer/customerService/getSubscribeNodeList") >= 0 &&
               indexOf(s.paths(), "/api/public/sub/getNodeNames") >= 0;
    }));
    const auto paths = s.paths();
    EXPECT_GE(indexOf(paths, "/api/public/server/getPublicSetting"), 0);
    EXPECT_LT(indexOf(paths, "/api/customer/user/getUserInfo"),
              indexOf(paths, "/api/customer/customerService/getCustomerServiceList"));
    EXPECT_LT(indexOf(paths, "/api/customer/customerService/getCustomerServiceList"),
              indexOf(paths, "/api/customer/customerService/getSubscribeNodeList"));
    for (const auto& r : s.account.requests()) {
        if (!r["path"].get<std::string>().starts_with("/api/customer"))
            continue;
        EXPECT_EQ(r["headers"]["token"], kToken);
        EXPECT_EQ(r["headers"]["authorization"], kToken);
        EXPECT_TRUE(r["headers"].contains("version"));
    }
    // Title strip: account, traffic left (100 GiB - 13.5 GiB) and days to the membership's end.
    ASSERT_TRUE(waitUntil([&] { return vc.ttbarMergeButton()->text() == QStringLiteral("86.5 G"); }));
    EXPECT_EQ(vc.ttbarAccoutButton()->text(), QString::fromLatin1(devservice::kDemoEmail));
    EXPECT_TRUE(vc.ttbarExpireButton()->text() == QStringLiteral("30天") ||
                vc.ttbarExpireButton()->text() == QStringLiteral("29天"))
        << vc.ttbarExpireButton()->text().toStdString();
    EXPECT_TRUE(vc.ttbarAccoutback()->isVisible());
    EXPECT_FALSE(vc.ttbarLoginButton()->isVisible());
    EXPECT_FALSE(vc.ttbarTips()->isVisible());
    EXPECT_TRUE(vc.isLoadedView());
    EXPECT_EQ(NimoShared::shared().get(kSharedSubUuid).value_or(nullptr).is_string(), true);
    EXPECT_TRUE(waitUntil([&] { return s.settings.array(keys::subNodes).has_value(); }));

    // A second appearance loads nothing.
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    s.account.service().handle({"POST", "/admin/clear-requests", {}, {}, {}, {}, {}, {}});
    vc.hide();
    vc.show();
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(s.paths().empty());
}

TEST(MainScreen, SubscriptionChecksAndTrafficText) {
    const struct {
        const char* row;
        nlohmann::json fields;
        bool success;
        const char* message;
        const char* traffic;
    } rows[] = {
        {"10 GiB, nothing used", {}, true, "", "10.0 G"},
        {"1023.96 MiB left", {{"total_bandwidth", 1073699553}}, true, "", "1024.0 M"},
        {"over the allowance", {{"total_bandwidth", 0}, {"used_down", 5242880}}, true, "", "-5.0 M"},
        {"expired and used up",
         {{"service_status", false}, {"sub_status", false}},
         false,
         "会员已到期，请前往订阅续费！",
         "10.0 G"},
        {"used up", {{"sub_status", false}}, false, "流量已超标，请前往订阅续费！", "10.0 G"},
        {"no identifier, told readably", {{"sub_uuid", nullptr}}, false, "加载失败，请稍候重试", "10.0 G"},
        {"statuses of another type pass", {{"service_status", 0}, {"sub_status", "no"}}, true, "", "10.0 G"},
        {"no traffic figures", {{"used_up", "1"}}, true, "", "---.--"},
    };
    for (const auto& row : rows) {
        MainScreen s;
        s.signIn(subscription(row.fields));
        NodesInfoVC vc(s.screens.context);
        const Outcome outcome = loadSubscription(vc);
        ASSERT_TRUE(outcome.success) << row.row;
        EXPECT_EQ(*outcome.success, row.success) << row.row;
        EXPECT_EQ(outcome.message.toStdString(), row.message) << row.row;
        waitUntil([&] { return vc.ttbarMergeButton()->text() == QString::fromUtf8(row.traffic); },
                  std::chrono::milliseconds(500));
        EXPECT_EQ(vc.ttbarMergeButton()->text().toStdString(), row.traffic) << row.row;
        EXPECT_EQ(s.settings.integer(keys::serverId), 9) << row.row;
        if (row.success) {
            EXPECT_EQ(NimoShared::shared().get(kSharedSubUuid), nlohmann::json("u-9")) << row.row;
        }
    }

    // Data that is not a list of records is reported, so a waiting start press gets its face back.
    MainScreen s;
    s.signIn();
    s.account.script({{"path", "/api/customer/customerService/getCustomerServiceList"},
                      {"json", {{"code", 0}, {"data", {{"id", 1}}}}}});
    NodesInfoVC vc(s.screens.context);
    const Outcome outcome = loadSubscription(vc);
    EXPECT_EQ(outcome.success, false);
    EXPECT_EQ(outcome.message, QStringLiteral("数据有误:数据解析失败"));
}

TEST(MainScreen, HostCounterMovesOnFromAFailingRememberedHostAndWrapsWhenUsedUp) {
    MainScreen s;
    s.signIn();
    // Entry 0 refuses, entry 1 is the live service; the remembered host refuses too.
    ASSERT_TRUE(s.settings.set(keys::backupUrls, {devservice::refusedUrl(), s.account.url()}));
    ASSERT_TRUE(s.settings.set(keys::lastOkHost, devservice::refusedUrl()));
    NodesInfoVC vc(s.screens.context);
    EXPECT_EQ(vc.requsetCount(), 0);
    const Outcome first = loadSubscription(vc);
    EXPECT_EQ(first.success, true) << first.message.toStdString();
    EXPECT_EQ(vc.requsetCount(), 1); // the retry took entry 1, not entry 0
    EXPECT_EQ(s.settings.string(keys::lastOkHost), s.account.url());

    // Nothing answers: the counter runs through the list, then the host is forgotten and it is 0.
    ASSERT_TRUE(s.settings.set(keys::backupUrls, {devservice::refusedUrl()}));
    ASSERT_TRUE(s.settings.set(keys::lastOkHost, devservice::refusedUrl()));
    const Outcome second = loadSubscription(vc);
    EXPECT_EQ(second.success, false);
    EXPECT_EQ(second.message, QStringLiteral("加载失败，请稍候重试"));
    EXPECT_EQ(vc.requsetCount(), 0);
    EXPECT_FALSE(s.settings.contains(keys::lastOkHost));

    std::optional<NMNetWorkError> userInfoError;
    vc.loadUserInfo(
        [&](const std::optional<NMNetWorkError>& e) { userInfoError = e.value_or(NMNetWorkError::msg("")); });
    ASSERT_TRUE(waitUntil([&] { return userInfoError.has_value(); }, std::chrono::seconds(10)));
    EXPECT_EQ(userInfoError->message(), "加载失败，请稍候重试");
}

TEST(MainScreen, TitleStripSignedOutSignedInAndARefusedSession) {
    MainScreen s;
    NodesInfoVC vc(s.screens.context);
    vc.show();
    // Signed out: the sign-in button and its swinging hint.
    EXPECT_TRUE(vc.ttbarLoginButton()->isVisible());
    EXPECT_TRUE(vc.ttbarTips()->isVisible());
    EXPECT_FALSE(vc.ttbarAccoutback()->isVisible());
    EXPECT_FALSE(vc.ttbarMergeButton()->isVisible());
    const auto swing = vc.ttbarTips()->animationForKey(QString::fromLatin1(NodesInfoVC::kTipsAnimationKey));
    ASSERT_TRUE(swing);
    EXPECT_DOUBLE_EQ(swing->from, -std::numbers::pi / 36);
    EXPECT_DOUBLE_EQ(swing->to, std::numbers::pi / 36);
    EXPECT_DOUBLE_EQ(swing->durationSeconds, 0.75);
    EXPECT_TRUE(swing->autoreverses);
    EXPECT_EQ(vc.ttbarTips()->anchorPoint(), QPointF(1, 0.5));
    EXPECT_TRUE(vc.ttbarTips()->isAnimationRunning());

    // Signed in without an expiry: the days stay "---天".
    ASSERT_TRUE(s.settings.set(keys::userInfo, {{"user_name", "a@b.cn"}}));
    vc.refreshTitleStrip(false);
    EXPECT_EQ(vc.ttbarAccoutButton()->text(), QStringLiteral("a@b.cn"));
    EXPECT_EQ(vc.ttbarExpireButton()->text(), QStringLiteral("---天"));
    EXPECT_FALSE(vc.ttbarLoginButton()->isVisible());
    EXPECT_TRUE(vc.ttbarTips()->animationKeys().isEmpty());
    const QDateTime noon(QDate::currentDate().addDays(12), QTime(12, 0));
    const QString expiry = noon.toOffsetFromUtc(noon.offsetFromUtc()).toString(Qt::ISODate);
    ASSERT_TRUE(s.settings.set(keys::userInfo,
                               {{"user_name", "a@b.cn"}, {"member_expiry_at", expiry.toStdString()}}));
    vc.refreshTitleStrip(false);
    EXPECT_EQ(vc.ttbarExpireButton()->text(), QStringLiteral("12天"));

    // A token the service no longer accepts: the session is cleared and the strip signs out.
    s.signIn();
    ASSERT_TRUE(s.settings.set(keys::apiToken, "stale"));
    std::optional<QString> message;
    vc.loadSubscription([&](bool, const std::optional<QString>& m) { message = m.value_or(QString()); });
    // The session is cleared as the refusal arrives; the screen's reaction follows a turn later.
    ASSERT_TRUE(waitUntil([&] { return message.has_value() && vc.ttbarLoginButton()->isVisible(); }));
    EXPECT_FALSE(s.settings.hasUserInfo());
    // Told once, by the screen itself, without the code in front; the caller has nothing to repeat.
    EXPECT_TRUE(message && message->isEmpty());
    ASSERT_TRUE(vc.toastWC());
    EXPECT_EQ(vc.toastWC()->message, QStringLiteral("登录已失效，请重新登录"));
}
