#pragma once

#include "tunnel/TunnelTypes.h"

#include <QByteArray>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// Wire helpers shared by the tunnel-service client, nimo-tunneld and the provider. The protocol is
// described in docs/tunnel-protocol.md.
namespace nimo::tunnelproto {

inline constexpr int kVersion = 1;
inline constexpr const char* kServiceName = "nimo-tunneld";
inline constexpr const char* kErrorDomain = "nimo-tunneld";
// Longest line either side accepts; a longer one is discarded up to its newline and answered with an
// error.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// Error codes of the "nimo-tunneld" domain.
enum ErrorCode : int {
    BadRequest = 1,            // not JSON, not an object, or a field of the wrong type
    UnknownOperation = 2,      // "op" names nothing the service does
    LineTooLong = 3,           // a line over kMaxLineBytes
    NotFound = 4,              // no configuration with that identifier
    StorageFailed = 5,         // the state directory could not be written
    ExtensionMissing = 6,      // no installed extension for the provider bundle identifier
    ProviderFailed = 7,        // the provider could not be launched
    ConfigurationDisabled = 8, // start of a configuration that is not enabled
    Busy = 9,                  // the session is stopping, or too many messages are waiting
    Forbidden = 10,            // the peer's user is not served
    PackageInvalid = 11,       // activation: package missing, unreadable or for another identifier
    RequestCanceled = 12,      // activation: the requester declined the replacement
    InstallFailed = 13,        // activation: copying the package failed
    ServiceUnavailable = 20,   // client side: the socket does not answer and the service did not start
    ConnectionLost = 21,       // client side: the service closed the connection
    Untrusted = 22,            // client side: the socket, its folder or the peer is not the user's own
};

TunnelError makeError(int code, std::string description);
nlohmann::json toJson(const TunnelError& error);
// A missing or malformed error object gives a generic description.
TunnelError errorFromJson(const nlohmann::json& value);

// One JSON value as a wire line (compact, invalid UTF-8 replaced, trailing newline).
QByteArray encodeLine(const nlohmann::json& value);

// Splits a byte stream into lines without ever holding more than kMaxLineBytes of one line.
class LineBuffer {
public:
    struct Line {
        std::string text;
        bool overflowed = false; // the line was longer than the limit; text is empty
    };
    explicit LineBuffer(std::size_t maxLine = kMaxLineBytes) : maxLine_(maxLine) {}
    // Appends bytes and returns the lines they complete, in order.
    std::vector<Line> feed(const char* data, std::size_t size);
    std::vector<Line> feed(const QByteArray& bytes) { return feed(bytes.constData(), bytes.size()); }
    std::size_t buffered() const { return partial_.size(); }

private:
    std::size_t maxLine_;
    std::string partial_;
    bool discarding_ = false;
};

// Provider message data travels base64-encoded.
std::string toBase64(const QByteArray& data);
std::optional<QByteArray> fromBase64(const nlohmann::json& value);

// Typed field reads: a value of another type counts as absent.
std::optional<std::string> stringField(const nlohmann::json& object, const char* key);
std::optional<std::int64_t> integerField(const nlohmann::json& object, const char* key);
std::optional<bool> boolField(const nlohmann::json& object, const char* key);

} // namespace nimo::tunnelproto
