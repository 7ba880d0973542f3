#include "platform/Redact.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace nimo::platform {

bool isSecretField(std::string_view name) {
    static constexpr std::array<std::string_view, 6> kSecret{"password",      "re_password", "token",
                                                             "authorization", "sub_uuid",    "subuuid"};
    // Asked for every header and every key of every logged reply: compare in place, no copy.
    for (std::string_view secret : kSecret)
        if (secret.size() == name.size() &&
            std::equal(secret.begin(), secret.end(), name.begin(),
                       [](char s, char c) { return s == std::tolower(static_cast<unsigned char>(c)); }))
            return true;
    return false;
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

bool holdsSecretField(const nlohmann::json& value) {
    // The containers are walked directly: the library's iterators switch on the type at every step.
    if (value.is_object()) {
        for (const auto& [key, member] : value.get_ref<const nlohmann::json::object_t&>())
            if (isSecretField(key) || holdsSecretField(member))
                return true;
    } else if (value.is_array()) {
        for (const auto& e : value.get_ref<const nlohmann::json::array_t&>())
            if (holdsSecretField(e))
                return true;
    }
    return false;
}

namespace {
constexpr auto kReplaceInvalid = nlohmann::json::error_handler_t::replace;

// Appends s quoted when it is printable ASCII, escaping only '"' and '\\' (what the library's dump
// writes for such text); false, with out unchanged, for anything else (control characters, other
// UTF-8, invalid bytes), which then goes through the library's own escaping.
bool appendPlainQuoted(std::string& out, std::string_view s) {
    const std::size_t mark = out.size();
    out += '"';
    std::size_t from = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c < 0x20 || c > 0x7e) {
            out.resize(mark);
            return false;
        }
        if (c == '"' || c == '\\') {
            out.append(s.data() + from, i - from);
            out += '\\';
            from = i;
        }
    }
    out.append(s.data() + from, s.size() - from);
    out += '"';
    return true;
}

template <class Int> void appendNumber(std::string& out, Int n) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

void appendRedacted(std::string& out, const nlohmann::json& value) {
    using T = nlohmann::json::value_t;
    switch (value.type()) {
    case T::object: {
        out += '{';
        bool first = true;
        for (const auto& [key, member] : value.get_ref<const nlohmann::json::object_t&>()) {
            if (!first)
                out += ',';
            first = false;
            if (!appendPlainQuoted(out, key))
                out += nlohmann::json(key).dump(-1, ' ', false, kReplaceInvalid);
            out += ':';
            if (isSecretField(key))
                appendPlainQuoted(out, kRedacted);
            else
                appendRedacted(out, member);
        }
        out += '}';
        return;
    }
    case T::array: {
        out += '[';
        bool first = true;
        for (const auto& e : value.get_ref<const nlohmann::json::array_t&>()) {
            if (!first)
                out += ',';
            first = false;
            appendRedacted(out, e);
        }
        out += ']';
        return;
    }
    case T::string:
        if (!appendPlainQuoted(out, value.get_ref<const std::string&>()))
            out += value.dump(-1, ' ', false, kReplaceInvalid);
        return;
    case T::boolean:
        out += value.get<bool>() ? "true" : "false";
        return;
    case T::null:
        out += "null";
        return;
    case T::number_integer:
        appendNumber(out, *value.get_ptr<const nlohmann::json::number_integer_t*>());
        return;
    case T::number_unsigned:
        appendNumber(out, *value.get_ptr<const nlohmann::json::number_unsigned_t*>());
        return;
    default: // floating point and the rest: the library's own form
        out += value.dump(-1, ' ', false, kReplaceInvalid);
    }
}
} // namespace

std::string redactedDump(const nlohmann::json& value) {
    std::string out;
    out.reserve(256);
    appendRedacted(out, value);
    return out;
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

// Length of the well-formed UTF-8 sequence at text[i] and its code point; 0 when there is none.
size_t utf8Sequence(std::string_view text, size_t i, char32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + n > text.size() || byte(i + 1) < lo || byte(i + 1) > hi)
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    return n;
}

// Code points that change how a terminal or a log viewer shows the rest of the line.
bool isInvisibleControl(char32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) || cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
}

} // namespace

std::string escapedForLog(std::string_view text, size_t maxBytes) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes) + 16);
    size_t i = 0;
    char buf[16];
    while (i < text.size()) {
        char32_t cp = 0;
        const size_t n = utf8Sequence(text, i, cp);
        if (out.size() + (n ? n : 1) > maxBytes)
            break;
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(text[i]));
            out += buf;
            ++i;
            continue;
        }
        if (cp == '\\') {
            out += "\\\\";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x20 || cp == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
            out += buf;
        } else if (isInvisibleControl(cp)) {
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
            out += buf;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    if (i < text.size())
        out += "...(+" + std::to_string(text.size() - i) + " bytes)";
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
