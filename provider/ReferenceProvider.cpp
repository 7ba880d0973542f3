#include "ReferenceProvider.h"

#include "NimoBuildConfig.h"
#include "platform/JsonFileStore.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Redact.h"
#include "service/ServiceRecords.h"
#include "tunnel/TunnelTypes.h"

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QUrlQuery>
#include <algorithm>
#include <cerrno>
#include <limits>
#include <unistd.h>
#include <utility>

namespace nimo::provider {

using namespace tunnelproto;
using transport::Node;

namespace {
const platform::SystemLog kLog("provider");
constexpr int kDisconnected = 1, kConnecting = 2, kConnected = 3, kReasserting = 4, kDisconnecting = 5;
constexpr int kMaxRestarts = 3;
// Reasons quote outside text (node names, addresses); escaped, they still fit a line.
constexpr std::size_t kLogReasonBytes = 600;

std::optional<std::string> afterPrefix(const std::string& text, const std::string& prefix) {
    if (text.rfind(prefix, 0) != 0)
        return std::nullopt;
    return text.substr(prefix.size());
}

static_assert(transport::kMaxServers == kMaxNodeNames,
              "the client keeps as many nodes as the provider takes");

std::vector<std::string> allowedSpecialNetworks() {
    std::vector<std::string> networks;
    for (const auto& part : QString(build::kNodeSpecialNetworks).split(',', Qt::SkipEmptyParts))
        networks.push_back(part.trimmed().toStdString());
    return networks;
}

std::string helperPath() {
    return QCoreApplication::applicationDirPath().toStdString() + "/nimo-transport";
}
} // namespace

ReferenceProvider::ReferenceProvider(QObject* parent)
    : QObject(parent), input_(STDIN_FILENO, QSocketNotifier::Read), transport_(helperPath()),
      desktop_(DesktopProxy::defaultSavedFile()) {
    connect(&input_, &QSocketNotifier::activated, this, &ReferenceProvider::onInput);
    network_.setProxy(QNetworkProxy::NoProxy);
    connect(&transport_, &Transport::listening, this, &ReferenceProvider::onListening);
    connect(&transport_, &Transport::failed, this,
            [this](const QString& reason) { onTransportProblem(reason.toStdString()); });
    connect(&transport_, &Transport::exited, this,
            [this](const QString& reason) { onTransportProblem(reason.toStdString()); });
    healthTimer_.setInterval(kHealthMs);
    connect(&healthTimer_, &QTimer::timeout, this, &ReferenceProvider::checkHealth);
    connect(&transport_, &Transport::used, this, [this] {
        if (phase_ == Phase::Connected && !healthTimer_.isActive())
            healthTimer_.start();
    });
}

namespace {
std::string nodeKey(const Node& node) {
    return node.server + ":" + std::to_string(node.serverPort);
}
} // namespace

void ReferenceProvider::warmUp() {
    DesktopProxy::warmUp();
    if (phase_ == Phase::Idle || phase_ == Phase::Connecting)
        transport_.prepare();
}

void ReferenceProvider::checkHealth() {
    if (phase_ != Phase::Connected || switching_ || probing_ || !transport_.isRunning())
        return;
    const std::uint64_t traffic = transport_.trafficCounter();
    if (traffic == lastTraffic_) {
        // Idle: nothing to probe, and no timer either until the helper says the tunnel is used.
        healthTimer_.stop();
        transport_.tellWhenUsed();
        return;
    }
    lastTraffic_ = traffic;
    probing_ = true;
    const Node node = transport_.node();
    measureConnectTimes(this, {node}, kHealthProbeMs, [this, node](std::vector<ConnectTime> times) {
        probing_ = false;
        if (phase_ != Phase::Connected || switching_ || nodeKey(transport_.node()) != nodeKey(node))
            return;
        if (!times.empty() && !times[0].ms)
            onNodeDead("节点“" + node.remarks + "”不再应答（" + times[0].error + "）");
    });
}

void ReferenceProvider::onNodeDead(const std::string& why) {
    kLog.error(platform::escapedForLog(why, kLogReasonBytes));
    if (!transport::isAutomatic(state_.nodeName)) {
        fail(why);
        return;
    }
    deadNodes_.push_back(nodeKey(transport_.node()));
    reportStatus(kReasserting);
    switching_ = true;
    failingOver_ = true;
    chooseNode(
        state_.nodeName,
        [this](const Node& node) {
            previousNode_.reset(); // never back to the dead one
            transport_.start(node, socksPort_);
        },
        [this, why](const std::string& none) { fail(why + "；" + none); });
}

ReferenceProvider::~ReferenceProvider() {
    transport_.stop();
}

void ReferenceProvider::onInput() {
    char buffer[16384];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        // The service is gone; so is the tunnel.
        input_.setEnabled(false);
        shutdown();
        return;
    }
    if (n < 0)
        return;
    for (const auto& line : lines_.feed(buffer, static_cast<std::size_t>(n)))
        if (!line.overflowed)
            handle(nlohmann::json::parse(line.text, nullptr, false));
}

void ReferenceProvider::send(const nlohmann::json& line) {
    const QByteArray bytes = encodeLine(line);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(STDOUT_FILENO, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the service is gone; the end of input says so too
        done += n;
    }
}

void ReferenceProvider::reportStatus(int status, const std::string& error) {
    nlohmann::json line = {{"type", "status"}, {"status", status}};
    if (!error.empty())
        line["error"] = error;
    send(line);
}

void ReferenceProvider::handle(const nlohmann::json& line) {
    const auto type = stringField(line, "type").value_or("");
    if (type == "start" && phase_ == Phase::Idle) {
        start(line.value("options", nlohmann::json::object()));
    } else if (type == "stop") {
        stop();
    } else if (type == "ping") {
        send({{"type", "pong"}});
    } else if (type == "message") {
        const auto id = integerField(line, "id");
        const auto data = line.contains("data") ? fromBase64(line["data"]) : std::nullopt;
        if (!id)
            return;
        nlohmann::json reply = {{"type", "reply"}, {"id", *id}};
        if (data)
            reply["data"] = toBase64(QByteArray::fromStdString(answer(data->toStdString())));
        send(reply);
    }
}

QUrl ReferenceProvider::hostUrl() const {
    return QUrl(QString::fromStdString(state_.host));
}

void ReferenceProvider::start(const nlohmann::json& options) {
    phase_ = Phase::Connecting;
    // The start options come first; the shared container fills what they lack.
    platform::JsonFileStore shared(platform::paths::sharedDomainFile());
    auto pick = [&](const char* option, const char* sharedKey, const std::string& fallback) {
        if (auto value = options.is_object() ? stringField(options, option) : std::nullopt)
            return *value;
        if (sharedKey)
            if (auto value = shared.string(sharedKey))
                return *value;
        return fallback;
    };
    state_.subuuid = pick("subuuid", kSharedSubUuid, "");
    state_.host = pick("host", nullptr, "");
    state_.nodeName = pick("nodeName", kSharedNodeName, "");
    state_.tunMode = pick("tunMode", kSharedTunMode, kTunModeRule);
    if (state_.tunMode != kTunModeGlobal)
        state_.tunMode = kTunModeRule;
    state_.killSwitch = shared.boolean(kSharedKillSwitch).value_or(true);
    reportStatus(kConnecting);
    // Settings left behind by a tunnel that never got to put them back (power loss, crash).
    if (desktop_.restore() == RestoreOutcome::Failed) {
        fail(desktop_.restoreProblem());
        return;
    }
    // Starting again is how a user lifts the block a tunnel that ended unexpectedly left.
    capture_.liftHeldBlock();

    const QUrl url = hostUrl();
    const QString scheme = url.scheme().toLower();
    if (url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
        fail("服务地址无效：" + platform::withoutUrlCredentials(state_.host));
        return;
    }
    if (state_.subuuid.empty()) {
        fail("没有订阅，无法获取节点列表");
        return;
    }
    fetchServerList();
}

void ReferenceProvider::fetchServerList() {
    QUrl url = hostUrl();
    QString path = url.path();
    while (path.endsWith('/'))
        path.chop(1);
    url.setPath(path + transport::kServerListPath);
    QUrlQuery query;
    query.addQueryItem(transport::kServerListQuery, QString::fromStdString(state_.subuuid));
    url.setQuery(query);
    QNetworkRequest request(url);
    request.setTransferTimeout(kListMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // The list as it is: a compressed body could grow without bound once decoded.
    request.setRawHeader("Accept-Encoding", "identity");
    // Asked once per start: a connection kept open would only wake the provider when the host ends it.
    request.setRawHeader("Connection", "close");
    QNetworkReply* reply = network_.get(request);
    // Taken as it comes and counted after decoding: a chunked or compressed body has no length to trust.
    reply->setReadBufferSize(256 * 1024);
    auto body = std::make_shared<QByteArray>();
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, tooLarge] {
        if (*tooLarge)
            return;
        *body += reply->readAll();
        if (static_cast<std::size_t>(body->size()) > transport::kMaxServerListBytes) {
            *tooLarge = true;
            body->clear();
            reply->abort();
        }
    });
    const std::string where = platform::escapedForLog(platform::withoutUrlCredentials(state_.host)) +
                              transport::kServerListPath; // without the identifier
    connect(reply, &QNetworkReply::finished, this, [this, reply, where, body, tooLarge] {
        reply->deleteLater();
        if (phase_ != Phase::Connecting)
            return;
        if (*tooLarge) {
            fail("获取节点列表失败：服务器列表超过 " + std::to_string(transport::kMaxServerListBytes >> 20) +
                 " MB");
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200) {
            const std::string why = status > 0 && status != 200 ? "HTTP " + std::to_string(status)
                                                                : networkErrorText(reply->error());
            fail("获取节点列表失败：" + why);
            return;
        }
        *body += reply->readAll();
        if (static_cast<std::size_t>(body->size()) > transport::kMaxServerListBytes) {
            fail("获取节点列表失败：服务器列表超过 " + std::to_string(transport::kMaxServerListBytes >> 20) +
                 " MB");
            return;
        }
        std::string error;
        int skipped = 0;
        nodes_ = transport::parseServerList(nlohmann::json::parse(body->begin(), body->end(), nullptr, false),
                                            &error, &skipped, allowedSpecialNetworks());
        body->clear();
        if (nodes_.empty()) {
            fail("获取节点列表失败：" + error);
            return;
        }
        kLog.info("节点列表：" + std::to_string(nodes_.size()) + " 个节点（" + where + "）" +
                  (skipped ? "，跳过 " + std::to_string(skipped) + " 个格式不符或地址受限的条目" : ""));
        chooseNode(
            state_.nodeName,
            [this](const Node& node) {
                transport_.start(node, socksPort_);
                // Saved while the transport starts: pointing the desktop then costs only the writes.
                if (const std::string why = desktop_.save(); !why.empty())
                    fail(why);
            },
            [this](const std::string& why) { fail(why); });
    });
}

void ReferenceProvider::chooseNode(const std::string& name, std::function<void(const Node&)> done,
                                   std::function<void(const std::string&)> failed) {
    std::vector<Node> candidates;
    int deadline = kMeasureMs;
    if (transport::isAutomatic(name)) {
        for (const auto& node : nodes_)
            if (transport::unusableReason(node).empty() &&
                std::find(deadNodes_.begin(), deadNodes_.end(), nodeKey(node)) == deadNodes_.end())
                candidates.push_back(node);
        if (candidates.empty()) {
            failed("订阅中没有可用的节点（仅支持 AEAD 加密）");
            return;
        }
    } else {
        const Node* node = transport::findNode(nodes_, name);
        if (!node) {
            failed("节点不在订阅的服务器列表中：" + name);
            return;
        }
        if (auto why = transport::unusableReason(*node); !why.empty()) {
            failed(why);
            return;
        }
        candidates.push_back(*node);
        deadline = kNodeCheckMs;
    }
    if (capture_.capturing()) {
        // A probe now would measure the relay. A named node is proved by the transport's own check
        // (a failure goes back to the previous node); the automatic route ranks by the last probes.
        const auto rank = [this](const Node& node) {
            const auto it = measuredMs_.find(nodeKey(node));
            return it == measuredMs_.end() ? std::numeric_limits<int>::max() : it->second;
        };
        const auto best = std::min_element(candidates.begin(), candidates.end(),
                                           [&](const Node& a, const Node& b) { return rank(a) < rank(b); });
        kLog.info("选择节点：" + platform::escapedForLog(best->remarks) +
                  "（全局捕获中，按此前测得的连接用时）");
        QMetaObject::invokeMethod(
            this, [done, node = *best] { done(node); }, Qt::QueuedConnection);
        return;
    }
    const Phase phase = phase_;
    measureConnectTimes(
        this, candidates, deadline, [this, candidates, phase, done, failed](std::vector<ConnectTime> times) {
            if (phase_ != phase)
                return;
            std::optional<std::size_t> best;
            for (std::size_t i = 0; i < times.size(); ++i)
                if (times[i].ms)
                    measuredMs_[nodeKey(candidates[i])] = *times[i].ms;
            for (std::size_t i = 0; i < times.size(); ++i)
                if (times[i].ms && (!best || *times[i].ms < *times[best.value()].ms))
                    best = i;
            if (!best) {
                if (candidates.size() == 1)
                    failed("节点无法连接：" + candidates[0].remarks + "（" + times[0].error + "）");
                else
                    failed("所有节点都无法连接");
                return;
            }
            kLog.info("选择节点：" + platform::escapedForLog(candidates[*best].remarks) + "（连接用时 " +
                      std::to_string(*times[*best].ms) + " ms）");
            done(candidates[*best]);
        });
}

void ReferenceProvider::onListening(int port) {
    socksPort_ = port;
    checkThroughTunnel(this, port, hostUrl(), kTunnelCheckMs,
                       [this](const std::string& error) { onTunnelChecked(error); });
}

void ReferenceProvider::onTunnelChecked(const std::string& error) {
    if (phase_ == Phase::Ended || !transport_.isRunning())
        return;
    if (!error.empty()) {
        onTransportProblem("节点“" + transport_.node().remarks + "”：" + error);
        return;
    }
    if (switching_) {
        switching_ = false;
        previousNode_.reset();
        kLog.info("已切换到节点：" + platform::escapedForLog(transport_.node().remarks));
        lastTraffic_ = transport_.trafficCounter();
        transport_.tellWhenUsed(); // a new helper: the look starts with its first connection
        if (std::exchange(failingOver_, false))
            reportStatus(kConnected);
        if (pendingSwitch_) {
            const std::string next = *pendingSwitch_;
            pendingSwitch_.reset();
            switchNode(next);
        }
        return;
    }
    if (phase_ == Phase::Connecting) {
        if (!pac_.listen()) {
            fail("无法在 127.0.0.1 上提供 PAC 文件");
            return;
        }
        if (const std::string problem = applyMode(); !problem.empty()) {
            fail(problem);
            return;
        }
        phase_ = Phase::Connected;
        lastTraffic_ = transport_.trafficCounter();
        kLog.info("隧道已连接：节点 " + platform::escapedForLog(transport_.node().remarks) +
                  "，SOCKS5 127.0.0.1:" + std::to_string(socksPort_));
    }
    restarts_ = 0;
    // The look at the node starts with the tunnel's first use: a tunnel never used wakes no one.
    healthTimer_.stop();
    transport_.tellWhenUsed();
    reportStatus(kConnected);
}

void ReferenceProvider::onTransportProblem(const std::string& reason) {
    if (phase_ == Phase::Ended)
        return;
    if (switching_) {
        if (previousNode_) {
            kLog.error("节点切换失败：" + platform::escapedForLog(reason, kLogReasonBytes) + "；恢复原节点");
            const Node node = *previousNode_;
            previousNode_.reset();
            capture_.nodeChanging(node, [this, node] { transport_.start(node, socksPort_); });
            return;
        }
        fail("节点切换失败：" + reason);
        return;
    }
    if (phase_ == Phase::Connected && restarts_ < kMaxRestarts) {
        ++restarts_;
        kLog.error("传输中断：" + platform::escapedForLog(reason, kLogReasonBytes) + "；重新连接");
        reportStatus(kReasserting);
        const Node node = transport_.node();
        transport_.start(node, socksPort_);
        return;
    }
    fail(reason);
}

void ReferenceProvider::switchNode(const std::string& name) {
    state_.nodeName = name;
    if (phase_ != Phase::Connected)
        return; // a start under way picks it up only if it has not chosen yet; the next start does
    if (switching_) {
        pendingSwitch_ = name;
        return;
    }
    switching_ = true;
    chooseNode(
        name,
        [this](const Node& node) {
            const Node& current = transport_.node();
            if (node.server == current.server && node.serverPort == current.serverPort &&
                node.remarks == current.remarks && transport_.isRunning()) {
                switching_ = false;
                return;
            }
            previousNode_ = current;
            capture_.nodeChanging(node, [this, node] { transport_.start(node, socksPort_); });
        },
        [this](const std::string& why) {
            switching_ = false;
            kLog.error("节点切换失败：" + platform::escapedForLog(why, kLogReasonBytes));
        });
}

std::string ReferenceProvider::applyMode() {
    pac_.setSocksPort(socksPort_);
    std::string problem = desktop_.apply({state_.tunMode, socksPort_, pac_.url()});
    if (!problem.empty())
        return problem;
    if (state_.tunMode == kTunModeGlobal)
        capture_.switchOn(transport_.node(), socksPort_, state_.killSwitch);
    else
        capture_.switchOff();
    return {};
}

void ReferenceProvider::fail(const std::string& why) {
    if (phase_ == Phase::Ended)
        return;
    kLog.error("隧道断开：" + platform::escapedForLog(why, kLogReasonBytes));
    end(why);
}

void ReferenceProvider::stop() {
    if (phase_ == Phase::Ended)
        return;
    reportStatus(kDisconnecting);
    end({});
}

void ReferenceProvider::end(const std::string& error) {
    phase_ = Phase::Ended;
    healthTimer_.stop();
    transport_.stop();
    desktop_.restore();
    if (error.empty())
        capture_.switchOff();
    else
        capture_.abandon();
    reportStatus(kDisconnected, error);
    QCoreApplication::exit(0);
}

void ReferenceProvider::shutdown() {
    // One launched ahead and never started has changed nothing, and another may be running.
    if (phase_ != Phase::Ended && phase_ != Phase::Idle) {
        phase_ = Phase::Ended;
        transport_.stop();
        desktop_.restore();
        capture_.abandon(); // the service went away: not the user's stop
    }
    QCoreApplication::exit(0);
}

nlohmann::json ReferenceProvider::stateJson() const {
    // Never the subscription identifier or a password: replies reach logs.
    nlohmann::json state = {{"subscribed", !state_.subuuid.empty()},
                            {"host", state_.host},
                            {"nodeName", state_.nodeName},
                            {"tunMode", state_.tunMode}};
    if (phase_ == Phase::Connected) {
        state["node"] = transport_.node().remarks;
        state["switching"] = switching_; // node is the one being checked until this is false
        state["socksPort"] = socksPort_;
        state["pacUrl"] = pac_.url();
        state.update(capture_.stateJson());
    }
    return state;
}

std::string ReferenceProvider::answer(const std::string& message) {
    nlohmann::json reply = {{"provider", kTunnelBundleId}, {"version", build::kShortVersion}};
    if (message == "Hello") {
        reply["greeting"] = std::string("Hello from ") + kTunnelBundleId + " " + build::kShortVersion;
    } else if (auto uuid = afterPrefix(message, "subuuid.")) {
        if (!uuid->empty())
            state_.subuuid = *uuid;
        reply["ack"] = "subuuid.";
    } else if (auto node = afterPrefix(message, "switchNode.")) {
        switchNode(*node);
        reply["ack"] = message;
    } else if (auto mode = afterPrefix(message, "tunMode.")) {
        if (*mode == kTunModeRule || *mode == kTunModeGlobal) {
            const bool changed = state_.tunMode != *mode;
            state_.tunMode = *mode;
            if (changed && phase_ == Phase::Connected)
                applyMode();
            reply["ack"] = message;
        } else {
            reply["error"] = "未知的运行模式：" + *mode;
        }
    } else {
        reply["error"] = "未知的消息";
    }
    if (phase_ == Phase::Connected && state_.tunMode == kTunModeGlobal)
        if (auto notice = capture_.notice())
            reply["notice"] = *notice;
    reply["state"] = stateJson();
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace nimo::provider
