#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nimo::http {

enum class HTTPMethod {
    options,
    get,
    head,
    post,
    put,
    patch,
    delete_, // "DELETE"
    trace,
    connect,
};

// The text sent on the wire ("GET", "POST", ...).
std::string_view rawValue(HTTPMethod method);
// The method of a raw text; none for a text that is not one of the nine.
std::optional<HTTPMethod> httpMethodFromRaw(std::string_view raw);

// ASCII letters compare without case; other bytes as they are.
struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// Header fields by name; names compare without case, as HTTP wants.
using HTTPHeaders = std::map<std::string, std::string, CaseInsensitiveLess>;

// Whether url is worth handing to the transport: an http or https URL (the scheme in any case) with
// no blank or control character. The transport's own parse judges the rest when the request runs;
// a URL it refuses fails the request with invalidURL too, before anything goes on the wire.
bool isHTTPURLText(std::string_view url);

// What goes on the wire. Built by SessionManager::request and the parameter encodings.
struct URLRequest {
    std::string url;                       // absolute http(s) URL text; empty means "no URL"
    std::optional<std::string> httpMethod; // raw method text; absent means GET
    HTTPHeaders headers;
    std::optional<std::string> httpBody;
    // Whole request, from start to last byte.
    std::chrono::milliseconds timeoutInterval{std::chrono::seconds(60)};
    // Overrides of the session's connect timeout and no-data deadline for this request.
    std::optional<std::chrono::milliseconds> connectTimeout;
    std::optional<std::chrono::milliseconds> noDataTimeout;

    std::string method() const { return httpMethod.value_or("GET"); }
    std::optional<std::string> value(std::string_view field) const;
    void setValue(std::string value, std::string field) { headers[std::move(field)] = std::move(value); }
};

// The reply's status line and headers (after redirects, the last one).
struct HTTPURLResponse {
    std::string url;
    int statusCode = 0;
    HTTPHeaders headers; // repeated fields joined with ", "

    std::optional<std::string> value(std::string_view field) const;
    // Content-Type without parameters, lower case; none when the header is absent or empty.
    std::optional<std::string> mimeType() const;
    // Printable form; values of secret fields are redacted.
    std::string description() const;
    // The same appended to out, with shownUrl in place of url.
    void appendDescription(std::string& out, std::string_view shownUrl) const;
};

} // namespace nimo::http
