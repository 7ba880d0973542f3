#include "tunnel/VPNTunnelManager.h"

#include "NimoBuildConfig.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "platform/Paths.h"
#include "platform/Redact.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelBackend.h"
#include "tunnel/TunnelServiceClient.h"

#include <QCoreApplication>
#include <QSysInfo>

namespace nimo {

namespace {
const platform::SystemLog& vpnLog() {
    static const platform::SystemLog log("VPNTunnelManager");
    return log;
}

constexpr const char* kServerAddress = "127.0.0.1";
constexpr const char* kLocalizedDescription = "NimoMac.QnSysTun";
constexpr const char* kReleased = "VPN管理器已释放";
constexpr const char* kNoConfiguration = "未找到已加载的VPN配置";
constexpr const char* kStopUnanswered = "隧道服务没有应答，无法停止VPN";

std::string stringOr(const std::optional<nlohmann::json>& value, const std::string& fallback) {
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

// The options as a dictionary literal, in the order they were read; secrets masked, URLs without
// credentials.
std::string describe(const std::vector<std::pair<std::string, std::string>>& options) {
    std::string out = "[";
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (i)
            out += ", ";
        const std::string value = platform::isSecretField(options[i].first) && !options[i].second.empty()
                                      ? std::string(platform::kRedacted)
                                      : platform::withoutUrlCredentials(options[i].second);
        out += "\"" + options[i].first + "\": \"" + value + "\"";
    }
    return out + "]";
}

// The reply in the optional textual form the log line has always shown.
std::string optionalText(const QByteArray& data) {
    const QString text = QString::fromUtf8(data);
    if (text.toUtf8() != data)
        return "nil";
    return "Optional(\"" + data.toStdString() + "\")";
}

std::optional<VPNTunnelManager::Setup>& sharedSetup() {
    static std::optional<VPNTunnelManager::Setup> setup;
    return setup;
}

std::unique_ptr<TunnelBackend> serviceClient(const VPNTunnelManager::Setup& setup) {
    TunnelServiceClient::Options options;
    options.socketPath = setup.socketPath;
    options.serviceExecutable = setup.serviceExecutable;
    options.serviceArguments = setup.serviceArguments;
    options.application = build::kBundleId;
    options.requestTimeoutMs = setup.requestTimeoutMs;
    return std::make_unique<TunnelServiceClient>(std::move(options));
}
} // namespace

// A provider message or reply as it may be logged: the subscription identifier masked wherever it
// shows (the stored one, a "subuuid." message, a secret field of a reply), URLs without credentials.
std::string VPNTunnelManager::loggable(const std::string& raw) const {
    std::string text = platform::redactedText(raw);
    const auto uuid = setup_.shared ? setup_.shared->get(kSharedSubUuid) : std::nullopt;
    if (uuid && uuid->is_string() && !uuid->get_ref<const std::string&>().empty()) {
        const std::string& secret = uuid->get_ref<const std::string&>();
        for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos))
            text.replace(pos, secret.size(), platform::kRedacted);
    }
    static constexpr std::string_view kPrefix = "subuuid.";
    for (auto pos = text.find(kPrefix); pos != std::string::npos; pos = text.find(kPrefix, pos + 1)) {
        const auto start = pos + kPrefix.size();
        const auto end = text.find_first_of("\"' ]", start);
        text.replace(start, (end == std::string::npos ? text.size() : end) - start, platform::kRedacted);
    }
    return text;
}

VPNTunnelManager::Setup VPNTunnelManager::Setup::defaults() {
    Setup setup;
    setup.socketPath = platform::paths::runtimeDir() + "/tunneld.sock";
    setup.serviceExecutable = (QCoreApplication::applicationDirPath() + "/nimo-tunneld").toStdString();
    setup.packageRoot = platform::paths::packageRoot();
    setup.systemVersion = QVersionNumber::fromString(QSysInfo::productVersion());
    return setup;
}

void VPNTunnelManager::configureShared(Setup setup) {
    sharedSetup() = std::move(setup);
}

VPNTunnelManager& VPNTunnelManager::shared() {
    // Lives as long as the process: never destroyed after the application object.
    static auto* instance = new VPNTunnelManager(sharedSetup().value_or(Setup::defaults()));
    return *instance;
}

VPNTunnelManager::VPNTunnelManager(Setup setup, QObject* parent)
    : VPNTunnelManager(setup, serviceClient(setup), parent) {}

VPNTunnelManager::VPNTunnelManager(Setup setup, std::unique_ptr<TunnelBackend> backend, QObject* parent)
    : QObject(parent), setup_(std::move(setup)), client_(std::move(backend)) {
    client_->setParent(this); // in the object tree too, so tools and tests can find it
    connect(client_.get(), &TunnelBackend::statusChanged, this,
            [this](const QString&, int status) { onServiceStatus(status); });
    // A service that is gone knows no tunnel: the status is invalid until it answers again.
    connect(client_.get(), &TunnelBackend::serviceLost, this,
            [this] { onServiceStatus(static_cast<int>(VpnStatus::Invalid)); });
    connect(client_.get(), &TunnelBackend::tunnelDropped, this,
            [this](const QString&, const QString& reason) { onTunnelDropped(reason); });
    // Shown as a toast by the main screen, as a failure's reason is.
    connect(client_.get(), &TunnelBackend::desktopRecovered, this, [](const QString& text) {
        vpnLog().notice(text.toStdString());
        platform::NotificationCenter::defaultCenter().post(NOTIFY_VPNActivation_Failed, text);
    });
    client_->subscribeStatus();
}

VPNTunnelManager::~VPNTunnelManager() {
    released_ = true;
    client_->disconnect(this);
    // Whatever still waits on the service learns that the manager is gone.
    client_->cancelAll(tunnelproto::makeError(tunnelproto::ConnectionLost, kReleased));
    vpnLog().info(kReleased);
}

void VPNTunnelManager::setOnVpnStatusChange(QObject* owner, StatusListener listener) {
    listenerOwner_ = owner;
    listenerHadOwner_ = owner != nullptr;
    onVpnStatusChange_ = std::move(listener);
}

void VPNTunnelManager::transition(VpnStatus status) {
    if (vpnStatus_ == status)
        return;
    vpnStatus_ = status;
    vpnLog().info(std::string("VPN状态变更：") + vpnStatusLogName(static_cast<int>(status)));
    if (status == VpnStatus::Connecting)
        noticeShown_ = false; // a new start may have its own notice
    Q_EMIT vpnStatusChanged(status);
    if (onVpnStatusChange_ && !(listenerHadOwner_ && listenerOwner_.isNull())) {
        auto listener = onVpnStatusChange_; // the listener may replace itself
        listener(status);
    }
}

void VPNTunnelManager::onServiceStatus(int status) {
    const VpnStatus before = vpnStatus_;
    if (before != static_cast<VpnStatus>(status))
        statusBeforeDrop_ = before;
    transition(static_cast<VpnStatus>(status));
}

// A tunnel that ended without being asked to: the reason the service sent with the end reaches the
// user once.
void VPNTunnelManager::onTunnelDropped(const QString& reason) {
    lastFailureReason_ = reason;
    vpnLog().error("隧道已断开：" + reason.toStdString());
    if (reason.isEmpty())
        return;
    const bool wasStarting = statusBeforeDrop_ == VpnStatus::Connecting;
    Q_EMIT tunnelFailed((wasStarting ? QStringLiteral("加速失败：") : QString()) + reason);
}

// ---- configuration step

std::optional<TunnelConfiguration> VPNTunnelManager::findManager(const std::vector<TunnelConfiguration>& list,
                                                                 bool createIfMissing) const {
    for (const auto& c : list) {
        if (c.protocol && c.protocol->isTunnelProvider() && c.protocol->providerBundleIdentifier &&
            *c.protocol->providerBundleIdentifier == tunnelBundleID) {
            vpnLog().info("找到已存在的VPN配置");
            return c;
        }
    }
    if (!createIfMissing)
        return std::nullopt;
    vpnLog().info("未找到已存在的VPN配置，创建新配置");
    return makeManager();
}

TunnelConfiguration VPNTunnelManager::makeManager() const {
    TunnelProtocol protocol;
    protocol.providerBundleIdentifier = tunnelBundleID;
    protocol.serverAddress = kServerAddress;
    protocol.disconnectOnSleep = false;
    protocol.providerConfiguration = nlohmann::json::object();
    TunnelConfiguration c;
    c.protocol = std::move(protocol);
    c.localizedDescription = kLocalizedDescription;
    c.enabled = true;
    c.onDemandEnabled = false;
    return c;
}

bool VPNTunnelManager::ensureConfiguration(TunnelConfiguration& c) const {
    if (c.protocol && c.protocol->isTunnelProvider()) {
        auto& p = *c.protocol;
        const bool protocolOk = p.providerBundleIdentifier == tunnelBundleID &&
                                p.serverAddress == kServerAddress && p.disconnectOnSleep == false;
        if (protocolOk && c.localizedDescription == kLocalizedDescription && c.enabled == true)
            return false;
        if (!protocolOk) {
            p.providerBundleIdentifier = tunnelBundleID;
            p.serverAddress = kServerAddress;
            p.disconnectOnSleep = false;
        }
    } else {
        c.protocol = makeManager().protocol;
    }
    c.localizedDescription = kLocalizedDescription;
    c.enabled = true;
    return true;
}

void VPNTunnelManager::loadOrCreateManager(ConfigurationStep step) {
    client_->loadAllFromPreferences(nullptr, [this, step](std::vector<TunnelConfiguration> list,
                                                          const TunnelServiceClient::MaybeError& error) {
        if (released_) {
            step(std::nullopt, kReleased);
            return;
        }
        if (error) {
            const std::string text = "加载VPN配置列表失败：" + error->description;
            vpnLog().error(text);
            step(std::nullopt, text);
            return;
        }
        if (list.empty()) {
            saveAndReload(makeManager(), step);
            return;
        }
        TunnelConfiguration c = *findManager(list, true);
        // A configuration made just now has never been saved: the service starts only stored ones.
        if (!ensureConfiguration(c) && !c.identifier.empty()) {
            tunnelManager_ = c;
            step(c, std::nullopt);
            return;
        }
        saveAndReload(std::move(c), step);
    });
}

void VPNTunnelManager::saveAndReload(TunnelConfiguration configuration, ConfigurationStep step) {
    client_->saveToPreferences(
        nullptr, configuration,
        [this, step](std::optional<TunnelConfiguration> saved, const TunnelServiceClient::MaybeError& error) {
            if (released_) {
                step(std::nullopt, kReleased);
                return;
            }
            if (error || !saved) {
                const TunnelError e = error.value_or(TunnelError{});
                const std::string text = "保存VPN配置失败：" + e.description + " | 错误域：" + e.domain +
                                         " | 错误码：" + std::to_string(e.code);
                vpnLog().error(text);
                step(std::nullopt, text);
                return;
            }
            vpnLog().info("VPN配置保存成功");
            client_->loadFromPreferences(
                nullptr, saved->identifier,
                [this, step, saved](std::optional<TunnelConfiguration> reloaded,
                                    const TunnelServiceClient::MaybeError& reloadError) {
                    if (released_) {
                        step(std::nullopt, kReleased);
                        return;
                    }
                    if (reloadError || !reloaded) {
                        const std::string text = "重新加载VPN配置失败（系统配置已保存）：" +
                                                 reloadError.value_or(TunnelError{}).description;
                        vpnLog().error(text);
                        tunnelManager_ = saved;
                        step(saved, text);
                        return;
                    }
                    vpnLog().info("VPN配置重新加载成功");
                    tunnelManager_ = reloaded;
                    step(reloaded, std::nullopt);
                });
        });
}

// ---- start, stop, messages

std::vector<std::pair<std::string, std::string>> VPNTunnelManager::startOptions() const {
    const auto sharedValue = [this](const char* key) {
        return setup_.shared ? setup_.shared->get(key) : std::nullopt;
    };
    const auto host =
        setup_.settings ? setup_.settings->string(UserDefaultsCacheKeys::lastOkHost) : std::nullopt;
    return {
        {"subuuid", stringOr(sharedValue(kSharedSubUuid), "")},
        {"host", host.value_or(build::kDefaultTunnelHost)},
        {"nodeName", stringOr(sharedValue(kSharedNodeName), "")},
        {"tunMode", runningModeFrom(sharedValue(kSharedTunMode))},
    };
}

void VPNTunnelManager::startVPN(QObject* context, Completion completion) {
    auto finish = [ctx = QPointer<QObject>(context), hadContext = context != nullptr,
                   completion = std::move(completion)](bool ok, const std::optional<std::string>& message) {
        if ((hadContext && ctx.isNull()) || !completion)
            return;
        completion(ok, message);
    };
    loadOrCreateManager([this, finish](std::optional<TunnelConfiguration> configuration,
                                       const std::optional<std::string>& message) {
        if (released_) {
            finish(false, kReleased);
            return;
        }
        if (!configuration) {
            const std::string text = message.value_or("加载/创建VPN配置失败");
            vpnLog().error("启动VPN失败：" + text);
            transition(VpnStatus::Invalid);
            finish(false, text);
            return;
        }
        startTunnel(*configuration, finish);
    });
}

void VPNTunnelManager::startTunnel(const TunnelConfiguration& configuration, Completion finish) {
    const auto options = startOptions();
    std::map<std::string, std::string> map(options.begin(), options.end());
    client_->startVPNTunnel(nullptr, configuration.identifier, map,
                            [this, finish, options](const TunnelServiceClient::MaybeError& error) {
                                if (released_) {
                                    finish(false, kReleased);
                                    return;
                                }
                                if (error) {
                                    transition(VpnStatus::Invalid);
                                    const std::string text = "启动VPN隧道失败：" + error->description;
                                    vpnLog().error(text);
                                    finish(false, text);
                                    return;
                                }
                                transition(VpnStatus::Connecting);
                                platform::consoleLog("-----开始启动VPN隧道:" + describe(options));
                                finish(true, std::nullopt);
                            });
}

void VPNTunnelManager::stopVPN(QObject* context, Completion completion) {
    auto finish = [ctx = QPointer<QObject>(context), hadContext = context != nullptr,
                   completion = std::move(completion)](bool ok, const std::optional<std::string>& message) {
        if ((hadContext && ctx.isNull()) || !completion)
            return;
        completion(ok, message);
    };
    if (tunnelManager_) {
        doStop(finish);
        return;
    }
    client_->loadAllFromPreferences(nullptr, [this, finish](std::vector<TunnelConfiguration> list,
                                                            const TunnelServiceClient::MaybeError& error) {
        if (released_) {
            finish(false, kReleased);
            return;
        }
        if (error) {
            // Not knowing is not "none": the service may well run a tunnel.
            const std::string text = std::string(kStopUnanswered) + "（" + error->description + "）";
            vpnLog().error(text);
            finish(false, text);
            return;
        }
        if (auto found = findManager(list, false)) {
            tunnelManager_ = std::move(found);
            doStop(finish);
            return;
        }
        finish(false, kNoConfiguration);
    });
}

void VPNTunnelManager::doStop(Completion finish) {
    if (!tunnelManager_) {
        finish(false, kNoConfiguration);
        return;
    }
    // What became of the stop request by the time of the check.
    struct StopAnswer {
        bool answered = false;
        std::optional<TunnelError> error;
    };
    auto answer = std::make_shared<StopAnswer>();
    client_->stopVPNTunnel(tunnelManager_->identifier, this,
                           [answer](const TunnelServiceClient::MaybeError& error) {
                               answer->answered = true;
                               answer->error = error;
                           });
    transition(VpnStatus::Disconnecting);
    vpnLog().info("开始停止VPN隧道...");
    platform::postToMainAfter(this, 500, [this, finish, answer] {
        const int status = static_cast<int>(vpnStatus_);
        if (!answer->answered || answer->error) {
            const std::string text =
                answer->error ? std::string(kStopUnanswered) + "（" + answer->error->description + "）"
                              : std::string(kStopUnanswered);
            vpnLog().error(text);
            finish(false, text);
        } else if (vpnStatus_ == VpnStatus::Invalid || vpnStatus_ == VpnStatus::Disconnected) {
            platform::printLine("doStop>停止VPN成功：" + std::to_string(status));
            finish(true, std::nullopt);
        } else {
            finish(false, "停止VPN失败，当前状态：" + std::to_string(status));
        }
    });
}

bool VPNTunnelManager::switchRunningMode(NimoShared& shared, const std::string& mode) {
    if (!shared.set(mode, kSharedTunMode))
        return false;
    sendMessage("tunMode." + mode);
    return true;
}

void VPNTunnelManager::sendMessage(const std::string& text) {
    client_->loadAllFromPreferences(this, [this, text](std::vector<TunnelConfiguration> list,
                                                       const TunnelServiceClient::MaybeError&) {
        if (list.empty())
            return;
        auto found = findManager(list, false);
        if (!found)
            return;
        const std::string identifier = found->identifier;
        client_->status(this, identifier,
                        [this, text, identifier](int status, const TunnelServiceClient::MaybeError& error) {
                            if (error || status == static_cast<int>(VpnStatus::Invalid))
                                return;
                            const QByteArray data = QByteArray::fromStdString(text);
                            client_->sendProviderMessage(
                                this, identifier, data,
                                [this, text](std::optional<QByteArray> reply,
                                             const TunnelServiceClient::MaybeError& sendError) {
                                    if (sendError) {
                                        platform::printLine("Failed to send a message to the provider");
                                        return;
                                    }
                                    if (reply)
                                        platform::printLine("Success to send a message[" + loggable(text) +
                                                            "], response=" + loggable(optionalText(*reply)));
                                    const auto answer = nlohmann::json::parse(
                                        reply ? reply->toStdString() : std::string(), nullptr, false);
                                    if (noticeShown_ || !answer.is_object() || !answer.contains("notice") ||
                                        !answer["notice"].is_string())
                                        return;
                                    noticeShown_ = true;
                                    Q_EMIT providerNotice(
                                        QString::fromStdString(answer["notice"].get<std::string>()));
                                });
                        });
    });
}

} // namespace nimo
