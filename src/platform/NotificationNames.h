#pragma once

namespace nimo {

// No object; posted by the running-mode actions so every check mark follows.
inline constexpr const char* NOTIFY_UPDATE_RUNNING_MODE_MENU = "NOTIFY_UPDATE_RUNNING_MODE_MENU";
// Object: the failure text (QString), which the main screen shows as a toast.
inline constexpr const char* NOTIFY_VPNActivation_Failed = "NOTIFY_VPNActivation_Failed";

} // namespace nimo
