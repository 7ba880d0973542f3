// The sign-in dialog against the local account service: validation, the three modes, remembered
// credentials, auto login, the code countdown, every request outcome, and a store that cannot write.
#include "account/LoginAlertView.h"

#include "ServiceServers.h"
#include "http/SessionManager.h"
#include "service/AccountSession.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/ImageButton.h"
#include "widgets/PageHost.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace nimo;
using namespace nimo::test;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

struct Host : PageHost {
    QStringList toasts;
    void showToast(const QString& text) override { toasts << text; }
    void refreshTitleStrip(bool) override {}
};

struct NoToasts : ToastPresenter {
    void showToast(QObject*, const QString&) override {}
};

struct RecordingOpener : UrlOpener {
    std::vector<std::string> urls;
    bool open(const std::string& url) override {
        urls.push_back(url);
        return true;
    }
};

// A dialog over temporary folders whose remembered host is the local account service.
struct Dialog {
    TempXdg xdg;
    LocalService account;
    SettingsStore settings;
    VPNTunnelManager tunnel{VPNTunnelManager::Setup{xdg.path("none.sock"), {}, {}, xdg.path("pkg"), {}}};
    RecordingOpener opener;
    NoToasts toasts;
    http::SessionManager session{http::SessionManager::standardConfiguration()};
    AccountSession signedInAccount{settings};
    AppContext context{settings, NimoShared::shared(), tunnel, session, opener, toasts, signedInAccount};
    Host host;
    std::unique_ptr<LoginAlertView> view;
    QStringList results;

    explicit Dialog(bool rememberHost = true) {
        if (rememberHost)
            (void)settings.set(keys::lastOkHost, account.url());
    }
    LoginAlertView& build() {
        view = std::make_unique<LoginAlertView>(context);
        view->resize(390, 420);
        view->superVC = &host;
        view->countdownIntervalMs = 5;
        view->valuebackBlock = [this](const QString& r) { results << r; };
        view->buildDialog();
        view->show();
        return *view;
    }
    void fill(const QString& email, const QString& password, const QString& emailCode = {}) {
        view->accountField()->setText(email);
        view->passwordField()->setText(password);
        view->yzmField()->setText(emailCode);
    }
    // From login mode: 1 register (tag 13), 2 reset (tag 14).
    void enterMode(int mode) {
        if (mode == 1)
            tap(13);
        if (mode == 2)
            tap(14);
    }
    void tap(int tag) {
        QObject sender;
        sender.setProperty("tag", tag);
        view->onTapButton(&sender);
    }
    bool toasted(const QString& text) {
        return waitUntil([&] { return host.toasts.contains(text); }, std::chrono::seconds(8));
    }
    std::string code(const char* type) {
        auto reply = account.service().lastCode(devservice::kDemoEmail, type);
        return reply.value_or("");
    }
};

const QString kDemo = QString::fromLatin1(devservice::kDemoEmail);
const QString kPassword = QString::fromLatin1(devservice::kDemoPassword);

} // namespace

TEST(LoginAlertView, InputChecksStopBeforeAnyRequestWithOneToast) {
    const struct {
        int mode;
        const char* account;
        const char* password;
        const char* code;
        const char* toast;
    } rows[] = {
        {0, "   ", "secret1", "", "请输入邮箱账号"},
        {0, "a@b.c", "secret1", "", "请输入有效邮箱账号"},
        {0, "a b@c.cn", "secret1", "", "请输入有效邮箱账号"},
        {0, "a@b.cn", "12345     ", "", "请输入有效的密码"},
        {0, "a@b.cn", "", "", "请输入有效的密码"},
        {2, "a@b.cn", "secret1", " 123 ", "请输入有效的验证码"},
        {1, "a@b.cn", "secret1", "", "请输入有效的验证码"},
    };
    for (const auto& row : rows) {
        Dialog d;
        LoginAlertView& v = d.build();
        d.enterMode(row.mode);
        ASSERT_EQ(v.iUIType(), row.mode);
        d.fill(QString::fromUtf8(row.account), QString::fromUtf8(row.password), QString::fromUtf8(row.code));
        d.tap(10);
        waitUntil([] { return false; }, std::chrono::milliseconds(600));
        EXPECT_EQ(d.host.toasts, QStringList{QString::fromUtf8(row.toast)})
            << row.account << "/" << row.password;
        EXPECT_TRUE(v.startLoginButton()->isEnabled()) << row.account;
        EXPECT_TRUE(d.account.requests().empty()) << row.account;
    }
}

TEST(LoginAlertView, ModesRememberedValuesAutoLoginAndLinks) {
    Dialog d;
    ASSERT_TRUE(d.settings.set(keys::lastAccountIdPw, "not a dictionary"));
    ASSERT_TRUE(d.settings.set(keys::lastAutoLogin, "true"));
    LoginAlertView& v = d.build();
    EXPECT_TRUE(v.recordCheckButton()->isChecked()); // any value ticks it
    EXPECT_TRUE(v.accountField()->text().isEmpty());
    EXPECT_TRUE(v.loginCheckButton()->isChecked());
    EXPECT_EQ(v.titleField()->text(), QStringLiteral("账号登录"));
    EXPECT_FALSE(v.yzmView()->isVisible());

    const struct {
        int tag;
        int mode;
        const char* title;
        const char* caption;
        const char* link;
        int passwordY;
    } steps[] = {{14, 2, "重置密码", "确 定", "<返回登录", 173},
                 {13, 0, "账号登录", "登 录", "免费注册>", 229},
                 {13, 1, "注册账号", "注 册", "<返回登录", 173},
                 {14, 0, "账号登录", "登 录", "免费注册>", 229}};
    for (const auto& step : steps) {
        d.tap(step.tag);
        EXPECT_EQ(v.iUIType(), step.mode) << step.title;
        EXPECT_EQ(v.titleField()->text().toStdString(), step.title);
        EXPECT_EQ(v.startLoginButton()->text().toStdString(), step.caption);
        EXPECT_EQ(v.registerBtn()->text().toStdString(), step.link);
        EXPECT_EQ(v.yzmView()->isVisible(), step.mode != 0) << step.title;
        EXPECT_EQ(v.forgetPwBtn()->isVisible(), step.mode == 0) << step.title;
        EXPECT_EQ(v.recordCheckButton()->isVisible(), step.mode == 0) << step.title;
        EXPECT_EQ(v.passwordView()->geometry().top(), v.panel()->height() - step.passwordY - 39)
            << step.title;
    }

    v.loginCheckButton()->setChecked(false);
    d.tap(20);
    EXPECT_FALSE(d.settings.contains(keys::lastAutoLogin));
    v.loginCheckButton()->setChecked(true);
    d.tap(20);
    EXPECT_EQ(d.settings.string(keys::lastAutoLogin), "true");

    d.tap(15);
    d.tap(16);
    ASSERT_EQ(d.opener.urls.size(), 2u);
    EXPECT_TRUE(d.opener.urls[0].ends_with("/license/%E7%94%A8%E6%88%B7%E5%8D%8F%E8%AE%AE.txt"));
    EXPECT_TRUE(d.opener.urls[1].ends_with("/license/%E9%9A%90%E7%A7%81%E5%8D%8F%E8%AE%AE.txt"));

    // A login with the box unticked forgets the remembered entry even though the login fails.
    v.recordCheckButton()->setChecked(false);
    d.fill(kDemo, QStringLiteral("wrong-password"));
    d.tap(10);
    EXPECT_FALSE(d.settings.contains(keys::lastAccountIdPw));
    ASSERT_TRUE(d.toasted(QStringLiteral("登录失败:账号或密码错误")) ||
                std::any_of(d.host.toasts.begin(), d.host.toasts.end(),
                            [](const QString& t) { return t.startsWith(QStringLiteral("登录失败:")); }))
        << d.host.toasts.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(waitUntil([&] { return v.startLoginButton()->isEnabled(); }));
    EXPECT_TRUE(d.results.isEmpty());

    d.tap(0); // the close button
    EXPECT_EQ(d.results, QStringList{QStringLiteral("Cancel")});
}

TEST(LoginAlertView, SignInRemembersLoadsAndCallsBack) {
    Dialog d;
    LoginAlertView& v = d.build();
    v.recordCheckButton()->setChecked(true);
    d.account.script({{"path", "/api/public/user/login"}, {"delay_ms", 400}, {"times", 1}, {"status", 200}});
    d.fill(QStringLiteral("  ") + kDemo, kPassword);
    d.tap(10);
    // Loading: a small turning ring, disabled.
    ASSERT_TRUE(waitUntil([&] { return !v.startLoginButton()->isEnabled(); }));
    EXPECT_EQ(v.startLoginButton()->geometry().size(), QSize(44, 44));
    EXPECT_EQ(v.startLoginButton()->imageName(), QStringLiteral("mainwork_startingback@2x.png"));
    const auto spin =
        v.startLoginButton()->animationForKey(QString::fromLatin1(LoginAlertView::kLoadingAnimationKey));
    ASSERT_TRUE(spin);
    EXPECT_DOUBLE_EQ(spin->durationSeconds, 1.25);
    EXPECT_EQ(
        d.settings.object(keys::lastAccountIdPw),
        nlohmann::json({{"accountid", devservice::kDemoEmail}, {"accountpw", devservice::kDemoPassword}}));

    ASSERT_TRUE(waitUntil([&] { return !d.results.isEmpty(); }));
    EXPECT_EQ(d.results, QStringList{QStringLiteral("Account")});
    EXPECT_TRUE(d.settings.isSignedIn());
    EXPECT_TRUE(d.settings.hasUserInfo());
    EXPECT_TRUE(v.startLoginButton()->isEnabled());
    EXPECT_EQ(v.startLoginButton()->geometry().size(), QSize(156, 44));

    // A second dialog fills the remembered account and password.
    Dialog again;
    ASSERT_TRUE(
        again.settings.set(keys::lastAccountIdPw, {{"accountid", "x@y.cn"}, {"accountpw", "pw1234"}}));
    LoginAlertView& w = again.build();
    EXPECT_EQ(w.accountField()->text(), QStringLiteral("x@y.cn"));
    EXPECT_EQ(w.passwordField()->text(), QStringLiteral("pw1234"));
    EXPECT_FALSE(w.loginCheckButton()->isChecked());
}

TEST(LoginAlertView, OutcomesOfTheServiceTable) {
    const struct {
        const char* row;
        int mode;
        nlohmann::json answer; // scripted answer of the mode's endpoint; null: the real one
        const char* toast;     // expected toast ("" for none)
        const char* result;    // valueback ("" for none)
    } rows[] = {
        {"login without data object", 0, {{"code", 0}, {"msg", "ok"}}, "加载用户信息失败，请稍候重试", ""},
        {"login answer not an object", 0, nlohmann::json::array(), "数据解析失败", ""},
        {"login refused", 0, {{"code", 10004}, {"msg", "no"}}, "登录失败:no", ""},
        {"register refused", 1, {{"code", 10003}, {"msg", "验证码错误"}}, "验证码错误", ""},
        {"register answer not an object", 1, "text", "数据解析失败", ""},
        {"reset succeeds", 2, {{"code", 0}, {"data", nullptr}}, "重置成功，请重新登录！", ""},
        {"reset refused", 2, {{"code", 10005}, {"msg", "账号不存在"}}, "账号不存在", ""},
    };
    const char* paths[] = {"/api/public/user/login", "/api/public/user/register",
                           "/api/public/user/resetUserPassword"};
    for (const auto& row : rows) {
        Dialog d;
        LoginAlertView& v = d.build();
        d.enterMode(row.mode);
        d.account.script({{"path", paths[row.mode]}, {"json", row.answer}});
        d.fill(kDemo, kPassword, QStringLiteral("123456"));
        d.tap(10);
        EXPECT_TRUE(d.toasted(QString::fromUtf8(row.toast)))
            << row.row << ": " << d.host.toasts.join('|').toStdString();
        EXPECT_TRUE(waitUntil([&] { return v.startLoginButton()->isEnabled(); })) << row.row;
        EXPECT_TRUE(d.results.isEmpty()) << row.row;
        if (row.mode == 2 && std::string(row.row) == "reset succeeds") {
            EXPECT_EQ(v.iUIType(), 0);
        }
    }

    // Registration with a real code signs in and reports "Register".
    Dialog d;
    LoginAlertView& v = d.build();
    d.tap(13);
    d.fill(QStringLiteral("new@nimomac.example.com"), QStringLiteral("secret12"));
    d.tap(17);
    ASSERT_TRUE(d.toasted(QStringLiteral("已发送，请注意查收")));
    auto code = d.account.service().lastCode("new@nimomac.example.com", "EMAIL_TYPE_USER_REGISTER");
    ASSERT_TRUE(code);
    v.yzmField()->setText(QString::fromStdString(*code));
    d.tap(10);
    ASSERT_TRUE(waitUntil([&] { return !d.results.isEmpty(); }, std::chrono::seconds(8)));
    EXPECT_EQ(d.results, QStringList{QStringLiteral("Register")});
    EXPECT_TRUE(d.settings.isSignedIn());
}

TEST(LoginAlertView, CodeCountdownAndItsFailures) {
    Dialog d;
    LoginAlertView& v = d.build();
    d.tap(14);
    d.fill(kDemo, {});
    d.tap(17);
    EXPECT_EQ(v.yzmButton()->text(), QStringLiteral("59秒后重发"));
    EXPECT_FALSE(v.yzmButton()->isEnabled());
    d.tap(17); // the disabled button cannot be pressed; a second tap only restarts the count
    ASSERT_TRUE(waitUntil([&] { return v.yzmButton()->isEnabled(); }));
    EXPECT_EQ(v.yzmButton()->text(), QStringLiteral("获取验证码"));
    EXPECT_FALSE(v.isCountingDown());
    ASSERT_TRUE(d.toasted(QStringLiteral("已发送，请注意查收")));
    EXPECT_FALSE(d.code("EMAIL_TYPE_USER_RESETPWD").empty());

    // A refusal stops the count at once.
    v.countdownIntervalMs = 1000;
    d.account.script(
        {{"path", "/api/public/code/getEmailCode"}, {"json", {{"code", 10001}, {"msg", "bad"}}}});
    d.tap(17);
    ASSERT_TRUE(d.toasted(QStringLiteral("发送验证码失败:bad")));
    EXPECT_TRUE(v.yzmButton()->isEnabled());
    EXPECT_EQ(v.yzmButton()->text(), QStringLiteral("获取验证码"));
}

TEST(LoginAlertView, UsedUpBuiltInHostsSayTheServiceCannotBeReached) {
    Dialog d(false); // no remembered host; the built-in hosts of the test build refuse
    LoginAlertView& v = d.build();
    d.fill(kDemo, kPassword);
    d.tap(10);
    ASSERT_TRUE(d.toasted(QStringLiteral("服务无法连接，请稍候重试...")));
    EXPECT_TRUE(waitUntil([&] { return v.startLoginButton()->isEnabled(); }));
    EXPECT_EQ(v.iRetry(), 0);
    EXPECT_FALSE(d.settings.contains(keys::lastOkHost));

    d.tap(17);
    ASSERT_TRUE(
        waitUntil([&] { return d.host.toasts.count(QStringLiteral("服务无法连接，请稍候重试...")) == 2; }));
    EXPECT_FALSE(v.isCountingDown());
    EXPECT_TRUE(v.yzmButton()->isEnabled());
}

TEST(LoginAlertView, ASignInThatCannotBeStoredIsAFailure) {
    Dialog d;
    LoginAlertView& v = d.build();
    (void)d.settings.deviceId();
    // Room for the settings as they are, none for the token and account that a sign-in adds.
    const auto size = QFileInfo(QString::fromStdString(d.settings.values().path())).size();
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(size + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    d.fill(kDemo, kPassword);
    v.recordCheckButton()->setChecked(false);
    d.tap(10);
    const bool toasted = d.toasted(QStringLiteral("加载用户信息失败，请稍候重试"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(toasted) << d.host.toasts.join('|').toStdString();
    EXPECT_TRUE(d.results.isEmpty());
    EXPECT_FALSE(d.settings.isSignedIn());
    // The failed write left the store as it was, not a truncated file.
    EXPECT_EQ(d.settings.string(keys::lastOkHost), d.account.url());
}
