#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace nimo::http {

// Failures of the layer itself: building, encoding, validating or decoding.
class HTTPClientError {
public:
    enum class Kind {
        invalidURL,
        parameterEncodingFailed,
        multipartEncodingFailed,
        responseValidationFailed,
        responseSerializationFailed,
    };
    enum class ParameterEncodingFailureReason { missingURL, jsonEncodingFailed, propertyListEncodingFailed };
    enum class MultipartEncodingFailureReason {
        bodyPartURLInvalid,
        bodyPartFilenameInvalid,
        bodyPartFileNotReachable,
        bodyPartFileNotReachableWithError,
        bodyPartFileIsDirectory,
        bodyPartFileSizeNotAvailable,
        bodyPartFileSizeQueryFailedWithError,
        bodyPartInputStreamCreationFailed,
        outputStreamCreationFailed,
        outputStreamFileAlreadyExists,
        outputStreamURLInvalid,
        outputStreamWriteFailed,
        inputStreamReadFailed,
    };
    enum class ResponseValidationFailureReason {
        dataFileNil,
        dataFileReadFailed,
        missingContentType,
        unacceptableContentType,
        unacceptableStatusCode,
    };
    enum class ResponseSerializationFailureReason {
        inputDataNil,
        inputDataNilOrZeroLength,
        inputFileNil,
        inputFileReadFailed,
        stringSerializationFailed,
        jsonSerializationFailed,
        propertyListSerializationFailed,
    };

    static HTTPClientError invalidURL(std::string url);
    // underlying: the description of the error behind jsonEncodingFailed / propertyListEncodingFailed.
    static HTTPClientError parameterEncodingFailed(ParameterEncodingFailureReason reason,
                                                   std::string underlying = {});
    // url: the URL the reason names; underlying: the error text of the *WithError / stream reasons.
    static HTTPClientError multipartEncodingFailed(MultipartEncodingFailureReason reason,
                                                   std::string url = {}, std::string underlying = {});
    static HTTPClientError dataFileNil();
    static HTTPClientError dataFileReadFailed(std::string url);
    static HTTPClientError missingContentType(std::vector<std::string> acceptable);
    static HTTPClientError unacceptableContentType(std::vector<std::string> acceptable,
                                                   std::string responseType);
    static HTTPClientError unacceptableStatusCode(int code);
    // detail: the URL (inputFileReadFailed), the encoding name (stringSerializationFailed) or the
    // underlying error's description (json/propertyList).
    static HTTPClientError responseSerializationFailed(ResponseSerializationFailureReason reason,
                                                       std::string detail = {});

    Kind kind() const { return kind_; }
    std::optional<ParameterEncodingFailureReason> parameterEncodingReason() const;
    std::optional<MultipartEncodingFailureReason> multipartEncodingReason() const;
    std::optional<ResponseValidationFailureReason> validationReason() const;
    std::optional<ResponseSerializationFailureReason> serializationReason() const;

    const std::string& url() const { return url_; }
    const std::string& underlyingDescription() const { return detail_; }
    int responseCode() const { return code_; }
    const std::vector<std::string>& acceptableContentTypes() const { return acceptable_; }
    const std::string& responseContentType() const { return detail_; }

    std::string localizedDescription() const;
    bool operator==(const HTTPClientError&) const = default;

private:
    HTTPClientError(Kind kind, int reason) : kind_(kind), reason_(reason) {}
    Kind kind_;
    int reason_;
    std::string url_;
    std::string detail_;
    int code_ = 0;
    std::vector<std::string> acceptable_;
};

// What the transport underneath reports, classified so callers can tell a dead host from a bad reply.
enum class TransportErrorKind {
    ConnectionRefused, // nothing listens, or the connection attempt was reset
    TimedOut,          // connect timeout, no-data deadline or the whole-request timeout
    NoRoute,           // host or network unreachable
    NameNotResolved,   // DNS failure
    TLS,               // handshake or certificate verification failed
    ConnectionLost,    // the peer closed or reset the connection mid-reply
    ResponseTooLarge,  // body or headers over the session's maximum
    Cancelled,         // cancel() or the session went away
    Unavailable,       // the transport library could not be loaded: nothing can be sent
    Other,
};

struct TransportError {
    TransportErrorKind kind = TransportErrorKind::Other;
    int curlCode = 0;   // CURLcode, 0 when not from libcurl
    std::string detail; // libcurl's own message, for logs

    // A readable sentence for the kind.
    std::string localizedDescription() const;
    // Refused, timed out, no route, name not resolved or TLS: the host is not usable.
    bool isConnectionFailure() const;
    bool operator==(const TransportError&) const = default;
};

// The failure side of every result.
class Error {
public:
    Error(HTTPClientError e) : value_(std::move(e)) {}
    Error(TransportError e) : value_(std::move(e)) {}

    bool isTransport() const { return std::holds_alternative<TransportError>(value_); }
    const TransportError* transport() const { return std::get_if<TransportError>(&value_); }
    const HTTPClientError* clientError() const { return std::get_if<HTTPClientError>(&value_); }
    std::string localizedDescription() const;
    bool operator==(const Error&) const = default;

private:
    std::variant<HTTPClientError, TransportError> value_;
};

} // namespace nimo::http
