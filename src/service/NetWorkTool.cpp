#include "service/NetWorkTool.h"

#include "NimoBuildConfig.h"
#include "http/ParameterEncoding.h"
#include "http/SessionManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "service/ServiceRecords.h"
#include "service/UserDefaultsCacheKeys.h"

#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <algorithm>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;
using nlohmann::json;

namespace {
constexpr std::int64_t kSessionRejected = 40101;
constexpr const char* kBadTokenText = "登录信息已失效，请重新登录";
} // namespace

bool DesktopUrlOpener::open(const std::string& url) {
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        platform::consoleLog("openInBrowser: xdg-open not found");
        return false;
    }
    return QProcess::startDetached(opener, {QString::fromStdString(url)});
}

bool openInBrowser(const std::string& url, UrlOpener& opener) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (url.empty() || !parsed.isValid() || parsed.isRelative()) {
        // Query and fragment may carry a token: only the part before them is logged.
        platform::consoleLog("openInBrowser: not a URL: " + url.substr(0, url.find_first_of("?#")));
        return false;
    }
    if (!opener.open(url))
        return false;
    platform::consoleLog("default browser was successfully opened");
    return true;
}

bool openInBrowser(const std::string& url) {
    DesktopUrlOpener opener;
    return openInBrowser(url, opener);
}

NMNetWorkError errorForFailedRequest(const http::Error& error) {
    if (const http::TransportError* t = error.transport()) {
        switch (t->kind) {
        case http::TransportErrorKind::ConnectionRefused:
        case http::TransportErrorKind::TimedOut:
        case http::TransportErrorKind::NoRoute:
        case http::TransportErrorKind::NameNotResolved:
            return NMNetWorkError::invalidHost();
        default:
            break;
        }
    }
    return NMNetWorkError::msg(error.localizedDescription());
}

namespace {
// The reply's value or failure, without its description.
ServiceReply replyOutcome(const http::DataResponse<json>& response) {
    ServiceReply reply;
    if (const json* value = response.result.value())
        reply.value = *value;
    else if (const http::Error* error = response.result.error())
        reply.failure = errorForFailedRequest(*error);
    else
        reply.failure = NMNetWorkError::msg("");
    return reply;
}

// text cut to at most limit bytes at a character boundary, with what was left out counted.
std::string cutForLog(std::string text, size_t limit) {
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    const size_t left = text.size() - end;
    text.resize(end);
    return text + "...(+" + std::to_string(left) + " bytes)";
}
} // namespace

ServiceReply serviceReply(const http::DataResponse<json>& response) {
    ServiceReply reply = replyOutcome(response);
    reply.debugDescription = response.debugDescription();
    return reply;
}

ServiceReply serviceReply(const http::DataResponse<json>& response, size_t bodyLimit) {
    ServiceReply reply = replyOutcome(response);
    // Redacted before it is cut: a cut JSON body no longer parses, so it could no longer be redacted.
    const std::string shownValue = response.result.isSuccess()
                                       ? cutForLog(http::describeValue(*response.result.value()), bodyLimit)
                                       : "";
    const std::string resultText = response.result.isSuccess()
                                       ? "SUCCESS: " + shownValue
                                       : "FAILURE: " + response.result.error()->localizedDescription();
    std::optional<std::string> body;
    if (response.data)
        body = response.result.isSuccess() ? shownValue
                                           : cutForLog(http::describeValue(*response.data), bodyLimit);
    reply.debugDescription = http::debugDescription(response.request, response.response,
                                                    body ? &*body : nullptr, resultText, response.timeline);
    return reply;
}

NetWorkTool::NetWorkTool(SettingsStore& store, http::SessionManager* session, QObject* parent)
    : QObject(parent), store_(store), session_(session ? *session : http::SessionManager::defaultSession()),
      shortVersion_(build::kShortVersion) {}

std::vector<std::string> NetWorkTool::builtInBaseURLs() {
    return {build::kBaseUrl1, build::kBaseUrl2, build::kBaseUrl3};
}

std::vector<std::string> NetWorkTool::mainHostList() const {
    std::vector<std::string> list;
    if (auto stored = store_.array(keys::backupUrls);
        stored && !stored->empty() &&
        std::all_of(stored->begin(), stored->end(), [](const json& e) { return e.is_string(); })) {
        for (const json& e : *stored) {
            // An empty line of "backend_url" is no host; keeping it would end the failover before
            // the built-in hosts.
            if (!e.get_ref<const std::string&>().empty())
                list.push_back(e.get<std::string>());
        }
    }
    if (list.empty())
        return builtInBaseURLs();
    for (const std::string& builtIn : builtInBaseURLs())
        if (std::find(list.begin(), list.end(), builtIn) == list.end())
            list.push_back(builtIn);
    return list;
}

std::optional<std::string> NetWorkTool::pickBaseURL(const std::vector<std::string>& list, int& index) {
    if (auto remembered = store_.string(keys::lastOkHost))
        return remembered;
    if (index >= 0 && static_cast<size_t>(index) < list.size())
        return list[static_cast<size_t>(index)];
    (void)store_.remove(keys::lastOkHost);
    index = 0;
    return std::nullopt;
}

std::string NetWorkTool::requestURL(const std::string& baseURL, const std::string& path) {
    if (baseURL.rfind("http", 0) == 0)
        return baseURL + path;
    return "http://" + baseURL + path;
}

std::string NetWorkTool::versionHeaderValue(std::string_view shortVersion) {
    std::string out;
    for (char c : shortVersion)
        if (c != '.')
            out.push_back(c);
    return out;
}

std::optional<http::HTTPHeaders> NetWorkTool::requestHeaders() const {
    http::HTTPHeaders headers;
    if (auto token = store_.string(keys::apiToken)) {
        if (!isSendableToken(*token))
            return std::nullopt;
        headers["token"] = *token;
        headers["authorization"] = *token;
    }
    if (!shortVersion_.empty())
        headers["version"] = versionHeaderValue(shortVersion_);
    return headers;
}

void NetWorkTool::sendRequest(const std::string& baseURL, const std::string& path, http::HTTPMethod method,
                              const json& parameters, ServiceSuccess success, ServiceFailure failure) {
    sendRequest(baseURL, path, method, parameters, std::move(success), std::move(failure), DataShaper());
}

void NetWorkTool::sendRequest(const std::string& baseURL, const std::string& path, http::HTTPMethod method,
                              const json& parameters, ServiceSuccess success, ServiceFailure failure,
                              DataShaper shaper) {
    auto headers = requestHeaders();
    if (!headers) {
        // A header with a line break in it would split the request: refuse, and drop the session
        // it belongs to so the next sign-in can replace it.
        platform::consoleLog("token refused: it holds a control character; session cleared");
        store_.clearSession();
        platform::postToMain(this, [failure] {
            if (failure)
                failure(NMNetWorkError::msg(kBadTokenText));
        });
        return;
    }
    const bool post = method == http::HTTPMethod::post;
    const json body = post ? (parameters.is_object() ? parameters : json::object()) : json(nullptr);
    auto serializer = [shaper = std::move(shaper), parse = http::jsonResponseSerializer()](
                          const http::URLRequest* request, const http::HTTPURLResponse* response,
                          const std::string* data, const http::Error* error) {
        auto result = parse(request, response, data, error);
        if (!shaper)
            return result;
        if (json* value = result.value(); value && value->is_object())
            if (auto it = value->find("data"); it != value->end())
                *it = shaper(*it);
        return result;
    };
    // Parsing, shaping and describing (capped) all stay on the worker; only the small reply is
    // posted, so the main loop pays for none of it.
    constexpr size_t kLoggedBodyLimit = 4096;
    QPointer<QObject> self(this);
    auto inline_ = [](std::function<void()> fn) { fn(); };
    session_.request(requestURL(baseURL, path), method, body, http::JSONEncoding::defaultEncoding(), *headers)
        .response<json>(http::CompletionQueue(inline_), std::move(serializer),
                        [self, success = std::move(success),
                         failure = std::move(failure)](const http::DataResponse<json>& response) {
                            auto reply =
                                std::make_shared<ServiceReply>(serviceReply(response, kLoggedBodyLimit));
                            platform::postToMainWeak(self, [self, reply, success, failure] {
                                if (auto* tool = static_cast<NetWorkTool*>(self.data()))
                                    tool->handleResponse(*reply, failure, 0, success);
                            });
                        });
}

void NetWorkTool::handleResponse(const ServiceReply& reply, const ServiceFailure& failure,
                                 std::int64_t expectedCode, const ServiceSuccess& success) {
    platform::consoleLog(reply.debugDescription);
    if (!reply.value) {
        if (failure)
            failure(reply.failure.value_or(NMNetWorkError::msg("")));
        return;
    }
    const json& envelope = *reply.value;
    if (!envelope.is_object()) {
        if (failure)
            failure(NMNetWorkError::dataAnalysis());
        return;
    }
    std::optional<std::int64_t> code;
    if (auto it = envelope.find("code"); it != envelope.end() && it->is_number_integer()) {
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX))
            code = it->get<std::int64_t>();
    }
    if (code == expectedCode) {
        if (success) {
            auto data = envelope.find("data");
            success(data != envelope.end() ? *data : json(""));
        }
        return;
    }
    std::string text;
    if (auto it = envelope.find("msg"); it != envelope.end() && it->is_string())
        text = it->get<std::string>();
    // The first call may end the requester (and this tool with it); the session is cleared anyway.
    SettingsStore& store = store_;
    QPointer<NetWorkTool> self(this);
    if (failure)
        failure(NMNetWorkError::msg(text));
    if (code == kSessionRejected) {
        store.clearSession();
        if (failure && self)
            failure(NMNetWorkError::msg("[40101]" + text));
    }
}

} // namespace nimo
