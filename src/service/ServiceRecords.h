#pragma once

#include "service/SettingsStore.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimo {

// Where a user info record comes from: the two sources type "invitation_code" differently.
enum class UserInfoSource {
    signIn,  // the "user" object of a login or register answer: "invitation_code" is a string
    userInfo // the "data" of getUserInfo: "invitation_code" is an integer
};

// The flat record kept under "key.nimo.user.info": only "id", "user_name", "avatar",
// "invitation_code", "member_expiry_at" and "member_level", each only with its expected type.
nlohmann::json buildUserInfoRecord(const nlohmann::json& fields, UserInfoSource source);

// A token that cannot go into a header (a control character in it) is never stored or sent.
bool isSendableToken(std::string_view token);

// Login and register success. Stores "token" and the record built from "user" when present with
// their types. false (nothing stored) when data is not an object or its token is not sendable, and
// false when the settings file could not be written.
[[nodiscard]] bool storeSignInResult(SettingsStore& store, const nlohmann::json& data);

// getUserInfo success: the record built from data replaces the stored one. false (nothing stored)
// when data is not an object or the settings file could not be written.
bool storeUserInfo(SettingsStore& store, const nlohmann::json& data);

// Splits at every line break (LF, CR, CR LF as one, VT, FF, U+0085, U+2028, U+2029), keeping empty
// pieces: "a\nb\n" gives "a", "b", "".
std::vector<std::string> splitLines(std::string_view text);

// getPublicSetting success: "backend_url" (a text) split into lines replaces
// "key.nimo.backup.urls". false when data is not an object (the caller's follow-up is skipped).
[[nodiscard]] bool storePublicSetting(SettingsStore& store, const nlohmann::json& data);

// The first record of getCustomerServiceList; fields of another type are absent.
struct SubscriptionRecord {
    std::optional<std::int64_t> id;
    std::optional<std::int64_t> totalBandwidth; // bytes
    std::optional<std::int64_t> usedUp;
    std::optional<std::int64_t> usedDown;
    std::optional<bool> serviceStatus; // false: membership expired
    std::optional<bool> subStatus;     // false: traffic allowance used up
    std::optional<std::string> subUuid;
};

// None unless data is a non-empty array whose first element is an object.
std::optional<SubscriptionRecord> decodeSubscription(const nlohmann::json& data);

// Remaining traffic as shown ("10.0 G", "1024.0 M", "-5.0 M"); none unless the three traffic
// figures are all present.
std::optional<std::string> remainingTrafficText(const SubscriptionRecord& record);

// getNodeNames "data": none unless an array of texts only.
std::optional<std::vector<std::string>> decodeNodeNames(const nlohmann::json& data);
// getSubscribeNodeList "data": none unless an array; the "remarks" texts of its non-empty objects.
std::optional<std::vector<std::string>> decodeSubscribeNodes(const nlohmann::json& data);

// How much of a node list the client takes in. A name is shown, matched, stored and sent whole, so
// one over the limit is left out rather than cut.
inline constexpr size_t kMaxNodeNames = 10000; // the provider takes as many servers (docs/tunnel-protocol.md)
inline constexpr size_t kMaxNodeNameBytes = 256;
struct NodeListTrim {
    size_t tooLong = 0;   // names over kMaxNodeNameBytes
    size_t overCount = 0; // names after the first kMaxNodeNames kept
    size_t dropped() const { return tooLong + overCount; }
};
// Drops what is over the limits (order kept) and says what went.
NodeListTrim trimNodeNames(std::vector<std::string>& names);
// "nodes.dropped: 3 of 10003 (0 over 256 bytes, 3 past the first 10000)".
std::string describeTrim(const NodeListTrim& trim, size_t total);

} // namespace nimo
