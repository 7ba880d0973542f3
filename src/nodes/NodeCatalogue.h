#pragma once

#include "tunnel/TunnelTypes.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimo {

class NimoShared;
class SettingsStore;

// Shown when no catalogue is cached yet (a first start).
inline constexpr std::array<const char*, 10> kDefaultNodeNames = {
    "香港", "日本", "美国", "新加坡", "德国", "韩国", "台湾", "巴西", "印度", "马来西亚"};

// The flag image of a node: the first country whose name the node's name contains.
std::string flagImageName(std::string_view name);

bool isAutoRoute(std::string_view selection);

// The current selection in the shared container; missing or not a text gives "".
std::string currentNodeSelection(const NimoShared& shared);

// A cached node list ("key.nimo.all.nodes", "key.nimo.sub.nodes"): none unless an array of texts.
// Trimmed like a fetched list, so an oversized cache costs no more than a fetched one.
std::optional<std::vector<std::string>> cachedNodeList(const SettingsStore& settings, const char* key);

} // namespace nimo
