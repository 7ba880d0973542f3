#include "platform/LocalizedStrings.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/Redact.h"
#include "support/TestSupport.h"

#include <QObject>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace nimo;
using namespace nimo::platform;

TEST(MainQueue, RunsOnMainAndDropsForGoneOwner) {
    auto owner = std::make_unique<QObject>();
    int ran = 0;
    bool onMain = false;
    std::thread worker([&, o = owner.get()] {
        postToMain(o, [&] {
            ++ran;
            onMain = isMainThread();
        });
    });
    worker.join();
    ASSERT_TRUE(test::waitUntil([&] { return ran == 1; }));
    EXPECT_TRUE(onMain);

    auto gone = std::make_unique<QObject>();
    postToMain(gone.get(), [&] { ++ran; });
    postToMainAfter(gone.get(), 1, [&] { ++ran; });
    gone.reset();
    int later = 0;
    postToMainAfter(owner.get(), 20, [&] { ++later; });
    ASSERT_TRUE(test::waitUntil([&] { return later == 1; }));
    EXPECT_EQ(ran, 1);
}

TEST(Redact, HidesSecretsAtAnyDepth) {
    nlohmann::json body = {{"email", "a@b.c"},
                           {"password", "hunter2"},
                           {"nested", {{"Token", "abc"}, {"list", {{{"re_password", "x"}}}}}}};
    const std::string text = redacted(body).dump();
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(text.find("abc"), std::string::npos);
    EXPECT_NE(text.find("a@b.c"), std::string::npos);
    EXPECT_EQ(redactedForm("email=a&password=p%20w&token=t&x=1"),
              "email=a&password=<redacted>&token=<redacted>&x=1");
    EXPECT_EQ(redactedForm(""), "");
}

TEST(Redact, OutsideTextIsEscapedForOneLogLine) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"香港 01", "香港 01"},
        {"", ""},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {"back\\slash", "back\\\\slash"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"del\x7f", "del\\x7f"},
        {"\xff\xfe bad", "\\xff\\xfe bad"},
        {"\xe6\x97", "\\xe6\\x97"},                      // a cut sequence
        {"\xc2\x85next", "\\u0085next"},                 // C1 next-line
        {"abc\xe2\x80\xaegpj.exe", "abc\\u202egpj.exe"}, // right-to-left override
        {"\xe2\x80\xa8", "\\u2028"},
        {std::string(300, 'a'), std::string(200, 'a') + "...(+100 bytes)"},
        {std::string(199, 'a') + "香", std::string(199, 'a') + "...(+3 bytes)"}, // never half a character
    };
    for (const auto& [in, out] : rows)
        EXPECT_EQ(escapedForLog(in), out) << in.substr(0, 40);
    EXPECT_EQ(escapedForLog(std::string(1 << 20, 'x'), 10), "xxxxxxxxxx...(+1048566 bytes)");
}

TEST(LocalizedStrings, MissingKeyYieldsKey) {
    EXPECT_EQ(localizedString("No such key"), "No such key");
    EXPECT_NE(localizedString("Proxy: On"), "Proxy: On");
}

TEST(Log, CaptureSeesEveryChannel) {
    ScopedLogCapture capture;
    SystemLog("VPNTunnelManager").info("VPN配置保存成功");
    consoleLog("console line");
    printLine("stdout line");
    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].category, "VPNTunnelManager");
    EXPECT_EQ(records[0].level, LogLevel::Info);
    EXPECT_EQ(capture.lines(LogChannel::Stdout), std::vector<std::string>{"stdout line"});
    EXPECT_TRUE(capture.contains("保存成功"));
}

TEST(Paths, FollowXdgVariables) {
    test::TempXdg xdg;
    EXPECT_EQ(paths::settingsFile(), xdg.path("XDG_CONFIG_HOME") + "/nimo/settings.json");
    EXPECT_EQ(paths::runtimeDir(), xdg.path("XDG_RUNTIME_DIR") + "/nimo");
    EXPECT_EQ(paths::sharedContainer(), xdg.path("XDG_CONFIG_HOME") + "/nimo/group.com.nimomac.qn");
}
