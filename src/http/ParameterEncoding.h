#pragma once

#include "http/HTTPTypes.h"
#include "http/Result.h"

#include <nlohmann/json.hpp>

namespace nimo::http {

// A dictionary of JSON-like values (a JSON object); null means "no parameters".
using Parameters = nlohmann::json;

// Puts parameters into a request. Errors come back as the failure of the result, never thrown.
class ParameterEncoding {
public:
    virtual ~ParameterEncoding() = default;
    virtual Result<URLRequest> encode(URLRequest request, const Parameters& parameters) const = 0;
};

// Form / query-string encoding. Parameters that are not an object are ignored.
class URLEncoding : public ParameterEncoding {
public:
    enum class Destination { methodDependent, queryString, httpBody };
    enum class ArrayEncoding { brackets, noBrackets };
    enum class BoolEncoding { numeric, literal };

    explicit URLEncoding(Destination destination_ = Destination::methodDependent,
                         ArrayEncoding arrayEncoding_ = ArrayEncoding::brackets,
                         BoolEncoding boolEncoding_ = BoolEncoding::numeric)
        : destination(destination_), arrayEncoding(arrayEncoding_), boolEncoding(boolEncoding_) {}

    static const URLEncoding& defaultEncoding();
    static const URLEncoding& queryString();
    static const URLEncoding& httpBody();

    Result<URLRequest> encode(URLRequest request, const Parameters& parameters) const override;

    // "a%5B%5D=1&a%5B%5D=2&b=1": keys sorted, keys and values escaped.
    std::string query(const Parameters& parameters) const;
    // Percent-encodes all but letters, digits, "-._~/?".
    static std::string escape(std::string_view text);

    Destination destination;
    ArrayEncoding arrayEncoding;
    BoolEncoding boolEncoding;

private:
    void appendComponents(std::string& out, const std::string& key, const nlohmann::json& value) const;
};

// JSON body with "Content-Type: application/json" unless the request has a Content-Type.
class JSONEncoding : public ParameterEncoding {
public:
    enum WritingOptions : unsigned { none = 0, prettyPrinted = 1 };

    explicit JSONEncoding(unsigned options_ = none) : options(options_) {}
    static const JSONEncoding& defaultEncoding(); // compact
    static const JSONEncoding& prettyPrintedEncoding();

    // Any JSON value other than null is sent, an array as well.
    Result<URLRequest> encode(URLRequest request, const Parameters& parameters) const override;

    unsigned options;
};

// Property-list body ("Content-Type: application/x-plist"); only the XML format is written.
class PropertyListEncoding : public ParameterEncoding {
public:
    enum class Format { xml, binary };

    explicit PropertyListEncoding(Format format_ = Format::xml, unsigned options_ = 0)
        : format(format_), options(options_) {}
    static const PropertyListEncoding& defaultEncoding();
    static const PropertyListEncoding& xml();

    Result<URLRequest> encode(URLRequest request, const Parameters& parameters) const override;

    Format format;
    unsigned options;
};

// XML property list of value; none with *error set when value holds what a property list cannot
// (null, text that is not UTF-8 or has control characters).
std::optional<std::string> xmlPropertyList(const nlohmann::json& value, std::string* error);

} // namespace nimo::http
