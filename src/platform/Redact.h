#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace nimo::platform {

inline constexpr const char* kRedacted = "<redacted>";

// Fields whose values never reach a log line in clear: password, re_password, token, authorization,
// and the subscription identifier sub_uuid / subuuid (case-insensitive).
bool isSecretField(std::string_view name);

// Copy of value with every secret field (at any depth) replaced by "<redacted>".
nlohmann::json redacted(const nlohmann::json& value);

// The same for a form or query text "a=1&password=x": secret values become "<redacted>".
std::string redactedForm(std::string_view text);

} // namespace nimo::platform
