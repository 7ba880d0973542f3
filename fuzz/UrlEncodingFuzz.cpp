// URL encoding of peer- or user-controlled text and parameters: escaping, query building and the
// request encoders must take any bytes and any JSON shape.
#include "http/ParameterEncoding.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace nimo::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    (void)URLEncoding::escape(input);

    // The input as JSON parameters when it parses, else as one text value.
    auto parsed = nlohmann::json::parse(input, nullptr, false);
    const nlohmann::json params =
        !parsed.is_discarded() && parsed.is_object() ? parsed : nlohmann::json{{"q", input}, {"n", size}};
    (void)URLEncoding::defaultEncoding().query(params);
    for (const char* method : {"GET", "POST", "DELETE"}) {
        URLRequest request;
        request.url = "http://h/p?x=" + URLEncoding::escape(input.substr(0, 64));
        request.httpMethod = method;
        (void)URLEncoding::defaultEncoding().encode(request, params);
        (void)URLEncoding::queryString().encode(request, params);
        (void)URLEncoding::httpBody().encode(request, params);
    }
    return 0;
}
