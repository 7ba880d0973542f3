#include "app/ServiceLoader.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "service/AccountSession.h"
#include "service/NMApi.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/PageHost.h"

#include <memory>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;

namespace {
constexpr const char* kLoadFailed = "加载失败，请稍候重试";
constexpr const char* kSessionLostText = "登录已失效，请重新登录";
constexpr std::string_view kSessionLostPrefix = "[40101]";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Subscription identifiers are secrets: the log shows only their first characters.
std::string masked(const std::string& secret) {
    return secret.size() <= 4 ? std::string("****") : secret.substr(0, 4) + "****";
}
} // namespace

ServiceLoader::ServiceLoader(const AppContext& context, PageHost& host, QObject* parent)
    : QObject(parent), context_(context), host_(host) {
    api_ = context_.makeApi(HostList::main, this);
    connect(&context_.account, &AccountSession::accountChanged, this, [this] {
        if (context_.account.hasToken())
            sessionLostTold_ = false;
    });
}

int ServiceLoader::requsetCount() const {
    return api_->retryIndex();
}

bool ServiceLoader::sessionUsable() const {
    return context_.account.hasToken() && !sessionLostTold_;
}

// A refused session reaches a request's failure twice in a row, the second time with "[40101]" in
// front: the reaction waits until both have arrived and then runs once.
ServiceFailure
ServiceLoader::gated(std::function<void(const NMNetWorkError& error, bool sessionLost)> handle) {
    struct Gate {
        std::optional<NMNetWorkError> first;
        bool sessionLost = false;
        bool queued = false;
    };
    auto gate = std::make_shared<Gate>();
    return [this, gate, handle = std::move(handle)](const NMNetWorkError& error) {
        if (error.message().starts_with(kSessionLostPrefix))
            gate->sessionLost = true;
        else if (!gate->first)
            gate->first = error;
        if (gate->queued)
            return;
        gate->queued = true;
        platform::postToMain(this, [gate, handle] {
            handle(gate->first.value_or(NMNetWorkError::msg(kSessionLostText)), gate->sessionLost);
        });
    };
}

void ServiceLoader::sessionLost(const NMNetWorkError& error) {
    if (sessionLostTold_)
        return;
    sessionLostTold_ = true;
    std::string text = error.message();
    if (text.starts_with(kSessionLostPrefix))
        text.erase(0, kSessionLostPrefix.size());
    platform::consoleLog("register.err:" + text);
    host_.showToast(qs(text.empty() ? kSessionLostText : text));
    host_.refreshTitleStrip(false);
    stopTunnelIfActive();
}

void ServiceLoader::stopTunnelIfActive() {
    const VpnStatus status = context_.tunnel.vpnStatus();
    if (status == VpnStatus::Connecting || status == VpnStatus::Connected)
        context_.tunnel.stopVPN();
}

void ServiceLoader::loadUserInfo(UserInfoCompletion completion) {
    ServiceHandlers<> handlers;
    handlers.success = [completion] {
        if (completion)
            completion(std::nullopt);
    };
    handlers.failure = gated([this, completion](const NMNetWorkError& error, bool lost) {
        if (lost) {
            sessionLost(error);
        } else if (error.is(NMNetWorkError::Kind::dataAnalysis)) {
            host_.showToast(qs(error.errorDescription()));
        } else {
            platform::consoleLog("register.err:" + error.message());
            host_.showToast(qs(error.message()));
        }
        if (completion)
            completion(error);
    });
    handlers.exhausted = [completion] {
        if (completion)
            completion(NMNetWorkError::msg(kLoadFailed));
    };
    (void)api_->loadUserInfo(std::move(handlers));
}

void ServiceLoader::loadSubscription(SubscriptionCompletion completion) {
    auto finish = [completion](bool success, std::optional<QString> message) {
        if (completion)
            completion(success, message);
    };
    if (!sessionUsable()) {
        // No session to ask about: nothing is sent, and a waiting caller is not left waiting.
        platform::postToMain(this, [finish] { finish(false, std::nullopt); });
        return;
    }
    ServiceHandlers<std::optional<SubscriptionRecord>> handlers;
    handlers.success = [this, finish](std::optional<SubscriptionRecord> record) {
        if (!record) {
            // Not a list of records: report it, so a waiting connect press does not wait forever.
            platform::consoleLog("error:" + NMNetWorkError::dataAnalysis().errorDescription());
            platform::postToMain(this, [finish] {
                finish(false,
                       QStringLiteral("数据有误:") + qs(NMNetWorkError::dataAnalysis().errorDescription()));
            });
            return;
        }
        if (record->id)
            (void)context_.settings.set(keys::serverId, *record->id);
        if (auto amount = remainingTrafficText(*record))
            (void)context_.settings.set(keys::lastAmount, *amount);
        const auto refuse = [this, finish](const char* message) {
            platform::postToMain(this, [this, finish, message] {
                stopTunnelIfActive();
                finish(false, QString::fromUtf8(message));
            });
        };
        if (record->serviceStatus == false) {
            refuse("会员已到期，请前往订阅续费！");
            return;
        }
        if (record->subStatus == false) {
            refuse("流量已超标，请前往订阅续费！");
            return;
        }
        if (record->subUuid) {
            context_.shared.set(*record->subUuid, kSharedSubUuid);
            platform::consoleLog("--saveSubUUID:" + masked(*record->subUuid));
            finish(true, std::nullopt);
        } else {
            // The service's own word for it is no text for the user.
            platform::consoleLog("error:subuuid.is.null");
            finish(false, QString::fromUtf8(kLoadFailed));
        }
    };
    handlers.failure = gated([this, finish](const NMNetWorkError& error, bool lost) {
        platform::consoleLog("error:" + error.errorDescription());
        if (lost) {
            sessionLost(error);
            finish(false, std::nullopt);
            return;
        }
        if (error.is(NMNetWorkError::Kind::dataAnalysis)) {
            finish(false, QStringLiteral("数据有误:") + qs(error.errorDescription()));
            return;
        }
        finish(false, qs(error.message()));
    });
    handlers.hostFailed = [](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
    };
    handlers.exhausted = [finish] { finish(false, QString::fromUtf8(kLoadFailed)); };
    api_->loadSubscription(std::move(handlers));
}

void ServiceLoader::loadPublicSetting() {
    ServiceHandlers<bool> handlers;
    handlers.success = [this](bool usable) {
        if (!usable)
            return;
        platform::postToMain(this, [this] {
            loadUserInfo(nullptr);
            fetchNodes(false);
        });
    };
    handlers.failure = [this](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
        platform::postToMain(this, [this, error] {
            if (error.is(NMNetWorkError::Kind::dataAnalysis)) {
                host_.showToast(QStringLiteral("信息加载失败:") + qs(error.errorDescription()));
                return;
            }
            platform::consoleLog("register.err:" + error.message());
            host_.showToast(QStringLiteral("信息加载失败:") + qs(error.message()));
        });
    };
    handlers.hostFailed = [](const NMNetWorkError& error) {
        platform::consoleLog("error:" + error.errorDescription());
    };
    api_->loadPublicSetting(std::move(handlers));
}

void ServiceLoader::fetchNodes(bool subscribed) {
    if (sessionLostTold_)
        return;
    if (subscribed)
        (void)api_->fetchSubscribeNodeList(nullptr);
    else
        (void)api_->fetchNodeNames(nullptr);
}

void ServiceLoader::reloadAccount(bool withCatalogue) {
    loadUserInfo([this, withCatalogue](const std::optional<NMNetWorkError>&) {
        host_.refreshTitleStrip(false);
        loadSubscription([this, withCatalogue](bool success, const std::optional<QString>& message) {
            if (success)
                fetchNodes(true);
            else if (message)
                host_.showToast(*message);
            if (withCatalogue)
                fetchNodes(false);
        });
    });
}

} // namespace nimo
