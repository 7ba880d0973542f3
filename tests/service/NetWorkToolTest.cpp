#include "service/NetWorkTool.h"

#include "NimoBuildConfig.h"
#include "ServiceServers.h"
#include "http/SessionManager.h"
#include "platform/Log.h"
#include "service/NMApi.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>
#include <httplib.h>
#include <thread>

using namespace nimo;
using nlohmann::json;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

// Tests that fail over must never run past their loopback entries into the built-in hosts, so the
// deadlines stay well above any scripted delay.
http::SessionConfiguration
quickSession(std::chrono::milliseconds deadline = std::chrono::milliseconds(2000)) {
    auto config = http::SessionConfiguration::defaultConfiguration();
    config.connectTimeout = deadline;
    config.noDataTimeout = deadline;
    config.requestTimeout = std::chrono::seconds(5);
    return config;
}

// What one request ended with.
struct Outcome {
    std::vector<json> successes;
    std::vector<NMNetWorkError> failures;
    bool done() const { return !successes.empty() || !failures.empty(); }
};

class NetWorkToolTest : public ::testing::Test {
protected:
    test::TempXdg xdg;
    SettingsStore store;
    http::SessionManager session{quickSession()};
    test::LocalService service;

    Outcome send(NetWorkTool& tool, const std::string& base, const std::string& path,
                 http::HTTPMethod method = http::HTTPMethod::get, const json& params = nullptr) {
        Outcome out;
        bool finished = false;
        tool.sendRequest(
            base, path, method, params,
            [&](const json& data) {
                out.successes.push_back(data);
                finished = true;
            },
            [&](const NMNetWorkError& e) {
                out.failures.push_back(e);
                finished = true;
            });
        EXPECT_TRUE(test::waitUntil([&] { return finished; }));
        // A second failure call (code 40101) follows the first on the same turn.
        return out;
    }
};

} // namespace

TEST_F(NetWorkToolTest, MainHostListOrdersAndDeduplicates) {
    NetWorkTool tool(store, session);
    const auto builtIn = NetWorkTool::builtInBaseURLs();
    ASSERT_EQ(builtIn, (std::vector<std::string>{build::kBaseUrl1, build::kBaseUrl2, build::kBaseUrl3}));
    EXPECT_EQ(tool.mainHostList(), builtIn);

    struct Row {
        const char* name;
        json stored;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"backups first", json::array({"A", "B"}), {"A", "B", builtIn[0], builtIn[1], builtIn[2]}},
        {"built-in kept at its stored place",
         json::array({"A", builtIn[1]}),
         {"A", builtIn[1], builtIn[0], builtIn[2]}},
        {"one number ignores the list", json::array({"A", 5, "B"}), builtIn},
        {"empty list", json::array(), builtIn},
        {"not a list", "A", builtIn},
        {"empty lines are no hosts",
         json::array({"A", "", "B", ""}),
         {"A", "B", builtIn[0], builtIn[1], builtIn[2]}},
        {"only empty lines", json::array({""}), builtIn},
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(store.set(keys::backupUrls, row.stored));
        EXPECT_EQ(tool.mainHostList(), row.expected) << row.name;
    }
}

TEST_F(NetWorkToolTest, PickBaseUrlPrefersTheRememberedHostAndResetsWhenUsedUp) {
    NetWorkTool tool(store, session);
    const std::vector<std::string> list = {"A", "B"};
    int index = 1;
    EXPECT_EQ(tool.pickBaseURL(list, index), "B");
    ASSERT_TRUE(store.set(keys::lastOkHost, "R"));
    index = 7;
    EXPECT_EQ(tool.pickBaseURL(list, index), "R"); // whatever the index
    EXPECT_EQ(index, 7);
    ASSERT_TRUE(store.remove(keys::lastOkHost));
    EXPECT_EQ(tool.pickBaseURL(list, index), std::nullopt);
    EXPECT_EQ(index, 0);
    index = -1;
    EXPECT_EQ(tool.pickBaseURL(list, index), std::nullopt);
    EXPECT_EQ(index, 0);
}

TEST_F(NetWorkToolTest, UrlSchemeRuleAndVersionText) {
    EXPECT_EQ(NetWorkTool::requestURL("api.x.com", "/p"), "http://api.x.com/p");
    EXPECT_EQ(NetWorkTool::requestURL("https://api.x.com", "/p"), "https://api.x.com/p");
    EXPECT_EQ(NetWorkTool::requestURL("http://api.x.com", "/p?id=3"), "http://api.x.com/p?id=3");
    EXPECT_EQ(NetWorkTool::requestURL("HTTPS://api.x.com", "/p"),
              "http://HTTPS://api.x.com/p"); // case-sensitive
    EXPECT_EQ(NetWorkTool::versionHeaderValue("2.0.10"), "2010");
    EXPECT_EQ(NetWorkTool::versionHeaderValue("1.2.3"), "123");
    EXPECT_EQ(NetWorkTool::versionHeaderValue(build::kShortVersion).find('.'), std::string::npos);
}

TEST_F(NetWorkToolTest, HeadersOnTheWire) {
    NetWorkTool tool(store, session);
    tool.setShortVersion("2.0.10");
    // Without a scheme the base URL gets "http://".
    const std::string bare = "127.0.0.1:" + std::to_string(service.port());
    auto out = send(tool, bare, "/api/public/sub/getNodeNames");
    ASSERT_EQ(out.successes.size(), 1u);
    ASSERT_TRUE(store.set(keys::apiToken, "tok-1"));
    send(tool, service.url(), "/api/public/user/login", http::HTTPMethod::post, {{"user_name", "x"}});

    const json log = service.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["headers"], (json{{"version", "2010"}})); // no token: neither token header
    EXPECT_FALSE(log[0].contains("body"));
    EXPECT_EQ(log[1]["headers"]["token"], "tok-1");
    EXPECT_EQ(log[1]["headers"]["authorization"], "tok-1");
    EXPECT_EQ(log[1]["headers"]["content-type"], "application/json");
    EXPECT_EQ(log[1]["body"], (json{{"user_name", "x"}}));
}

TEST_F(NetWorkToolTest, ResponseEnvelopeCases) {
    NetWorkTool tool(store, session);
    struct Row {
        const char* name;
        json script; // override of the path
        std::optional<json> success;
        std::optional<NMNetWorkError> failure; // msg text checked exactly unless nonEmptyMsg
        bool nonEmptyMsg = false;
    };
    const Row rows[] = {
        {"code 0 without data", {{"json", {{"code", 0}}}}, json(""), {}},
        {"code 0 with null data", {{"json", {{"code", 0}, {"data", nullptr}}}}, json(nullptr), {}},
        {"code 0 with array", {{"json", {{"code", 0}, {"data", {1, 2}}}}}, json({1, 2}), {}},
        {"code as text", {{"json", {{"code", "0"}, {"data", 1}}}}, {}, NMNetWorkError::msg("")},
        {"code as float", {{"json", {{"code", 0.0}}}}, {}, NMNetWorkError::msg("")},
        {"refusal", {{"json", {{"code", 7}, {"msg", "不行"}}}}, {}, NMNetWorkError::msg("不行")},
        {"msg not a text", {{"json", {{"code", 7}, {"msg", 5}}}}, {}, NMNetWorkError::msg("")},
        {"array body", {{"body", "[1,2]"}}, {}, NMNetWorkError::dataAnalysis()},
        {"number body", {{"body", "42"}}, {}, NMNetWorkError::dataAnalysis()},
        {"text body", {{"body", "\"ok\""}}, {}, NMNetWorkError::dataAnalysis()},
        {"status 500 still read", {{"status", 500}, {"json", {{"code", 0}, {"data", 1}}}}, json(1), {}},
        {"not JSON", {{"body", "<html>"}}, {}, NMNetWorkError::msg(""), true},
        {"empty body", {{"body", ""}}, {}, NMNetWorkError::msg(""), true},
        {"dropped connection", {{"drop", true}}, {}, NMNetWorkError::msg(""), true},
    };
    for (const Row& row : rows) {
        json script = row.script;
        script["path"] = "/t";
        script["times"] = 1;
        service.script(script);
        const Outcome out = send(tool, service.url(), "/t");
        if (row.success) {
            ASSERT_EQ(out.successes.size(), 1u) << row.name;
            EXPECT_EQ(out.successes[0], *row.success) << row.name;
            EXPECT_TRUE(out.failures.empty()) << row.name;
            continue;
        }
        ASSERT_EQ(out.failures.size(), 1u) << row.name;
        EXPECT_TRUE(out.successes.empty()) << row.name;
        const NMNetWorkError& e = out.failures[0];
        EXPECT_EQ(e.kind(), row.failure->kind()) << row.name;
        if (row.nonEmptyMsg) {
            EXPECT_FALSE(e.message().empty()) << row.name;
        } else {
            EXPECT_EQ(e, *row.failure) << row.name << ": " << e.errorDescription();
        }
    }
}

TEST_F(NetWorkToolTest, RejectedSessionFailsTwiceWithTheSessionClearedBetween) {
    NetWorkTool tool(store, session);
    ASSERT_TRUE(store.set(keys::apiToken, "stale"));
    ASSERT_TRUE(store.set(keys::userInfo, json{{"id", 1}}));
    ASSERT_TRUE(store.set(keys::lastOkHost, service.url()));
    std::vector<std::pair<std::string, bool>> calls; // text, signed in at the time
    tool.sendRequest(service.url(), "/api/customer/user/getUserInfo", http::HTTPMethod::get, nullptr, nullptr,
                     [&](const NMNetWorkError& e) { calls.emplace_back(e.message(), store.isSignedIn()); });
    ASSERT_TRUE(test::waitUntil([&] { return calls.size() == 2; }));
    EXPECT_EQ(calls[0], std::make_pair(std::string("登录已失效，请重新登录"), true));
    EXPECT_EQ(calls[1], std::make_pair(std::string("[40101]登录已失效，请重新登录"), false));
    EXPECT_FALSE(store.hasUserInfo());
    EXPECT_TRUE(store.contains(keys::lastOkHost));

    // Without a failure callback the session is still cleared.
    ASSERT_TRUE(store.set(keys::apiToken, "stale"));
    bool sentinel = false;
    tool.sendRequest(service.url(), "/api/customer/user/getUserInfo", http::HTTPMethod::get, nullptr, nullptr,
                     nullptr);
    tool.sendRequest(
        service.url(), "/api/public/sub/getNodeNames", http::HTTPMethod::get, nullptr,
        [&](const json&) { sentinel = true; }, nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return sentinel && !store.isSignedIn(); }));
}

TEST_F(NetWorkToolTest, LoggedAnswersNeverShowASecretAndLargeOnesAreCut) {
    NetWorkTool tool(store, session);
    const std::string secret = "s3cr3t-token-value";
    const std::string filler(20000, 'x');
    struct Row {
        const char* name;
        json body;
        bool cut;
    };
    const Row rows[] = {
        {"small success", {{"code", 0}, {"data", {{"token", secret}}}}, false},
        {"large success", {{"code", 0}, {"data", {{"token", secret}, {"z", filler}}}}, true},
        {"large refusal", {{"code", 1}, {"msg", "no"}, {"token", secret}, {"z", filler}}, true},
    };
    for (const Row& row : rows) {
        service.script({{"path", "/t"}, {"times", 1}, {"json", row.body}});
        platform::ScopedLogCapture capture;
        const Outcome out = send(tool, service.url(), "/t");
        EXPECT_TRUE(out.done()) << row.name;
        // Written once, where the reply was described; the main loop does not write it again.
        const auto lines = capture.lines(platform::LogChannel::Console);
        EXPECT_EQ(std::count_if(
                      lines.begin(), lines.end(),
                      [](const std::string& l) { return l.find("[Response Body]") != std::string::npos; }),
                  1)
            << row.name;
        EXPECT_FALSE(capture.contains(secret)) << row.name;
        if (row.cut) {
            EXPECT_FALSE(capture.contains(filler)) << row.name;
        }
    }
}

TEST_F(NetWorkToolTest, TokenWithControlCharacterIsNeverSent) {
    NetWorkTool tool(store, session);
    for (const std::string& token : std::vector<std::string>{
             "abc\r\nX-Injected: 1", std::string("abc\0def", 7), "tab\there", "del\x7f"}) {
        ASSERT_TRUE(store.set(keys::apiToken, token));
        platform::ScopedLogCapture capture;
        const Outcome out = send(tool, service.url(), "/api/customer/user/getUserInfo");
        ASSERT_EQ(out.failures.size(), 1u);
        EXPECT_EQ(out.failures[0].kind(), NMNetWorkError::Kind::msg);
        EXPECT_FALSE(out.failures[0].message().empty());
        EXPECT_FALSE(capture.contains(token.substr(0, 3)));
        EXPECT_FALSE(store.isSignedIn());
    }
    EXPECT_TRUE(service.requests().empty());
}

// The session's worker opens the transport library for its first request. Without it every request
// fails at once with a text the user can act on, no host is blamed, and nothing reaches the service.
TEST_F(NetWorkToolTest, RequestsWorkAndAMissingTransportLibraryFailsEachOneClearly) {
    const struct {
        const char* name;
        std::string library;
        bool works;
    } rows[] = {
        {"the system's libcurl", http::CurlLibrary::kDefaultName, true},
        {"no such file", "libnimo-no-such-transport.so.4", false},
        {"a library without its functions", "libz.so.1", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto config = quickSession();
        config.transportLibrary = row.library;
        http::SessionManager own(config);
        NetWorkTool tool(store, own);
        const std::size_t before = service.requests().size();
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Outcome out = send(tool, service.url(), "/api/public/server/getPublicSetting");
            if (row.works) {
                EXPECT_EQ(out.successes.size(), 1u);
                continue;
            }
            ASSERT_EQ(out.failures.size(), 1u);
            EXPECT_TRUE(out.failures[0].is(NMNetWorkError::Kind::msg));
            EXPECT_EQ(out.failures[0].message(), "网络组件无法加载，请重新安装后重试");
        }
        EXPECT_EQ(service.requests().size(), before + (row.works ? 2 : 0));
    }
}

TEST(ServiceErrors, ConnectionLevelTransportFailuresAreInvalidHost) {
    using K = http::TransportErrorKind;
    struct Row {
        K kind;
        bool invalidHost;
    };
    const Row rows[] = {{K::ConnectionRefused, true},
                        {K::TimedOut, true},
                        {K::NoRoute, true},
                        {K::NameNotResolved, true},
                        {K::TLS, false},
                        {K::ConnectionLost, false},
                        {K::ResponseTooLarge, false},
                        {K::Cancelled, false},
                        {K::Unavailable, false},
                        {K::Other, false}};
    // What the user reads is Chinese: no English sentence, no library detail, no body bytes.
    auto readsChinese = [](const std::string& text) {
        return !text.empty() &&
               std::none_of(text.begin(), text.end(), [](char c) { return std::isalpha(c); });
    };
    for (const Row& row : rows) {
        const auto e =
            errorForFailedRequest(http::Error(http::TransportError{row.kind, 7, "libcurl detail"}));
        EXPECT_EQ(e.is(NMNetWorkError::Kind::invalidHost), row.invalidHost) << static_cast<int>(row.kind);
        if (!row.invalidHost) {
            EXPECT_TRUE(readsChinese(e.message())) << e.message();
        }
    }
    using RS = http::HTTPClientError::ResponseSerializationFailureReason;
    const http::HTTPClientError clientErrors[] = {
        http::HTTPClientError::responseSerializationFailed(RS::inputDataNilOrZeroLength),
        http::HTTPClientError::responseSerializationFailed(RS::jsonSerializationFailed,
                                                           "syntax error; last read: '\"TOKEN'"),
        http::HTTPClientError::unacceptableStatusCode(502),
        http::HTTPClientError::invalidURL("http://x y"),
    };
    for (const auto& error : clientErrors) {
        const auto e = errorForFailedRequest(http::Error(error));
        EXPECT_TRUE(readsChinese(e.message())) << e.message();
    }
}

// Replies a hostile or broken host may send: a huge msg, a sign-in cut off inside its token, HTML.
// The user sees a short text, the log a bounded and redacted one.
TEST_F(NetWorkToolTest, BrokenAndHugeRepliesAreBoundedAndNeverLeakTheToken) {
    httplib::Server raw;
    const std::string hugeMsg = json{{"code", 500}, {"msg", std::string(10 << 20, 'm')}}.dump();
    raw.Get("/huge", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(hugeMsg, "application/json");
    });
    raw.Post("/cut", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"code":0,"data":{"token":"TK-CUT-4711)", "application/json");
    });
    raw.Get("/html", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><body>502 token=TK-HTML</body></html>", "text/html");
    });
    const int port = raw.bind_to_any_port("127.0.0.1");
    // Stopped and joined on every way out: a failed assertion must not end the whole program.
    struct Serving {
        httplib::Server& server;
        std::thread thread{[this] { server.listen_after_bind(); }};
        ~Serving() {
            server.stop();
            thread.join();
        }
    } serving{raw};
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    NetWorkTool tool(store, session);
    platform::ScopedLogCapture capture;
    const Outcome huge = send(tool, base, "/huge");
    ASSERT_EQ(huge.failures.size(), 1u);
    EXPECT_LE(huge.failures[0].message().size(), 600u);
    const Outcome cut = send(tool, base, "/cut", http::HTTPMethod::post, json{{"password", "PW-9"}});
    const Outcome html = send(tool, base, "/html");
    for (const Outcome* o : {&cut, &html}) {
        ASSERT_EQ(o->failures.size(), 1u);
        EXPECT_EQ(o->failures[0].message().find("TK-"), std::string::npos) << o->failures[0].message();
    }
    for (const auto& record : capture.records()) {
        EXPECT_LT(record.line.size(), 64u * 1024u);
        for (const char* secret : {"TK-CUT-4711", "TK-HTML", "PW-9"})
            EXPECT_EQ(record.line.find(secret), std::string::npos) << record.line.substr(0, 300);
    }
}

// A rejected session that cannot be cleared (the settings file cannot be written) is not reported
// as cleared: the user is told the truth.
TEST_F(NetWorkToolTest, ARejectedSessionThatCannotBeClearedIsReported) {
    NetWorkTool tool(store, session);
    ASSERT_TRUE(store.set(keys::apiToken, "stale"));
    ASSERT_TRUE(store.set(keys::userInfo, json{{"id", 1}}));
    // A folder where the store's lock file goes: every write fails, for root as well.
    const QString lock = QString::fromStdString(store.values().path() + ".lock");
    QFile::remove(lock);
    ASSERT_TRUE(QDir().mkpath(lock));
    const Outcome out = send(tool, service.url(), "/api/customer/user/getUserInfo");
    ASSERT_EQ(out.failures.size(), 2u);
    EXPECT_EQ(out.failures[0].message(), "登录已失效，请重新登录");
    EXPECT_EQ(out.failures[1].message(), "登录信息已失效，但本机设置无法写入，请检查磁盘空间和文件夹权限");
    EXPECT_TRUE(store.isSignedIn()); // still there, and the user knows
}

TEST_F(NetWorkToolTest, FailoverReachesTheFourthEntryPastDeadHosts) {
    test::SilentListener silent;
    http::SessionManager fast(quickSession(std::chrono::milliseconds(300)));
    NMApi api(store, HostList::main, fast);
    ASSERT_TRUE(store.set(keys::lastOkHost, test::refusedUrl()));
    ASSERT_TRUE(store.set(keys::backupUrls,
                          json::array({service.url(), test::refusedUrl(), silent.url(), service.url()})));
    int hostFailures = 0;
    bool usable = false, failed = false;
    api.loadPublicSetting({.success = [&](bool ok) { usable = ok; },
                           .failure = [&](const NMNetWorkError&) { failed = true; },
                           .exhausted = [&] { failed = true; },
                           .hostFailed =
                               [&](const NMNetWorkError& e) {
                                   EXPECT_TRUE(e.is(NMNetWorkError::Kind::invalidHost));
                                   ++hostFailures;
                               }});
    ASSERT_TRUE(test::waitUntil([&] { return usable || failed; }));
    EXPECT_TRUE(usable);
    EXPECT_EQ(hostFailures, 3);
    EXPECT_EQ(api.retryIndex(), 3);
    EXPECT_EQ(store.string(keys::lastOkHost), service.url());
    // The answer's backend_url (the service's own address) replaced the backup list.
    EXPECT_EQ(store.array(keys::backupUrls), json::array({service.url()}));
    EXPECT_EQ(service.requests().size(), 1u);
}

TEST_F(NetWorkToolTest, UsedUpListAndEmptyHostEndInExhausted) {
    NMApi api(store, HostList::main, session);
    ASSERT_TRUE(store.set(keys::backupUrls, json::array({service.url()})));
    api.setRetryIndex(4); // past the backup and the three built-in entries
    bool exhausted = false;
    api.loadPublicSetting({.exhausted = [&] { exhausted = true; }});
    ASSERT_TRUE(test::waitUntil([&] { return exhausted; }));
    EXPECT_EQ(api.retryIndex(), 0);

    // An empty remembered host is forgotten and nothing is sent.
    ASSERT_TRUE(store.set(keys::lastOkHost, ""));
    api.setRetryIndex(2);
    exhausted = false;
    NMApi login(store, HostList::builtIn, session);
    login.setRetryIndex(1);
    login.sendEmailCode(NMApi::emailCodeParameters("a@b.cn", true), {.exhausted = [&] { exhausted = true; }});
    ASSERT_TRUE(test::waitUntil([&] { return exhausted; }));
    EXPECT_FALSE(store.contains(keys::lastOkHost));
    EXPECT_EQ(login.retryIndex(), 0);
    EXPECT_TRUE(service.requests().empty());
}

TEST_F(NetWorkToolTest, SignInAndRecordsThroughTheService) {
    NMApi api(store, HostList::builtIn, session);
    ASSERT_TRUE(store.set(keys::lastOkHost, service.url()));
    std::optional<bool> stored;
    platform::ScopedLogCapture capture;
    api.login(devservice::kDemoEmail, devservice::kDemoPassword, {.success = [&](bool s) { stored = s; }});
    ASSERT_TRUE(test::waitUntil([&] { return stored.has_value(); }));
    EXPECT_TRUE(*stored);
    EXPECT_TRUE(store.isSignedIn());
    // The debug lines of the exchange carry neither the password nor the new token.
    EXPECT_FALSE(capture.contains(devservice::kDemoPassword));
    EXPECT_FALSE(capture.contains(*store.string(keys::apiToken)));
    EXPECT_TRUE(capture.contains("[Request]: POST " + service.url() + "/api/public/user/login"));
    EXPECT_EQ(store.string(keys::userAccount), devservice::kDemoEmail);
    EXPECT_EQ(store.object(keys::userInfo)->value("invitation_code", ""), "384726");
    const json sent = service.requests().back()["body"];
    EXPECT_EQ(sent["email_code"], "");
    EXPECT_EQ(sent["device_id"], store.deviceId());

    // getUserInfo replaces the record: the integer invitation code is kept, fields it lacks go.
    service.script({{"path", "/api/customer/user/getUserInfo"},
                    {"times", 1},
                    {"json", {{"code", 0}, {"data", {{"id", 5}, {"invitation_code", 99}}}}}});
    bool loaded = false;
    ASSERT_TRUE(api.loadUserInfo({.success = [&] { loaded = true; }}));
    ASSERT_TRUE(test::waitUntil([&] { return loaded; }));
    EXPECT_EQ(store.object(keys::userInfo), (json{{"id", 5}, {"invitation_code", 99}}));

    // A login answer with an empty "data" object stores nothing and succeeds.
    store.clearSession();
    service.script({{"path", "/api/public/user/login"},
                    {"times", 1},
                    {"json", {{"code", 0}, {"data", json::object()}}}});
    stored.reset();
    api.login("a@b.cn", "secret1", {.success = [&](bool s) { stored = s; }});
    ASSERT_TRUE(test::waitUntil([&] { return stored.has_value(); }));
    EXPECT_TRUE(*stored);
    EXPECT_FALSE(store.isSignedIn());
    EXPECT_FALSE(store.hasUserInfo());

    // Signed out: loadUserInfo sends nothing and calls nothing.
    const size_t before = service.requests().size();
    EXPECT_FALSE(api.loadUserInfo({.success = [] { ADD_FAILURE(); }}));
    EXPECT_EQ(service.requests().size(), before);

    // A public setting whose backend_url ends with a line break keeps an empty last element.
    service.script({{"path", "/api/public/server/getPublicSetting"},
                    {"times", 1},
                    {"json", {{"code", 0}, {"data", {{"backend_url", "https://a\nhttps://b\n"}}}}}});
    std::optional<bool> usable;
    api.loadPublicSetting({.success = [&](bool u) { usable = u; }});
    ASSERT_TRUE(test::waitUntil([&] { return usable.has_value(); }));
    EXPECT_TRUE(*usable);
    EXPECT_EQ(store.array(keys::backupUrls), json::array({"https://a", "https://b", ""}));
}

TEST_F(NetWorkToolTest, NodeCatalogueUsesTheRememberedHostOnly) {
    NMApi api(store, HostList::main, session);
    std::vector<std::pair<std::optional<std::vector<std::string>>, std::optional<std::string>>> calls;
    auto record = [&](std::optional<std::vector<std::string>> list, std::optional<std::string> message) {
        calls.emplace_back(std::move(list), std::move(message));
    };
    EXPECT_FALSE(api.fetchNodeNames(record)); // no remembered host
    ASSERT_TRUE(store.set(keys::lastOkHost, service.url()));
    EXPECT_FALSE(api.fetchSubscribeNodeList(record)); // no subscription id

    ASSERT_TRUE(api.fetchNodeNames(record));
    ASSERT_TRUE(test::waitUntil([&] { return calls.size() == 1; }));
    ASSERT_TRUE(calls[0].first);
    EXPECT_EQ(calls[0].first->size(), 10u);
    EXPECT_EQ(store.array(keys::allNodes)->size(), 10u);

    // Signed in with the demo subscription: the subscribed names come back and are cached.
    ASSERT_TRUE(store.set(keys::serverId, 7));
    std::optional<bool> stored;
    NMApi login(store, HostList::builtIn, session);
    login.login(devservice::kDemoEmail, devservice::kDemoPassword, {.success = [&](bool s) { stored = s; }});
    ASSERT_TRUE(test::waitUntil([&] { return stored.has_value(); }));
    ASSERT_TRUE(api.fetchSubscribeNodeList(record));
    ASSERT_TRUE(test::waitUntil([&] { return calls.size() == 2; }));
    ASSERT_TRUE(calls[1].first);
    EXPECT_EQ(calls[1].first->front(), "香港 01");
    EXPECT_EQ(store.array(keys::subNodes)->size(), 6u);

    // An empty list is passed on but not cached.
    service.script({{"path", "/api/public/sub/getNodeNames"},
                    {"times", 1},
                    {"json", {{"code", 0}, {"data", json::array()}}}});
    ASSERT_TRUE(api.fetchNodeNames(record));
    ASSERT_TRUE(test::waitUntil([&] { return calls.size() == 3; }));
    EXPECT_EQ(calls[2].first, std::vector<std::string>{});
    EXPECT_EQ(store.array(keys::allNodes)->size(), 10u);

    // Failures become the catalogue's messages.
    service.script({{"path", "/api/public/sub/getNodeNames"}, {"times", 1}, {"body", "[]"}});
    ASSERT_TRUE(api.fetchNodeNames(record));
    ASSERT_TRUE(test::waitUntil([&] { return calls.size() == 4; }));
    EXPECT_EQ(calls[3].second, "数据有误:数据解析失败");
    ASSERT_TRUE(store.set(keys::lastOkHost, test::refusedUrl()));
    ASSERT_TRUE(api.fetchNodeNames(record));
    ASSERT_TRUE(test::waitUntil([&] { return calls.size() == 5; }));
    EXPECT_EQ(calls[4].second, "无效域名");
    EXPECT_FALSE(calls[4].first);
}

TEST_F(NetWorkToolTest, NothingIsDeliveredOnceTheRequesterIsGone) {
    service.script({{"path", "/api/public/sub/getNodeNames"}, {"times", 1}, {"delay_ms", 100}});
    service.script({{"path", "/api/public/server/getPublicSetting"}, {"delay_ms", 150}});
    ASSERT_TRUE(store.set(keys::lastOkHost, service.url()));
    bool goneCalled = false, sentinel = false;
    auto gone = std::make_unique<NMApi>(store, HostList::main, session);
    gone->fetchNodeNames([&](auto, auto) { goneCalled = true; });
    gone.reset();
    NMApi other(store, HostList::main, session);
    other.loadPublicSetting({.success = [&](bool) { sentinel = true; }});
    ASSERT_TRUE(test::waitUntil([&] { return sentinel; }));
    EXPECT_FALSE(goneCalled);
    EXPECT_FALSE(store.contains(keys::allNodes));
}
