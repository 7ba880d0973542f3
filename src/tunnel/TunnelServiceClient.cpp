#include "tunnel/TunnelServiceClient.h"

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/UnixSocket.h"

#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimo {

using namespace tunnelproto;

namespace {
// The service's lines may carry a list of configurations, each up to one request line long.
constexpr std::size_t kMaxServiceLine = 4 * 1024 * 1024;
constexpr int kRetryMs = 20;
// Pauses between attempts to come back to a service that went away.
constexpr int kFirstReconnectMs = 250;
constexpr int kMaxReconnectMs = 5000;

const platform::SystemLog& clientLog() {
    static const platform::SystemLog log("TunnelServiceClient");
    return log;
}

bool contextGone(const QPointer<QObject>& context, bool hadContext) {
    return hadContext && context.isNull();
}
} // namespace

TunnelServiceClient::TunnelServiceClient(Options options, QObject* parent)
    : TunnelBackend(parent), options_(std::move(options)), lines_(kMaxServiceLine) {
    expiryTimer_.setInterval(250);
    connect(&expiryTimer_, &QTimer::timeout, this, &TunnelServiceClient::expireRequests);
    reconnectTimer_.setSingleShot(true);
    connect(&reconnectTimer_, &QTimer::timeout, this, [this] {
        if (!subscribed_ || state_ != State::Idle)
            return;
        // Only a request someone waits for starts the service; coming back just looks for it.
        mayLaunch_ = !pending_.empty();
        ensureConnected();
    });
}

TunnelServiceClient::~TunnelServiceClient() {
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

std::int64_t TunnelServiceClient::send(const std::string& op, nlohmann::json fields, QObject* context,
                                       ResultHandler handler, bool timed) {
    const std::int64_t id = nextId_++;
    if (!fields.is_object())
        fields = nlohmann::json::object();
    fields["id"] = id;
    fields["op"] = op;
    Pending pending{context, context != nullptr, std::move(handler), {}, timed};
    pending.age.start();
    pending_.emplace(id, std::move(pending));
    if (!expiryTimer_.isActive())
        expiryTimer_.start();
    queue_.push_back(encodeLine(fields));
    mayLaunch_ = true;
    ensureConnected();
    if (state_ == State::Ready)
        flushQueue();
    return id;
}

void TunnelServiceClient::request(const std::string& op, nlohmann::json fields, QObject* context,
                                  ResultHandler handler) {
    send(op, std::move(fields), context, std::move(handler));
}

void TunnelServiceClient::ensureConnected() {
    if (state_ != State::Idle)
        return;
    launched_ = false;
    connectClock_.start();
    state_ = State::Connecting;
    connectSocket();
}

bool TunnelServiceClient::socketPathTrusted(std::string* why) const {
    const std::string dir =
        QFileInfo(QString::fromStdString(options_.socketPath)).absolutePath().toStdString();
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return true; // nothing there yet: the service makes it when it starts
    if (!platform::paths::isPrivateDir(dir, why))
        return false;
    if (::lstat(options_.socketPath.c_str(), &st) != 0)
        return true;
    if (!S_ISSOCK(st.st_mode)) {
        *why = options_.socketPath + " 不是套接字";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        *why = options_.socketPath + " 不属于当前用户";
        return false;
    }
    return true;
}

void TunnelServiceClient::refuse(const std::string& why) {
    clientLog().error("拒绝连接隧道服务：" + why);
    state_ = State::Idle;
    servicePid_ = 0;
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
    failAll(makeError(Untrusted, "隧道服务不可信，已拒绝连接：" + why));
    scheduleReconnect();
}

void TunnelServiceClient::scheduleReconnect() {
    if (!subscribed_ || reconnectTimer_.isActive())
        return;
    reconnectDelayMs_ =
        reconnectDelayMs_ == 0 ? kFirstReconnectMs : std::min(reconnectDelayMs_ * 2, kMaxReconnectMs);
    reconnectTimer_.start(reconnectDelayMs_);
}

void TunnelServiceClient::connectSocket() {
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
    }
    std::string why;
    if (!socketPathTrusted(&why)) {
        // Told on the next turn of the loop, never inside the call that asked for the connection.
        QTimer::singleShot(0, this, [this, why] {
            if (state_ == State::Connecting)
                refuse(why);
        });
        return;
    }
    socket_ = new platform::UnixSocket(this);
    connect(socket_, &platform::UnixSocket::connected, this, &TunnelServiceClient::onConnected);
    connect(socket_, &platform::UnixSocket::connectFailed, this, &TunnelServiceClient::onSocketError);
    connect(socket_, &platform::UnixSocket::disconnected, this, &TunnelServiceClient::onDisconnected);
    connect(socket_, &platform::UnixSocket::readyRead, this, &TunnelServiceClient::onReadyRead);
    lines_ = LineBuffer(kMaxServiceLine);
    socket_->connectTo(options_.socketPath);
}

bool TunnelServiceClient::launchService() {
    if (options_.serviceExecutable.empty())
        return false;
    QStringList args;
    for (const auto& a : options_.serviceArguments)
        args << QString::fromStdString(a);
    // The service outlives the client: it gets its own log file, not the client's terminal (a
    // pipe held open by it would keep whoever reads the client's output waiting).
    const std::string logDir = platform::paths::stateDir();
    platform::paths::ensureDir(logDir, 0700);
    QProcess service;
    service.setProgram(QString::fromStdString(options_.serviceExecutable));
    service.setArguments(args);
    service.setStandardInputFile(QProcess::nullDevice());
    service.setStandardOutputFile(QString::fromStdString(logDir + "/tunneld.log"), QIODevice::Append);
    service.setStandardErrorFile(QString::fromStdString(logDir + "/tunneld.log"), QIODevice::Append);
    const bool ok = service.startDetached();
    clientLog().info((ok ? "启动隧道服务：" : "无法启动隧道服务：") + options_.serviceExecutable);
    return ok;
}

void TunnelServiceClient::onConnected() {
    if (state_ != State::Connecting || !socket_)
        return;
    // The socket file may have been swapped since it was checked: the connection itself tells
    // who serves it.
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(socket_->descriptor(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        refuse("无法确认服务进程的用户");
        return;
    }
    if (cred.uid != ::getuid() && cred.uid != 0) {
        refuse("服务进程属于另一个用户（" + std::to_string(cred.uid) + "）");
        return;
    }
    state_ = State::Greeting;
}

void TunnelServiceClient::onSocketError() {
    // Only a connection attempt fails here; a connection that ends says disconnected.
    if (state_ != State::Connecting)
        return;
    // Nobody answers: start the service once, then keep trying until it listens or time runs out.
    if (!launched_) {
        launched_ = true;
        if (!mayLaunch_ || !launchService()) {
            state_ = State::Idle;
            failAll(makeError(ServiceUnavailable, "隧道服务无法连接：" + options_.socketPath));
            scheduleReconnect();
            return;
        }
    }
    if (connectClock_.elapsed() > options_.startTimeoutMs) {
        state_ = State::Idle;
        failAll(makeError(ServiceUnavailable, "隧道服务没有应答：" + options_.socketPath));
        scheduleReconnect();
        return;
    }
    QTimer::singleShot(kRetryMs, this, [this] {
        if (state_ == State::Connecting)
            connectSocket();
    });
}

void TunnelServiceClient::onDisconnected() {
    if (state_ == State::Idle || state_ == State::Connecting)
        return;
    const bool wasReady = state_ == State::Ready;
    state_ = State::Idle;
    servicePid_ = 0;
    failAll(makeError(ConnectionLost, "隧道服务连接已断开"));
    if (wasReady)
        Q_EMIT serviceLost();
    scheduleReconnect();
}

void TunnelServiceClient::onReadyRead() {
    if (!socket_)
        return;
    // The socket may be replaced by a handler (a request after a loss): stop when it is.
    platform::UnixSocket* current = socket_;
    const QByteArray bytes = current->readAll();
    for (auto& line : lines_.feed(bytes)) {
        if (socket_ != current)
            return;
        if (line.overflowed) {
            clientLog().error("隧道服务发来的行过长，已丢弃");
            continue;
        }
        handleLine(line.text);
    }
}

void TunnelServiceClient::handleLine(const std::string& text) {
    const auto message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object()) {
        clientLog().error("隧道服务发来无法解析的行");
        return;
    }
    if (message.contains("event")) {
        handleEvent(message);
        return;
    }
    const auto id = integerField(message, "id");
    if (!id)
        return;
    auto it = pending_.find(*id);
    if (it == pending_.end())
        return;
    Pending pending = std::move(it->second);
    pending_.erase(it);
    if (contextGone(pending.context, pending.hadContext) || !pending.handler)
        return;
    if (boolField(message, "ok").value_or(false)) {
        const auto result = message.find("result");
        pending.handler(result != message.end() ? *result : nlohmann::json::object(), std::nullopt);
    } else {
        const auto error = message.find("error");
        pending.handler(nlohmann::json(), errorFromJson(error != message.end() ? *error : nlohmann::json()));
    }
}

void TunnelServiceClient::handleEvent(const nlohmann::json& event) {
    const auto name = stringField(event, "event").value_or("");
    if (name == "hello") {
        if (integerField(event, "version").value_or(-1) != kVersion) {
            clientLog().error("隧道服务协议版本不符");
            state_ = State::Idle;
            failAll(makeError(ServiceUnavailable, "隧道服务协议版本不符"));
            if (socket_)
                socket_->abort();
            return;
        }
        servicePid_ = integerField(event, "pid").value_or(0);
        state_ = State::Ready;
        reconnectDelayMs_ = 0;
        reconnectTimer_.stop();
        if (subscribed_) {
            // Ahead of everything queued, so the snapshot comes before any answer.
            const std::int64_t id = nextId_++;
            queue_.insert(queue_.begin(), encodeLine({{"id", id}, {"op", "subscribe"}}));
            Pending pending{this,
                            true,
                            [this](const nlohmann::json& result, const MaybeError& error) {
                                applyStatusSnapshot(result, error);
                            },
                            {},
                            true};
            pending.age.start();
            pending_.emplace(id, std::move(pending));
        }
        flushQueue();
        return;
    }
    if (name == "refused") {
        // This user is not served here; nothing will change that by retrying.
        const auto error = event.find("error");
        state_ = State::Idle;
        failAll(errorFromJson(error != event.end() ? *error : nlohmann::json()));
        scheduleReconnect();
        return;
    }
    if (name == "status") {
        auto configuration = stringField(event, "configuration");
        auto status = integerField(event, "status");
        if (!configuration || !status)
            return;
        Q_EMIT statusChanged(QString::fromStdString(*configuration), static_cast<int>(*status));
        const auto reason = stringField(event, "error");
        if (*status == static_cast<int>(VpnStatus::Disconnected) && reason && !reason->empty())
            Q_EMIT tunnelDropped(QString::fromStdString(*configuration), QString::fromStdString(*reason));
        return;
    }
    if (name == "activation") {
        if (auto id = integerField(event, "id"))
            handleActivationEvent(*id, event);
    }
}

void TunnelServiceClient::handleActivationEvent(std::int64_t id, const nlohmann::json& event) {
    auto it = activations_.find(id);
    const auto callback = stringField(event, "callback").value_or("");
    if (it == activations_.end() || contextGone(it->second.context, it->second.hadContext)) {
        if (callback == "replace") // nobody left to ask: keep what is installed
            send("activation.reply", {{"request", id}, {"action", 0}}, nullptr, {});
        if (it != activations_.end() && (callback == "finished" || callback == "failed"))
            activations_.erase(it);
        return;
    }
    auto callbacks = it->second.callbacks;
    // The service spoke: the deadline starts again, and waiting for the user's approval has none.
    it->second.age.restart();
    it->second.waitingForUser = callback == "needsApproval";
    if (callback == "replace") {
        auto action = ExtensionReplacementAction::Cancel;
        if (callbacks.replace)
            action = callbacks.replace(stringField(event, "installedVersion").value_or(""),
                                       stringField(event, "newVersion").value_or(""));
        send("activation.reply", {{"request", id}, {"action", static_cast<int>(action)}}, nullptr, {});
    } else if (callback == "needsApproval") {
        if (callbacks.needsUserApproval)
            callbacks.needsUserApproval();
    } else if (callback == "finished") {
        activations_.erase(id);
        if (callbacks.finished)
            callbacks.finished(static_cast<int>(integerField(event, "result").value_or(0)));
    } else if (callback == "failed") {
        activations_.erase(id);
        const auto error = event.find("error");
        if (callbacks.failed)
            callbacks.failed(errorFromJson(error != event.end() ? *error : nlohmann::json()));
    }
}

void TunnelServiceClient::flushQueue() {
    if (state_ != State::Ready || !socket_)
        return;
    for (const auto& line : queue_)
        socket_->write(line);
    queue_.clear();
}

void TunnelServiceClient::failAll(const TunnelError& error) {
    queue_.clear();
    auto pending = std::move(pending_);
    pending_.clear();
    auto activations = std::move(activations_);
    activations_.clear();
    for (auto& [id, p] : pending)
        if (!contextGone(p.context, p.hadContext) && p.handler)
            p.handler(nlohmann::json(), error);
    for (auto& [id, a] : activations)
        if (!contextGone(a.context, a.hadContext) && a.callbacks.failed)
            a.callbacks.failed(error);
}

void TunnelServiceClient::expireRequests() {
    if (pending_.empty() && activations_.empty()) {
        expiryTimer_.stop();
        return;
    }
    // An activation the service stopped answering fails like a request; a late result finds
    // nobody waiting and starts nothing.
    std::vector<std::int64_t> silent;
    for (const auto& [id, a] : activations_)
        if (!a.waitingForUser && a.age.elapsed() > options_.requestTimeoutMs)
            silent.push_back(id);
    for (auto id : silent) {
        auto it = activations_.find(id);
        if (it == activations_.end())
            continue;
        Activation a = std::move(it->second);
        activations_.erase(it);
        if (!contextGone(a.context, a.hadContext) && a.callbacks.failed)
            a.callbacks.failed(makeError(ServiceUnavailable, "隧道服务没有应答"));
    }
    std::vector<std::int64_t> expired;
    for (const auto& [id, p] : pending_)
        if (p.timed && p.age.elapsed() > options_.requestTimeoutMs)
            expired.push_back(id);
    for (auto id : expired) {
        auto it = pending_.find(id);
        if (it == pending_.end())
            continue;
        Pending p = std::move(it->second);
        pending_.erase(it);
        if (!contextGone(p.context, p.hadContext) && p.handler)
            p.handler(nlohmann::json(), makeError(ServiceUnavailable, "隧道服务没有应答"));
    }
}

void TunnelServiceClient::applyStatusSnapshot(const nlohmann::json& result, const MaybeError& error) {
    if (error || !result.contains("statuses") || !result["statuses"].is_array())
        return;
    for (const auto& entry : result["statuses"]) {
        auto configuration = stringField(entry, "configuration");
        auto status = integerField(entry, "status");
        if (configuration && status)
            Q_EMIT statusChanged(QString::fromStdString(*configuration), static_cast<int>(*status));
    }
    if (auto recovery = stringField(result, "recovery"); recovery && !recovery->empty())
        Q_EMIT desktopRecovered(QString::fromStdString(*recovery));
}

void TunnelServiceClient::subscribeStatus() {
    if (subscribed_)
        return;
    subscribed_ = true;
    if (state_ == State::Ready) {
        // Already greeted: subscribe on this connection now.
        send("subscribe", {}, this, [this](const nlohmann::json& result, const MaybeError& error) {
            applyStatusSnapshot(result, error);
        });
        return;
    }
    ensureConnected();
}

void TunnelServiceClient::loadAllFromPreferences(QObject* context, ConfigurationsHandler handler) {
    send("loadAll", {{"application", options_.application}}, context,
         [handler = std::move(handler)](const nlohmann::json& result, const MaybeError& error) {
             std::vector<TunnelConfiguration> list;
             if (error) {
                 handler(std::move(list), error);
                 return;
             }
             if (auto it = result.find("configurations"); it != result.end() && it->is_array())
                 for (const auto& entry : *it)
                     if (auto c = configurationFromJson(entry))
                         list.push_back(std::move(*c));
             handler(std::move(list), std::nullopt);
         });
}

namespace {
TunnelServiceClient::ResultHandler configurationAnswer(TunnelServiceClient::ConfigurationHandler handler) {
    return [handler = std::move(handler)](const nlohmann::json& result,
                                          const TunnelServiceClient::MaybeError& error) {
        if (error) {
            handler(std::nullopt, error);
            return;
        }
        auto it = result.find("configuration");
        auto configuration = it != result.end() ? configurationFromJson(*it) : std::nullopt;
        if (!configuration) {
            handler(std::nullopt, makeError(BadRequest, "隧道服务的应答缺少配置"));
            return;
        }
        handler(std::move(configuration), std::nullopt);
    };
}
} // namespace

void TunnelServiceClient::saveToPreferences(QObject* context, const TunnelConfiguration& configuration,
                                            ConfigurationHandler handler) {
    send("save", {{"application", options_.application}, {"configuration", toJson(configuration)}}, context,
         configurationAnswer(std::move(handler)));
}

void TunnelServiceClient::loadFromPreferences(QObject* context, const std::string& identifier,
                                              ConfigurationHandler handler) {
    send("load", {{"application", options_.application}, {"configuration", identifier}}, context,
         configurationAnswer(std::move(handler)));
}

void TunnelServiceClient::startVPNTunnel(QObject* context, const std::string& identifier,
                                         const std::map<std::string, std::string>& options,
                                         ErrorHandler handler) {
    nlohmann::json opts = nlohmann::json::object();
    for (const auto& [k, v] : options)
        opts[k] = v;
    send("start", {{"configuration", identifier}, {"options", std::move(opts)}}, context,
         [handler = std::move(handler)](const nlohmann::json&, const MaybeError& error) {
             if (handler)
                 handler(error);
         });
}

void TunnelServiceClient::stopVPNTunnel(const std::string& identifier, QObject* context,
                                        ErrorHandler handler) {
    send("stop", {{"configuration", identifier}}, context,
         [handler = std::move(handler)](const nlohmann::json&, const MaybeError& error) {
             if (handler)
                 handler(error);
         });
}

void TunnelServiceClient::status(QObject* context, const std::string& identifier, StatusHandler handler) {
    send("status", {{"configuration", identifier}}, context,
         [handler = std::move(handler)](const nlohmann::json& result, const MaybeError& error) {
             handler(error ? 0 : static_cast<int>(integerField(result, "status").value_or(0)), error);
         });
}

void TunnelServiceClient::sendProviderMessage(QObject* context, const std::string& identifier,
                                              const QByteArray& data, ReplyHandler handler) {
    send("message", {{"configuration", identifier}, {"data", toBase64(data)}}, context,
         [handler = std::move(handler)](const nlohmann::json& result, const MaybeError& error) {
             if (!handler)
                 return;
             if (error) {
                 handler(std::nullopt, error);
                 return;
             }
             auto it = result.find("data");
             handler(it != result.end() ? fromBase64(*it) : std::nullopt, std::nullopt);
         });
}

void TunnelServiceClient::submitActivationRequest(QObject* context, const std::string& identifier,
                                                  const std::string& packagePath,
                                                  ActivationCallbacks callbacks) {
    // The id of the request names its callbacks; they may start arriving right after the answer.
    const std::int64_t id = nextId_;
    Activation activation{context, context != nullptr, std::move(callbacks), {}, false};
    activation.age.start();
    activations_.emplace(id, std::move(activation));
    send("activate", {{"identifier", identifier}, {"package", packagePath}}, nullptr,
         [this, id](const nlohmann::json&, const MaybeError& error) {
             if (!error)
                 return;
             auto it = activations_.find(id);
             if (it == activations_.end())
                 return;
             Activation a = std::move(it->second);
             activations_.erase(it);
             if (!contextGone(a.context, a.hadContext) && a.callbacks.failed)
                 a.callbacks.failed(*error);
         });
}

void TunnelServiceClient::approveExtension(const std::string& identifier, QObject* context,
                                           ErrorHandler handler) {
    send("approve", {{"identifier", identifier}}, context,
         [handler = std::move(handler)](const nlohmann::json&, const MaybeError& error) {
             if (handler)
                 handler(error);
         });
}

} // namespace nimo
