#include "service/ServiceRecords.h"

#include "platform/Log.h"
#include "service/UserDefaultsCacheKeys.h"

#include <charconv>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;
using nlohmann::json;

namespace {

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

void copyIf(const json& from, json& to, const char* key, bool (json::*typeTest)() const noexcept) {
    if (const json* v = member(from, key); v && (v->*typeTest)())
        to[key] = *v;
}

std::optional<std::int64_t> integer(const json& object, const char* key) {
    const json* v = member(object, key);
    if (!v || !v->is_number_integer())
        return std::nullopt;
    if (v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return v->get<std::int64_t>();
}

std::string oneDecimal(double value, const char* unit) {
    // to_chars ignores the process locale, which the GUI sets from the environment.
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    if (ec != std::errc())
        return std::string("0.0 ") + unit;
    return std::string(buf, end) + " " + unit;
}

} // namespace

json buildUserInfoRecord(const json& fields, UserInfoSource source) {
    json record = json::object();
    if (!fields.is_object())
        return record;
    copyIf(fields, record, "id", &json::is_number_integer);
    copyIf(fields, record, "user_name", &json::is_string);
    copyIf(fields, record, "avatar", &json::is_string);
    copyIf(fields, record, "invitation_code",
           source == UserInfoSource::signIn ? &json::is_string : &json::is_number_integer);
    copyIf(fields, record, "member_expiry_at", &json::is_string);
    copyIf(fields, record, "member_level", &json::is_number_integer);
    return record;
}

bool isSendableToken(std::string_view token) {
    for (unsigned char c : token)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// False when the settings file could not take the record: the caller must not report success.
static bool storeRecord(SettingsStore& store, const json& record) {
    bool ok = true;
    if (const json* name = member(record, "user_name"))
        ok = store.set(keys::userAccount, *name);
    return store.set(keys::userInfo, record) && ok;
}

bool storeSignInResult(SettingsStore& store, const json& data) {
    if (!data.is_object())
        return false;
    const json* token = member(data, "token");
    if (token && token->is_string() && !isSendableToken(token->get_ref<const std::string&>())) {
        platform::consoleLog("token refused: it holds a control character");
        return false;
    }
    bool stored = true;
    if (token && token->is_string())
        stored = store.set(keys::apiToken, *token);
    if (const json* user = member(data, "user"); user && user->is_object())
        stored = storeRecord(store, buildUserInfoRecord(*user, UserInfoSource::signIn)) && stored;
    if (!stored)
        platform::consoleLog("sign-in could not be stored: the settings file is not writable");
    return stored;
}

bool storeUserInfo(SettingsStore& store, const json& data) {
    if (!data.is_object())
        return false;
    return storeRecord(store, buildUserInfoRecord(data, UserInfoSource::userInfo));
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = text[i];
        size_t breakLength = 0;
        if (c == '\r')
            breakLength = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        else if (c == '\n' || c == 0x0b || c == 0x0c)
            breakLength = 1;
        else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85)
            breakLength = 2; // U+0085
        else if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                 (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                  static_cast<unsigned char>(text[i + 2]) == 0xa9))
            breakLength = 3; // U+2028, U+2029
        if (breakLength == 0) {
            current.push_back(static_cast<char>(c));
            continue;
        }
        lines.push_back(std::move(current));
        current.clear();
        i += breakLength - 1;
    }
    lines.push_back(std::move(current));
    return lines;
}

bool storePublicSetting(SettingsStore& store, const json& data) {
    if (!data.is_object()) {
        platform::consoleLog("错误的数据格式");
        return false;
    }
    if (const json* urls = member(data, "backend_url"); urls && urls->is_string())
        (void)store.set(keys::backupUrls, splitLines(urls->get_ref<const std::string&>()));
    return true;
}

std::optional<SubscriptionRecord> decodeSubscription(const json& data) {
    if (!data.is_array() || data.empty() || !data.front().is_object())
        return std::nullopt;
    const json& first = data.front();
    SubscriptionRecord record;
    record.id = integer(first, "id");
    record.totalBandwidth = integer(first, "total_bandwidth");
    record.usedUp = integer(first, "used_up");
    record.usedDown = integer(first, "used_down");
    if (const json* v = member(first, "service_status"); v && v->is_boolean())
        record.serviceStatus = v->get<bool>();
    if (const json* v = member(first, "sub_status"); v && v->is_boolean())
        record.subStatus = v->get<bool>();
    if (const json* v = member(first, "sub_uuid"); v && v->is_string())
        record.subUuid = v->get<std::string>();
    return record;
}

std::optional<std::string> remainingTrafficText(const SubscriptionRecord& record) {
    if (!record.totalBandwidth || !record.usedUp || !record.usedDown)
        return std::nullopt;
    // Exact in 64 bits when it fits; hostile figures fall back to floating point, never overflow.
    std::int64_t remaining = 0;
    double bytes = 0;
    if (!__builtin_sub_overflow(*record.totalBandwidth, *record.usedUp, &remaining) &&
        !__builtin_sub_overflow(remaining, *record.usedDown, &remaining))
        bytes = static_cast<double>(remaining);
    else
        bytes = static_cast<double>(*record.totalBandwidth) - static_cast<double>(*record.usedUp) -
                static_cast<double>(*record.usedDown);
    const double mib = bytes / 1024.0 / 1024.0;
    if (mib >= 1024)
        return oneDecimal(mib / 1024.0, "G");
    return oneDecimal(mib, "M");
}

std::optional<std::vector<std::string>> decodeNodeNames(const json& data) {
    if (!data.is_array())
        return std::nullopt;
    std::vector<std::string> names;
    for (const json& e : data) {
        if (!e.is_string())
            return std::nullopt;
        names.push_back(e.get<std::string>());
    }
    return names;
}

std::optional<std::vector<std::string>> decodeSubscribeNodes(const json& data) {
    if (!data.is_array())
        return std::nullopt;
    std::vector<std::string> names;
    for (const json& e : data) {
        if (!e.is_object() || e.empty())
            continue;
        if (const json* remarks = member(e, "remarks"); remarks && remarks->is_string())
            names.push_back(remarks->get<std::string>());
    }
    return names;
}

NodeListTrim trimNodeNames(std::vector<std::string>& names) {
    NodeListTrim trim;
    size_t kept = 0;
    for (std::string& name : names) {
        if (name.size() > kMaxNodeNameBytes) {
            ++trim.tooLong;
        } else if (kept == kMaxNodeNames) {
            ++trim.overCount;
        } else {
            if (&names[kept] != &name)
                names[kept] = std::move(name);
            ++kept;
        }
    }
    names.resize(kept);
    return trim;
}

std::string describeTrim(const NodeListTrim& trim, size_t total) {
    return "nodes.dropped: " + std::to_string(trim.dropped()) + " of " + std::to_string(total) + " (" +
           std::to_string(trim.tooLong) + " over " + std::to_string(kMaxNodeNameBytes) + " bytes, " +
           std::to_string(trim.overCount) + " past the first " + std::to_string(kMaxNodeNames) + ")";
}

} // namespace nimo
