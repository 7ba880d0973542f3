#include "service/NMApi.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Redact.h"
#include "service/UserDefaultsCacheKeys.h"

namespace nimo {

namespace keys = UserDefaultsCacheKeys;
using http::HTTPMethod;
using nlohmann::json;

NMApi::NMApi(SettingsStore& store, HostList hosts, http::SessionManager& session, QObject* parent)
    : QObject(parent), tool_(store, session, this), hosts_(hosts) {}

json NMApi::loginParameters(const std::string& account, const std::string& password,
                            const std::string& deviceId) {
    return {{"device_id", deviceId}, {"email_code", ""}, {"password", password}, {"user_name", account}};
}

json NMApi::registerParameters(const std::string& account, const std::string& code,
                               const std::string& password, const std::string& deviceId) {
    return {{"user_name", account},    {"email_code", code},  {"password", password},
            {"re_password", password}, {"referrer_code", ""}, {"device_id", deviceId}};
}

json NMApi::resetPasswordParameters(const std::string& account, const std::string& code,
                                    const std::string& password, const std::string& deviceId) {
    return {{"user_name", account}, {"email_code", code}, {"password", password}, {"device_id", deviceId}};
}

json NMApi::emailCodeParameters(const std::string& account, bool registerMode) {
    return {{"email_type", registerMode ? "EMAIL_TYPE_USER_REGISTER" : "EMAIL_TYPE_USER_RESETPWD"},
            {"target_email", account}};
}

template <class... R>
NMApi::Call NMApi::makeCall(std::string path, HTTPMethod method, json parameters,
                            const ServiceHandlers<R...>& handlers) {
    Call call;
    call.path = std::move(path);
    call.method = method;
    call.parameters = std::move(parameters);
    call.failure = handlers.failure;
    call.exhausted = handlers.exhausted;
    call.hostFailed = handlers.hostFailed;
    return call;
}

void NMApi::send(Call call) {
    const std::vector<std::string> list =
        hosts_ == HostList::builtIn ? NetWorkTool::builtInBaseURLs() : tool_.mainHostList();
    const std::optional<std::string> picked = tool_.pickBaseURL(list, retryIndex_);
    const std::string baseURL = picked.value_or(std::string());
    if (baseURL.empty()) {
        if (picked) {
            // An empty remembered host can reach nobody: forget it, as a used-up list does.
            (void)tool_.store().remove(keys::lastOkHost);
            retryIndex_ = 0;
        }
        platform::postToMain(this, [exhausted = call.exhausted] {
            if (exhausted)
                exhausted();
        });
        return;
    }
    auto onSuccess = [this, baseURL, done = call.success](const json& data) {
        (void)tool_.store().set(keys::lastOkHost, baseURL);
        if (done)
            done(data);
    };
    auto onFailure = [this, call](const NMNetWorkError& error) {
        if (!error.is(NMNetWorkError::Kind::invalidHost)) {
            if (call.failure)
                call.failure(error);
            return;
        }
        (void)tool_.store().remove(keys::lastOkHost);
        ++retryIndex_;
        if (call.hostFailed)
            call.hostFailed(error);
        platform::postToMain(this, [this, call] { send(call); });
    };
    tool_.sendRequest(baseURL, call.path, call.method, call.parameters, std::move(onSuccess),
                      std::move(onFailure));
}

std::function<void(const json&)> NMApi::signInSuccess(std::function<void(bool)> done) {
    return [this, done = std::move(done)](const json& data) {
        const bool stored = storeSignInResult(tool_.store(), data);
        if (done)
            done(stored);
    };
}

std::function<void(const json&)> NMApi::ignoringData(std::function<void()> done) {
    return [done = std::move(done)](const json&) {
        if (done)
            done();
    };
}

void NMApi::login(const std::string& account, const std::string& password, ServiceHandlers<bool> handlers) {
    Call call = makeCall("/api/public/user/login", HTTPMethod::post,
                         loginParameters(account, password, tool_.store().deviceId()), handlers);
    call.success = signInSuccess(handlers.success);
    send(std::move(call));
}

void NMApi::registerAccount(const json& parameters, ServiceHandlers<bool> handlers) {
    Call call = makeCall("/api/public/user/register", HTTPMethod::post, parameters, handlers);
    call.success = signInSuccess(handlers.success);
    send(std::move(call));
}

void NMApi::resetPassword(const json& parameters, ServiceHandlers<> handlers) {
    Call call = makeCall("/api/public/user/resetUserPassword", HTTPMethod::post, parameters, handlers);
    call.success = ignoringData(handlers.success);
    send(std::move(call));
}

void NMApi::sendEmailCode(const json& parameters, ServiceHandlers<> handlers) {
    Call call = makeCall("/api/public/code/getEmailCode", HTTPMethod::post, parameters, handlers);
    call.success = ignoringData(handlers.success);
    send(std::move(call));
}

bool NMApi::loadUserInfo(ServiceHandlers<> handlers) {
    if (!tool_.store().contains(keys::apiToken))
        return false;
    Call call = makeCall("/api/customer/user/getUserInfo", HTTPMethod::get, nullptr, handlers);
    call.success = [this, done = handlers.success](const json& data) {
        storeUserInfo(tool_.store(), data);
        if (done)
            done();
    };
    send(std::move(call));
    return true;
}

void NMApi::loadPublicSetting(ServiceHandlers<bool> handlers) {
    Call call = makeCall("/api/public/server/getPublicSetting", HTTPMethod::get, nullptr, handlers);
    call.success = [this, done = handlers.success](const json& data) {
        const bool usable = storePublicSetting(tool_.store(), data);
        if (done)
            done(usable);
    };
    send(std::move(call));
}

void NMApi::loadSubscription(ServiceHandlers<std::optional<SubscriptionRecord>> handlers) {
    Call call =
        makeCall("/api/customer/customerService/getCustomerServiceList", HTTPMethod::get, nullptr, handlers);
    call.success = [done = handlers.success](const json& data) {
        if (done)
            done(decodeSubscription(data));
    };
    send(std::move(call));
}

bool NMApi::fetchNodes(const std::string& path, const std::string& cacheKey,
                       std::function<std::optional<std::vector<std::string>>(const json&)> decode,
                       NodeListCompletion completion) {
    auto host = tool_.store().string(keys::lastOkHost);
    if (!host)
        return false;
    // On the worker: decode and trim, so a huge list never reaches the main loop. A "data" of the
    // wrong shape becomes null, which the main side ignores.
    auto shaper = [decode = std::move(decode)](const json& data) -> json {
        auto list = decode(data);
        if (!list)
            return nullptr;
        const size_t total = list->size();
        const NodeListTrim trim = trimNodeNames(*list);
        if (trim.dropped() > 0)
            platform::consoleLog(describeTrim(trim, total));
        return json(std::move(*list));
    };
    auto onSuccess = [this, cacheKey, completion](const json& data) {
        if (!data.is_array())
            return;
        std::vector<std::string> list;
        list.reserve(data.size());
        for (const json& e : data) {
            if (!e.is_string())
                return;
            list.push_back(e.get<std::string>());
        }
        if (!list.empty())
            (void)tool_.store().set(cacheKey, list);
        if (completion)
            completion(std::move(list), std::nullopt);
    };
    auto onFailure = [completion](const NMNetWorkError& error) {
        platform::consoleLog("error:" + platform::escapedForLog(error.errorDescription()));
        std::string message;
        switch (error.kind()) {
        case NMNetWorkError::Kind::invalidHost:
            message = "无效域名";
            break;
        case NMNetWorkError::Kind::dataAnalysis:
            message = "数据有误:" + error.errorDescription();
            break;
        case NMNetWorkError::Kind::msg:
            message = error.message();
            break;
        }
        if (completion)
            completion(std::nullopt, message);
    };
    tool_.sendRequest(*host, path, HTTPMethod::get, nullptr, std::move(onSuccess), std::move(onFailure),
                      std::move(shaper));
    return true;
}

bool NMApi::fetchNodeNames(NodeListCompletion completion) {
    return fetchNodes("/api/public/sub/getNodeNames", keys::allNodes, decodeNodeNames, std::move(completion));
}

bool NMApi::fetchSubscribeNodeList(NodeListCompletion completion) {
    const std::int64_t id = tool_.store().integer(keys::serverId);
    if (id < 1)
        return false;
    return fetchNodes("/api/customer/customerService/getSubscribeNodeList?id=" + std::to_string(id),
                      keys::subNodes, decodeSubscribeNodes, std::move(completion));
}

} // namespace nimo
