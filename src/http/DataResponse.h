#pragma once

#include "http/HTTPTypes.h"
#include "http/Result.h"
#include "http/Timeline.h"

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace nimo::http {

// What a completion handler gets.
template <class T> struct DataResponse {
    std::optional<URLRequest> request;       // what was sent; none when it could not be built
    std::optional<HTTPURLResponse> response; // none when no reply arrived
    std::shared_ptr<const std::string> data; // the body; null when no task ran
    Result<T> result;
    Timeline timeline;

    std::string debugDescription() const;
};

// A log shows this much of a body or a result; a longer one is cut and its size given instead.
inline constexpr std::size_t kMaxLoggedBytes = 16 * 1024;

// Printable form of a result value for the debug description (secrets redacted).
std::string describeValue(const nlohmann::json& value);
std::string describeValue(const std::string& value);

// The six lines "[Request]: ..." to "[Timeline]: ..."; secrets in the URL query, bodies, response
// headers and result are replaced with "<redacted>", and bodies are shown as UTF-8 (invalid bytes
// replaced).
std::string debugDescription(const std::optional<URLRequest>& request,
                             const std::optional<HTTPURLResponse>& response, const std::string* data,
                             const std::string& resultText, const Timeline& timeline);

// The same for a JSON reply, on one road that never parses the body again. When the value was read
// from the body as it stands (valueFromBody: the JSON serializer's own result, not a reshaped one),
// one text serves the body and the result lines: the body itself when it holds no secret, else the
// value redacted and dumped once. A body or value longer than limit is cut.
std::string jsonDebugDescription(const DataResponse<nlohmann::json>& response, bool valueFromBody,
                                 std::size_t limit = kMaxLoggedBytes);

template <class T> std::string DataResponse<T>::debugDescription() const {
    std::string resultText = result.isSuccess() ? "SUCCESS: " + describeValue(*result.value())
                                                : "FAILURE: " + result.error()->localizedDescription();
    return http::debugDescription(request, response, data.get(), resultText, timeline);
}

// Turns the outcome of a task into a value: request, response, body (null when none) and the
// request's error so far.
template <class T>
using ResponseSerializer = std::function<Result<T>(const URLRequest* request, const HTTPURLResponse* response,
                                                   const std::string* data, const Error* error)>;

enum class JSONReadingOptions {
    none,           // the top level must be an object or an array
    allowFragments, // any JSON value at the top level
};

// Status 204 and 205 mean "no body": success with JSON null whatever the body; an empty body is
// inputDataNilOrZeroLength; text that is not JSON is jsonSerializationFailed.
ResponseSerializer<nlohmann::json>
jsonResponseSerializer(JSONReadingOptions options = JSONReadingOptions::allowFragments);
// The body bytes as they are (empty for 204/205); inputDataNil when no body.
ResponseSerializer<std::string> dataResponseSerializer();
// The body as UTF-8 text; stringSerializationFailed when it is not valid UTF-8.
ResponseSerializer<std::string> stringResponseSerializer();

// Parses data as JSON without exceptions; on failure, none with *error set to a readable reason.
std::optional<nlohmann::json> parseJSON(std::string_view data, JSONReadingOptions options,
                                        std::string* error);

} // namespace nimo::http
