#include "nodes/NodeCatalogue.h"

#include "platform/Log.h"
#include "service/ServiceRecords.h"
#include "service/SettingsStore.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"

#include <utility>

namespace nimo {

namespace {
// First match wins: "印度尼西亚" must come before "印度".
constexpr std::array<std::pair<std::string_view, const char*>, 22> kFlags = {{
    {"巴西", "ic_country_bx"},          {"香港", "ic_country_hongkong"}, {"德国", "ic_country_germany"},
    {"俄罗斯", "ic_country_russia"},    {"法国", "ic_country_france"},   {"韩国", "ic_country_hg"},
    {"美国", "ic_country_america"},     {"墨西哥", "ic_country_mxg"},    {"日本", "ic_country_japan"},
    {"新加坡", "ic_country_singapore"}, {"印度尼西亚", "ic_country_yn"}, {"印度", "ic_country_yd"},
    {"英国", "ic_country_england"},     {"巴基斯坦", "ic_country_bjst"}, {"迪拜", "ic_country_db"},
    {"菲律宾", "ic_country_flb"},       {"马来西亚", "ic_country_mlxy"}, {"泰国", "ic_country_tg"},
    {"西班牙", "ic_country_spain"},     {"意大利", "ic_countryic_ydl"},  {"印尼", "ic_country_yn"},
    {"台湾", "ic_country_taiwan"},
}};
constexpr const char* kAutoFlag = "ic_country_auto";
} // namespace

std::string flagImageName(std::string_view name) {
    if (name.empty())
        return kAutoFlag;
    for (const auto& [country, image] : kFlags)
        if (name.find(country) != std::string_view::npos)
            return image;
    return kAutoFlag;
}

bool isAutoRoute(std::string_view selection) {
    return selection.empty() || selection == kAutoRouteNode;
}

std::string currentNodeSelection(const NimoShared& shared) {
    auto value = shared.get(kSharedNodeName);
    if (value && value->is_string())
        return value->get<std::string>();
    return {};
}

std::optional<std::vector<std::string>> cachedNodeList(const SettingsStore& settings, const char* key) {
    auto value = settings.array(key);
    if (!value)
        return std::nullopt;
    auto list = decodeNodeNames(*value);
    if (!list)
        return std::nullopt;
    const size_t total = list->size();
    const NodeListTrim trim = trimNodeNames(*list);
    if (trim.dropped() > 0)
        platform::consoleLog(describeTrim(trim, total));
    return list;
}

} // namespace nimo
