#include "service/NetWorkTool.h"

#include "NimoBuildConfig.h"
#include "http/ParameterEncoding.h"
#include "http/SessionManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Redact.h"
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
constexpr const char* kSessionNotClearedText =
    "登录信息已失效，但本机设置无法写入，请检查磁盘空间和文件夹权限";
// A service text longer than this is cut before it becomes an error (and a toast).
constexpr std::size_t kMaxMessageBytes = 512;

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
    // The user sees these texts; the layer's own English descriptions stay in the debug log.
    using K = http::TransportErrorKind;
    if (const http::TransportError* t = error.transport()) {
        switch (t->kind) {
        case K::ConnectionRefused:
        case K::TimedOut:
        case K::NoRoute:
        case K::NameNotResolved:
            return NMNetWorkError::invalidHost();
        case K::TLS:
            return NMNetWorkError::msg("无法与服务器建立安全连接，请检查网络后重试");
        case K::ConnectionLost:
            return NMNetWorkError::msg("网络连接中断，请稍后重试");
        case K::ResponseTooLarge:
            return NMNetWorkError::msg("服务器返回的数据过大，请稍后重试");
        case K::Cancelled:
            return NMNetWorkError::msg("请求已取消");
        case K::Unavailable:
            return NMNetWorkError::msg("网络组件无法加载，请重新安装后重试");
        case K::Other:
            break;
        }
        return NMNetWorkError::msg("网络异常，请稍后重试");
    }
    const http::HTTPClientError& client = *error.clientError();
    using RS = http::HTTPClientError::ResponseSerializationFailureReason;
    if (client.kind() == http::HTTPClientError::Kind::responseValidationFailed && client.responseCode() > 0)
        return NMNetWorkError::msg("服务器暂时无法处理请求（" + std::to_string(client.responseCode()) + "）");
    if (auto reason = client.serializationReason()) {
        if (*reason == RS::inputDataNil || *reason == RS::inputDataNilOrZeroLength)
            return NMNetWorkError::msg("服务器没有返回数据，请稍后重试");
        return NMNetWorkError::msg("服务器返回的数据无法识别，请稍后重试");
    }
    return NMNetWorkError::msg("请求失败，请稍后重试");
}

namespace {
// The reply's value (moved out of the response) or failure, without its description.
ServiceReply replyOutcome(http::DataResponse<json>& response) {
    ServiceReply reply;
    if (json* value = response.result.value())
        reply.value = std::move(*value);
    else if (const http::Error* error = response.result.error())
        reply.failure = errorForFailedRequest(*error);
    else
        reply.failure = NMNetWorkError::msg("");
    return reply;
}

// Written where the reply was described, off the main loop; handleResponse then has nothing to write.
void writeDescription(ServiceReply& reply) {
    if (reply.debugDescription.empty())
        return;
    platform::consoleLog(reply.debugDescription);
    reply.debugDescription.clear();
}
} // namespace

ServiceReply serviceReply(http::DataResponse<json> response, bool reshaped, size_t bodyLimit) {
    std::string description;
    if (platform::consoleLogWanted())
        description = http::jsonDebugDescription(response, !reshaped, bodyLimit);
    ServiceReply reply = replyOutcome(response);
    reply.debugDescription = std::move(description);
    return reply;
}

NetWorkTool::NetWorkTool(SettingsStore& store, http::SessionManager& session, QObject* parent)
    : QObject(parent), store_(store), session_(session), shortVersion_(build::kShortVersion) {}

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
    const bool reshaped = static_cast<bool>(shaper);
    static const http::ResponseSerializer<json> plain = http::jsonResponseSerializer();
    http::ResponseSerializer<json> serializer = plain;
    if (reshaped)
        serializer = [shaper = std::move(shaper), parse = std::move(serializer)](
                         const http::URLRequest* request, const http::HTTPURLResponse* response,
                         const std::string* data, const http::Error* error) {
            auto result = parse(request, response, data, error);
            if (json* value = result.value(); value && value->is_object())
                if (auto it = value->find("data"); it != value->end())
                    *it = shaper(*it);
            return result;
        };
    // A reshaped answer may be large (node lists): its log shows less of it.
    const size_t logLimit = reshaped ? 4096 : http::kMaxLoggedBytes;
    // Parsing, shaping and describing all stay on the worker; only the reply is posted.
    QPointer<QObject> self(this);
    session_.request(requestURL(baseURL, path), method, body, http::JSONEncoding::defaultEncoding(), *headers)
        .takeResponse<json>(
            std::move(serializer), [self, reshaped, logLimit, success = std::move(success),
                                    failure = std::move(failure)](http::DataResponse<json>&& r) mutable {
                auto reply = std::make_shared<ServiceReply>(serviceReply(std::move(r), reshaped, logLimit));
                writeDescription(*reply);
                // Runs once: the callbacks move on to the main loop.
                platform::postToMainWeak(
                    self, [self, reply, success = std::move(success), failure = std::move(failure)] {
                        if (auto* tool = static_cast<NetWorkTool*>(self.data()))
                            tool->handleResponse(*reply, failure, 0, success);
                    });
            });
}

void NetWorkTool::handleResponse(const ServiceReply& reply, const ServiceFailure& failure,
                                 std::int64_t expectedCode, const ServiceSuccess& success) {
    if (!reply.debugDescription.empty())
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
            // Passed where it lies: a conditional with json("") would copy it.
            if (auto data = envelope.find("data"); data != envelope.end())
                success(*data);
            else
                success(json(""));
        }
        return;
    }
    std::string text;
    if (auto it = envelope.find("msg"); it != envelope.end() && it->is_string())
        text = platform::truncatedText(it->get_ref<const std::string&>(), kMaxMessageBytes);
    // The first call may end the requester (and this tool with it); the session is cleared anyway.
    SettingsStore& store = store_;
    QPointer<NetWorkTool> self(this);
    if (failure)
        failure(NMNetWorkError::msg(text));
    if (code != kSessionRejected)
        return;
    if (!store.clearSession()) {
        // Still signed in to a dead session: say so instead of the signed-out call.
        platform::consoleLog("40101: the session could not be cleared from the settings file");
        if (failure && self)
            failure(NMNetWorkError::msg(kSessionNotClearedText));
        return;
    }
    if (failure && self)
        failure(NMNetWorkError::msg("[40101]" + text));
}

} // namespace nimo
