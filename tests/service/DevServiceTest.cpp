// nimo-devservice as a process: each endpoint, the scripting and fixtures, and bad input.
#include "DevService.h"

#include "support/TestSupport.h"

#include <QProcess>
#include <QTemporaryFile>
#include <gtest/gtest.h>
#include <httplib.h>

using namespace nimo;
using nlohmann::json;

namespace {

class DevServiceProcess {
public:
    explicit DevServiceProcess(const QStringList& args = {"--port", "0"}) {
        process_.start(QString::fromStdString(test::binDir() + "/nimo-devservice"), args);
        if (test::waitUntil(
                [&] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; }))
            port_ = process_.readLine().trimmed().toInt();
    }
    ~DevServiceProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            process_.waitForFinished(3000);
        }
    }
    int port() const { return port_; }
    std::string log() {
        process_.waitForReadyRead(0);
        stderr_ += process_.readAllStandardError().toStdString();
        return stderr_;
    }

    // Envelope of an endpoint (HTTP status must be 200).
    json get(const std::string& path, const std::string& token = {}) {
        httplib::Client cli("127.0.0.1", port_);
        httplib::Headers headers;
        if (!token.empty())
            headers.emplace("token", token);
        auto res = cli.Get(path.c_str(), headers);
        EXPECT_TRUE(res) << path;
        if (!res)
            return nullptr;
        EXPECT_EQ(res->status, 200) << path;
        return json::parse(res->body, nullptr, false);
    }
    json post(const std::string& path, const json& body) { return postText(path, body.dump()); }
    json postText(const std::string& path, const std::string& body, int status = 200) {
        httplib::Client cli("127.0.0.1", port_);
        auto res = cli.Post(path.c_str(), body, "application/json");
        EXPECT_TRUE(res) << path;
        if (!res)
            return nullptr;
        EXPECT_EQ(res->status, status) << path << " " << res->body;
        return json::parse(res->body, nullptr, false);
    }
    std::string code(const std::string& email, const std::string& type) {
        return get("/admin/code?email=" + email + "&type=" + type).value("code", "");
    }

private:
    QProcess process_;
    int port_ = -1;
    std::string stderr_;
};

int codeOf(const json& envelope) {
    return envelope.is_object() && envelope["code"].is_number_integer() ? envelope["code"].get<int>() : -1;
}

} // namespace

TEST(DevService, RegisterCodeSignInUserInfoSubscriptionNodes) {
    DevServiceProcess svc;
    ASSERT_GT(svc.port(), 0);
    const std::string email = "new.user@nimomac.example.com";

    ASSERT_EQ(codeOf(svc.post("/api/public/code/getEmailCode",
                              {{"email_type", "EMAIL_TYPE_USER_REGISTER"}, {"target_email", email}})),
              0);
    const std::string code = svc.code(email, "EMAIL_TYPE_USER_REGISTER");
    ASSERT_EQ(code.size(), 6u);
    EXPECT_TRUE(test::waitUntil([&] { return svc.log().find(code) != std::string::npos; }));

    json reg = {{"user_name", email},       {"email_code", "000000"}, {"password", "secret1"},
                {"re_password", "secret1"}, {"referrer_code", ""},    {"device_id", "d"}};
    if (code == "000000")
        reg["email_code"] = "111111";
    EXPECT_EQ(codeOf(svc.post("/api/public/user/register", reg)), 10003); // wrong code
    reg["email_code"] = code;
    reg["re_password"] = "other12";
    EXPECT_EQ(codeOf(svc.post("/api/public/user/register", reg)), 10006);
    reg["re_password"] = "secret1";
    const json registered = svc.post("/api/public/user/register", reg);
    ASSERT_EQ(codeOf(registered), 0) << registered.dump();
    EXPECT_TRUE(registered["data"]["token"].is_string());
    EXPECT_TRUE(registered["data"]["user"]["invitation_code"].is_string());
    EXPECT_EQ(codeOf(svc.post("/api/public/user/register", reg)), 10002); // code used up, account exists
    EXPECT_FALSE(svc.log().find("secret1") != std::string::npos);         // passwords never logged

    const json login =
        svc.post("/api/public/user/login",
                 {{"user_name", email}, {"password", "secret1"}, {"email_code", ""}, {"device_id", "d"}});
    ASSERT_EQ(codeOf(login), 0);
    const std::string token = login["data"]["token"];

    const json info = svc.get("/api/customer/user/getUserInfo", token);
    ASSERT_EQ(codeOf(info), 0);
    EXPECT_EQ(info["data"]["user_name"], email);
    EXPECT_TRUE(info["data"]["invitation_code"].is_number_integer()); // typed apart from sign-in
    EXPECT_TRUE(info["data"]["member_expiry_at"].is_string());
    EXPECT_TRUE(info["data"]["member_level"].is_number_integer());

    const json subs = svc.get("/api/customer/customerService/getCustomerServiceList", token);
    ASSERT_EQ(codeOf(subs), 0);
    ASSERT_TRUE(subs["data"].is_array() && !subs["data"].empty());
    const json sub = subs["data"][0];
    for (const char* field : {"id", "total_bandwidth", "used_up", "used_down"})
        EXPECT_TRUE(sub[field].is_number_integer()) << field;
    EXPECT_EQ(sub["service_status"], true);
    EXPECT_EQ(sub["sub_status"], true);
    EXPECT_TRUE(sub["sub_uuid"].is_string());

    const json nodes = svc.get("/api/customer/customerService/getSubscribeNodeList?id=" +
                                   std::to_string(sub["id"].get<int>()),
                               token);
    ASSERT_EQ(codeOf(nodes), 0);
    ASSERT_FALSE(nodes["data"].empty());
    EXPECT_TRUE(nodes["data"][0]["remarks"].is_string());
    EXPECT_EQ(codeOf(svc.get("/api/customer/customerService/getSubscribeNodeList?id=99999", token)), 10007);
    EXPECT_EQ(codeOf(svc.get("/api/customer/customerService/getSubscribeNodeList?id=x", token)), 10001);

    const json names = svc.get("/api/public/sub/getNodeNames");
    ASSERT_EQ(codeOf(names), 0);
    EXPECT_EQ(names["data"][0], nodes["data"][0]["remarks"]);
}

TEST(DevService, DemoAccountTokensAndPasswordReset) {
    DevServiceProcess svc;
    const std::string demo = devservice::kDemoEmail;
    EXPECT_EQ(codeOf(svc.post("/api/public/user/login", {{"user_name", demo}, {"password", "wrong!"}})),
              10004);
    const json login =
        svc.post("/api/public/user/login", {{"user_name", demo}, {"password", devservice::kDemoPassword}});
    ASSERT_EQ(codeOf(login), 0);
    const std::string token = login["data"]["token"];

    for (const char* path :
         {"/api/customer/user/getUserInfo", "/api/customer/customerService/getCustomerServiceList",
          "/api/customer/customerService/getSubscribeNodeList?id=7"}) {
        EXPECT_EQ(codeOf(svc.get(path)), 40101) << path;
        EXPECT_EQ(codeOf(svc.get(path, "unknown")), 40101) << path;
        EXPECT_EQ(codeOf(svc.get(path, token)), 0) << path;
    }
    // "authorization" alone is accepted as well.
    httplib::Client cli("127.0.0.1", svc.port());
    auto res = cli.Get("/api/customer/user/getUserInfo", {{"authorization", token}});
    ASSERT_TRUE(res);
    EXPECT_EQ(codeOf(json::parse(res->body, nullptr, false)), 0);

    EXPECT_EQ(codeOf(svc.post("/api/public/code/getEmailCode",
                              {{"email_type", "EMAIL_TYPE_USER_RESETPWD"}, {"target_email", "nobody@x.cn"}})),
              10005);
    EXPECT_EQ(codeOf(svc.post("/api/public/code/getEmailCode",
                              {{"email_type", "EMAIL_TYPE_USER_REGISTER"}, {"target_email", demo}})),
              10002);
    ASSERT_EQ(codeOf(svc.post("/api/public/code/getEmailCode",
                              {{"email_type", "EMAIL_TYPE_USER_RESETPWD"}, {"target_email", demo}})),
              0);
    const std::string code = svc.code(demo, "EMAIL_TYPE_USER_RESETPWD");
    ASSERT_EQ(codeOf(svc.post(
                  "/api/public/user/resetUserPassword",
                  {{"user_name", demo}, {"email_code", code}, {"password", "changed9"}, {"device_id", ""}})),
              0);
    EXPECT_EQ(codeOf(svc.get("/api/customer/user/getUserInfo", token)), 40101); // sessions ended
    EXPECT_EQ(codeOf(svc.post("/api/public/user/login",
                              {{"user_name", demo}, {"password", devservice::kDemoPassword}})),
              10004);
    EXPECT_EQ(codeOf(svc.post("/api/public/user/login", {{"user_name", demo}, {"password", "changed9"}})), 0);

    const json setting = svc.get("/api/public/server/getPublicSetting");
    EXPECT_EQ(setting["data"]["backend_url"], "http://127.0.0.1:" + std::to_string(svc.port()));
}

TEST(DevService, MalformedInputIsRefusedAndTheServiceStaysUp) {
    DevServiceProcess svc;
    const char* login = "/api/public/user/login";
    for (const std::string body :
         {"", "not json", "[1,2]", "42", "{\"user_name\": 5, \"password\": []}", "{\"user_name\": null}",
          "{\"user_name\":\"\xff\xfe\",\"password\":\"x\"}"})
        EXPECT_EQ(codeOf(svc.postText(login, body)), 10001) << body;
    EXPECT_EQ(codeOf(svc.post("/api/public/code/getEmailCode",
                              {{"email_type", "EMAIL_TYPE_OTHER"}, {"target_email", "a@b.cn"}})),
              10001);
    EXPECT_EQ(codeOf(svc.post("/api/public/code/getEmailCode", {{"email_type", "EMAIL_TYPE_USER_REGISTER"},
                                                                {"target_email", std::string(5000, 'a')}})),
              10001);
    // Over the size limit, unknown paths and wrong methods.
    svc.postText(login, std::string(200 * 1024, 'x'), 413);
    svc.postText("/api/nothing", "{}", 404);
    svc.postText("/api/public/sub/getNodeNames", "{}", 405);
    EXPECT_EQ(codeOf(svc.get("/api/public/sub/getNodeNames")), 0);
}

TEST(DevService, ScriptedAnswersAndFixtures) {
    DevServiceProcess svc;
    const char* names = "/api/public/sub/getNodeNames";
    svc.postText("/admin/override", "{\"path\": 5}", 400);
    svc.postText("/admin/override", "{\"path\": \"/admin/code\"}", 400);
    svc.postText("/admin/override", "{\"path\": \"/x\", \"delay_ms\": -1}", 400);

    svc.post("/admin/override", {{"path", names}, {"times", 1}, {"status", 503}, {"body", "[1]"}});
    httplib::Client cli("127.0.0.1", svc.port());
    auto res = cli.Get(names);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(res->body, "[1]");
    EXPECT_EQ(codeOf(svc.get(names)), 0); // served once

    svc.post("/admin/override", {{"path", names}, {"times", 1}, {"drop", true}});
    auto dropped = cli.Get(names);
    EXPECT_FALSE(dropped);

    svc.post("/admin/override", {{"path", names}, {"method", "GET"}, {"delay_ms", 150}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(codeOf(svc.get(names)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    svc.post("/admin/clear-overrides", json::object());

    // A fixture replaces the state; a bad one leaves it untouched.
    svc.postText("/admin/fixture", "{\"accounts\": [{\"email\": 1}]}", 400);
    EXPECT_EQ(codeOf(svc.post("/api/public/user/login", {{"user_name", devservice::kDemoEmail},
                                                         {"password", devservice::kDemoPassword}})),
              0);
    svc.post("/admin/fixture",
             {{"demo", false},
              {"node_names", {"A"}},
              {"accounts", {{{"email", "f@x.cn"}, {"password", "pw1234"}, {"id", 5}}}},
              {"tokens", {{"fixed-token", "f@x.cn"}}},
              {"public_setting", {{"backend_url", "http://127.0.0.1:1\nhttp://127.0.0.1:2\n"}}}});
    EXPECT_EQ(codeOf(svc.post("/api/public/user/login", {{"user_name", devservice::kDemoEmail},
                                                         {"password", devservice::kDemoPassword}})),
              10004);
    EXPECT_EQ(svc.get("/api/customer/user/getUserInfo", "fixed-token")["data"]["id"], 5);
    EXPECT_EQ(svc.get(names)["data"], json::array({"A"}));
    EXPECT_EQ(svc.get("/api/public/server/getPublicSetting")["data"]["backend_url"],
              "http://127.0.0.1:1\nhttp://127.0.0.1:2\n");
}

TEST(DevService, CommandLine) {
    QTemporaryFile fixture;
    ASSERT_TRUE(fixture.open());
    fixture.write(
        R"({"overrides": [{"path": "/api/public/sub/getNodeNames", "json": {"code": 9, "msg": "m"}}]})");
    fixture.flush();
    {
        DevServiceProcess svc({"--port", "0", "--fixture", fixture.fileName()});
        ASSERT_GT(svc.port(), 0);
        EXPECT_EQ(codeOf(svc.get("/api/public/sub/getNodeNames")), 9);
    }
    QTemporaryFile broken;
    ASSERT_TRUE(broken.open());
    broken.write("{ not json");
    broken.flush();
    for (const QStringList& args : {QStringList{"--fixture", broken.fileName()},
                                    QStringList{"--port", "99999"}, QStringList{"--bogus"}}) {
        QProcess p;
        p.start(QString::fromStdString(test::binDir() + "/nimo-devservice"), args);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_NE(p.exitCode(), 0) << args.join(" ").toStdString();
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
    }
}
