#include "http/HTTPTypes.h"

#include "platform/Redact.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace nimo::http {

namespace {
constexpr std::array<std::pair<HTTPMethod, std::string_view>, 9> kMethods{{
    {HTTPMethod::options, "OPTIONS"},
    {HTTPMethod::get, "GET"},
    {HTTPMethod::head, "HEAD"},
    {HTTPMethod::post, "POST"},
    {HTTPMethod::put, "PUT"},
    {HTTPMethod::patch, "PATCH"},
    {HTTPMethod::delete_, "DELETE"},
    {HTTPMethod::trace, "TRACE"},
    {HTTPMethod::connect, "CONNECT"},
}};

std::optional<std::string> lookup(const HTTPHeaders& headers, std::string_view field) {
    auto it = headers.find(field);
    if (it == headers.end())
        return std::nullopt;
    return it->second;
}

std::string trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}
} // namespace

std::string_view rawValue(HTTPMethod method) {
    for (const auto& [m, raw] : kMethods)
        if (m == method)
            return raw;
    return "GET";
}

std::optional<HTTPMethod> httpMethodFromRaw(std::string_view raw) {
    for (const auto& [m, text] : kMethods)
        if (text == raw)
            return m;
    return std::nullopt;
}

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    // Field names are ASCII: fold A-Z only, whatever the process locale says about other bytes.
    const auto fold = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
    };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = fold(a[i]), y = fold(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool isHTTPURLText(std::string_view url) {
    const auto blankOrControl = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f;
    };
    if (url.empty() || std::any_of(url.begin(), url.end(), blankOrControl))
        return false;
    const auto colon = url.find(':');
    const auto same = [](std::string_view a, std::string_view b) {
        return !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
    };
    if (colon == std::string_view::npos ||
        !(same(url.substr(0, colon), "http") || same(url.substr(0, colon), "https")))
        return false;
    const std::string_view rest = url.substr(colon + 1);
    if (!rest.starts_with('/'))
        return false;
    if (!rest.starts_with("//") || rest.starts_with("///"))
        return true; // one or three slashes: libcurl reads them its own way and judges them
    const std::string_view authority = rest.substr(2, rest.find_first_of("/?#", 2) - 2);
    const auto at = authority.rfind('@');
    std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
    std::string_view port;
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos || (close + 1 < host.size() && host[close + 1] != ':'))
            return false;
        port = host.substr(close + 1);
    } else if (const auto portColon = host.find(':'); portColon != std::string_view::npos) {
        port = host.substr(portColon);
        host = host.substr(0, portColon);
    }
    if (host.empty())
        return false;
    unsigned number = 0;
    for (const char c : port.substr(port.empty() ? 0 : 1)) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
        if (number > 65535)
            return false;
    }
    return true;
}

std::optional<std::string> URLRequest::value(std::string_view field) const {
    return lookup(headers, field);
}

std::optional<std::string> HTTPURLResponse::value(std::string_view field) const {
    return lookup(headers, field);
}

std::optional<std::string> HTTPURLResponse::mimeType() const {
    auto type = value("Content-Type");
    if (!type)
        return std::nullopt;
    std::string mime = trimmed(std::string_view(*type).substr(0, type->find(';')));
    if (mime.empty())
        return std::nullopt;
    std::transform(mime.begin(), mime.end(), mime.begin(), [](unsigned char c) { return std::tolower(c); });
    return mime;
}

std::string HTTPURLResponse::description() const {
    std::string out;
    appendDescription(out, url);
    return out;
}

void HTTPURLResponse::appendDescription(std::string& out, std::string_view shownUrl) const {
    using namespace std::string_view_literals;
    out += "{ URL: "sv;
    out += shownUrl;
    out += " } { Status Code: "sv;
    out += std::to_string(statusCode);
    out += ", Headers {\n"sv;
    for (const auto& [name, text] : headers) {
        out += "    \""sv;
        out += name;
        out += "\" = (\n        \""sv;
        out += platform::isSecretField(name) ? std::string_view(platform::kRedacted) : std::string_view(text);
        out += "\"\n    );\n"sv;
    }
    out += "} }"sv;
}

} // namespace nimo::http
