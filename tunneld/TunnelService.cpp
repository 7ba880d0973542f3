#include "TunnelService.h"

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Redact.h"
#include "tunnel/TunnelConfiguration.h"
#include "tunnel/TunnelTypes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace nimo::tunneld {

using namespace tunnelproto;
using platform::kRedacted;

namespace {
const platform::SystemLog kLog("tunneld");
constexpr int kSpareAfterSubscribeMs = 2000;
// What one peer may leave unread before it is dropped.
constexpr qint64 kMaxBacklog = 256 * 1024;
constexpr std::size_t kMaxOptions = 64;
constexpr const char* kDefaultApplication = "default";

std::string applicationOf(const nlohmann::json& request) {
    return stringField(request, "application").value_or(kDefaultApplication);
}

// Byte for byte, in chunks: every start activates again, and hashing two provider binaries cost
// most of the client's share of a start.
bool sameFile(const QString& a, const QString& b) {
    QFile fa(a), fb(b);
    if (fa.size() != fb.size() || !fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kChunk = 256 * 1024;
    QByteArray ca(kChunk, Qt::Uninitialized), cb(kChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 na = fa.read(ca.data(), kChunk);
        const qint64 nb = fb.read(cb.data(), kChunk);
        if (na != nb || na < 0)
            return false;
        if (na == 0)
            return true;
        if (std::memcmp(ca.constData(), cb.constData(), static_cast<std::size_t>(na)) != 0)
            return false;
    }
}
} // namespace

TunnelService::TunnelService(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)),
      configurations_(options_.stateDir + "/configurations.json"), extensions_(options_.stateDir) {
    connect(&folderWatch_, &QFileSystemWatcher::directoryChanged, this, &TunnelService::onFolderChanged);
    idleTimer_.setSingleShot(true);
    connect(&idleTimer_, &QTimer::timeout, this, [this] {
        if (!isIdle())
            return;
        kLog.info("nimo-tunneld 空闲，退出");
        QCoreApplication::quit();
    });
    spareTimer_.setSingleShot(true);
    connect(&spareTimer_, &QTimer::timeout, this, &TunnelService::keepSpare);
}

TunnelService::~TunnelService() {
    for (auto& [socket, c] : connections_)
        socket->disconnect(this);
    sessions_.clear();
}

bool TunnelService::listen(std::string* error) {
    const QString path = QString::fromStdString(options_.socketPath);
    const std::string dir = QFileInfo(path).absolutePath().toStdString();
    platform::paths::ensureDir(QFileInfo(QString::fromStdString(dir)).absolutePath().toStdString(), 0700);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "无法创建套接字目录 " + dir + "：" + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        *error = "套接字目录不属于本用户或不是目录：" + dir;
        return false;
    }
    ::chmod(dir.c_str(), 0700);
    // Watched before the file exists: a removal right after the first client finds us is seen too.
    folderWatch_.addPath(QString::fromStdString(dir));
    if (!bind(error))
        return false;
    checkIdle();
    return true;
}

bool TunnelService::bind(std::string* error) {
    // The caller holds the instance lock, so a socket file left here belongs to a dead instance.
    ::unlink(options_.socketPath.c_str());
    auto server = std::make_unique<platform::UnixServer>();
    std::string why;
    if (!server->listen(options_.socketPath, 0600, &why)) {
        *error = "无法监听 " + options_.socketPath + "：" + why;
        return false;
    }
    connect(server.get(), &platform::UnixServer::newConnection, this, &TunnelService::onNewConnection);
    server_ = std::move(server);
    return true;
}

void TunnelService::onFolderChanged() {
    if (!server_ || server_->ownsFile())
        return;
    // Someone removed or replaced the socket file: without it no client finds the service.
    const QString dir = QFileInfo(QString::fromStdString(options_.socketPath)).absolutePath();
    platform::paths::ensureDir(dir.toStdString(), 0700);
    if (!folderWatch_.directories().contains(dir))
        folderWatch_.addPath(dir);
    std::string error;
    if (bind(&error))
        kLog.error("控制套接字文件丢失，已重新创建：" + options_.socketPath);
    else
        kLog.error("控制套接字文件丢失，无法重新创建：" + error);
}

void TunnelService::recoverDesktop() {
    const std::string saved = platform::paths::stateDir() + "/desktop-proxy.json";
    const std::string executable = extensions_.installedExecutable(kTunnelBundleId);
    if (!QFileInfo::exists(QString::fromStdString(saved)) || executable.empty())
        return;
    for (const auto& [configuration, s] : sessions_)
        if (s->isRunning())
            return;
    QProcess restore;
    restore.setStandardInputFile(QProcess::nullDevice());
    restore.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    restore.start(QString::fromStdString(executable), {"--restore-desktop"});
    if (!restore.waitForFinished(10000)) {
        restore.kill();
        restore.waitForFinished(1000);
        kLog.error("桌面代理设置的恢复步骤没有结束");
        return;
    }
    const std::string line = restore.readAllStandardOutput().trimmed().toStdString();
    const auto space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string why = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (word == "restored")
        recovery_ = "上次隧道意外结束，已恢复原有的代理设置";
    else if (word == "damaged" || word == "failed")
        recovery_ = why;
    if (!recovery_.empty())
        kLog.notice("启动时恢复桌面代理设置：" + recovery_);
}

bool TunnelService::isIdle() const {
    if (!connections_.empty() || !activations_.empty() || !deferredInstalls_.empty())
        return false;
    for (const auto& [configuration, s] : sessions_)
        if (s->isRunning())
            return false;
    return true;
}

void TunnelService::checkIdle() {
    if (options_.idleExitMs > 0 && isIdle()) {
        if (!idleTimer_.isActive())
            idleTimer_.start(options_.idleExitMs);
    } else {
        idleTimer_.stop();
    }
}

// ---- connections

void TunnelService::refuse(platform::UnixSocket* socket, const TunnelError& error) {
    socket->setParent(this);
    socket->write(encodeLine({{"event", "refused"}, {"error", toJson(error)}}));
    connect(socket, &platform::UnixSocket::disconnected, socket, &QObject::deleteLater);
    socket->closeWhenWritten();
}

void TunnelService::onNewConnection(platform::UnixSocket* socket) {
    struct ucred cred {};
    socklen_t len = sizeof(cred);
    const bool known = ::getsockopt(socket->descriptor(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    if (!known || (cred.uid != ::getuid() && cred.uid != 0)) {
        kLog.error("拒绝连接：对端用户 " + (known ? std::to_string(cred.uid) : std::string("未知")));
        refuse(socket, makeError(Forbidden, "本服务只为它自己的用户服务"));
        return;
    }
    const auto mine = static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(),
                      [&](const auto& entry) { return entry.second->uid == cred.uid; }));
    if (mine >= options_.maxConnectionsPerUser || connections_.size() >= options_.maxConnections) {
        if (refusedForLoad_++ == 0)
            kLog.error("连接过多（用户 " + std::to_string(cred.uid) + " 有 " + std::to_string(mine) +
                       " 个，共 " + std::to_string(connections_.size()) + " 个），拒绝新的连接");
        refuse(socket, makeError(Busy, "隧道服务的连接过多"));
        return;
    }
    if (refusedForLoad_ > 0) {
        kLog.notice("连接数回落，共拒绝了 " + std::to_string(refusedForLoad_) + " 个连接");
        refusedForLoad_ = 0;
    }
    // Owned here, not by the listener: a listener made again after its file was lost keeps them.
    socket->setParent(this);
    auto connection = std::make_unique<Connection>();
    connection->socket = socket;
    connection->uid = cred.uid;
    Connection& c = *connection;
    connections_.emplace(socket, std::move(connection));
    connect(socket, &platform::UnixSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &platform::UnixSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
    checkIdle();
    send(c, {{"event", "hello"}, {"service", kServiceName}, {"version", kVersion}, {"pid", ::getpid()}});
}

void TunnelService::onDisconnected(platform::UnixSocket* socket) {
    auto it = connections_.find(socket);
    if (it == connections_.end() || !it->second->socket)
        return;
    it->second->dropped = true;
    it->second->subscribed = false;
    it->second->socket = nullptr;
    std::erase_if(activations_,
                  [socket](const Activation& a) { return a.socket == socket || a.socket.isNull(); });
    // Removed later: this may run inside a write to the same connection.
    QMetaObject::invokeMethod(
        this,
        [this, socket] {
            connections_.erase(socket);
            socket->deleteLater();
            checkIdle();
            keepSpareIn(0);
        },
        Qt::QueuedConnection);
}

void TunnelService::onReadyRead(platform::UnixSocket* socket) {
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    Connection& c = *it->second;
    const QByteArray bytes = socket->readAll();
    for (auto& line : c.lines.feed(bytes)) {
        if (c.dropped)
            return;
        if (line.overflowed)
            fail(c, nullptr, makeError(LineTooLong, "请求行超过 64 KiB"));
        else
            handleLine(c, line.text);
    }
}

void TunnelService::send(Connection& c, const nlohmann::json& line) {
    if (c.dropped || !c.socket)
        return;
    c.socket->write(encodeLine(line));
    // Written out together once this turn of the loop is done: a burst of events goes out in few
    // large writes, and the backlog is judged after the socket took what it could.
    if (!flushScheduled_) {
        flushScheduled_ = true;
        QMetaObject::invokeMethod(this, &TunnelService::flushAll, Qt::QueuedConnection);
    }
}

void TunnelService::flushAll() {
    flushScheduled_ = false;
    std::vector<platform::UnixSocket*> sockets;
    for (const auto& [socket, c] : connections_)
        if (!c->dropped && c->socket)
            sockets.push_back(socket);
    for (platform::UnixSocket* socket : sockets) {
        auto it = connections_.find(socket);
        if (it == connections_.end() || it->second->dropped || !it->second->socket)
            continue;
        Connection& c = *it->second;
        if (c.socket->bytesToWrite() > static_cast<std::size_t>(kMaxBacklog)) {
            kLog.error("客户端不再读取，断开它");
            c.socket->abort(); // without a signal
            onDisconnected(socket);
        }
    }
}

void TunnelService::sendTo(const QPointer<platform::UnixSocket>& socket, const nlohmann::json& line) {
    if (socket.isNull())
        return;
    auto it = connections_.find(socket.data());
    if (it != connections_.end())
        send(*it->second, line);
}

void TunnelService::answer(Connection& c, const nlohmann::json& id, nlohmann::json result) {
    send(c, {{"id", id}, {"ok", true}, {"result", std::move(result)}});
}

void TunnelService::fail(Connection& c, const nlohmann::json& id, const TunnelError& error) {
    send(c, {{"id", id}, {"ok", false}, {"error", toJson(error)}});
}

void TunnelService::handleLine(Connection& c, const std::string& text) {
    const auto request = nlohmann::json::parse(text, nullptr, false);
    if (!request.is_object()) {
        fail(c, nullptr, makeError(BadRequest, "请求不是 JSON 对象"));
        return;
    }
    const auto idIt = request.find("id");
    if (idIt == request.end() || !(idIt->is_number_integer() || idIt->is_string())) {
        fail(c, nullptr, makeError(BadRequest, "请求缺少 id"));
        return;
    }
    const auto op = stringField(request, "op");
    if (!op) {
        fail(c, *idIt, makeError(BadRequest, "请求缺少 op"));
        return;
    }
    dispatch(c, *idIt, *op, request);
}

// ---- operations

int TunnelService::statusOf(const std::string& configuration) const {
    if (auto it = sessions_.find(configuration); it != sessions_.end())
        return static_cast<int>(it->second->status());
    return configurations_.find(configuration) ? static_cast<int>(VpnStatus::Disconnected)
                                               : static_cast<int>(VpnStatus::Invalid);
}

void TunnelService::broadcastStatus(const std::string& configuration, const std::string& application,
                                    int status, const std::string& reason) {
    nlohmann::json event = {{"event", "status"}, {"configuration", configuration}, {"status", status}};
    if (!reason.empty())
        event["error"] = reason;
    std::vector<platform::UnixSocket*> targets;
    for (const auto& [socket, c] : connections_)
        if (c->subscribed && (c->subscribedApplication.empty() || c->subscribedApplication == application))
            targets.push_back(socket);
    for (platform::UnixSocket* socket : targets)
        if (auto it = connections_.find(socket); it != connections_.end())
            send(*it->second, event);
}

ProviderSession& TunnelService::session(const std::string& configuration, const std::string& application) {
    sessionApplications_[configuration] = application;
    auto& slot = sessions_[configuration];
    if (!slot) {
        slot = std::make_unique<ProviderSession>(configuration, options_.timings);
        // Queued: the answer to the request that caused a change goes out before the change.
        connect(
            slot.get(), &ProviderSession::statusChanged, this,
            [this](const QString& id, int status, const QString& reason) {
                const std::string key = id.toStdString();
                if (!reason.isEmpty())
                    kLog.error("隧道已断开：" + platform::escapedForLog(reason.toStdString(), 600));
                broadcastStatus(key, sessionApplications_[key], status, reason.toStdString());
            },
            Qt::QueuedConnection);
        connect(slot.get(), &ProviderSession::ended, this, &TunnelService::onSessionEnded,
                Qt::QueuedConnection);
    }
    return *slot;
}

void TunnelService::dispatch(Connection& c, const nlohmann::json& id, const std::string& op,
                             const nlohmann::json& request) {
    if (op == "loadAll") {
        nlohmann::json list = nlohmann::json::array();
        for (auto& configuration : configurations_.of(applicationOf(request)))
            list.push_back(std::move(configuration));
        answer(c, id, {{"configurations", std::move(list)}});
    } else if (op == "save") {
        const auto configuration = request.find("configuration");
        if (configuration == request.end() || !configuration->is_object()) {
            fail(c, id, makeError(BadRequest, "save 需要 configuration 对象"));
            return;
        }
        const std::string application = applicationOf(request);
        auto saved = configurations_.save(application, *configuration);
        if (auto* error = std::get_if<TunnelError>(&saved)) {
            fail(c, id, *error);
            return;
        }
        auto& [stored, isNew] = std::get<0>(saved);
        const std::string identifier = stringField(stored, "identifier").value_or("");
        answer(c, id, {{"configuration", stored}});
        if (isNew)
            broadcastStatus(identifier, application, statusOf(identifier));
    } else if (op == "load") {
        const auto identifier = stringField(request, "configuration");
        auto entry = identifier ? configurations_.find(*identifier) : std::nullopt;
        if (!entry || entry->application != applicationOf(request)) {
            fail(c, id, makeError(NotFound, "没有这个配置：" + identifier.value_or("")));
            return;
        }
        answer(c, id, {{"configuration", entry->configuration}});
    } else if (op == "start") {
        opStart(c, id, request);
    } else if (op == "stop") {
        const auto identifier = stringField(request, "configuration");
        if (!identifier) {
            fail(c, id, makeError(BadRequest, "stop 需要 configuration"));
            return;
        }
        auto it = sessions_.find(*identifier);
        const bool stopping = it != sessions_.end() && it->second->stop();
        answer(c, id, {{"status", statusOf(*identifier)}});
        if (!stopping) {
            // Nothing ran: say so, so a client that assumed "disconnecting" learns the truth.
            auto entry = configurations_.find(*identifier);
            broadcastStatus(*identifier, entry ? entry->application : std::string(), statusOf(*identifier));
        }
    } else if (op == "status") {
        const auto identifier = stringField(request, "configuration");
        if (!identifier) {
            fail(c, id, makeError(BadRequest, "status 需要 configuration"));
            return;
        }
        nlohmann::json result = {{"status", statusOf(*identifier)}};
        if (auto it = sessions_.find(*identifier); it != sessions_.end()) {
            result["options"] = it->second->shownOptions();
            result["lastError"] = it->second->lastError();
            result["providerPid"] = it->second->providerPid();
        }
        answer(c, id, std::move(result));
    } else if (op == "message") {
        opMessage(c, id, request);
    } else if (op == "subscribe") {
        c.subscribed = true;
        c.subscribedApplication = stringField(request, "application").value_or("");
        nlohmann::json statuses = nlohmann::json::array();
        for (const auto& entry : configurations_.all()) {
            if (!c.subscribedApplication.empty() && entry.application != c.subscribedApplication)
                continue;
            const std::string identifier = stringField(entry.configuration, "identifier").value_or("");
            statuses.push_back({{"configuration", identifier}, {"status", statusOf(identifier)}});
        }
        nlohmann::json result = {{"statuses", std::move(statuses)}};
        if (!recovery_.empty())
            result["recovery"] = std::exchange(recovery_, std::string());
        answer(c, id, std::move(result));
        // Not at once: a client subscribes while it starts, and its window comes first.
        keepSpareIn(kSpareAfterSubscribeMs);
    } else if (op == "unsubscribe") {
        c.subscribed = false;
        answer(c, id, nlohmann::json::object());
        keepSpareIn(0);
    } else if (op == "activate") {
        opActivate(c, id, request);
    } else if (op == "activation.reply") {
        opActivationReply(c, id, request);
    } else if (op == "approve") {
        opApprove(c, id, request);
    } else {
        fail(c, id, makeError(UnknownOperation, "未知操作：" + op));
    }
}

void TunnelService::opStart(Connection& c, const nlohmann::json& id, const nlohmann::json& request) {
    applyDeferredInstalls();
    const auto identifier = stringField(request, "configuration");
    auto entry = identifier ? configurations_.find(*identifier) : std::nullopt;
    if (!entry) {
        fail(c, id, makeError(NotFound, "没有这个配置：" + identifier.value_or("")));
        return;
    }
    const auto options = request.value("options", nlohmann::json::object());
    bool valid = options.is_object() && options.size() <= kMaxOptions;
    for (auto it = options.begin(); valid && it != options.end(); ++it)
        valid = it->is_string();
    if (!valid) {
        fail(c, id, makeError(BadRequest, "启动选项必须是字符串到字符串的字典"));
        return;
    }
    const auto configuration = configurationFromJson(entry->configuration);
    if (!configuration || configuration->enabled != true) {
        fail(c, id, makeError(ConfigurationDisabled, "配置未启用"));
        return;
    }
    if (!configuration->protocol || !configuration->protocol->isTunnelProvider() ||
        !configuration->protocol->providerBundleIdentifier) {
        fail(c, id, makeError(ExtensionMissing, "配置没有指定隧道提供者"));
        return;
    }
    const std::string extension = *configuration->protocol->providerBundleIdentifier;
    const std::string executable = extensions_.installedExecutable(extension);
    if (executable.empty()) {
        fail(c, id, makeError(ExtensionMissing, "隧道提供者扩展未安装：" + extension));
        return;
    }
    ProviderSession& s = session(*identifier, entry->application);
    if (!s.isRunning() && s.isExiting()) {
        // The previous provider is still on its way out: the start goes on once it is gone.
        QPointer<platform::UnixSocket> socket(c.socket);
        s.whenExited([this, socket, id, request] {
            if (socket.isNull())
                return;
            if (auto it = connections_.find(socket.data()); it != connections_.end() && !it->second->dropped)
                opStart(*it->second, id, request);
        });
        return;
    }
    if (s.isRunning()) {
        if (s.status() == VpnStatus::Disconnecting)
            fail(c, id, makeError(Busy, "隧道正在断开"));
        else
            answer(c, id, {{"status", static_cast<int>(s.status())}});
        return;
    }
    lastExtension_ = extension;
    if (auto error = s.start(executable, extension, options, entry->configuration, spare_.take(executable))) {
        fail(c, id, *error);
        return;
    }
    answer(c, id, {{"status", static_cast<int>(s.status())}});
}

void TunnelService::opMessage(Connection& c, const nlohmann::json& id, const nlohmann::json& request) {
    const auto identifier = stringField(request, "configuration");
    const auto data = request.contains("data") ? fromBase64(request["data"]) : std::nullopt;
    if (!identifier || !data) {
        fail(c, id, makeError(BadRequest, "message 需要 configuration 和 base64 的 data"));
        return;
    }
    auto it = sessions_.find(*identifier);
    if (it == sessions_.end() || !it->second->isRunning()) {
        answer(c, id, {{"data", nullptr}});
        return;
    }
    QPointer<platform::UnixSocket> socket(c.socket);
    const bool accepted = it->second->sendMessage(*data, [this, socket, id](std::optional<QByteArray> reply) {
        sendTo(socket, {{"id", id},
                        {"ok", true},
                        {"result", {{"data", reply ? nlohmann::json(toBase64(*reply)) : nlohmann::json()}}}});
    });
    if (!accepted)
        fail(c, id, makeError(Busy, "等待应答的消息过多"));
}

// ---- activation

void TunnelService::activationEvent(const Activation& a, nlohmann::json fields) {
    fields["event"] = "activation";
    fields["id"] = a.id;
    sendTo(a.socket, fields);
}

void TunnelService::opActivate(Connection& c, const nlohmann::json& id, const nlohmann::json& request) {
    applyDeferredInstalls();
    const auto identifier = stringField(request, "identifier");
    const auto package = stringField(request, "package");
    if (!identifier || !package) {
        fail(c, id, makeError(BadRequest, "activate 需要 identifier 和 package"));
        return;
    }
    auto read = ExtensionStore::readPackage(*package);
    if (auto* error = std::get_if<TunnelError>(&read)) {
        fail(c, id, *error);
        return;
    }
    Activation a{c.socket, id, *package, std::get<PackageInfo>(read), Stage::Replace};
    if (a.info.identifier != *identifier) {
        fail(c, id, makeError(PackageInvalid, "扩展包的标识与请求不符：" + a.info.identifier));
        return;
    }
    answer(c, id, nlohmann::json::object());
    const auto installed = extensions_.installed(*identifier);
    if (installed && installed->shortVersion != a.info.shortVersion) {
        activations_.push_back(a);
        activationEvent(a, {{"callback", "replace"},
                            {"installedVersion", installed->shortVersion},
                            {"newVersion", a.info.shortVersion}});
        return;
    }
    proceedToApproval(std::move(a));
}

void TunnelService::opActivationReply(Connection& c, const nlohmann::json& id,
                                      const nlohmann::json& request) {
    const auto requestId = request.find("request");
    const auto action = integerField(request, "action");
    auto it = std::find_if(activations_.begin(), activations_.end(), [&](const Activation& a) {
        return a.socket == c.socket && a.stage == Stage::Replace && requestId != request.end() &&
               a.id == *requestId;
    });
    if (it == activations_.end() || !action) {
        fail(c, id, makeError(NotFound, "没有等待替换应答的激活请求"));
        return;
    }
    Activation a = *it;
    activations_.erase(it);
    answer(c, id, nlohmann::json::object());
    if (*action == static_cast<int>(ExtensionReplacementAction::Replace))
        proceedToApproval(std::move(a));
    else
        activationEvent(
            a, {{"callback", "failed"}, {"error", toJson(makeError(RequestCanceled, "已取消替换扩展"))}});
}

void TunnelService::proceedToApproval(Activation a) {
    const std::string& identifier = a.info.identifier;
    if (options_.autoApprove || extensions_.isApproved(identifier) || extensions_.installed(identifier)) {
        install(a);
        return;
    }
    kLog.notice("扩展等待用户批准：nimo-tunneld approve " + identifier);
    a.stage = Stage::Approval;
    activations_.push_back(a);
    activationEvent(a, {{"callback", "needsApproval"}});
}

void TunnelService::install(const Activation& a) {
    const std::string& identifier = a.info.identifier;
    bool running = false;
    for (const auto& [configuration, s] : sessions_)
        running = running || (s->isRunning() && s->extension() == identifier);
    const auto installed = extensions_.installed(identifier);
    const QString newExe = QString::fromStdString(a.package + "/Contents/bin/" + a.info.executable);
    if (installed && installed->shortVersion == a.info.shortVersion &&
        sameFile(QString::fromStdString(extensions_.installedExecutable(identifier)), newExe)) {
        activationEvent(a, {{"callback", "finished"}, {"result", kActivationCompleted}});
        return;
    }
    if (running) {
        // The running provider keeps its files; the new version goes in when its tunnel ends.
        deferredInstalls_[identifier] = {a.package, a.info};
        activationEvent(a, {{"callback", "finished"}, {"result", kActivationWillCompleteAfterReboot}});
        return;
    }
    if (auto error = extensions_.install(a.package, a.info)) {
        activationEvent(a, {{"callback", "failed"}, {"error", toJson(*error)}});
        return;
    }
    extensions_.approve(identifier);
    kLog.info("已安装扩展 " + identifier + " " + a.info.shortVersion);
    keepSpareIn(0);
    activationEvent(a, {{"callback", "finished"}, {"result", kActivationCompleted}});
}

void TunnelService::opApprove(Connection& c, const nlohmann::json& id, const nlohmann::json& request) {
    const auto identifier = stringField(request, "identifier");
    if (!identifier) {
        fail(c, id, makeError(BadRequest, "approve 需要 identifier"));
        return;
    }
    if (!extensions_.approve(*identifier)) {
        fail(c, id, makeError(StorageFailed, "无法记录批准"));
        return;
    }
    std::vector<Activation> waiting;
    std::erase_if(activations_, [&](const Activation& a) {
        if (a.stage != Stage::Approval || a.info.identifier != *identifier)
            return false;
        waiting.push_back(a);
        return true;
    });
    answer(c, id, {{"approved", *identifier}, {"pending", waiting.size()}});
    for (const auto& a : waiting)
        install(a);
}

void TunnelService::onSessionEnded(const QString&) {
    applyDeferredInstalls();
    checkIdle();
    keepSpareIn(0);
}

void TunnelService::keepSpareIn(int ms) {
    spareTimer_.start(ms);
}

void TunnelService::keepSpare() {
    bool followed = false;
    for (const auto& [socket, c] : connections_)
        followed = followed || (c->subscribed && !c->dropped);
    bool running = false;
    for (const auto& [configuration, s] : sessions_)
        running = running || s->isRunning() || s->isExiting();
    if (!followed || running) {
        spare_.drop();
        return;
    }
    spare_.prepare(spareExecutable());
}

std::string TunnelService::spareExecutable() const {
    if (!lastExtension_.empty())
        return extensions_.installedExecutable(lastExtension_);
    for (const auto& entry : configurations_.all()) {
        const auto configuration = configurationFromJson(entry.configuration);
        if (configuration && configuration->enabled == true && configuration->protocol &&
            configuration->protocol->isTunnelProvider() && configuration->protocol->providerBundleIdentifier)
            if (auto executable =
                    extensions_.installedExecutable(*configuration->protocol->providerBundleIdentifier);
                !executable.empty())
                return executable;
    }
    return {};
}

void TunnelService::applyDeferredInstalls() {
    for (auto it = deferredInstalls_.begin(); it != deferredInstalls_.end();) {
        bool running = false;
        for (const auto& [configuration, s] : sessions_)
            running = running || (s->isRunning() && s->extension() == it->first);
        if (running) {
            ++it;
            continue;
        }
        if (auto error = extensions_.install(it->second.first, it->second.second))
            kLog.error("延后的扩展安装失败：" + error->description);
        it = deferredInstalls_.erase(it);
    }
}

} // namespace nimo::tunneld
