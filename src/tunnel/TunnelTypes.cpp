#include "tunnel/TunnelTypes.h"

#include "platform/LocalizedStrings.h"

namespace nimo {

const char* vpnStatusLogName(int status) {
    switch (status) {
    case 0:
        return "无效状态";
    case 1:
        return "已断开";
    case 2:
        return "连接中";
    case 3:
        return "已连接";
    case 4:
        return "重连中";
    case 5:
        return "断开中";
    default:
        return "未知状态";
    }
}

std::string statusMenuText(int status) {
    switch (status) {
    case 2:
        return "代理：连接中...";
    case 3:
    case 4:
        return platform::localizedString("Proxy: On");
    case 5:
        return "代理：正在断开...";
    default:
        return platform::localizedString("Proxy: Off");
    }
}

std::string runningModeFrom(const std::optional<nlohmann::json>& stored) {
    if (stored && stored->is_string())
        return stored->get<std::string>();
    return kTunModeRule;
}

} // namespace nimo
