// nimo-tunneld's command line against the real service and the test provider: in every state it
// gives the status line the status menu shows, and it says so plainly when no service runs.
#include "TunnelTestSupport.h"
#include "tunnel/TunnelProtocol.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;

namespace {

TEST(CommandLine, SaysWhatTheMenuSaysInEveryStateAndWhenNoServiceRuns) {
    ServiceHarness service;
    for (const char* command : {"status", "list", "stop", "approve"}) {
        SCOPED_TRACE(command);
        QStringList args{command};
        if (std::string(command) == "approve")
            args << "com.nimomac.qn.sysne";
        auto [text, code] = service.command(args);
        EXPECT_EQ(code, 3);
        EXPECT_NE(text.find("nimo-tunneld 未运行"), std::string::npos) << text;
        EXPECT_NE(text.find("菜单：代理：已关闭"), std::string::npos) << text;
    }

    ASSERT_TRUE(service.start());
    RawClient control(service.socketPath());
    EXPECT_NE(service.command({"status"}).first.find("没有 NimoMac 的隧道配置"), std::string::npos);
    ASSERT_TRUE(install(control, extensionPackage(testPackageRoot())));
    const std::string id = saveConfiguration(
        control,
        {{"protocol", {{"type", "tunnel-provider"}, {"providerBundleIdentifier", "com.nimomac.qn.sysne"}}},
         {"localizedDescription", "NimoMac.QnSysTun"},
         {"enabled", true}});
    ASSERT_FALSE(id.empty());
    auto [listed, listCode] = service.command({"list"});
    EXPECT_EQ(listCode, 0);
    EXPECT_NE(listed.find(id + "  NimoMac.QnSysTun  com.nimomac.qn.sysne  已断开"), std::string::npos)
        << listed;

    RawClient watcher(service.socketPath());
    ASSERT_TRUE(watcher.request({{"op", "subscribe"}}));
    auto reach = [&](int status) {
        return watcher
            .event([&](const json& e) {
                return e.value("configuration", "") == id && e.value("status", -1) == status;
            })
            .has_value();
    };
    struct Row {
        int status;
        const char* line; // the status menu's line for it
        const char* name;
    };
    const std::vector<Row> rows = {
        {1, "代理：已关闭", "已断开"}, {2, "代理：连接中...", "连接中"},   {3, "代理：已开启", "已连接"},
        {4, "代理：已开启", "重连中"}, {5, "代理：正在断开...", "断开中"},
    };
    const auto expectLine = [&](const Row& row) {
        auto [text, code] = service.command({"status"});
        EXPECT_EQ(code, 0);
        EXPECT_NE(text.find(std::string("状态：") + row.name + " (" + std::to_string(row.status) + ")"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(std::string("菜单：") + row.line), std::string::npos) << text;
        EXPECT_EQ(text.find("secret-subscription"), std::string::npos) << text;
    };
    expectLine(rows[0]);
    ASSERT_TRUE(control
                    .request({{"op", "start"},
                              {"configuration", id},
                              {"options", {{"hold", "connecting"}, {"subuuid", "secret-subscription"}}}})
                    ->value("ok", false));
    ASSERT_TRUE(reach(2));
    expectLine(rows[1]);
    for (int status : {3, 4, 5}) {
        control.send({{"op", "message"},
                      {"configuration", id},
                      {"data", tunnelproto::toBase64(QByteArray("status.") + QByteArray::number(status))}});
        ASSERT_TRUE(reach(status));
        expectLine(rows[static_cast<std::size_t>(status - 1)]);
    }
    auto [stopped, stopCode] = service.command({"stop"});
    EXPECT_EQ(stopCode, 0) << stopped;
    EXPECT_NE(stopped.find("已断开"), std::string::npos) << stopped;
    expectLine(rows[0]);
    EXPECT_NE(service.command({"stop"}).first.find("没有运行中的隧道"), std::string::npos);
}

} // namespace
