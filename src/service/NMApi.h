#pragma once

#include "service/NetWorkTool.h"
#include "service/ServiceRecords.h"

#include <QObject>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimo {

// Which base URLs a requester fails over through.
enum class HostList {
    builtIn, // the three built-in base URLs (the login dialog)
    main,    // the stored backup base URLs, then the built-in ones (the main screen)
};

// Outcome callbacks of one logical request. success gets the endpoint's decoded result; failure gets
// msg and dataAnalysis (a refusal with code 40101 arrives twice, the second with "[40101]" in
// front); exhausted runs when no base URL is left. hostFailed, when set, hears each invalidHost
// before the request moves on to the next base URL.
template <class... Result> struct ServiceHandlers {
    std::function<void(Result...)> success = nullptr;
    ServiceFailure failure = nullptr;
    std::function<void()> exhausted = nullptr;
    ServiceFailure hostFailed = nullptr;
};

// (list, message): exactly one is present.
using NodeListCompletion =
    std::function<void(std::optional<std::vector<std::string>> list, std::optional<std::string> message)>;

// The service's endpoints for one requester (the login dialog, the main screen, the route page).
// It keeps the requester's retry index and fails over as the requester would: pick a base URL,
// remember it on success, forget it and move on by one on invalidHost. Owned by the requester, so
// nothing is delivered once the requester is gone.
class NMApi : public QObject {
public:
    NMApi(SettingsStore& store, HostList hosts, http::SessionManager& session, QObject* parent = nullptr);

    NetWorkTool& tool() { return tool_; }
    // The requester's index into its host list (iRetry, requsetCount).
    int retryIndex() const { return retryIndex_; }
    void setRetryIndex(int index) { retryIndex_ = index; }

    // Parameters of the account calls, every value a text.
    static nlohmann::json loginParameters(const std::string& account, const std::string& password,
                                          const std::string& deviceId);
    static nlohmann::json registerParameters(const std::string& account, const std::string& code,
                                             const std::string& password, const std::string& deviceId);
    static nlohmann::json resetPasswordParameters(const std::string& account, const std::string& code,
                                                  const std::string& password, const std::string& deviceId);
    // registerMode: "EMAIL_TYPE_USER_REGISTER", else "EMAIL_TYPE_USER_RESETPWD".
    static nlohmann::json emailCodeParameters(const std::string& account, bool registerMode);

    // success(stored): false when "data" was not an object (or carried an unusable token) and
    // nothing was stored.
    void login(const std::string& account, const std::string& password, ServiceHandlers<bool> handlers);
    void registerAccount(const nlohmann::json& parameters, ServiceHandlers<bool> handlers);
    void resetPassword(const nlohmann::json& parameters, ServiceHandlers<> handlers);
    void sendEmailCode(const nlohmann::json& parameters, ServiceHandlers<> handlers);

    // Sends nothing and calls nothing without a stored token (returns false then).
    bool loadUserInfo(ServiceHandlers<> handlers);
    // success(usable): false when "data" was not an object ("错误的数据格式" is logged).
    void loadPublicSetting(ServiceHandlers<bool> handlers);
    // success(record): none when "data" is not a non-empty array starting with an object.
    void loadSubscription(ServiceHandlers<std::optional<SubscriptionRecord>> handlers);

    // Node catalogue: the remembered host only, no failover. A fetched non-empty list replaces its
    // cache; a "data" of the wrong shape calls nothing. Failures give "无效域名", "数据有误:数据解析失败"
    // or the refusal text. false when nothing was sent (no remembered host; subscription id below 1).
    bool fetchNodeNames(NodeListCompletion completion);
    bool fetchSubscribeNodeList(NodeListCompletion completion);

private:
    struct Call {
        std::string path;
        http::HTTPMethod method = http::HTTPMethod::get;
        nlohmann::json parameters;
        std::function<void(const nlohmann::json& data)> success; // after the host is remembered
        ServiceFailure failure;
        std::function<void()> exhausted;
        ServiceFailure hostFailed;
    };
    void send(Call call);
    std::function<void(const nlohmann::json&)> signInSuccess(std::function<void(bool)> done);
    static std::function<void(const nlohmann::json&)> ignoringData(std::function<void()> done);
    template <class... R>
    static Call makeCall(std::string path, http::HTTPMethod method, nlohmann::json parameters,
                         const ServiceHandlers<R...>& handlers);
    bool fetchNodes(const std::string& path, const std::string& cacheKey,
                    std::function<std::optional<std::vector<std::string>>(const nlohmann::json&)> decode,
                    NodeListCompletion completion);

    NetWorkTool tool_;
    HostList hosts_;
    int retryIndex_ = 0;
};

} // namespace nimo
