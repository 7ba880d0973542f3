#include "platform/Redact.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace nimo::platform {

bool isSecretField(std::string_view name) {
    static constexpr std::array<std::string_view, 6> kSecret{"password",      "re_password", "token",
                                                             "authorization", "sub_uuid",    "subuuid"};
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return std::find(kSecret.begin(), kSecret.end(), lower) != kSecret.end();
}

nlohmann::json redacted(const nlohmann::json& value) {
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto it = value.begin(); it != value.end(); ++it)
            out[it.key()] = isSecretField(it.key()) ? nlohmann::json(kRedacted) : redacted(it.value());
        return out;
    }
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : value)
            out.push_back(redacted(e));
        return out;
    }
    return value;
}

std::string redactedForm(std::string_view text) {
    std::string out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string_view::npos)
            amp = text.size();
        std::string_view pair = text.substr(pos, amp - pos);
        size_t eq = pair.find('=');
        if (eq != std::string_view::npos && isSecretField(pair.substr(0, eq))) {
            out.append(pair.substr(0, eq + 1));
            out.append(kRedacted);
        } else {
            out.append(pair);
        }
        if (amp < text.size())
            out.push_back('&');
        pos = amp + 1;
    }
    return out;
}

} // namespace nimo::platform
