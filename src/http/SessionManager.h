#pragma once

#include "http/CurlLibrary.h"
#include "http/DataRequest.h"
#include "http/ParameterEncoding.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace nimo::http {

struct SessionConfiguration {
    // Sent on every request unless the request sets the same field.
    HTTPHeaders httpAdditionalHeaders;
    // Whole request (the request's timeoutInterval when built by request()).
    std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
    // A host that drops the connection attempt fails after this.
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(5)};
    // A host that accepts and then sends nothing for this long is abandoned.
    std::chrono::milliseconds noDataTimeout{std::chrono::seconds(10)};
    // Largest body (after content decoding) kept; a larger one fails with ResponseTooLarge.
    std::size_t maximumResponseSize = 64u * 1024u * 1024u;
    long maximumRedirects = 16;
    // Extra trust anchors (PEM file) besides the system's; certificate verification is always on.
    std::string caBundlePath;
    // The transport library's file name, loaded by the worker for the first request.
    std::string transportLibrary = CurlLibrary::kDefaultName;

    // No additional headers; the timeouts and limits above.
    static SessionConfiguration defaultConfiguration();
};

// Turns (URL, method, parameters, encoding, headers) into requests and runs them on one worker
// thread of its own (libcurl multi: connections are reused per host). Building a request never
// touches libcurl, so the calling thread never waits for it to load. Destroying a manager cancels
// its live requests; their handlers still run, with a Cancelled error.
class SessionManager {
public:
    // The default configuration with defaultHTTPHeaders(): what the application's session uses.
    static SessionConfiguration standardConfiguration();

    // "Accept-Encoding", "Accept-Language" and "User-Agent" for this process.
    static HTTPHeaders defaultHTTPHeaders();

    explicit SessionManager(
        SessionConfiguration configuration = SessionConfiguration::defaultConfiguration());
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    const SessionConfiguration& configuration() const { return configuration_; }

    // Builds and starts the request. One that cannot be built or encoded carries its error: its
    // handlers run with it and nothing goes on the network.
    DataRequest request(const std::string& url, HTTPMethod method = HTTPMethod::get,
                        const Parameters& parameters = nullptr,
                        const ParameterEncoding& encoding = URLEncoding::defaultEncoding(),
                        const HTTPHeaders& headers = {});
    // Starts a request built by the caller (its own timeouts, body, headers).
    DataRequest request(URLRequest urlRequest);

    // Requests started and not yet finished.
    std::size_t liveRequestCount() const;

private:
    DataRequest start(std::optional<URLRequest> request, std::optional<Error> error);

    SessionConfiguration configuration_;
    std::shared_ptr<class CurlWorker> worker_;
};

// Values of the default headers, apart so they can be checked with any input.
std::string acceptLanguageValue(const std::vector<std::string>& preferredLanguages);
// The user's, in order: $LANGUAGE ("zh_CN:en_US"), else the message locale (LC_ALL, LC_MESSAGES,
// LANG); "C" and "POSIX" name no language, and an empty list becomes "en".
std::vector<std::string> preferredLanguages();
std::vector<std::string> preferredLanguages(const std::string& language, const std::string& locale);

struct BundleInfo {
    std::optional<std::string> executable, bundleIdentifier, shortVersion, buildVersion;
};
// info absent: "NimoHTTP". systemVersion: "Linux 6.1.0".
std::string userAgentValue(const std::optional<BundleInfo>& info, const std::string& systemVersion);
std::optional<BundleInfo> mainBundleInfo();
// "Linux " + major.minor.patch of the running kernel.
std::string systemVersionText();
// major.minor.patch from a kernel release text ("6.1.0-18-amd64" -> "6.1.0").
std::string kernelVersionNumbers(const std::string& release);

} // namespace nimo::http
