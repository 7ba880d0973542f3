#include "http/HTTPClientError.h"

namespace nimo::http {

namespace {
std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? "," : "") + parts[i];
    return out;
}

using K = HTTPClientError::Kind;
using PE = HTTPClientError::ParameterEncodingFailureReason;
using ME = HTTPClientError::MultipartEncodingFailureReason;
using RV = HTTPClientError::ResponseValidationFailureReason;
using RS = HTTPClientError::ResponseSerializationFailureReason;
} // namespace

HTTPClientError HTTPClientError::invalidURL(std::string url) {
    HTTPClientError e(K::invalidURL, 0);
    e.url_ = std::move(url);
    return e;
}

HTTPClientError HTTPClientError::parameterEncodingFailed(ParameterEncodingFailureReason reason,
                                                         std::string underlying) {
    HTTPClientError e(K::parameterEncodingFailed, static_cast<int>(reason));
    e.detail_ = std::move(underlying);
    return e;
}

HTTPClientError HTTPClientError::multipartEncodingFailed(MultipartEncodingFailureReason reason,
                                                         std::string url, std::string underlying) {
    HTTPClientError e(K::multipartEncodingFailed, static_cast<int>(reason));
    e.url_ = std::move(url);
    e.detail_ = std::move(underlying);
    return e;
}

HTTPClientError HTTPClientError::dataFileNil() {
    return HTTPClientError(K::responseValidationFailed, static_cast<int>(RV::dataFileNil));
}

HTTPClientError HTTPClientError::dataFileReadFailed(std::string url) {
    HTTPClientError e(K::responseValidationFailed, static_cast<int>(RV::dataFileReadFailed));
    e.url_ = std::move(url);
    return e;
}

HTTPClientError HTTPClientError::missingContentType(std::vector<std::string> acceptable) {
    HTTPClientError e(K::responseValidationFailed, static_cast<int>(RV::missingContentType));
    e.acceptable_ = std::move(acceptable);
    return e;
}

HTTPClientError HTTPClientError::unacceptableContentType(std::vector<std::string> acceptable,
                                                         std::string responseType) {
    HTTPClientError e(K::responseValidationFailed, static_cast<int>(RV::unacceptableContentType));
    e.acceptable_ = std::move(acceptable);
    e.detail_ = std::move(responseType);
    return e;
}

HTTPClientError HTTPClientError::unacceptableStatusCode(int code) {
    HTTPClientError e(K::responseValidationFailed, static_cast<int>(RV::unacceptableStatusCode));
    e.code_ = code;
    return e;
}

HTTPClientError HTTPClientError::responseSerializationFailed(ResponseSerializationFailureReason reason,
                                                             std::string detail) {
    HTTPClientError e(K::responseSerializationFailed, static_cast<int>(reason));
    if (reason == RS::inputFileReadFailed)
        e.url_ = detail;
    e.detail_ = std::move(detail);
    return e;
}

std::optional<PE> HTTPClientError::parameterEncodingReason() const {
    return kind_ == K::parameterEncodingFailed ? std::optional(static_cast<PE>(reason_)) : std::nullopt;
}
std::optional<ME> HTTPClientError::multipartEncodingReason() const {
    return kind_ == K::multipartEncodingFailed ? std::optional(static_cast<ME>(reason_)) : std::nullopt;
}
std::optional<RV> HTTPClientError::validationReason() const {
    return kind_ == K::responseValidationFailed ? std::optional(static_cast<RV>(reason_)) : std::nullopt;
}
std::optional<RS> HTTPClientError::serializationReason() const {
    return kind_ == K::responseSerializationFailed ? std::optional(static_cast<RS>(reason_)) : std::nullopt;
}

std::string HTTPClientError::localizedDescription() const {
    switch (kind_) {
    case K::invalidURL:
        return "URL is not valid: " + url_;
    case K::parameterEncodingFailed:
        switch (static_cast<PE>(reason_)) {
        case PE::missingURL:
            return "URL request to encode was missing a URL";
        case PE::jsonEncodingFailed:
            return "JSON could not be encoded because of error:\n" + detail_;
        case PE::propertyListEncodingFailed:
            return "PropertyList could not be encoded because of error:\n" + detail_;
        }
        break;
    case K::multipartEncodingFailed:
        switch (static_cast<ME>(reason_)) {
        case ME::bodyPartURLInvalid:
            return "The URL provided is not a file URL: " + url_;
        case ME::bodyPartFilenameInvalid:
            return "The URL provided does not have a valid filename: " + url_;
        case ME::bodyPartFileNotReachable:
            return "The URL provided is not reachable: " + url_;
        case ME::bodyPartFileNotReachableWithError:
            return "The system returned an error while checking the provided URL for "
                   "reachability.\nURL: " +
                   url_ + "\nError: " + detail_;
        case ME::bodyPartFileIsDirectory:
            return "The URL provided is a directory: " + url_;
        case ME::bodyPartFileSizeNotAvailable:
            return "Could not fetch the file size from the provided URL: " + url_;
        case ME::bodyPartFileSizeQueryFailedWithError:
            return "The system returned an error while attempting to fetch the file size from the "
                   "provided URL.\nURL: " +
                   url_ + "\nError: " + detail_;
        case ME::bodyPartInputStreamCreationFailed:
            return "Failed to create an InputStream for the provided URL: " + url_;
        case ME::outputStreamCreationFailed:
            return "Failed to create an OutputStream for URL: " + url_;
        case ME::outputStreamFileAlreadyExists:
            return "A file already exists at the provided URL: " + url_;
        case ME::outputStreamURLInvalid:
            return "The provided OutputStream URL is invalid: " + url_;
        case ME::outputStreamWriteFailed:
            return "OutputStream write failed with error: " + detail_;
        case ME::inputStreamReadFailed:
            return "InputStream read failed with error: " + detail_;
        }
        break;
    case K::responseValidationFailed:
        switch (static_cast<RV>(reason_)) {
        case RV::dataFileNil:
            return "Response could not be validated, data file was nil.";
        case RV::dataFileReadFailed:
            return "Response could not be validated, data file could not be read: " + url_ + ".";
        case RV::missingContentType:
            return "Response Content-Type was missing and acceptable content types (" + joined(acceptable_) +
                   ") do not match \"*/*\".";
        case RV::unacceptableContentType:
            return "Response Content-Type \"" + detail_ +
                   "\" does not match any acceptable types: " + joined(acceptable_) + ".";
        case RV::unacceptableStatusCode:
            return "Response status code was unacceptable: " + std::to_string(code_) + ".";
        }
        break;
    case K::responseSerializationFailed:
        switch (static_cast<RS>(reason_)) {
        case RS::inputDataNil:
            return "Response could not be serialized, input data was nil.";
        case RS::inputDataNilOrZeroLength:
            return "Response could not be serialized, input data was nil or zero length.";
        case RS::inputFileNil:
            return "Response could not be serialized, input file was nil.";
        case RS::inputFileReadFailed:
            return "Response could not be serialized, input file could not be read: " + url_ + ".";
        case RS::stringSerializationFailed:
            return "String could not be serialized with encoding: " + detail_ + ".";
        case RS::jsonSerializationFailed:
            return "JSON could not be serialized because of error:\n" + detail_;
        case RS::propertyListSerializationFailed:
            return "PropertyList could not be serialized because of error:\n" + detail_;
        }
        break;
    }
    return {};
}

std::string TransportError::localizedDescription() const {
    switch (kind) {
    case TransportErrorKind::ConnectionRefused:
        return "Could not connect to the server.";
    case TransportErrorKind::TimedOut:
        return "The request timed out.";
    case TransportErrorKind::NoRoute:
        return "The network is unreachable.";
    case TransportErrorKind::NameNotResolved:
        return "A server with that host name could not be found.";
    case TransportErrorKind::TLS:
        return "A secure connection to the server could not be made.";
    case TransportErrorKind::ConnectionLost:
        return "The network connection was lost.";
    case TransportErrorKind::ResponseTooLarge:
        return "The response is larger than allowed.";
    case TransportErrorKind::Cancelled:
        return "cancelled";
    case TransportErrorKind::Unavailable:
        return "The network library could not be loaded: " + detail;
    case TransportErrorKind::Other:
        break;
    }
    return detail.empty() ? std::string("An unknown network error occurred.") : detail;
}

bool TransportError::isConnectionFailure() const {
    switch (kind) {
    case TransportErrorKind::ConnectionRefused:
    case TransportErrorKind::TimedOut:
    case TransportErrorKind::NoRoute:
    case TransportErrorKind::NameNotResolved:
    case TransportErrorKind::TLS:
        return true;
    default:
        return false;
    }
}

std::string Error::localizedDescription() const {
    if (auto* t = transport())
        return t->localizedDescription();
    return clientError()->localizedDescription();
}

} // namespace nimo::http
