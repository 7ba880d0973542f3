#include "http/ParameterEncoding.h"

#include "http/Utf8.h"

#include <cmath>
#include <memory>

namespace nimo::http {

namespace {
using PE = HTTPClientError::ParameterEncodingFailureReason;

std::string numberText(const nlohmann::json& value) {
    if (value.is_number_float()) {
        std::string text = value.dump();
        if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0)
            text.resize(text.size() - 2); // 1.0 reads "1", as a number object prints it
        return text;
    }
    return value.dump();
}

// First thing in value that cannot be written as JSON text, or empty.
std::string jsonProblem(const nlohmann::json& value) {
    if (value.is_string())
        return isValidUtf8(value.get_ref<const std::string&>()) ? "" : "Invalid UTF-8 text in JSON write";
    if (value.is_number_float() && !std::isfinite(value.get<double>()))
        return "Invalid number value (NaN or infinity) in JSON write";
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!isValidUtf8(it.key()))
                return "Invalid UTF-8 key in JSON write";
            if (auto p = jsonProblem(it.value()); !p.empty())
                return p;
        }
    } else if (value.is_array()) {
        for (const auto& e : value)
            if (auto p = jsonProblem(e); !p.empty())
                return p;
    }
    return {};
}

const char* const kForm = "application/x-www-form-urlencoded; charset=utf-8";
} // namespace

// ---- URL encoding ----

const URLEncoding& URLEncoding::defaultEncoding() {
    static const URLEncoding e;
    return e;
}
const URLEncoding& URLEncoding::queryString() {
    static const URLEncoding e(Destination::queryString);
    return e;
}
const URLEncoding& URLEncoding::httpBody() {
    static const URLEncoding e(Destination::httpBody);
    return e;
}

std::string URLEncoding::escape(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) && c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        switch (c) {
        case '-':
        case '.':
        case '_':
        case '~':
        case '/':
        case '?':
            out.push_back(static_cast<char>(c));
            break;
        default:
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

void URLEncoding::appendComponents(std::string& out, const std::string& key,
                                   const nlohmann::json& value) const {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            appendComponents(out, key + "[" + it.key() + "]", it.value());
        return;
    }
    if (value.is_array()) {
        const std::string itemKey = arrayEncoding == ArrayEncoding::brackets ? key + "[]" : key;
        for (const auto& e : value)
            appendComponents(out, itemKey, e);
        return;
    }
    std::string text;
    if (value.is_boolean()) {
        const bool b = value.get<bool>();
        text = boolEncoding == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false");
    } else if (value.is_number()) {
        text = numberText(value);
    } else if (value.is_string()) {
        text = value.get<std::string>();
    } else if (value.is_binary()) {
        const auto& bytes = value.get_binary();
        text.assign(bytes.begin(), bytes.end());
    } // null: an empty value
    if (!out.empty())
        out.push_back('&');
    out += escape(key);
    out.push_back('=');
    out += escape(text);
}

std::string URLEncoding::query(const Parameters& parameters) const {
    std::string out;
    if (!parameters.is_object())
        return out;
    // Object keys iterate in ascending order already.
    for (auto it = parameters.begin(); it != parameters.end(); ++it)
        appendComponents(out, it.key(), it.value());
    return out;
}

Result<URLRequest> URLEncoding::encode(URLRequest request, const Parameters& parameters) const {
    if (!parameters.is_object())
        return Result<URLRequest>::success(std::move(request));

    const auto method = httpMethodFromRaw(request.method());
    const bool inURL =
        destination == Destination::queryString ||
        (destination == Destination::methodDependent && method &&
         (*method == HTTPMethod::get || *method == HTTPMethod::head || *method == HTTPMethod::delete_));
    if (!inURL) {
        if (!request.value("Content-Type"))
            request.setValue(kForm, "Content-Type");
        request.httpBody = query(parameters);
        return Result<URLRequest>::success(std::move(request));
    }

    if (request.url.empty())
        return Result<URLRequest>::failure(HTTPClientError::parameterEncodingFailed(PE::missingURL));
    if (parameters.empty())
        return Result<URLRequest>::success(std::move(request));
    if (!isHTTPURLText(request.url))
        return Result<URLRequest>::success(std::move(request)); // refused as it is when it runs
    // Rebuilt by hand: the URL parser would lower-case the escapes and normalise the rest.
    const auto hash = request.url.find('#');
    std::string head = request.url.substr(0, hash);
    const std::string fragment = hash == std::string::npos ? "" : request.url.substr(hash);
    head += head.find('?') == std::string::npos ? "?" : "&";
    request.url = head + query(parameters) + fragment;
    return Result<URLRequest>::success(std::move(request));
}

// ---- JSON encoding ----

const JSONEncoding& JSONEncoding::defaultEncoding() {
    static const JSONEncoding e;
    return e;
}
const JSONEncoding& JSONEncoding::prettyPrintedEncoding() {
    static const JSONEncoding e(prettyPrinted);
    return e;
}

Result<URLRequest> JSONEncoding::encode(URLRequest request, const Parameters& parameters) const {
    if (parameters.is_null())
        return Result<URLRequest>::success(std::move(request));
    if (auto problem = jsonProblem(parameters); !problem.empty())
        return Result<URLRequest>::failure(
            HTTPClientError::parameterEncodingFailed(PE::jsonEncodingFailed, problem));
    const int indent = (options & prettyPrinted) ? 2 : -1;
    std::string body = parameters.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    if (!request.value("Content-Type"))
        request.setValue("application/json", "Content-Type");
    request.httpBody = std::move(body);
    return Result<URLRequest>::success(std::move(request));
}

// ---- Property-list encoding ----

const PropertyListEncoding& PropertyListEncoding::defaultEncoding() {
    static const PropertyListEncoding e;
    return e;
}
const PropertyListEncoding& PropertyListEncoding::xml() {
    return defaultEncoding();
}

Result<URLRequest> PropertyListEncoding::encode(URLRequest request, const Parameters& parameters) const {
    if (parameters.is_null())
        return Result<URLRequest>::success(std::move(request));
    if (format != Format::xml)
        return Result<URLRequest>::failure(HTTPClientError::parameterEncodingFailed(
            PE::propertyListEncodingFailed, "Only the XML property list format can be written"));
    std::string error;
    auto body = xmlPropertyList(parameters, &error);
    if (!body)
        return Result<URLRequest>::failure(
            HTTPClientError::parameterEncodingFailed(PE::propertyListEncodingFailed, error));
    if (!request.value("Content-Type"))
        request.setValue("application/x-plist", "Content-Type");
    request.httpBody = std::move(*body);
    return Result<URLRequest>::success(std::move(request));
}

namespace {
bool appendEscapedXml(std::string& out, std::string_view text, std::string* error) {
    if (!isValidUtf8(text)) {
        *error = "Property list text is not valid UTF-8";
        return false;
    }
    for (unsigned char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                *error = "Property list text holds a control character XML cannot carry";
                return false;
            }
            out.push_back(static_cast<char>(c));
        }
    }
    return true;
}

std::string base64(const std::vector<std::uint8_t>& bytes) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        unsigned v = bytes[i] << 16;
        out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return out;
}

bool appendPlist(std::string& out, const nlohmann::json& v, int depth, std::string* error) {
    const std::string indent(depth, '\t');
    out += indent;
    switch (v.type()) {
    case nlohmann::json::value_t::object:
        if (v.empty()) {
            out += "<dict/>\n";
            return true;
        }
        out += "<dict>\n";
        for (auto it = v.begin(); it != v.end(); ++it) {
            out += indent + "\t<key>";
            if (!appendEscapedXml(out, it.key(), error))
                return false;
            out += "</key>\n";
            if (!appendPlist(out, it.value(), depth + 1, error))
                return false;
        }
        out += indent + "</dict>\n";
        return true;
    case nlohmann::json::value_t::array:
        if (v.empty()) {
            out += "<array/>\n";
            return true;
        }
        out += "<array>\n";
        for (const auto& e : v)
            if (!appendPlist(out, e, depth + 1, error))
                return false;
        out += indent + "</array>\n";
        return true;
    case nlohmann::json::value_t::string:
        out += "<string>";
        if (!appendEscapedXml(out, v.get_ref<const std::string&>(), error))
            return false;
        out += "</string>\n";
        return true;
    case nlohmann::json::value_t::boolean:
        out += v.get<bool>() ? "<true/>\n" : "<false/>\n";
        return true;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
        out += "<integer>" + v.dump() + "</integer>\n";
        return true;
    case nlohmann::json::value_t::number_float: {
        const double d = v.get<double>();
        out += "<real>";
        out += std::isnan(d) ? "nan" : std::isinf(d) ? (d > 0 ? "+infinity" : "-infinity") : v.dump();
        out += "</real>\n";
        return true;
    }
    case nlohmann::json::value_t::binary:
        out += "<data>" + base64(v.get_binary()) + "</data>\n";
        return true;
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
        break;
    }
    *error = "Property lists cannot contain null values";
    return false;
}
} // namespace

std::optional<std::string> xmlPropertyList(const nlohmann::json& value, std::string* error) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n";
    std::string scratch;
    if (!appendPlist(out, value, 0, error ? error : &scratch))
        return std::nullopt;
    out += "</plist>\n";
    return out;
}

} // namespace nimo::http
