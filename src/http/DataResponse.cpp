#include "http/DataResponse.h"

#include "http/Utf8.h"
#include "platform/Redact.h"

#include <algorithm>

namespace nimo::http {

namespace {
using RS = HTTPClientError::ResponseSerializationFailureReason;

bool isEmptyBodyStatus(const HTTPURLResponse* response) {
    return response && (response->statusCode == 204 || response->statusCode == 205);
}

// Keeps the DOM parser's work and records the reason of a failure instead of throwing.
class RecordingParser : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
public:
    explicit RecordingParser(nlohmann::json& result)
        : nlohmann::detail::json_sax_dom_parser<nlohmann::json>(result, false) {}
    template <class Exception> bool parse_error(std::size_t, const std::string&, const Exception& ex) {
        message = ex.what();
        // "[json.exception.parse_error.101] parse error at ..." -> "parse error at ..."
        if (auto pos = message.find("] ");
            message.rfind("[json.exception.", 0) == 0 && pos != std::string::npos)
            message.erase(0, pos + 2);
        // "; last read: '…'" quotes body bytes, which may be part of a secret.
        if (auto pos = message.find("; last read:"); pos != std::string::npos)
            message.erase(pos);
        return false;
    }
    std::string message;
};

std::string redactedURL(const std::string& url) {
    const auto q = url.find('?');
    if (q == std::string::npos)
        return url;
    const auto hash = url.find('#', q);
    const std::string query = url.substr(q + 1, hash == std::string::npos ? std::string::npos : hash - q - 1);
    return url.substr(0, q + 1) + platform::redactedForm(query) +
           (hash == std::string::npos ? std::string() : url.substr(hash));
}

void appendRedactedURL(std::string& out, const std::string& url) {
    if (url.find('?') == std::string::npos)
        out += url; // nothing to redact: no copy
    else
        out += redactedURL(url);
}

std::string cutNote(std::size_t size) {
    return " …(" + std::to_string(size) + " bytes)";
}

// A body as text for a log: valid UTF-8, bounded, secrets redacted whether or not it is valid JSON
// (a reply cut off mid-body still hides its token).
std::string bodyText(const std::string& body, std::size_t limit) {
    if (body.size() > limit)
        return platform::redactedText(sanitizedUtf8(std::string_view(body).substr(0, limit))) +
               cutNote(body.size());
    std::string text = sanitizedUtf8(body);
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_discarded() && json.is_structured()) {
        return platform::holdsSecretField(json) ? platform::redactedDump(json) : text;
    }
    if (!json.is_discarded())
        return text;
    return platform::redactedText(text);
}

// value redacted and compact, at most limit bytes.
std::string loggedValue(const nlohmann::json& value, std::size_t limit) {
    std::string text = platform::redactedDump(value);
    return text.size() > limit ? platform::truncatedText(text, limit) + cutNote(text.size()) : text;
}

// JSON text without the blanks around it.
std::string_view jsonTrimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The six lines, from parts already made safe for a log (body: none when absent).
std::string describe(const std::optional<URLRequest>& request, const std::optional<HTTPURLResponse>& response,
                     std::optional<std::string_view> body, std::string_view resultKind,
                     std::string_view resultText, const Timeline& timeline) {
    std::string out;
    // One allocation for the usual reply: fixed text, two URLs, headers, body, result, timeline.
    out.reserve(640 + (body ? body->size() : 0) + resultText.size() +
                (request ? 2 * request->url.size() : 0) + (response ? 64 * response->headers.size() : 0));
    out += "[Request]: ";
    if (request) {
        out += request->httpMethod ? std::string_view(*request->httpMethod) : std::string_view("GET");
        out += ' ';
        appendRedactedURL(out, request->url);
    } else {
        out += "nil";
    }
    out += "\n[Request Body]: \n";
    out += request && request->httpBody ? bodyText(*request->httpBody, kMaxLoggedBytes) : std::string("None");
    out += "\n[Response]: ";
    if (response && response->url.find('?') == std::string::npos)
        response->appendDescription(out, response->url);
    else if (response)
        response->appendDescription(out, redactedURL(response->url));
    else
        out += "nil";
    out += "\n[Response Body]: \n";
    if (body)
        out += *body;
    else
        out += "None";
    out += "\n[Result]: ";
    out += resultKind;
    out += resultText;
    out += "\n[Timeline]: ";
    timeline.appendDebugDescription(out);
    return out;
}

std::optional<std::string> charsetOf(const HTTPURLResponse* response) {
    if (!response)
        return std::nullopt;
    auto type = response->value("Content-Type");
    if (!type)
        return std::nullopt;
    std::string lower = *type;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    auto pos = lower.find("charset=");
    if (pos == std::string::npos)
        return std::nullopt;
    std::string cs = lower.substr(pos + 8);
    cs = cs.substr(0, cs.find_first_of("; "));
    cs.erase(std::remove(cs.begin(), cs.end(), '"'), cs.end());
    return cs;
}

std::string latin1ToUtf8(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (unsigned char c : in) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}
} // namespace

std::optional<nlohmann::json> parseJSON(std::string_view data, JSONReadingOptions options,
                                        std::string* error) {
    nlohmann::json result;
    RecordingParser parser(result);
    const bool ok =
        nlohmann::json::sax_parse(data, &parser, nlohmann::json::input_format_t::json, true, false);
    if (!ok || result.is_discarded()) {
        if (error)
            *error = parser.message.empty() ? "The data is not valid JSON." : parser.message;
        return std::nullopt;
    }
    if (options == JSONReadingOptions::none && !result.is_structured()) {
        if (error)
            *error = "The top level of the JSON text is not an object or an array.";
        return std::nullopt;
    }
    return result;
}

ResponseSerializer<nlohmann::json> jsonResponseSerializer(JSONReadingOptions options) {
    return [options](const URLRequest*, const HTTPURLResponse* response, const std::string* data,
                     const Error* error) -> Result<nlohmann::json> {
        if (error)
            return Result<nlohmann::json>::failure(*error);
        if (isEmptyBodyStatus(response))
            return Result<nlohmann::json>::success(nullptr);
        if (!data || data->empty())
            return Result<nlohmann::json>::failure(
                HTTPClientError::responseSerializationFailed(RS::inputDataNilOrZeroLength));
        std::string why;
        auto json = parseJSON(*data, options, &why);
        if (!json)
            return Result<nlohmann::json>::failure(
                HTTPClientError::responseSerializationFailed(RS::jsonSerializationFailed, why));
        return Result<nlohmann::json>::success(std::move(*json));
    };
}

namespace {
// What the byte and text serializers share: an earlier error, the empty-body statuses, no body.
std::optional<Result<std::string>> bytesPreamble(const HTTPURLResponse* response, const std::string* data,
                                                 const Error* error) {
    if (error)
        return Result<std::string>::failure(*error);
    if (isEmptyBodyStatus(response))
        return Result<std::string>::success({});
    if (!data)
        return Result<std::string>::failure(HTTPClientError::responseSerializationFailed(RS::inputDataNil));
    return std::nullopt;
}
} // namespace

ResponseSerializer<std::string> dataResponseSerializer() {
    return [](const URLRequest*, const HTTPURLResponse* response, const std::string* data,
              const Error* error) -> Result<std::string> {
        if (auto early = bytesPreamble(response, data, error))
            return std::move(*early);
        return Result<std::string>::success(*data);
    };
}

ResponseSerializer<std::string> stringResponseSerializer() {
    return [](const URLRequest*, const HTTPURLResponse* response, const std::string* data,
              const Error* error) -> Result<std::string> {
        if (auto early = bytesPreamble(response, data, error))
            return std::move(*early);
        const auto charset = charsetOf(response);
        if (!charset || *charset == "utf-8" || *charset == "utf8") {
            if (isValidUtf8(*data))
                return Result<std::string>::success(*data);
            if (charset)
                return Result<std::string>::failure(
                    HTTPClientError::responseSerializationFailed(RS::stringSerializationFailed, "utf-8"));
            return Result<std::string>::success(latin1ToUtf8(*data)); // no charset named: Latin-1
        }
        if (*charset == "iso-8859-1" || *charset == "latin1")
            return Result<std::string>::success(latin1ToUtf8(*data));
        if (*charset == "us-ascii" && std::all_of(data->begin(), data->end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x80;
            }))
            return Result<std::string>::success(*data);
        return Result<std::string>::failure(
            HTTPClientError::responseSerializationFailed(RS::stringSerializationFailed, *charset));
    };
}

std::string describeValue(const nlohmann::json& value) {
    return loggedValue(value, kMaxLoggedBytes);
}

std::string describeValue(const std::string& value) {
    return bodyText(value, kMaxLoggedBytes);
}

std::string debugDescription(const std::optional<URLRequest>& request,
                             const std::optional<HTTPURLResponse>& response, const std::string* data,
                             const std::string& resultText, const Timeline& timeline) {
    std::optional<std::string> body;
    if (data)
        body = bodyText(*data, kMaxLoggedBytes);
    return describe(request, response, body, {}, resultText, timeline);
}

std::string jsonDebugDescription(const DataResponse<nlohmann::json>& r, bool valueFromBody,
                                 std::size_t limit) {
    const nlohmann::json* value = r.result.value();
    if (!value) {
        std::optional<std::string> body;
        if (r.data)
            body = bodyText(*r.data, limit);
        return describe(r.request, r.response, body, "FAILURE: ", r.result.error()->localizedDescription(),
                        r.timeline);
    }
    // A body the value was parsed from is valid UTF-8 and holds a secret only where the value does:
    // without one, its text is the value's own and serves both lines, with nothing to dump.
    const bool bodyIsValue = valueFromBody && r.data && !r.data->empty() && r.data->size() <= limit &&
                             !isEmptyBodyStatus(r.response ? &*r.response : nullptr);
    if (bodyIsValue && !platform::holdsSecretField(*value))
        return describe(r.request, r.response, std::string_view(*r.data), "SUCCESS: ", jsonTrimmed(*r.data),
                        r.timeline);
    // Otherwise the value is redacted and dumped once, for the result and, when it is the body, for
    // the body too.
    const std::string valueText = loggedValue(*value, limit);
    std::optional<std::string> cutBody;
    std::optional<std::string_view> body;
    if (bodyIsValue)
        body = std::string_view(valueText);
    else if (r.data)
        body = cutBody.emplace(bodyText(*r.data, limit));
    return describe(r.request, r.response, body, "SUCCESS: ", valueText, r.timeline);
}

} // namespace nimo::http
