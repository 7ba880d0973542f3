#include "http/SessionManager.h"

#include "LoopbackServer.h"
#include "http/CurlLibrary.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace nimo::http;
using nimo::test::LoopbackServer;
using nimo::test::waitUntil;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {
using RS = HTTPClientError::ResponseSerializationFailureReason;

SessionConfiguration fastConfiguration() {
    auto c = SessionConfiguration::defaultConfiguration();
    c.httpAdditionalHeaders = SessionManager::defaultHTTPHeaders();
    c.noDataTimeout = 1s;
    c.connectTimeout = 2s;
    return c;
}

// Runs one request through responseJSON and waits for its completion on the main loop.
std::optional<DataResponse<json>> fetch(DataRequest request, std::chrono::milliseconds deadline = 5s) {
    QObject owner;
    std::optional<DataResponse<json>> got;
    request.responseJSON(&owner, [&](const DataResponse<json>& r) { got = r; });
    waitUntil([&] { return got.has_value(); }, deadline);
    return got;
}

const TransportError* transport(const std::optional<DataResponse<json>>& r) {
    return r && r->result.error() ? r->result.error()->transport() : nullptr;
}

class SessionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.server().Get("/json", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"ret":1,"data":{"a":[1,2]}})", "application/json");
        });
        server.server().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.body.empty() ? "null" : req.body, "application/json");
        });
        server.server().Get("/status/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            const std::string body = req.has_param("body") ? req.get_param_value("body") : "";
            if (!body.empty())
                res.set_content(body,
                                req.has_param("type") ? req.get_param_value("type") : "application/json");
        });
        // Not started here: a test adds its own routes first, and its first url() starts it.
    }
    LoopbackServer server;
    SessionManager session{fastConfiguration()};
};
} // namespace

TEST_F(SessionManagerTest, GetWithoutParametersSendsNoBodyAndDefaultHeaders) {
    auto r = fetch(
        session.request(server.url("/json"), HTTPMethod::get, nullptr, JSONEncoding::defaultEncoding()));
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->result.isSuccess()) << r->debugDescription();
    EXPECT_EQ((*r->result.value())["data"]["a"], json({1, 2}));
    EXPECT_EQ(r->response->statusCode, 200);
    ASSERT_EQ(server.requestCount(), 1u);
    const auto seen = server.requests()[0];
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.body, "");
    EXPECT_FALSE(seen.has("Content-Type"));
    EXPECT_EQ(seen.header("Accept-Encoding"), "gzip;q=1.0, compress;q=0.5");
    EXPECT_EQ(seen.header("User-Agent"), SessionManager::defaultHTTPHeaders().at("User-Agent"));
    EXPECT_EQ(seen.header("Accept-Language"), acceptLanguageValue(preferredLanguages()));
    EXPECT_FALSE(seen.has("Expect"));
    const auto& t = r->timeline;
    EXPECT_LE(t.requestStartTime, t.initialResponseTime);
    EXPECT_LE(t.initialResponseTime, t.requestCompletedTime);
    EXPECT_LE(t.requestCompletedTime, t.serializationCompletedTime);
}

TEST_F(SessionManagerTest, PostSendsCompactJsonAndHeadersOverrideDefaults) {
    auto r =
        fetch(session.request(server.url("/echo"), HTTPMethod::post, {{"email", "a@b"}, {"n", 1}},
                              JSONEncoding::defaultEncoding(), {{"User-Agent", "mine"}, {"X-Extra", "1"}}));
    ASSERT_TRUE(r && r->result.isSuccess());
    const auto seen = server.requests().at(0);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, R"({"email":"a@b","n":1})");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    EXPECT_EQ(seen.header("User-Agent"), "mine");
    EXPECT_EQ(seen.header("X-Extra"), "1");
    EXPECT_FALSE(seen.has("Injected")); // a value that would start a new header line is not sent
    EXPECT_FALSE(seen.has("X-Bad"));
    EXPECT_EQ(*r->result.value(), json({{"email", "a@b"}, {"n", 1}}));
}

TEST_F(SessionManagerTest, QueryAndFormParametersReachTheServer) {
    auto get = fetch(
        session.request(server.url("/status/200?body=1"), HTTPMethod::get, {{"a", {1, 2}}, {"b", "x&y"}}));
    ASSERT_TRUE(get && get->result.isSuccess()) << (get ? get->debugDescription() : "");
    EXPECT_EQ(get->request->url, server.url("/status/200?body=1&a%5B%5D=1&a%5B%5D=2&b=x%26y"));
    auto post = fetch(session.request(server.url("/echo"), HTTPMethod::post, {{"a", "1=2"}}));
    ASSERT_TRUE(post);
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].query, "a[]=1&a[]=2&b=x&y&body=1"); // the server lists them by key
    EXPECT_EQ(seen[1].body, "a=1%3D2");
    EXPECT_EQ(seen[1].header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(seen[0].remotePort, seen[1].remotePort); // one connection, reused
}

TEST_F(SessionManagerTest, EmptyBodiesAndFragments) {
    struct Row {
        std::string path;
        bool success;
        json value;
    };
    const std::vector<Row> rows = {
        {"/status/204", true, nullptr},
        {"/status/205", true, nullptr},
        {"/status/200", false, nullptr},
        {"/status/200?body=true", true, true},
        {"/status/200?body=5", true, 5},
        {"/status/200?body=%22s%22", true, "s"},
        {"/status/404?body=%7B%7D", true, json::object()}, // no validation: the body decodes
    };
    for (const auto& row : rows) {
        auto r = fetch(session.request(server.url(row.path)));
        ASSERT_TRUE(r) << row.path;
        EXPECT_EQ(r->result.isSuccess(), row.success) << row.path;
        if (row.success)
            EXPECT_EQ(*r->result.value(), row.value) << row.path;
        else
            EXPECT_EQ(r->result.error()->clientError()->serializationReason(), RS::inputDataNilOrZeroLength);
    }
}

TEST_F(SessionManagerTest, ValidationRules) {
    using RV = HTTPClientError::ResponseValidationFailureReason;
    struct Row {
        std::string path;
        HTTPHeaders headers;
        std::optional<RV> failure;
    };
    const std::vector<Row> rows = {
        {"/status/200?body=1", {}, std::nullopt},
        {"/status/299?body=1", {}, std::nullopt},
        {"/status/404?body=1", {}, RV::unacceptableStatusCode},
        {"/status/302", {}, RV::unacceptableStatusCode}, // no Location: nothing to follow
        {"/status/200?body=1&type=text/html", {{"Accept", "application/json"}}, RV::unacceptableContentType},
        {"/status/200?body=1&type=text/html", {{"Accept", "application/json, text/*"}}, std::nullopt},
        {"/status/200", {{"Accept", "application/json"}}, std::nullopt}, // empty body passes
    };
    for (const auto& row : rows) {
        auto request = session.request(server.url(row.path), HTTPMethod::get, nullptr,
                                       URLEncoding::defaultEncoding(), row.headers);
        auto r = fetch(request.validate());
        ASSERT_TRUE(r) << row.path;
        if (!row.failure) {
            EXPECT_FALSE(r->result.error() && r->result.error()->clientError() &&
                         r->result.error()->clientError()->validationReason())
                << row.path << " " << r->debugDescription();
            continue;
        }
        ASSERT_TRUE(r->result.isFailure()) << row.path;
        EXPECT_EQ(r->result.error()->clientError()->validationReason(), row.failure) << row.path;
    }
    auto r = fetch(session.request(server.url("/status/418?body=1")).validate());
    EXPECT_EQ(r->result.error()->localizedDescription(), "Response status code was unacceptable: 418.");
    r = fetch(session
                  .request(server.url("/status/200?body=1&type=text/html"), HTTPMethod::get, nullptr,
                           URLEncoding::defaultEncoding(), {{"Accept", "application/json,text/plain"}})
                  .validate());
    EXPECT_EQ(r->result.error()->localizedDescription(),
              "Response Content-Type \"text/html\" does not match any acceptable types: "
              "application/json,text/plain.");
}

TEST_F(SessionManagerTest, HandlersRunOnceInOrderAfterValidation) {
    QObject owner;
    std::vector<std::string> order;
    int sentinel = 0;
    auto request = session.request(server.url("/status/500?body=1"));
    request.validate()
        .responseJSON(&owner,
                      [&](const DataResponse<json>& r) {
                          order.push_back(r.result.isFailure() ? "json-failed" : "json-ok");
                      })
        .responseString(&owner, [&](const DataResponse<std::string>&) { order.push_back("string"); })
        .responseData(&owner, [&](const DataResponse<std::string>&) { order.push_back("data"); });
    ASSERT_TRUE(waitUntil([&] { return order.size() == 3; }));
    // Added after completion: runs too, still through the worker and in order.
    request.responseJSON(&owner, [&](const DataResponse<json>&) { order.push_back("late"); });
    request.responseJSON(&owner, [&](const DataResponse<json>&) { ++sentinel; });
    ASSERT_TRUE(waitUntil([&] { return sentinel == 1; }));
    EXPECT_EQ(order, (std::vector<std::string>{"json-failed", "string", "data", "late"}));

    // Decoding runs on the worker; only the completion comes to the main loop.
    std::atomic<int> decodedOnMain{-1};
    bool delivered = false, deliveredOnMain = false;
    ResponseSerializer<int> probe = [&](const URLRequest*, const HTTPURLResponse*, const std::string*,
                                        const Error*) {
        decodedOnMain = nimo::platform::isMainThread() ? 1 : 0;
        return Result<int>::success(1);
    };
    session.request(server.url("/json")).response<int>(&owner, probe, [&](const DataResponse<int>&) {
        deliveredOnMain = nimo::platform::isMainThread();
        delivered = true;
    });
    ASSERT_TRUE(waitUntil([&] { return delivered; }));
    EXPECT_EQ(decodedOnMain, 0);
    EXPECT_TRUE(deliveredOnMain);
    EXPECT_EQ(session.liveRequestCount(), 0u);
}

TEST_F(SessionManagerTest, CompletionForAGoneOwnerIsDropped) {
    // Gone while the request is in flight: the server holds the reply until released.
    std::atomic<bool> release{false};
    server.server().Get("/held", [&](const httplib::Request&, httplib::Response& res) {
        for (int i = 0; i < 500 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        res.set_content("{}", "application/json");
    });
    int gone = 0, kept = 0;
    auto owner = std::make_unique<QObject>();
    QObject other;
    auto request = session.request(server.url("/held"));
    request.responseJSON(owner.get(), [&](const DataResponse<json>&) { ++gone; });
    request.responseJSON(&other, [&](const DataResponse<json>&) { ++kept; });
    owner.reset();
    release = true;
    ASSERT_TRUE(waitUntil([&] { return kept == 1; }));
    EXPECT_EQ(gone, 0);

    // Gone after the completion was posted, before the main loop ran it. The worker runs handlers
    // in order, so once the last one has run the owned one has been posted.
    std::atomic<bool> posted{false};
    owner = std::make_unique<QObject>();
    request = session.request(server.url("/json"));
    request.responseJSON(owner.get(), [&](const DataResponse<json>&) { ++gone; });
    request.responseJSON(&other, [&](const DataResponse<json>&) { ++kept; });
    request.responseJSON(CompletionQueue(), [&](const DataResponse<json>&) { posted = true; });
    for (int i = 0; i < 2500 && !posted; ++i) // no event processing here
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(posted);
    owner.reset();
    ASSERT_TRUE(waitUntil([&] { return kept == 2; }));
    EXPECT_EQ(gone, 0);

    // A handler with a null owner still runs on the main loop.
    std::atomic<bool> onMain{false};
    bool ran = false;
    session.request(server.url("/json")).responseJSON(nullptr, [&](const DataResponse<json>&) {
        onMain = nimo::platform::isMainThread();
        ran = true;
    });
    ASSERT_TRUE(waitUntil([&] { return ran; }));
    EXPECT_TRUE(onMain);
}

TEST_F(SessionManagerTest, RequestsThatCannotBeBuiltNeverReachTheNetwork) {
    // The last two pass the layer's own check; libcurl refuses them on the worker, before any connection.
    for (const std::string url : {"not a url", "ftp://127.0.0.1/x", "", "http://exa mple.com/",
                                  "http://exa<mple.com/", "http://a@b@c/"}) {
        auto r = fetch(session.request(url));
        ASSERT_TRUE(r) << url;
        ASSERT_TRUE(r->result.isFailure());
        EXPECT_EQ(r->result.error()->clientError()->kind(), HTTPClientError::Kind::invalidURL) << url;
        EXPECT_EQ(r->result.error()->localizedDescription(), "URL is not valid: " + url);
        EXPECT_FALSE(r->request);
        EXPECT_FALSE(r->response);
    }
    auto bad = fetch(session.request(server.url("/echo"), HTTPMethod::post, {{"p", std::string("\xff")}},
                                     JSONEncoding::defaultEncoding()));
    ASSERT_TRUE(bad && bad->result.isFailure());
    EXPECT_EQ(bad->result.error()->clientError()->kind(), HTTPClientError::Kind::parameterEncodingFailed);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(SessionManagerTest, DebugDescriptionOfALoginNeverShowsSecrets) {
    server.server().Post("/login", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"ret":1,"data":{"token":"TOKEN-VALUE-1"}})", "application/json");
    });
    auto r = fetch(session.request(server.url("/login?token=QUERY-TOKEN"), HTTPMethod::post,
                                   {{"email", "a@b.c"}, {"password", "PW-1"}, {"re_password", "PW-2"}},
                                   JSONEncoding::defaultEncoding()));
    ASSERT_TRUE(r && r->result.isSuccess());
    const std::string text = r->debugDescription();
    for (const char* secret : {"TOKEN-VALUE-1", "QUERY-TOKEN", "PW-1", "PW-2"})
        EXPECT_EQ(text.find(secret), std::string::npos) << text;
    EXPECT_NE(text.find("a@b.c"), std::string::npos);
    EXPECT_NE(text.find("<redacted>"), std::string::npos);
    // The server did get them.
    EXPECT_NE(server.requests().at(0).body.find("PW-1"), std::string::npos);
}

TEST_F(SessionManagerTest, LargeCutOffInvalidAndCompressedBodies) {
    // Owned by the route as well: a failed assertion leaves the server (a member) serving it.
    const auto big = std::make_shared<const std::string>(50u * 1024u * 1024u, 'x');
    server.server().Get("/big", [big](const httplib::Request&, httplib::Response& res) {
        res.set_content(*big, "application/octet-stream");
    });
    const std::string zipped = nimo::test::gzip(R"({"zipped":true,"pad":")" + std::string(5000, 'p') + "\"}");
    server.server().Get("/gzip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(zipped, "application/octet-stream");
    });
    const std::string bomb = nimo::test::gzip(std::string(8u * 1024u * 1024u, '0'));
    server.server().Get("/bomb", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "gzip");
        res.set_content(bomb, "application/octet-stream");
    });
    server.server().Get("/bad-utf8", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"a\":\"\xff\xfe\"}", "application/json");
    });

    QObject owner;
    std::optional<DataResponse<std::string>> large;
    // The server copies 50 MB before its first byte: on a slow build that is no silence to judge.
    auto patientConfig = fastConfiguration();
    patientConfig.noDataTimeout = std::chrono::milliseconds(nimo::test::scaledMs(5000));
    SessionManager patient(patientConfig);
    patient.request(server.url("/big")).responseData(&owner, [&](const DataResponse<std::string>& r) {
        large = r;
    });
    ASSERT_TRUE(waitUntil([&] { return large.has_value(); }, 30s));
    ASSERT_TRUE(large->result.isSuccess()) << large->result.error()->localizedDescription();
    EXPECT_EQ(large->result.value()->size(), big->size());

    auto gz = fetch(session.request(server.url("/gzip")));
    ASSERT_TRUE(gz && gz->result.isSuccess()) << (gz ? gz->debugDescription() : "");
    EXPECT_EQ((*gz->result.value())["zipped"], true);

    auto utf = fetch(session.request(server.url("/bad-utf8")));
    ASSERT_TRUE(utf && utf->result.isFailure());
    EXPECT_EQ(utf->result.error()->clientError()->serializationReason(), RS::jsonSerializationFailed);
    EXPECT_NE(utf->debugDescription().find("\xEF\xBF\xBD"), std::string::npos);

    auto config = patientConfig;
    config.maximumResponseSize = 1024 * 1024;
    SessionManager small(config);
    for (const char* path : {"/big", "/bomb"}) {
        auto r = fetch(small.request(server.url(path)), 30s);
        ASSERT_TRUE(transport(r)) << path;
        EXPECT_EQ(transport(r)->kind, TransportErrorKind::ResponseTooLarge) << path;
    }

    nimo::test::RawReplyServer cut(
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n"
        "{\"a\":");
    auto r = fetch(session.request("http://127.0.0.1:" + std::to_string(cut.port()) + "/"));
    ASSERT_TRUE(transport(r));
    EXPECT_EQ(transport(r)->kind, TransportErrorKind::ConnectionLost);
    EXPECT_FALSE(transport(r)->isConnectionFailure());
    EXPECT_EQ(r->response->statusCode, 200);
}

TEST_F(SessionManagerTest, DeadHostsFailFastWithAClassifiedError) {
    nimo::test::SilentListener silent;
    const auto started = std::chrono::steady_clock::now();
    auto r = fetch(session.request("http://127.0.0.1:" + std::to_string(silent.port()) + "/"), 10s);
    ASSERT_TRUE(transport(r));
    EXPECT_EQ(transport(r)->kind, TransportErrorKind::TimedOut);
    EXPECT_TRUE(transport(r)->isConnectionFailure());
    EXPECT_EQ(r->result.error()->localizedDescription(), "The request timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    // A request's own deadline overrides the session's.
    URLRequest own;
    own.url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
    own.noDataTimeout = 200ms;
    r = fetch(session.request(own));
    ASSERT_TRUE(transport(r));
    EXPECT_EQ(transport(r)->kind, TransportErrorKind::TimedOut);
    EXPECT_LT(r->timeline.requestDuration(), 0.9);

    // A host that never completes the handshake: the connect timeout ends it, not the deadline.
    nimo::test::SilentListener full(true);
    auto config = fastConfiguration();
    config.connectTimeout = 300ms;
    config.noDataTimeout = 30s;
    SessionManager quick(config);
    r = fetch(quick.request("http://127.0.0.1:" + std::to_string(full.port()) + "/"));
    ASSERT_TRUE(transport(r));
    EXPECT_EQ(transport(r)->kind, TransportErrorKind::TimedOut) << transport(r)->detail;
    EXPECT_LT(r->timeline.requestDuration(), 2.0);

    r = fetch(session.request("http://127.0.0.1:" + std::to_string(nimo::test::closedPort()) + "/"));
    ASSERT_TRUE(transport(r));
    EXPECT_EQ(transport(r)->kind, TransportErrorKind::ConnectionRefused);
    EXPECT_EQ(r->result.error()->localizedDescription(), "Could not connect to the server.");
    EXPECT_NE(transport(r)->curlCode, 0);

    r = fetch(session.request("http://nimo-no-such-host.invalid/"));
    ASSERT_TRUE(transport(r));
    EXPECT_EQ(transport(r)->kind, TransportErrorKind::NameNotResolved);
}

TEST_F(SessionManagerTest, CancelAndSessionEndRunHandlersWithCancelled) {
    nimo::test::SilentListener silent;
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
    auto config = fastConfiguration();
    config.noDataTimeout = 30s;
    auto doomed = std::make_unique<SessionManager>(config);
    QObject owner;
    std::optional<DataResponse<json>> cancelled, ended;
    auto one = doomed->request(url);
    one.responseJSON(&owner, [&](const DataResponse<json>& r) { cancelled = r; });
    one.cancel();
    ASSERT_TRUE(waitUntil([&] { return cancelled.has_value(); }));
    EXPECT_EQ(cancelled->result.error()->transport()->kind, TransportErrorKind::Cancelled);

    auto two = doomed->request(url);
    two.responseJSON(&owner, [&](const DataResponse<json>& r) { ended = r; });
    ASSERT_TRUE(waitUntil([&] { return doomed->liveRequestCount() == 1; }));
    doomed.reset();
    ASSERT_TRUE(waitUntil([&] { return ended.has_value(); }));
    EXPECT_EQ(ended->result.error()->transport()->kind, TransportErrorKind::Cancelled);
    // A handle that outlives its session still completes its handlers.
    bool late = false;
    two.responseJSON(&owner, [&](const DataResponse<json>&) { late = true; });
    EXPECT_TRUE(waitUntil([&] { return late; }));
}

TEST(SessionManagerTlsTest, VerifiesCertificates) {
    QTemporaryDir dir;
    ASSERT_TRUE(nimo::test::makeCertificates(dir.path().toStdString()));
    const std::string d = dir.path().toStdString() + "/";
    auto route = [](LoopbackServer& s) {
        s.server().Get("/json", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"tls":true})", "application/json");
        });
        s.start();
    };
    LoopbackServer selfSigned(d + "self.pem", d + "self.key");
    LoopbackServer signedByCA(d + "server.pem", d + "server.key");
    route(selfSigned);
    route(signedByCA);

    auto config = fastConfiguration();
    config.caBundlePath = d + "ca.pem";
    SessionManager session(config);

    auto ok = fetch(session.request(signedByCA.url("/json")));
    ASSERT_TRUE(ok && ok->result.isSuccess()) << (ok ? ok->debugDescription() : "");
    EXPECT_EQ((*ok->result.value())["tls"], true);

    auto refused = fetch(session.request(selfSigned.url("/json")));
    ASSERT_TRUE(transport(refused)) << (refused ? refused->debugDescription() : "");
    EXPECT_EQ(transport(refused)->kind, TransportErrorKind::TLS);
    EXPECT_TRUE(transport(refused)->isConnectionFailure());
    EXPECT_EQ(selfSigned.requestCount(), 0u);
}

// A request carrying credentials (in its headers, its body or its query) follows a redirect on its
// own origin only, whatever the status (a 307 or 308 sends the body again); without credentials any
// redirect is followed.
TEST_F(SessionManagerTest, CredentialsNeverFollowARedirectToAnotherHost) {
    LoopbackServer other;
    other.server().Get("/land", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"landed":true})", "application/json");
    });
    other.server().Post("/land", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"landed":true})", "application/json");
    });
    const std::string land = other.url("/land");
    server.server().Get("/away",
                        [land](const httplib::Request&, httplib::Response& res) { res.set_redirect(land); });
    server.server().Get("/home",
                        [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/json"); });
    for (const int status : {307, 308})
        server.server().Post("/away-" + std::to_string(status),
                             [land, status](const httplib::Request&, httplib::Response& res) {
                                 res.set_redirect(land, status);
                             });

    struct Case {
        const char* name;
        HTTPMethod method;
        const char* path;
        HTTPHeaders headers;
        Parameters parameters;
        bool json;
        bool succeeds;
    };
    const Parameters signIn = {{"email", "a@b.c"}, {"password", "PW-R"}};
    const Case cases[] = {
        {"token to another host", HTTPMethod::get, "/away", {{"token", "TK-R"}}, nullptr, false, false},
        {"authorization to another host",
         HTTPMethod::get,
         "/away",
         {{"Authorization", "TK-R"}},
         nullptr,
         false,
         false},
        {"no credentials to another host",
         HTTPMethod::get,
         "/away",
         {{"version", "2010"}},
         nullptr,
         false,
         true},
        {"token on the same host", HTTPMethod::get, "/home", {{"token", "TK-R"}}, nullptr, false, true},
        {"password form, 307", HTTPMethod::post, "/away-307", {}, signIn, false, false},
        {"password form, 308", HTTPMethod::post, "/away-308", {}, signIn, false, false},
        {"password JSON, 307", HTTPMethod::post, "/away-307", {}, signIn, true, false},
        {"token in the query", HTTPMethod::get, "/away", {}, {{"token", "TK-R"}}, false, false},
    };
    for (const auto& c : cases) {
        const ParameterEncoding& encoding =
            c.json ? static_cast<const ParameterEncoding&>(JSONEncoding::defaultEncoding())
                   : static_cast<const ParameterEncoding&>(URLEncoding::defaultEncoding());
        auto r = fetch(session.request(server.url(c.path), c.method, c.parameters, encoding, c.headers));
        ASSERT_TRUE(r) << c.name;
        EXPECT_EQ(r->result.isSuccess(), c.succeeds) << c.name << ": " << r->debugDescription();
        for (const auto& seen : other.requests())
            EXPECT_FALSE(seen.has("token") || seen.has("Authorization") ||
                         seen.body.find("PW-R") != std::string::npos ||
                         seen.query.find("TK-R") != std::string::npos)
                << c.name;
    }
    EXPECT_EQ(other.requestCount(), 1u); // the one without credentials
    const auto seen = server.requests(); // kept on its own host
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                            [](const auto& r) { return r.path == "/json" && r.header("token") == "TK-R"; }));
}

// The debug description of any reply is bounded and redacted, valid JSON or not: a 10 MB body is
// not copied into a log line, and a sign-in reply cut off inside its token does not show it.
TEST_F(SessionManagerTest, DebugDescriptionIsBoundedAndRedactsBrokenBodies) {
    const auto big =
        std::make_shared<const std::string>(R"({"code":0,"msg":")" + std::string(10 << 20, 'm') + "\"}");
    server.server().Get("/big-json", [big](const httplib::Request&, httplib::Response& res) {
        res.set_content(*big, "application/json");
    });
    server.server().Get("/cut-token", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"code":0,"data":{"token":"TK-CUT-99)", "application/json");
    });
    auto large = fetch(session.request(server.url("/big-json")), 30s);
    ASSERT_TRUE(large && large->result.isSuccess());
    EXPECT_LT(large->debugDescription().size(), 64u * 1024u);

    auto cut = fetch(session.request(server.url("/cut-token")));
    ASSERT_TRUE(cut && cut->result.isFailure());
    EXPECT_EQ(cut->debugDescription().find("TK-CUT-99"), std::string::npos) << cut->debugDescription();
    EXPECT_EQ(cut->result.error()->localizedDescription().find("TK-CUT"), std::string::npos);
}

// Easy handles are reused without a reset: whatever one request set (method, body, headers, the
// announced encoding) must not reach the next one sent on the same handle.
TEST_F(SessionManagerTest, AReusedHandleCarriesNothingOverFromTheRequestBefore) {
    server.server().Put("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.body.empty() ? "null" : req.body, "application/json");
    });
    server.server().Delete("/json", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{}", "application/json");
    });
    struct Row {
        HTTPMethod method;
        std::string path;
        Parameters parameters;
        HTTPHeaders headers;
        std::string seenMethod, seenBody, seenEncoding; // seenEncoding empty: none announced
    };
    const std::string gzipped = "gzip;q=1.0, compress;q=0.5";
    const Row rows[] = {
        {HTTPMethod::post, "/echo", {{"a", 1}}, {{"X-One", "1"}}, "POST", R"({"a":1})", gzipped},
        {HTTPMethod::get, "/json", nullptr, {}, "GET", "", gzipped},
        {HTTPMethod::head, "/json", nullptr, {{"X-One", "1"}}, "HEAD", "", gzipped},
        {HTTPMethod::get, "/json", nullptr, {{"Accept-Encoding", "identity"}}, "GET", "", "identity"},
        {HTTPMethod::put, "/echo", {{"b", 2}}, {{"X-Two", "2"}}, "PUT", R"({"b":2})", gzipped},
        {HTTPMethod::delete_, "/json", nullptr, {{"X-One", "1"}}, "DELETE", "", gzipped},
        {HTTPMethod::post, "/echo", nullptr, {}, "POST", "", gzipped},
        {HTTPMethod::get, "/json", nullptr, {{"X-Two", "2"}}, "GET", "", gzipped},
    };
    std::size_t at = 0;
    for (int round = 0; round < 2; ++round) {
        for (const Row& row : rows) {
            auto r = fetch(session.request(server.url(row.path), row.method, row.parameters,
                                           JSONEncoding::defaultEncoding(), row.headers));
            ASSERT_TRUE(r && r->response) << row.seenMethod;
            EXPECT_EQ(r->response->statusCode, 200) << row.seenMethod;
            const auto seen = server.requests().at(at++);
            EXPECT_EQ(seen.method, row.seenMethod);
            EXPECT_EQ(seen.body, row.seenBody) << row.seenMethod;
            EXPECT_EQ(seen.header("Accept-Encoding"), row.seenEncoding) << row.seenMethod;
            for (const char* field : {"X-One", "X-Two"})
                EXPECT_EQ(seen.has(field), row.headers.count(field) > 0) << row.seenMethod << " " << field;
            if (row.method == HTTPMethod::get && row.path == "/json") {
                ASSERT_TRUE(r->result.isSuccess()) << "a reply after HEAD has its body";
                EXPECT_EQ((*r->result.value())["data"]["a"], json({1, 2}));
            }
        }
    }
}

// A URL on an origin already accepted is not parsed again; the answer must be the one a full
// parse gives, whatever follows the origin.
TEST_F(SessionManagerTest, URLsOnAKnownOriginAreJudgedAsAFullParseWould) {
    const std::string base = server.url("");
    std::vector<std::string> rests = {"/a b", "/a\tb", "/a\x7f", "/\x01", "/a\nb", "/ok", "?q=1", "#f", ""};
    for (char c = 0x21; c < 0x7f; ++c)
        rests.push_back(std::string("/p") + c + "q");
    for (const std::string& rest : rests) {
        SessionManager cold(fastConfiguration());
        const bool valid = !cold.request(base + rest).buildError();
        ASSERT_FALSE(session.request(base + "/json").buildError()); // the origin is now known
        EXPECT_EQ(!session.request(base + rest).buildError(), valid) << rest;
    }
}

// Requests are built without libcurl, so the main loop never waits for it to load: the layer's own
// URL check must never refuse a URL libcurl takes, and refuses the faults it refuses.
TEST(URLCheck, NeverRefusesWhatLibcurlTakes) {
    std::string why;
    const CurlLibrary* curl = CurlLibrary::load(CurlLibrary::kDefaultName, &why);
    ASSERT_TRUE(curl) << why;
    const auto curlTakes = [curl](const std::string& url) {
        CURLU* u = curl->url();
        char* scheme = nullptr;
        const bool ok = curl->urlSet(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                        curl->urlGet(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                        (std::string_view(scheme) == "http" || std::string_view(scheme) == "https");
        curl->freeText(scheme);
        curl->urlCleanup(u);
        return ok;
    };
    const struct {
        std::string url;
        bool refused;
    } rows[] = {
        {"http://h/", false},
        {"HTTPS://h:443/p?q#f", false},
        {"http://h:/", false},
        {"http://[::1]:8/", false},
        {"http://u:p@h/", false},
        {"http://h/\xc3\xa9", false},
        {"http:/h", false},
        {"http:///x", false},
        {"", true},
        {"not a url", true},
        {"ftp://h/", true},
        {"h://x", true},
        {"//h/x", true},
        {"http:h", true},
        {"http://exa mple.com/", true},
        {"http://h/a\x7f", true},
        {"http://h/\x01", true},
        {"http://h\t/", true},
        {"http://h:65536/", true},
        {"http://h:1a/", true},
        {"http://:80/", true},
        {"http://[::1/", true},
        {"http://[::1]x/", true},
        {"http://h:8080:9/", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(!isHTTPURLText(row.url), row.refused) << row.url;
        EXPECT_EQ(curlTakes(row.url), !row.refused) << row.url;
    }
    for (char c = 0x21; c < 0x7f; ++c)
        for (const std::string& url :
             {"http://h/p" + std::string(1, c) + "q", "http://h/?" + std::string(1, c),
              "http://h" + std::string(1, c) + "/"})
            if (curlTakes(url)) {
                EXPECT_TRUE(isHTTPURLText(url)) << url;
            }
}
