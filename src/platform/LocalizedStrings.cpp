#include "platform/LocalizedStrings.h"

#include <string_view>
#include <utility>

namespace nimo::platform {

namespace {
// zh_CN entries of the main bundle's string table.
constexpr std::pair<std::string_view, std::string_view> kZhCN[] = {
    {"Proxy: On", "代理：已开启"},
    {"Proxy: Off", "代理：已关闭"},
    {"Turn Proxy On", "开启代理"},
    {"Turn Proxy Off", "关闭代理"},
};
} // namespace

std::string localizedString(std::string_view key) {
    for (const auto& [k, v] : kZhCN)
        if (k == key)
            return std::string(v);
    return std::string(key);
}

} // namespace nimo::platform
