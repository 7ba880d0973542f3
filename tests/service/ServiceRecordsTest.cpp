#include "service/ServiceRecords.h"

#include "platform/Log.h"
#include "service/NMNetWorkError.h"
#include "service/NetWorkTool.h"
#include "service/ServiceDates.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace nimo;
using nlohmann::json;
namespace keys = nimo::UserDefaultsCacheKeys;

TEST(NMNetWorkError, DescriptionsOfTheThreeCases) {
    EXPECT_EQ(NMNetWorkError::msg("账号或密码错误").errorDescription(), "账号或密码错误");
    EXPECT_EQ(NMNetWorkError::invalidHost().errorDescription(), "无效的根域名");
    EXPECT_EQ(NMNetWorkError::dataAnalysis().errorDescription(), "数据解析失败");
    EXPECT_NE(NMNetWorkError::msg(""), NMNetWorkError::dataAnalysis());
}

TEST(UserInfoRecord, CopiesOnlyFieldsOfTheirTypePerSource) {
    const json full = {{"id", 7},           {"user_name", "a@b.cn"},
                       {"avatar", "p.png"}, {"member_expiry_at", "2025-03-01T12:00:00+08:00"},
                       {"member_level", 2}, {"extra", "dropped"}};
    struct Row {
        const char* name;
        json invitation;
        UserInfoSource source;
        bool kept;
    };
    const Row rows[] = {
        {"sign-in text", "AB12", UserInfoSource::signIn, true},
        {"sign-in integer", 1234, UserInfoSource::signIn, false},
        {"user info integer", 1234, UserInfoSource::userInfo, true},
        {"user info text", "AB12", UserInfoSource::userInfo, false},
        {"user info float", 12.5, UserInfoSource::userInfo, false},
    };
    for (const Row& row : rows) {
        json fields = full;
        fields["invitation_code"] = row.invitation;
        const json record = buildUserInfoRecord(fields, row.source);
        EXPECT_EQ(record.contains("invitation_code"), row.kept) << row.name;
        EXPECT_EQ(record.size(), row.kept ? 6u : 5u) << row.name;
        EXPECT_FALSE(record.contains("extra"));
    }
    // Wrong types are missing, not converted.
    const json wrong = {{"id", "7"}, {"user_name", 5}, {"member_level", true}, {"avatar", nullptr}};
    EXPECT_EQ(buildUserInfoRecord(wrong, UserInfoSource::signIn), json::object());
    EXPECT_EQ(buildUserInfoRecord(json::array(), UserInfoSource::signIn), json::object());
}

TEST(SignInResult, StoringRules) {
    test::TempXdg xdg;
    SettingsStore store;
    // Not an object: nothing stored, reported as such.
    EXPECT_FALSE(storeSignInResult(store, ""));
    EXPECT_FALSE(storeSignInResult(store, json::array({1})));
    EXPECT_FALSE(store.isSignedIn());

    // An empty object stores nothing and still succeeds.
    EXPECT_TRUE(storeSignInResult(store, json::object()));
    EXPECT_FALSE(store.isSignedIn());
    EXPECT_FALSE(store.hasUserInfo());

    // "token" of another type and "user" that is not an object are skipped.
    EXPECT_TRUE(storeSignInResult(store, {{"token", 5}, {"user", "x"}}));
    EXPECT_FALSE(store.isSignedIn());
    EXPECT_FALSE(store.hasUserInfo());

    ASSERT_TRUE(storeSignInResult(store, {{"token", "t1"}, {"user", {{"user_name", "u@x.cn"}, {"id", 3}}}}));
    EXPECT_EQ(store.string(keys::apiToken), "t1");
    EXPECT_EQ(store.string(keys::userAccount), "u@x.cn");
    EXPECT_EQ(store.object(keys::userInfo), (json{{"user_name", "u@x.cn"}, {"id", 3}}));

    // A token that could split a header is refused whole and its value never logged.
    platform::ScopedLogCapture capture;
    EXPECT_FALSE(storeSignInResult(store, {{"token", "evil\r\nX: 1"}, {"user", {{"id", 9}}}}));
    EXPECT_EQ(store.string(keys::apiToken), "t1");
    EXPECT_EQ(store.object(keys::userInfo)->value("id", 0), 3);
    EXPECT_FALSE(capture.contains("evil"));
}

TEST(UserInfoResult, ReplacesTheWholeRecord) {
    test::TempXdg xdg;
    SettingsStore store;
    ASSERT_TRUE(store.set(keys::userInfo, json{{"id", 1}, {"avatar", "a"}, {"member_level", 1}}));
    EXPECT_TRUE(storeUserInfo(store, {{"id", 2}, {"user_name", "n@x.cn"}, {"invitation_code", 42}}));
    EXPECT_EQ(store.object(keys::userInfo),
              (json{{"id", 2}, {"user_name", "n@x.cn"}, {"invitation_code", 42}}));
    EXPECT_EQ(store.string(keys::userAccount), "n@x.cn");
    // Not an object: nothing changes.
    EXPECT_FALSE(storeUserInfo(store, json::array()));
    EXPECT_EQ(store.object(keys::userInfo)->value("id", 0), 2);
}

TEST(PublicSetting, SplitsBackendUrlIntoLines) {
    struct Row {
        std::string text;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"https://a\nhttps://b\n", {"https://a", "https://b", ""}},
        {"", {""}},
        {"one", {"one"}},
        {"a\r\nb", {"a", "b"}}, // CR LF is one break
        {"a\rb\x0b"
         "c\x0c"
         "d",
         {"a", "b", "c", "d"}},
        {"a\u2028b\u2029c\u0085d", {"a", "b", "c", "d"}},
        {"\n\n", {"", "", ""}},
        {"中文\n主机", {"中文", "主机"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(splitLines(row.text), row.lines) << row.text;

    test::TempXdg xdg;
    SettingsStore store;
    ASSERT_TRUE(store.set(keys::backupUrls, json::array({"keep"})));
    platform::ScopedLogCapture capture;
    EXPECT_FALSE(storePublicSetting(store, json::array()));
    EXPECT_TRUE(capture.contains("错误的数据格式"));
    EXPECT_TRUE(storePublicSetting(store, {{"backend_url", 5}}));
    EXPECT_EQ(store.array(keys::backupUrls), json::array({"keep"}));
    EXPECT_TRUE(storePublicSetting(store, {{"backend_url", "https://a\nhttps://b\n"}}));
    EXPECT_EQ(store.array(keys::backupUrls), json::array({"https://a", "https://b", ""}));
}

TEST(Subscription, DecodingAndRemainingTraffic) {
    EXPECT_FALSE(decodeSubscription(json::array()));
    EXPECT_FALSE(decodeSubscription(json::object()));
    EXPECT_FALSE(decodeSubscription(json::array({1, json::object()})));

    const auto record = decodeSubscription(json::array({{{"id", 7},
                                                         {"total_bandwidth", 10LL << 30},
                                                         {"used_up", 0},
                                                         {"used_down", 0},
                                                         {"service_status", false},
                                                         {"sub_status", "false"},
                                                         {"sub_uuid", "u-1"}}}));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->id, 7);
    EXPECT_EQ(record->serviceStatus, false);
    EXPECT_FALSE(record->subStatus); // a text is not a boolean: absent
    EXPECT_EQ(record->subUuid, "u-1");

    struct Row {
        json total, up, down;
        std::optional<std::string> text;
    };
    const std::int64_t MiB = 1024 * 1024;
    const Row rows[] = {
        {10LL << 30, 0, 0, "10.0 G"},
        {1024 * MiB, 0, 0, "1.0 G"},
        {static_cast<std::int64_t>(1023.96 * MiB), 0, 0, "1024.0 M"},
        {MiB, 2 * MiB, 3 * MiB, "-4.0 M"},
        {0, 0, 0, "0.0 M"},
        {1, 0, "0", std::nullopt},
        {1, 0, nullptr, std::nullopt},
    };
    for (const Row& row : rows) {
        auto r = decodeSubscription(
            json::array({{{"total_bandwidth", row.total}, {"used_up", row.up}, {"used_down", row.down}}}));
        ASSERT_TRUE(r);
        EXPECT_EQ(remainingTrafficText(*r), row.text) << row.total.dump();
    }
    // Figures whose difference leaves 64 bits still give a text (and no overflow).
    SubscriptionRecord huge;
    huge.totalBandwidth = INT64_MAX;
    huge.usedUp = INT64_MIN;
    huge.usedDown = 0;
    const auto text = remainingTrafficText(huge);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->ends_with(" G")) << *text;
}

TEST(NodeLists, DecodingRules) {
    EXPECT_EQ(decodeNodeNames(json::array({"香港", "日本"})), (std::vector<std::string>{"香港", "日本"}));
    EXPECT_EQ(decodeNodeNames(json::array()), std::vector<std::string>{});
    EXPECT_FALSE(decodeNodeNames(json::array({"香港", 1})));
    EXPECT_FALSE(decodeNodeNames(json::object()));

    const json subs = json::array({{{"remarks", "香港 01"}, {"id", 1}},
                                   json::object(),
                                   {{"remarks", 5}},
                                   "text",
                                   {{"id", 2}},
                                   {{"remarks", "日本"}}});
    EXPECT_EQ(decodeSubscribeNodes(subs), (std::vector<std::string>{"香港 01", "日本"}));
    EXPECT_FALSE(decodeSubscribeNodes(""));
}

TEST(ServiceDates, DisplayDateAcceptsTheThreeShapes) {
    const QTimeZone utc(0);
    const QTimeZone shanghai("Asia/Shanghai");
    ASSERT_TRUE(shanghai.isValid());
    const std::string fmt = "yyyy-MM-dd HH:mm:ss";
    struct Row {
        const char* text;
        const char* utc; // "" when it does not parse
    };
    const Row rows[] = {
        {"2025-03-01T12:00:00+08:00", "2025-03-01 04:00:00"},
        {"2025-03-01T12:00:00.123Z", "2025-03-01 12:00:00"},
        {"2025-03-01T12:00:00Z", "2025-03-01 12:00:00"},
        {"2025-03-01T00:30:00.5-02:30", "2025-03-01 03:00:00"},
        {"2025-03-01T12:00:00+08:00:30", "2025-03-01 03:59:30"}, // zone with seconds: the pattern step
        {"2025-03-01T12:00:00.1+08:00:30", ""},
        {"2025-03-01T12:00:00", ""}, // no zone
        {"2025-03-01 12:00:00+08:00", ""},
        {"2025-02-30T12:00:00Z", ""},
        {"2025-03-01T24:00:00Z", ""},
        {"2025-03-01T12:00:00+08:75", ""},
        {"2025-03-01T12:00:00.123456789Z", "2025-03-01 12:00:00"},
        {"2025-03-01T12:00:00.1234567891Z", ""}, // ten fraction digits
        {"2025-03-01T12:00:00.Z", ""},
        {"2025-03-01T12:00:00Z\n", ""},
        {"2025-03-01T12:00:00+08", ""},
        {"", ""},
        {"garbage", ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(displayDate(row.text, fmt, utc), row.utc) << row.text;
    EXPECT_EQ(displayDate("2025-03-01T12:00:00.123Z", fmt, shanghai), "2025-03-01 20:00:00");
    EXPECT_EQ(displayDate("2025-03-01T12:00:00+08:00", fmt, shanghai), "2025-03-01 12:00:00");
    EXPECT_EQ(displayDate(std::string(100000, '9'), fmt), "");
    // The current-zone form agrees with the system zone.
    EXPECT_EQ(displayDate("2025-03-01T12:00:00Z", fmt),
              displayDate("2025-03-01T12:00:00Z", fmt, QTimeZone::systemTimeZone()));
}

TEST(ServiceDates, DaysFromToday) {
    const QDate today(2025, 3, 1);
    struct Row {
        const char* day;
        int days;
    };
    const Row rows[] = {{"2025-03-01", 0},   {"2025-03-11", 10}, {"2025-02-28", -1},
                        {"2026-03-01", 365}, {"2025-3-2", 1},    {"", 0},
                        {"2025-13-01", 0},   {"tomorrow", 0},    {"2025-03-01 12:00", 0},
                        {"2025-03-01\n", 0}, {"2025--1", 0},     {"2025-3-", 0},
                        {"2025-003-1", 0}};
    for (const Row& row : rows)
        EXPECT_EQ(daysFromDate(today, row.day), row.days) << row.day;
    const std::string tomorrow = QDate::currentDate().addDays(1).toString("yyyy-MM-dd").toStdString();
    EXPECT_EQ(daysFromToday(tomorrow), 1);
}

namespace {
struct RecordingOpener : UrlOpener {
    std::vector<std::string> opened;
    bool open(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
};
} // namespace

TEST(OpenInBrowser, OpensAbsoluteUrlsOnly) {
    RecordingOpener opener;
    platform::ScopedLogCapture capture;
    EXPECT_TRUE(openInBrowser("https://pay.example.com/webpay/#/?token=t&time=1", opener));
    EXPECT_TRUE(capture.contains("default browser was successfully opened"));
    EXPECT_FALSE(openInBrowser("", opener));
    EXPECT_FALSE(openInBrowser("not a url", opener));
    EXPECT_EQ(opener.opened, std::vector<std::string>{"https://pay.example.com/webpay/#/?token=t&time=1"});
}

// The desktop opener hands the URL to xdg-open; a refused URL is logged without what may be a token.
TEST(OpenInBrowser, DesktopOpenerRunsXdgOpenAndLogsNoToken) {
    test::TempXdg xdg;
    test::FakePrograms programs;
    const std::string file = xdg.path("opened");
    programs.add("xdg-open", "printf '%s' \"$*\" > '" + file + "'");
    DesktopUrlOpener desktop;
    platform::ScopedLogCapture capture;
    const std::string url = "https://pay.example.com/webpay/#/?token=t0k&time=1";
    EXPECT_TRUE(openInBrowser(url, desktop));
    EXPECT_TRUE(test::waitUntil([&] { return test::readFile(file) == url; }));
    EXPECT_FALSE(openInBrowser("pay.example.com/webpay/#/?token=t0k", desktop));
    {
        const test::ScopedEnv noOpener("PATH", programs.dir() + "/none");
        EXPECT_FALSE(desktop.open(url));
    }
    EXPECT_FALSE(capture.contains("t0k"));
}
