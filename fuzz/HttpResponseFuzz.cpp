// Feeds peer-controlled bytes (reply headers and body) through everything the layer does with a
// reply: decoding, validation rules, the debug description, and re-encoding what was decoded.
#include "http/DataResponse.h"
#include "http/ParameterEncoding.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace nimo::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    // First line: a Content-Type; the rest: the body.
    const auto newline = input.find('\n');
    const std::string contentType = input.substr(0, newline);
    const std::string body = newline == std::string::npos ? std::string() : input.substr(newline + 1);

    HTTPURLResponse response{"http://h/p?token=x", 200, {{"Content-Type", contentType}}};
    (void)response.mimeType();
    (void)response.description();

    auto json = jsonResponseSerializer()(nullptr, &response, &body, nullptr);
    (void)stringResponseSerializer()(nullptr, &response, &body, nullptr);

    URLRequest request;
    request.url = "http://h/p";
    request.httpMethod = "POST";
    request.httpBody = body;
    DataResponse<nlohmann::json> r{request, response, std::make_shared<const std::string>(body), json,
                                   Timeline{}};
    (void)r.debugDescription();

    if (json.isSuccess()) {
        nlohmann::json params =
            json.value()->is_object() ? *json.value() : nlohmann::json{{"v", *json.value()}};
        (void)URLEncoding::defaultEncoding().encode(request, params);
        (void)JSONEncoding::defaultEncoding().encode(request, params);
        (void)PropertyListEncoding::defaultEncoding().encode(request, params);
    }
    return 0;
}
