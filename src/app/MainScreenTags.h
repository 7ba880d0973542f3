#pragma once

namespace nimo {

// The tags of the main screen's buttons; onTapButton dispatches on them.
enum class MainScreenTag : int {
    Close = 1,           // title strip: close the window
    Minimize = 2,        // title strip: minimise the window
    CustomerChat = 3,    // title strip: the operator's chat page
    Login = 168,         // ttbarLoginButton
    LoginTips = 169,     // ttbarTips (no action)
    Account = 170,       // ttbarAccoutButton: reload the user info
    Start = 1000,        // startProxyButton: connect or disconnect
    NodeRemark = 1001,   // nodeRemarkLabel: the route page
    RuleMode = 1002,     // home page "智能模式"
    GlobalMode = 1003,   // home page "全局模式"
    HomeTab = 1100,      // home tab "网络加速" (marks the page)
    FirstHomeTab = 1101, // home tabs 1101 … 1104: a page of the second container
    LastHomeTab = 1104,  //
    FirstToolbar = 2000, // toolbar buttons 2000 … 2005: showPage(tag − 2000)
    LastToolbar = 2005,  //
};

constexpr int tagValue(MainScreenTag tag) {
    return static_cast<int>(tag);
}

} // namespace nimo
