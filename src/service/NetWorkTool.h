#pragma once

#include "http/DataResponse.h"
#include "http/HTTPTypes.h"
#include "service/NMNetWorkError.h"
#include "service/SettingsStore.h"

#include <QObject>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimo {

namespace http {
class SessionManager;
}

using ServiceSuccess = std::function<void(const nlohmann::json& data)>;
using ServiceFailure = std::function<void(const NMNetWorkError& error)>;
// Runs on the HTTP session's worker thread over the envelope's "data"; what it returns replaces
// "data" before anything reaches the main loop. For answers that may be large (node lists).
using DataShaper = std::function<nlohmann::json(const nlohmann::json& data)>;

// Opens a URL in the user's default browser; tests put in their own.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual bool open(const std::string& url) = 0;
};

// The desktop's opener, xdg-open, started detached. Not through the platform plugin: the offscreen
// one refuses and writes the whole URL (with any token in it) to the log, and the X11 one answers
// true even when no opener exists.
class DesktopUrlOpener : public UrlOpener {
public:
    bool open(const std::string& url) override;
};

// Opens an absolute URL; a text that is not one opens nothing. "default browser was successfully
// opened" goes to the console when the opener reports success.
bool openInBrowser(const std::string& url, UrlOpener& opener);
bool openInBrowser(const std::string& url);

// What the response handler needs from one finished request.
struct ServiceReply {
    std::optional<nlohmann::json> value;   // the decoded body
    std::optional<NMNetWorkError> failure; // set instead when the transport or the reading failed
    std::string debugDescription;          // empty once written, or when the console log goes nowhere
};

// Connection-level failures (refused, timed out, no route, name not resolved) are invalidHost, so
// the requester moves on to its next base URL; anything else is msg with a readable description.
NMNetWorkError errorForFailedRequest(const http::Error& error);
// The description is built only when the console log is written (platform::consoleLogWanted).
// reshaped: the value is not the body as read (a DataShaper changed it), so the body is described
// on its own; bodyLimit caps what the description shows of the body and of the value.
ServiceReply serviceReply(http::DataResponse<nlohmann::json> response, bool reshaped = false,
                          size_t bodyLimit = http::kMaxLoggedBytes);

// The common road of every service request: base URL choice, URL and headers, sending, and the
// response envelope. Callbacks run on the main thread and are dropped once the tool is gone.
class NetWorkTool : public QObject {
public:
    // session: the HTTP session to send through; it must outlive the tool.
    NetWorkTool(SettingsStore& store, http::SessionManager& session, QObject* parent = nullptr);

    SettingsStore& store() { return store_; }

    // The version the "version" header carries (the application's short version by default).
    void setShortVersion(std::string version) { shortVersion_ = std::move(version); }

    // The three compiled-in base URLs, in order.
    static std::vector<std::string> builtInBaseURLs();
    // Stored backup base URLs (when all are texts) followed by the built-in ones not among them.
    std::vector<std::string> mainHostList() const;
    // The remembered host, else list[index]; when the list is used up, forgets the remembered host,
    // sets index to 0 and gives none.
    std::optional<std::string> pickBaseURL(const std::vector<std::string>& list, int& index);

    // "http://" goes in front of a base URL that does not start with "http".
    static std::string requestURL(const std::string& baseURL, const std::string& path);
    // "2.0.10" -> "2010".
    static std::string versionHeaderValue(std::string_view shortVersion);
    // "token" and "authorization" when a token is stored, and "version". None when the stored token
    // holds a control character.
    std::optional<http::HTTPHeaders> requestHeaders() const;

    // POST sends parameters as a JSON object body; GET sends none. success gets the envelope's "data".
    void sendRequest(const std::string& baseURL, const std::string& path, http::HTTPMethod method,
                     const nlohmann::json& parameters, ServiceSuccess success, ServiceFailure failure);
    // The same, with "data" passed through shaper (none: as it came).
    void sendRequest(const std::string& baseURL, const std::string& path, http::HTTPMethod method,
                     const nlohmann::json& parameters, ServiceSuccess success, ServiceFailure failure,
                     DataShaper shaper);

    // The shared response handler; success and failure may be empty.
    void handleResponse(const ServiceReply& reply, const ServiceFailure& failure, std::int64_t expectedCode,
                        const ServiceSuccess& success);

private:
    SettingsStore& store_;
    http::SessionManager& session_;
    std::string shortVersion_;
};

} // namespace nimo
