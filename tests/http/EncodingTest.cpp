#include "http/DataResponse.h"
#include "http/ParameterEncoding.h"
#include "http/SessionManager.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

using namespace nimo::http;
using json = nlohmann::json;
using PE = HTTPClientError::ParameterEncodingFailureReason;

namespace {
URLRequest requestFor(const std::string& url, const std::string& method) {
    URLRequest r;
    r.url = url;
    r.httpMethod = method;
    return r;
}
} // namespace

TEST(URLEncodingTest, QueryStrings) {
    struct Row {
        json parameters;
        URLEncoding encoding;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {{{"b", 1}, {"a", {1, 2}}}, URLEncoding(), "a%5B%5D=1&a%5B%5D=2&b=1"},
        {{{"a", {1, 2}}},
         URLEncoding(URLEncoding::Destination::methodDependent, URLEncoding::ArrayEncoding::noBrackets),
         "a=1&a=2"},
        {{{"k&=+", "v&=+ /?"}}, URLEncoding(), "k%26%3D%2B=v%26%3D%2B%20/?"},
        {{{"on", true}, {"off", false}}, URLEncoding(), "off=0&on=1"},
        {{{"on", true}},
         URLEncoding(URLEncoding::Destination::methodDependent, URLEncoding::ArrayEncoding::brackets,
                     URLEncoding::BoolEncoding::literal),
         "on=true"},
        {{{"d", {{"x", 1}, {"y", {{"z", "w"}}}}}}, URLEncoding(), "d%5Bx%5D=1&d%5By%5D%5Bz%5D=w"},
        {{{"f", 1.5}, {"g", 2.0}, {"n", -3}}, URLEncoding(), "f=1.5&g=2&n=-3"},
        {{{"u", "中"}, {"t", "a:b@c#d[e]"}}, URLEncoding(), "t=a%3Ab%40c%23d%5Be%5D&u=%E4%B8%AD"},
        {json::object(), URLEncoding(), ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.encoding.query(row.parameters), row.expected) << row.parameters.dump();
}

TEST(URLEncodingTest, DestinationFollowsMethod) {
    const json params = {{"q", "x y"}};
    struct Row {
        std::string method;
        URLEncoding encoding;
        bool inURL;
    };
    const std::vector<Row> rows = {
        {"GET", URLEncoding::defaultEncoding(), true},    {"HEAD", URLEncoding::defaultEncoding(), true},
        {"DELETE", URLEncoding::defaultEncoding(), true}, {"POST", URLEncoding::defaultEncoding(), false},
        {"PUT", URLEncoding::defaultEncoding(), false},   {"BREW", URLEncoding::defaultEncoding(), false},
        {"POST", URLEncoding::queryString(), true},       {"GET", URLEncoding::httpBody(), false},
    };
    for (const auto& row : rows) {
        auto r = row.encoding.encode(requestFor("http://h/p?z=1", row.method), params);
        ASSERT_TRUE(r.isSuccess()) << row.method;
        if (row.inURL) {
            EXPECT_EQ(r.value()->url, "http://h/p?z=1&q=x%20y") << row.method;
            EXPECT_FALSE(r.value()->httpBody);
        } else {
            EXPECT_EQ(r.value()->url, "http://h/p?z=1") << row.method;
            EXPECT_EQ(r.value()->httpBody, "q=x%20y") << row.method;
            EXPECT_EQ(r.value()->value("content-type"), "application/x-www-form-urlencoded; charset=utf-8");
        }
    }
}

TEST(URLEncodingTest, EdgeCases) {
    // No parameters: unchanged.
    auto same = URLEncoding().encode(requestFor("http://h/p", "POST"), nullptr);
    EXPECT_EQ(same.value()->url, "http://h/p");
    EXPECT_FALSE(same.value()->httpBody);
    EXPECT_FALSE(same.value()->value("Content-Type"));
    // A Content-Type already set is kept.
    auto req = requestFor("http://h/p", "POST");
    req.setValue("text/plain", "Content-Type");
    EXPECT_EQ(URLEncoding().encode(req, {{"a", 1}}).value()->value("Content-Type"), "text/plain");
    // Into the URL without a URL.
    auto missing = URLEncoding().encode(requestFor("", "GET"), {{"a", 1}});
    ASSERT_TRUE(missing.isFailure());
    EXPECT_EQ(missing.error()->clientError()->parameterEncodingReason(), PE::missingURL);
    EXPECT_EQ(missing.error()->localizedDescription(), "URL request to encode was missing a URL");
    // An absent method counts as GET.
    URLRequest noMethod;
    noMethod.url = "http://h/";
    EXPECT_EQ(URLEncoding().encode(noMethod, {{"a", 1}}).value()->url, "http://h/?a=1");
    // A fragment stays last; a URL that does not parse is left alone.
    EXPECT_EQ(URLEncoding().encode(requestFor("http://h/p?x#f", "GET"), {{"a", 1}}).value()->url,
              "http://h/p?x&a=1#f");
    EXPECT_EQ(URLEncoding().encode(requestFor("not a url", "GET"), {{"a", 1}}).value()->url, "not a url");
}

TEST(JSONEncodingTest, BodiesAndFailures) {
    auto get = JSONEncoding::defaultEncoding().encode(requestFor("http://h/", "GET"), nullptr);
    EXPECT_FALSE(get.value()->httpBody);
    EXPECT_FALSE(get.value()->value("Content-Type"));

    auto post =
        JSONEncoding::defaultEncoding().encode(requestFor("http://h/", "POST"), {{"b", 1}, {"a", "x"}});
    EXPECT_EQ(post.value()->httpBody, R"({"a":"x","b":1})");
    EXPECT_EQ(post.value()->value("Content-Type"), "application/json");

    auto pretty = JSONEncoding::prettyPrintedEncoding().encode(requestFor("http://h/", "POST"), {{"a", 1}});
    EXPECT_EQ(pretty.value()->httpBody, "{\n  \"a\": 1\n}");

    for (const json& bad : {json{{"a", std::string("\xff\xfe")}}, json{{"n", std::nan("")}}}) {
        auto failed = JSONEncoding::defaultEncoding().encode(requestFor("http://h/", "POST"), bad);
        ASSERT_TRUE(failed.isFailure());
        EXPECT_EQ(failed.error()->clientError()->parameterEncodingReason(), PE::jsonEncodingFailed);
        EXPECT_EQ(
            failed.error()->localizedDescription().rfind("JSON could not be encoded because of error:\n", 0),
            0u);
    }
}

TEST(PropertyListEncodingTest, XmlBodies) {
    auto r = PropertyListEncoding::defaultEncoding().encode(
        requestFor("http://h/", "POST"), {{"a", {1, 2.5, true}}, {"s", "x<&>"}, {"e", json::object()}});
    ASSERT_TRUE(r.isSuccess());
    EXPECT_EQ(r.value()->value("Content-Type"), "application/x-plist");
    const std::string& body = *r.value()->httpBody;
    EXPECT_NE(
        body.find("<plist version=\"1.0\">\n<dict>\n\t<key>a</key>\n\t<array>\n\t\t<integer>1</integer>\n"
                  "\t\t<real>2.5</real>\n\t\t<true/>\n\t</array>\n\t<key>e</key>\n\t<dict/>\n"
                  "\t<key>s</key>\n\t<string>x&lt;&amp;&gt;</string>\n</dict>\n</plist>\n"),
        std::string::npos)
        << body;

    for (const json& bad : {json{{"a", nullptr}}, json{{"a", "bell\x07"}}}) {
        auto failed = PropertyListEncoding::defaultEncoding().encode(requestFor("http://h/", "POST"), bad);
        ASSERT_TRUE(failed.isFailure());
        EXPECT_EQ(failed.error()->clientError()->parameterEncodingReason(), PE::propertyListEncodingFailed);
        EXPECT_EQ(failed.error()->localizedDescription().rfind(
                      "PropertyList could not be encoded because of error:\n", 0),
                  0u);
    }
}

TEST(HTTPClientErrorTest, Descriptions) {
    using RS = HTTPClientError::ResponseSerializationFailureReason;
    using ME = HTTPClientError::MultipartEncodingFailureReason;
    const std::vector<std::pair<HTTPClientError, std::string>> rows = {
        {HTTPClientError::invalidURL("ht tp://x"), "URL is not valid: ht tp://x"},
        {HTTPClientError::dataFileNil(), "Response could not be validated, data file was nil."},
        {HTTPClientError::dataFileReadFailed("file:///a"),
         "Response could not be validated, data file could not be read: file:///a."},
        {HTTPClientError::missingContentType({"application/json", " text/html"}),
         "Response Content-Type was missing and acceptable content types (application/json, text/html) do "
         "not "
         "match \"*/*\"."},
        {HTTPClientError::unacceptableContentType({"application/json"}, "text/html"),
         "Response Content-Type \"text/html\" does not match any acceptable types: application/json."},
        {HTTPClientError::unacceptableStatusCode(404), "Response status code was unacceptable: 404."},
        {HTTPClientError::responseSerializationFailed(RS::inputDataNil),
         "Response could not be serialized, input data was nil."},
        {HTTPClientError::responseSerializationFailed(RS::inputDataNilOrZeroLength),
         "Response could not be serialized, input data was nil or zero length."},
        {HTTPClientError::responseSerializationFailed(RS::inputFileNil),
         "Response could not be serialized, input file was nil."},
        {HTTPClientError::responseSerializationFailed(RS::inputFileReadFailed, "file:///b"),
         "Response could not be serialized, input file could not be read: file:///b."},
        {HTTPClientError::responseSerializationFailed(RS::stringSerializationFailed, "utf-8"),
         "String could not be serialized with encoding: utf-8."},
        {HTTPClientError::responseSerializationFailed(RS::jsonSerializationFailed, "bad"),
         "JSON could not be serialized because of error:\nbad"},
        {HTTPClientError::responseSerializationFailed(RS::propertyListSerializationFailed, "bad"),
         "PropertyList could not be serialized because of error:\nbad"},
        {HTTPClientError::multipartEncodingFailed(ME::bodyPartFileNotReachableWithError, "file:///c", "E"),
         "The system returned an error while checking the provided URL for reachability.\nURL: "
         "file:///c\nError: E"},
        {HTTPClientError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError, "file:///c", "E"),
         "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: "
         "file:///c\nError: E"},
        {HTTPClientError::multipartEncodingFailed(ME::outputStreamWriteFailed, "", "E"),
         "OutputStream write failed with error: E"},
        {HTTPClientError::multipartEncodingFailed(ME::bodyPartURLInvalid, "u"),
         "The URL provided is not a file URL: u"},
    };
    for (const auto& [error, text] : rows)
        EXPECT_EQ(error.localizedDescription(), text);
}

TEST(DefaultHeadersTest, AcceptLanguageAndUserAgent) {
    EXPECT_EQ(acceptLanguageValue({"zh-Hans-CN", "en-US"}), "zh-Hans-CN;q=1.0, en-US;q=0.9");
    EXPECT_EQ(acceptLanguageValue({"a", "b", "c", "d", "e", "f", "g"}),
              "a;q=1.0, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    EXPECT_EQ(acceptLanguageValue({}), "");
    using List = std::vector<std::string>;
    EXPECT_EQ(preferredLanguages("zh_CN:en_US:de:fr:ja:ko:it", "zh_CN.UTF-8"),
              (List{"zh-CN", "en-US", "de", "fr", "ja", "ko", "it"}));
    EXPECT_EQ(acceptLanguageValue(preferredLanguages("zh_CN:en_US:de:fr:ja:ko:it", "")),
              "zh-CN;q=1.0, en-US;q=0.9, de;q=0.8, fr;q=0.7, ja;q=0.6, ko;q=0.5");
    EXPECT_EQ(preferredLanguages("", "de_AT.UTF-8@euro"), List{"de-AT"});
    EXPECT_EQ(preferredLanguages("en:en::C", "fr_FR"), List{"en"});
    EXPECT_EQ(preferredLanguages("", "C.UTF-8"), List{"en"});
    EXPECT_EQ(preferredLanguages("", ""), List{"en"});

    BundleInfo info{"nimo", "com.nimomac.qn", "1.2.3", "42"};
    EXPECT_EQ(userAgentValue(info, "Linux 6.1.0"),
              "nimo/1.2.3 (com.nimomac.qn; build:42; Linux 6.1.0) NimoHTTP/1.2.3");
    EXPECT_EQ(userAgentValue(BundleInfo{"nimo", std::nullopt, std::nullopt, "42"}, "Linux 6.1.0"),
              "nimo/Unknown (Unknown; build:42; Linux 6.1.0) Unknown");
    EXPECT_EQ(userAgentValue(std::nullopt, "Linux 6.1.0"), "NimoHTTP");

    for (auto [release, numbers] :
         std::vector<std::pair<std::string, std::string>>{{"6.1.0-18-amd64", "6.1.0"},
                                                          {"5.15.153.1-microsoft", "5.15.153"},
                                                          {"6.8", "6.8.0"},
                                                          {"4.19-rc1", "4.19.0"},
                                                          {"", "0.0.0"}})
        EXPECT_EQ(kernelVersionNumbers(release), numbers) << release;

    const auto headers = SessionManager::defaultHTTPHeaders();
    EXPECT_EQ(headers.at("Accept-Encoding"), "gzip;q=1.0, compress;q=0.5");
    const std::string ua = headers.at("User-Agent");
    EXPECT_EQ(ua.rfind("http_tests/", 0), 0u) << ua;
    EXPECT_NE(ua.find("(com.nimomac.qn; build:"), std::string::npos) << ua;
    EXPECT_NE(ua.find("; Linux "), std::string::npos) << ua;
}

TEST(JSONSerializerTest, StatusAndBodyRules) {
    auto serializer = jsonResponseSerializer();
    HTTPURLResponse ok{"http://h/", 200, {}};
    HTTPURLResponse noContent{"http://h/", 204, {}};
    HTTPURLResponse resetContent{"http://h/", 205, {}};
    const std::string empty, junk = "{oops", fragment = "true", number = "5";

    EXPECT_TRUE(serializer(nullptr, &noContent, &empty, nullptr).value()->is_null());
    EXPECT_TRUE(serializer(nullptr, &resetContent, &junk, nullptr).value()->is_null());
    EXPECT_EQ(serializer(nullptr, &ok, &empty, nullptr).error()->localizedDescription(),
              "Response could not be serialized, input data was nil or zero length.");
    EXPECT_EQ(*serializer(nullptr, &ok, &fragment, nullptr).value(), json(true));
    EXPECT_EQ(*serializer(nullptr, &ok, &number, nullptr).value(), json(5));
    EXPECT_EQ(serializer(nullptr, &ok, &junk, nullptr)
                  .error()
                  ->localizedDescription()
                  .rfind("JSON could not be serialized because of error:\n", 0),
              0u);
    EXPECT_TRUE(jsonResponseSerializer(JSONReadingOptions::none)(nullptr, &ok, &number, nullptr).isFailure());
    // An earlier error wins over everything.
    Error earlier(HTTPClientError::unacceptableStatusCode(500));
    EXPECT_EQ(*serializer(nullptr, &noContent, &empty, &earlier).error(), earlier);
}

TEST(TimelineTest, Descriptions) {
    Timeline t{100.0, 100.25, 101.0, 101.5};
    EXPECT_EQ(t.description(), "Timeline: { \"Latency\": 0.250 secs, \"Request Duration\": 1.000 secs, "
                               "\"Serialization Duration\": 0.500 secs, \"Total Duration\": 1.500 secs }");
    EXPECT_EQ(
        t.debugDescription(),
        "Timeline: { \"Request Start Time\": 100.000, \"Initial Response Time\": 100.250, \"Request "
        "Completed "
        "Time\": 101.000, \"Serialization Completed Time\": 101.500, \"Latency\": 0.250 secs, \"Request "
        "Duration\": 1.000 secs, \"Serialization Duration\": 0.500 secs, \"Total Duration\": 1.500 secs }");
}

// Times are formatted without printf; they must read exactly as "%.3f" would, ties and all.
TEST(TimelineTest, TimesReadAsPrintfWouldShowThem) {
    const double rows[] = {0.0,
                           -0.0,
                           0.0625,
                           0.1875,
                           1.0625,
                           0.0005,
                           -0.0005,
                           0.9995,
                           -0.9995,
                           2.5e-4,
                           1765000000.1235,
                           123456789012.3455,
                           9.99e14,
                           1e15,
                           1e300,
                           -1e300,
                           NAN,
                           INFINITY,
                           -INFINITY,
                           1e-320,
                           4503599627370495.5,
                           0.1 + 0.2};
    for (double v : rows) {
        char want[400];
        std::snprintf(want, sizeof want, "%.3f", v);
        const std::string text = Timeline{v, v, v, v}.debugDescription();
        const std::string prefix = "Timeline: { \"Request Start Time\": ";
        EXPECT_EQ(text.substr(prefix.size(), std::strlen(want)), want) << v;
        EXPECT_EQ(text.at(prefix.size() + std::strlen(want)), ',') << v;
    }
}

// The service client's road (the value parsed once; one text for body and result) must describe a
// reply as the general road does, which parses the body again: the same lines, and a result line
// that reads as the same value where it shows the body's own text instead of a dump.
TEST(DebugDescriptionTest, TheParsedValueRoadMatchesTheGeneralOne) {
    struct Row {
        const char* name;
        int status;
        std::string body;
    };
    const Row rows[] = {
        {"plain object", 200, R"({"code":0,"msg":"ok","data":{"u":1,"nodes":["hk","jp"]}})"},
        {"token inside", 200,
         R"({"code":0,"data":{"token":"T1","AUTHORIZATION":"A1","x":[{"password":"P"}]}})"},
        {"padding and escapes", 200, "{\"a\" : \"q\\\"\\\\\\n\\u0001\u00e9\"}   "},
        {"fragment", 200, "5"},
        {"string fragment", 200, R"("token=abc")"},
        {"floats and big numbers", 200, R"({"f":1.5,"g":1e300,"n":-7,"u":18446744073709551615})"},
        {"no content", 204, R"({"token":"T2"})"},
        {"empty", 200, ""},
        {"broken", 200, R"({"code":0,"data":{"token":"T3)"},
        {"large", 200, R"({"token":"T4","z":")" + std::string(40000, 'z') + "\"}"},
    };
    for (const Row& row : rows) {
        URLRequest request = requestFor("http://h/x?token=Q", "GET");
        HTTPURLResponse response{"http://h/x?token=Q", row.status, {{"Content-Type", "application/json"}}};
        auto data = std::make_shared<const std::string>(row.body);
        DataResponse<json> r{request, response, data,
                             jsonResponseSerializer()(&request, &response, data.get(), nullptr),
                             Timeline{1, 2, 3, 4}};
        const std::string fast = jsonDebugDescription(r, true), general = r.debugDescription();
        const auto split = [](const std::string& text) {
            const auto from = text.find("\n[Result]: "), to = text.find("\n[Timeline]: ");
            return std::pair(text.substr(0, from) + text.substr(to), text.substr(from, to - from));
        };
        const auto [fastLines, fastResult] = split(fast);
        const auto [lines, result] = split(general);
        EXPECT_EQ(fastLines, lines) << row.name;
        const auto valueOf = [](const std::string& line) {
            const std::string prefix = "\n[Result]: SUCCESS: ";
            EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
            return json::parse(line.substr(prefix.size()), nullptr, false);
        };
        if (fastResult != result) {
            ASSERT_TRUE(r.result.isSuccess()) << row.name;
            EXPECT_EQ(valueOf(fastResult), valueOf(result)) << row.name << fastResult;
        }
        for (const char* secret : {"T1", "A1", "\"P\"", "T2", "T3", "T4", "=Q"})
            EXPECT_EQ(fast.find(secret), std::string::npos) << row.name << " " << secret;
    }
}

TEST(DebugDescriptionTest, RedactsSecretsAndShowsLines) {
    URLRequest request = requestFor("http://h/login?token=T0K&x=1", "POST");
    request.httpBody = R"({"email":"a@b","password":"P4SS","re_password":"P4SS"})";
    HTTPURLResponse response{"http://h/login?token=T0K",
                             200,
                             {{"Content-Type", "application/json"}, {"Authorization", "Bearer Z"}}};
    DataResponse<json> r{request, response,
                         std::make_shared<const std::string>(R"({"data":{"token":"S3CRET"},"ret":1})"),
                         Result<json>::success(json{{"data", {{"token", "S3CRET"}}}}), Timeline{}};
    const std::string text = r.debugDescription();
    for (const char* secret : {"T0K", "P4SS", "S3CRET", "Bearer Z"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << "\n" << text;
    EXPECT_EQ(text.rfind("[Request]: POST http://h/login?token=<redacted>&x=1\n[Request Body]: \n{", 0), 0u)
        << text;
    EXPECT_NE(text.find("\n[Response]: { URL: http://h/login?token=<redacted> } { Status Code: 200"),
              std::string::npos);
    EXPECT_NE(
        text.find(
            "\n[Response Body]: \n{\"data\":{\"token\":\"<redacted>\"},\"ret\":1}\n[Result]: SUCCESS: "),
        std::string::npos);
    EXPECT_NE(text.find("\n[Timeline]: Timeline: { \"Request Start Time\""), std::string::npos);

    DataResponse<json> none{std::nullopt, std::nullopt, nullptr,
                            Result<json>::failure(HTTPClientError::invalidURL("x")), Timeline{}};
    EXPECT_EQ(none.debugDescription().rfind(
                  "[Request]: nil\n[Request Body]: \nNone\n[Response]: nil\n[Response Body]: "
                  "\nNone\n[Result]: FAILURE: URL is not valid: x\n",
                  0),
              0u);
    // Form bodies and bytes that are not UTF-8.
    request.httpBody = "email=a&password=P4SS";
    DataResponse<std::string> form{request, std::nullopt, std::make_shared<const std::string>("\xff\xfeok"),
                                   Result<std::string>::success("x"), Timeline{}};
    const std::string formText = form.debugDescription();
    EXPECT_NE(formText.find("email=a&password=<redacted>"), std::string::npos);
    EXPECT_NE(formText.find("\xEF\xBF\xBD\xEF\xBF\xBDok"), std::string::npos);
}

TEST(StringSerializerTest, CharsetRules) {
    struct Row {
        std::string contentType, body;
        std::optional<std::string> text; // none: stringSerializationFailed
    };
    const std::vector<Row> rows = {
        {"text/plain; charset=utf-8", "h\xC3\xA9", "h\xC3\xA9"},
        {"text/plain; charset=UTF-8", "\xff", std::nullopt},
        {"text/plain", "\xE9", "\xC3\xA9"}, // no charset, not UTF-8: read as Latin-1
        {"text/plain; charset=\"iso-8859-1\"", "\xE9", "\xC3\xA9"},
        {"text/plain; charset=us-ascii", "\xE9", std::nullopt},
        {"text/plain; charset=koi8-r", "x", std::nullopt},
    };
    for (const auto& row : rows) {
        HTTPURLResponse response{"http://h/", 200, {{"Content-Type", row.contentType}}};
        auto r = stringResponseSerializer()(nullptr, &response, &row.body, nullptr);
        if (row.text) {
            ASSERT_TRUE(r.isSuccess()) << row.contentType;
            EXPECT_EQ(*r.value(), *row.text) << row.contentType;
        } else {
            ASSERT_TRUE(r.isFailure()) << row.contentType;
            EXPECT_EQ(r.error()->clientError()->serializationReason(),
                      HTTPClientError::ResponseSerializationFailureReason::stringSerializationFailed);
        }
    }
    EXPECT_EQ(dataResponseSerializer()(nullptr, nullptr, nullptr, nullptr).error()->localizedDescription(),
              "Response could not be serialized, input data was nil.");
}
