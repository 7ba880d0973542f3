#include "account/UserAccountPage.h"

#include "NimoBuildConfig.h"
#include "platform/Log.h"
#include "platform/LoginItemService.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/ScreenContext.h"
#include "tunnel/TunnelTypes.h"
#include "widgets/Buttons.h"
#include "widgets/PageHost.h"
#include "widgets/SmallWidgets.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace nimo;
namespace keys = nimo::UserDefaultsCacheKeys;
using nlohmann::json;

namespace {

// The main screen as the page sees it: what it was asked to show and to refresh.
struct RecordingHost : PageHost {
    std::vector<QString> toasts;
    std::vector<bool> titleStripRefreshes; // each call's stopTunnel
    void showToast(const QString& text) override { toasts.push_back(text); }
    void refreshTitleStrip(bool stopTunnel) override { titleStripRefreshes.push_back(stopTunnel); }
};

// The service's date text for noon, days from today, in the local zone.
std::string serviceDate(int days) {
    const QDateTime local(QDate::currentDate().addDays(days), QTime(12, 0));
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

QString shownDate(int days) {
    return QDate::currentDate().addDays(days).toString(QStringLiteral("yyyy-MM-dd")) +
           QStringLiteral(" 12:00:00");
}

// A page as the main screen makes it: 920 x (580 - 128), hosted, built; links open through a
// stand-in xdg-open that writes each URL on a line of a file.
struct PageFixture {
    test::TempXdg xdg;
    test::FakePrograms programs;
    std::string openedFile = xdg.path("opened.txt");
    SettingsStore settings;
    VPNTunnelManager tunnel{test::quietTunnelSetup(xdg)};
    test::BasicScreenContext<test::RecordedToasts> screens{settings, tunnel};
    RecordingHost host;
    UserAccountPage page{screens.context};

    PageFixture() {
        programs.add("xdg-open", "printf '%s\\n' \"$*\" >> '" + openedFile + "'");
        page.resize(920, 580 - 128);
        page.setSuperVC(&host);
        page.buildPage();
    }

    void tap(int tag) {
        QAbstractButton* button = page.buttonWithTag(tag);
        ASSERT_TRUE(button) << tag;
        button->click();
    }

    // The URLs opened so far, waiting until there are count of them.
    std::vector<std::string> opened(size_t count) {
        std::vector<std::string> lines;
        test::waitUntil([&] {
            lines.clear();
            const std::string text = test::readFile(openedFile).value_or("");
            size_t start = 0;
            for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
                lines.push_back(text.substr(start, end - start));
            return lines.size() >= count;
        });
        return lines;
    }

    // Taps tag and gives the URL the browser was asked to open.
    std::string open(int tag) {
        const size_t before = opened(0).size();
        tap(tag);
        const auto lines = opened(before + 1);
        return lines.size() == before + 1 ? lines.back() : "(nothing opened)";
    }

    void signIn(const json& record) {
        ASSERT_TRUE(settings.set(keys::userInfo, record));
        page.refresh();
    }
};

} // namespace

// One row per record: what the badge, the day count and the end date show after a refresh that
// follows a VIP record ten days from its end (so "kept" means the VIP look stayed).
TEST(UserAccountPage, BadgeDaysAndEndDateTable) {
    struct Row {
        const char* name;
        json record;
        QString badge;
        QString days;    // "" = kept from before
        QString endDate; // "" = kept from before
    };
    const QString vip = "page_4_v_vip@2x.png";
    const std::vector<Row> rows = {
        {"svip, ends tomorrow",
         {{"member_level", 2}, {"member_expiry_at", serviceDate(1)}},
         "page_4_v_svip@2x.png",
         "SVIP：1天",
         shownDate(1)},
        {"svip, ended yesterday",
         {{"member_level", 2}, {"member_expiry_at", serviceDate(-1)}},
         "page_4_v_vip_over@2x.png",
         "SVIP：-1天",
         shownDate(-1)},
        {"svip, ends today",
         {{"member_level", 2}, {"member_expiry_at", serviceDate(0)}},
         "page_4_v_svip@2x.png",
         "SVIP：0天",
         shownDate(0)},
        {"vip, ends in 5 days",
         {{"member_level", 1}, {"member_expiry_at", serviceDate(5)}},
         vip,
         "SVIP：5天",
         shownDate(5)},
        {"vip, ended",
         {{"member_level", 1}, {"member_expiry_at", serviceDate(-30)}},
         "page_4_v_vip_over@2x.png",
         "SVIP：-30天",
         shownDate(-30)},
        {"free, future",
         {{"member_level", 0}, {"member_expiry_at", serviceDate(30)}},
         "page_4_v_free@2x.png",
         "SVIP：30天",
         shownDate(30)},
        {"free, ended",
         {{"member_level", 0}, {"member_expiry_at", serviceDate(-2)}},
         "page_4_v_free_over@2x.png",
         "SVIP：-2天",
         shownDate(-2)},
        {"no level is free",
         {{"member_expiry_at", serviceDate(2)}},
         "page_4_v_free@2x.png",
         "SVIP：2天",
         shownDate(2)},
        {"level as text is free",
         {{"member_level", "2"}, {"member_expiry_at", serviceDate(2)}},
         "page_4_v_free@2x.png",
         "SVIP：2天",
         shownDate(2)},
        {"level 3 keeps the badge",
         {{"member_level", 3}, {"member_expiry_at", serviceDate(1)}},
         vip,
         "SVIP：1天",
         shownDate(1)},
        {"level -1 keeps the badge",
         {{"member_level", -1}, {"member_expiry_at", serviceDate(1)}},
         vip,
         "SVIP：1天",
         shownDate(1)},
        {"level 3 ended",
         {{"member_level", 3}, {"member_expiry_at", serviceDate(-1)}},
         "page_4_v_vip_over@2x.png",
         "SVIP：-1天",
         shownDate(-1)},
        {"no end date keeps all", {{"member_level", 2}}, vip, "", ""},
        {"end date as number keeps all",
         {{"member_level", 2}, {"member_expiry_at", 1700000000}},
         vip,
         "",
         ""},
        {"unreadable end date",
         {{"member_level", 2}, {"member_expiry_at", "soon"}},
         vip,
         "SVIP：----天",
         "到期时间：xxxx-xx-xx"},
    };
    PageFixture f;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        f.signIn({{"member_level", 1}, {"member_expiry_at", serviceDate(10)}});
        ASSERT_EQ(f.page.superUserHeader()->imageName(), vip);
        f.signIn(row.record);
        EXPECT_EQ(f.page.superUserHeader()->imageName(), row.badge);
        EXPECT_EQ(f.page.exprietimeBtn()->text(),
                  row.days.isEmpty() ? QStringLiteral("SVIP：10天") : row.days);
        EXPECT_EQ(f.page.expiretimeLabel()->text(), row.endDate.isEmpty() ? "到期时间：" + shownDate(10)
                                                    : row.endDate.startsWith(QStringLiteral("到"))
                                                        ? row.endDate
                                                        : "到期时间：" + row.endDate);
    }
}

TEST(UserAccountPage, IdentityAndTrafficFields) {
    PageFixture f;
    ASSERT_TRUE(f.settings.set(keys::lastAmount, "12.50 GB"));
    f.signIn({{"id", 10086}, {"user_name", "a@b.cn"}});
    EXPECT_EQ(f.page.accountLabel()->text(), "ID：10086");
    EXPECT_EQ(f.page.userLabel()->text(), "a@b.cn");
    EXPECT_EQ(f.page.mergeBtn()->text(), "剩余流量：12.50 GB");
    // Fields of the wrong type leave what was shown.
    ASSERT_TRUE(f.settings.set(keys::lastAmount, 3));
    f.signIn({{"id", "10087"}, {"user_name", 5}});
    EXPECT_EQ(f.page.accountLabel()->text(), "ID：10086");
    EXPECT_EQ(f.page.userLabel()->text(), "a@b.cn");
    EXPECT_EQ(f.page.mergeBtn()->text(), "剩余流量：12.50 GB");
    // A record that is not an object is no sign-in at all.
    ASSERT_TRUE(f.settings.set(keys::userInfo, "garbage"));
    f.page.refresh();
    EXPECT_EQ(f.page.accountLabel()->text(), "ID：----");
    EXPECT_EQ(f.page.superUserHeader()->imageName(), "page_4_v_free_over@2x.png");
}

TEST(UserAccountPage, SignOutShowsSignedOutTextsKeepsCredentialsAndStopsTheTunnel) {
    PageFixture f;
    const json credentials = {{keys::accountIdField, "a@b.cn"}, {keys::accountPwField, "pw"}};
    ASSERT_TRUE(f.settings.set(keys::lastAccountIdPw, credentials));
    ASSERT_TRUE(f.settings.set(keys::lastAutoLogin, "true"));
    ASSERT_TRUE(f.settings.set(keys::apiToken, "tok"));
    ASSERT_TRUE(f.settings.set(keys::lastAmount, "1.00 GB"));
    f.signIn({{"id", 7}, {"user_name", "a@b.cn"}, {"member_level", 2}, {"member_expiry_at", serviceDate(3)}});
    ASSERT_EQ(f.page.accountLabel()->text(), "ID：7");
    ASSERT_TRUE(f.page.autologinButton()->isChecked());

    f.tap(UserAccountPage::kSignOutTag);
    EXPECT_TRUE(f.host.toasts.empty());
    EXPECT_EQ(f.host.titleStripRefreshes, std::vector<bool>{true});
    EXPECT_EQ(f.page.accountLabel()->text(), "ID：----");
    EXPECT_EQ(f.page.userLabel()->text(), "---@---");
    EXPECT_EQ(f.page.superUserHeader()->imageName(), "page_4_v_free_over@2x.png");
    EXPECT_EQ(f.page.exprietimeBtn()->text(), "SVIP：----天");
    EXPECT_EQ(f.page.expiretimeLabel()->text(), "到期时间：xxxx-xx-xx");
    EXPECT_EQ(f.page.mergeBtn()->text(), "剩余流量：---.-- GB");
    EXPECT_FALSE(f.settings.contains(keys::userInfo));
    EXPECT_FALSE(f.settings.contains(keys::apiToken));
    EXPECT_EQ(f.settings.object(keys::lastAccountIdPw), credentials);
    EXPECT_TRUE(f.page.autologinButton()->isChecked());

    // Again while signed out: the toast on the main screen, and still a clear and a refresh.
    ASSERT_TRUE(f.settings.set(keys::apiToken, "stray"));
    f.tap(UserAccountPage::kSignOutTag);
    EXPECT_EQ(f.host.toasts, std::vector<QString>{"您尚未登录!"});
    EXPECT_EQ(f.host.titleStripRefreshes, (std::vector<bool>{true, true}));
    EXPECT_FALSE(f.settings.contains(keys::apiToken));

    // A page shown without its main screen still tells the user.
    f.page.setSuperVC(nullptr);
    f.tap(UserAccountPage::kSignOutTag);
    ASSERT_EQ(f.screens.toasts.shown.size(), 1u);
    EXPECT_EQ(f.screens.toasts.shown[0].second, "您尚未登录!");
}

TEST(UserAccountPage, RenewAndLinksOpenInTheBrowserWithoutLoggingTheToken) {
    PageFixture f;
    platform::ScopedLogCapture log;
    const std::string payment = build::kPaymentUrl;
    const std::string site = build::kWebsiteUrl;

    ASSERT_TRUE(f.settings.set(keys::apiToken, "tok-Secret_123"));
    const std::string withToken = f.open(UserAccountPage::kRenewTag);
    const QRegularExpression renew(QRegularExpression::escape(QString::fromStdString(payment)) +
                                   "/webpay/#/\\?token=tok-Secret_123&time=[0-9]{13}$");
    EXPECT_TRUE(renew.match(QString::fromStdString(withToken)).hasMatch()) << withToken;
    const long long sent = std::stoll(withToken.substr(withToken.rfind('=') + 1));
    EXPECT_LE(std::llabs(sent - QDateTime::currentMSecsSinceEpoch()), 60'000);

    // A token with URL syntax in it stays one query value.
    ASSERT_TRUE(f.settings.set(keys::apiToken, "a b&time=0#x"));
    const std::string odd = f.open(UserAccountPage::kRenewTag);
    EXPECT_EQ(odd.rfind(payment + "/webpay/#/?token=a%20b%26time%3D0%23x&time=", 0), 0u) << odd;

    ASSERT_TRUE(f.settings.remove(keys::apiToken));
    EXPECT_EQ(f.open(UserAccountPage::kRenewTag), payment + "/webpay/#/");
    for (int tag : {UserAccountPage::kQuestionsLinkTag, UserAccountPage::kAboutLinkTag,
                    UserAccountPage::kWebsiteLinkTag})
        EXPECT_EQ(f.open(tag), site) << tag;
    EXPECT_EQ(f.page.buttonWithTag(UserAccountPage::kWebsiteLinkTag)->text(),
              "官方网站：" + QString::fromUtf8(build::kWebsiteDomain));

    for (const auto& record : log.records()) {
        EXPECT_EQ(record.line.find("Secret"), std::string::npos) << record.line;
        EXPECT_EQ(record.line.find("time%3D0"), std::string::npos) << record.line;
    }
}

TEST(UserAccountPage, AutoLoginAndLaunchAtLoginSwitches) {
    PageFixture f;
    QCheckBox* autologin = f.page.autologinButton();
    EXPECT_FALSE(autologin->isChecked());
    autologin->click();
    EXPECT_EQ(f.settings.string(keys::lastAutoLogin), "true");
    autologin->click();
    EXPECT_FALSE(f.settings.contains(keys::lastAutoLogin));

    // Launch at login: the box shows the login item; ticking alone changes nothing, saving applies it.
    const std::string app = platform::applicationPath();
    QCheckBox* autolaunch = f.page.autolaunchButton();
    EXPECT_FALSE(autolaunch->isChecked());
    autolaunch->click();
    EXPECT_FALSE(platform::LoginItemService::isLoginItem(app));
    f.tap(UserAccountPage::kSaveSettingsTag);
    EXPECT_TRUE(platform::LoginItemService::isLoginItem(app));
    f.tap(UserAccountPage::kSaveSettingsTag); // saving again keeps one entry
    EXPECT_TRUE(platform::LoginItemService::isLoginItem(app));

    // The kill switch is on until turned off, and reaches the provider through the shared container.
    QCheckBox* killSwitch = f.page.killSwitchButton();
    EXPECT_TRUE(killSwitch->isChecked());
    killSwitch->click();
    EXPECT_EQ(f.screens.context.shared.get(kSharedKillSwitch), nlohmann::json(false));

    UserAccountPage rebuilt(f.screens.context);
    rebuilt.resize(920, 452);
    rebuilt.buildPage();
    EXPECT_TRUE(rebuilt.autolaunchButton()->isChecked());
    EXPECT_FALSE(rebuilt.killSwitchButton()->isChecked());

    autolaunch->click();
    f.tap(UserAccountPage::kSaveSettingsTag);
    EXPECT_FALSE(platform::LoginItemService::isLoginItem(app));
}
