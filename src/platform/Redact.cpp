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

namespace {
bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}

// Replaces the JSON-style value that starts at pos (after the colon and blanks) with a redacted
// string; returns where scanning goes on.
std::size_t redactValueAt(std::string& out, std::size_t pos) {
    if (pos >= out.size())
        return pos;
    std::size_t end = pos;
    if (out[pos] == '"') {
        end = pos + 1;
        while (end < out.size() && out[end] != '"')
            end += out[end] == '\\' ? 2 : 1;
        end = std::min(end + 1, out.size());
    } else {
        while (end < out.size() && out[end] != ',' && out[end] != '}' && out[end] != ']' &&
               out[end] != '\n' && out[end] != '&' && out[end] != ' ')
            ++end;
    }
    const std::string replacement = std::string("\"") + kRedacted + "\"";
    out.replace(pos, end - pos, replacement);
    return pos + replacement.size();
}
} // namespace

std::string redactedText(std::string_view text) {
    std::string out = withoutUrlCredentials(text);
    std::size_t i = 0;
    while (i < out.size()) {
        // A field name: a run of name characters, quoted or not, then ':' (JSON) or '=' (form).
        if (!isNameChar(out[i]) || (i > 0 && isNameChar(out[i - 1]))) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < out.size() && isNameChar(out[end]))
            ++end;
        const std::string_view name(out.data() + i, end - i);
        if (!isSecretField(name)) {
            i = end;
            continue;
        }
        std::size_t j = end;
        if (j < out.size() && out[j] == '"')
            ++j;
        while (j < out.size() && (out[j] == ' ' || out[j] == '\t'))
            ++j;
        if (j < out.size() && (out[j] == ':' || out[j] == '=')) {
            const bool form = out[j] == '=';
            ++j;
            while (!form && j < out.size() && (out[j] == ' ' || out[j] == '\t' || out[j] == '\n'))
                ++j;
            if (form) {
                std::size_t stop = j;
                while (stop < out.size() && out[stop] != '&' && out[stop] != ' ' && out[stop] != '\n' &&
                       out[stop] != '"' && out[stop] != '<')
                    ++stop;
                out.replace(j, stop - j, kRedacted);
                i = j + std::string_view(kRedacted).size();
            } else {
                i = redactValueAt(out, j);
            }
            continue;
        }
        i = end;
    }
    return out;
}

std::string withoutUrlCredentials(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t scheme = text.find("://", pos);
        if (scheme == std::string_view::npos) {
            out.append(text.substr(pos));
            return out;
        }
        const std::size_t authority = scheme + 3;
        out.append(text.substr(pos, authority - pos));
        std::size_t end = authority;
        while (end < text.size() &&
               std::string_view("/?#\"' <>\n\r\t").find(text[end]) == std::string_view::npos)
            ++end;
        const std::string_view host = text.substr(authority, end - authority);
        const std::size_t at = host.rfind('@');
        out.append(at == std::string_view::npos ? host : host.substr(at + 1));
        pos = end;
    }
}

std::string truncatedText(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return std::string(text);
    std::size_t cut = maxBytes;
    // Step back over continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut)) + "…";
}

} // namespace nimo::platform
