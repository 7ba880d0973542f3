#include "ProviderSession.h"

#include "platform/Log.h"
#include "platform/Redact.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <utility>

namespace nimo::tunneld {

using namespace tunnelproto;

namespace {
const platform::SystemLog kLog("tunneld");
constexpr std::size_t kMaxPendingMessages = 256;
// A provider that does not read its input is as good as hung.
constexpr qint64 kMaxProviderBacklog = 1024 * 1024;
} // namespace

ProviderSession::ProviderSession(std::string configuration, SessionTimings timings, QObject* parent)
    : QObject(parent), configuration_(std::move(configuration)), timings_(timings) {
    phaseTimer_.setSingleShot(true);
    connect(&phaseTimer_, &QTimer::timeout, this,
            [this] { finish(status_ == VpnStatus::Disconnecting ? "停止超时" : "连接超时", true); });
    for (QTimer* timer : {&livenessTimer_, &answerTimer_, &messageTimer_})
        timer->setSingleShot(true);
    connect(&livenessTimer_, &QTimer::timeout, this, &ProviderSession::checkLiveness);
    connect(&answerTimer_, &QTimer::timeout, this, &ProviderSession::judgeSilence);
    connect(&messageTimer_, &QTimer::timeout, this, &ProviderSession::expireMessages);
}

ProviderSession::~ProviderSession() {
    closeOutput();
    // The running provider and any still in its exit grace period.
    for (QProcess* process : findChildren<QProcess*>()) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
        delete process;
    }
}

qint64 ProviderSession::providerPid() const {
    return process_ ? process_->processId() : 0;
}

void ProviderSession::setStatus(VpnStatus status, const std::string& reason) {
    if (status == status_)
        return;
    status_ = status;
    Q_EMIT statusChanged(QString::fromStdString(configuration_), static_cast<int>(status),
                         QString::fromStdString(reason));
}

std::string ProviderSession::shown(const std::string& text) const {
    std::string out = platform::withoutUrlCredentials(text);
    for (auto it = options_.begin(); it != options_.end(); ++it) {
        if (!platform::isSecretField(it.key()) || !it->is_string() ||
            it->get_ref<const std::string&>().empty())
            continue;
        const std::string& secret = it->get_ref<const std::string&>();
        for (auto pos = out.find(secret); pos != std::string::npos; pos = out.find(secret, pos))
            out.replace(pos, secret.size(), platform::kRedacted);
    }
    return out;
}

nlohmann::json ProviderSession::shownOptions() const {
    nlohmann::json out = nlohmann::json::object();
    for (auto it = options_.begin(); it != options_.end(); ++it)
        out[it.key()] = platform::isSecretField(it.key()) && *it != "" ? nlohmann::json(platform::kRedacted)
                        : it->is_string()
                            ? nlohmann::json(platform::withoutUrlCredentials(it->get<std::string>()))
                            : *it;
    return out;
}

void ProviderSession::whenExited(std::function<void()> fn) {
    if (exiting_.isNull()) {
        fn();
        return;
    }
    afterExit_.push_back(std::move(fn));
}

void ProviderSession::exited() {
    auto waiting = std::move(afterExit_);
    afterExit_.clear();
    Q_EMIT ended(QString::fromStdString(configuration_));
    for (auto& fn : waiting)
        fn();
}

std::optional<LaunchedProvider> launchProvider(const std::string& executable, QObject* parent,
                                               std::string* error) {
    int output[2];
    if (::pipe2(output, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = "无法创建管道";
        return std::nullopt;
    }
    auto* process = new QProcess(parent);
    process->setProgram(QString::fromStdString(executable));
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    const int childEnd = output[1];
    process->setChildProcessModifier([childEnd] {
        // The tunnel belongs to the service: it goes when the service goes, however that happens.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(childEnd, STDOUT_FILENO);
        const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
        ::fcntl(STDOUT_FILENO, F_SETFL, flags & ~O_NONBLOCK);
    });
    process->start();
    ::close(output[1]);
    if (!process->waitForStarted(5000)) {
        *error = process->errorString().toStdString();
        ::close(output[0]);
        delete process;
        return std::nullopt;
    }
    return LaunchedProvider{process, output[0]};
}

void discardProvider(LaunchedProvider& launched) {
    if (launched.outputFd >= 0)
        ::close(launched.outputFd);
    launched.outputFd = -1;
    if (QProcess* process = std::exchange(launched.process, nullptr)) {
        process->disconnect();
        process->kill();
        process->waitForFinished(1000);
        process->deleteLater(); // this may run inside its own finished signal
    }
}

std::optional<TunnelError> ProviderSession::start(const std::string& executable, const std::string& extension,
                                                  nlohmann::json options, nlohmann::json configuration,
                                                  std::optional<LaunchedProvider> launched) {
    if (process_ || !exiting_.isNull()) {
        if (launched)
            discardProvider(*launched);
        return makeError(Busy, "隧道仍在运行");
    }
    if (launched) {
        launched->process->setParent(this);
    } else {
        std::string why;
        launched = launchProvider(executable, this, &why);
        if (!launched)
            return makeError(ProviderFailed, "无法启动隧道提供者：" + why);
    }
    QProcess* process = launched->process;
    outputFd_ = launched->outputFd;
    outputNotifier_ = new QSocketNotifier(outputFd_, QSocketNotifier::Read, this);
    connect(outputNotifier_, &QSocketNotifier::activated, this, &ProviderSession::readOutput);
    process_ = process;
    executable_ = executable;
    extension_ = extension;
    options_ = std::move(options);
    lastError_.clear();
    stopRequested_ = false;
    lines_ = LineBuffer();
    connect(process, &QProcess::finished, this, &ProviderSession::onFinished);
    write({{"type", "start"}, {"options", options_}, {"configuration", std::move(configuration)}});
    lastHeard_.start();
    livenessTimer_.start(timings_.livenessMs);
    phaseTimer_.start(timings_.connectingMs);
    setStatus(VpnStatus::Connecting);
    return std::nullopt;
}

bool ProviderSession::stop() {
    if (!process_)
        return false;
    stopRequested_ = true;
    if (status_ != VpnStatus::Disconnecting) {
        setStatus(VpnStatus::Disconnecting);
        phaseTimer_.start(timings_.disconnectingMs);
        write({{"type", "stop"}});
    }
    return true;
}

bool ProviderSession::sendMessage(const QByteArray& data, ReplyHandler handler) {
    if (messages_.size() >= kMaxPendingMessages)
        return false;
    if (!process_ || status_ == VpnStatus::Disconnecting) {
        handler(std::nullopt);
        return true;
    }
    const std::int64_t id = nextMessage_++;
    PendingMessage pending{std::move(handler), {}};
    pending.age.start();
    messages_.emplace(id, std::move(pending));
    if (!messageTimer_.isActive())
        messageTimer_.start(timings_.messageMs);
    write({{"type", "message"}, {"id", id}, {"data", toBase64(data)}});
    return true;
}

void ProviderSession::write(const nlohmann::json& line) {
    if (!process_)
        return;
    process_->write(encodeLine(line));
    // Hand it to the pipe now rather than on the next turn of the loop: messages are latency-bound.
    process_->waitForBytesWritten(0);
    if (process_->bytesToWrite() > kMaxProviderBacklog)
        QMetaObject::invokeMethod(
            this, [this] { finish("隧道提供者不再读取输入", true); }, Qt::QueuedConnection);
}

void ProviderSession::closeOutput() {
    delete outputNotifier_;
    outputNotifier_ = nullptr;
    if (outputFd_ >= 0)
        ::close(outputFd_);
    outputFd_ = -1;
}

void ProviderSession::readOutput() {
    if (!process_ || outputFd_ < 0)
        return;
    QProcess* current = process_;
    QByteArray bytes;
    bool ended = false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(outputFd_, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ended = n == 0 || errno != EAGAIN;
        break;
    }
    if (ended)
        closeOutput();
    if (!bytes.isEmpty())
        onOutput(bytes);
    if (ended && process_ == current)
        onOutputClosed();
}

void ProviderSession::onOutput(const QByteArray& bytes) {
    QProcess* current = process_;
    lastHeard_.start();
    if (awaitingPong_) {
        awaitingPong_ = false;
        answerTimer_.stop();
        livenessTimer_.start(timings_.livenessMs);
    }
    for (auto& line : lines_.feed(bytes)) {
        if (process_ != current)
            return;
        if (!line.overflowed)
            handleLine(line.text);
    }
}

void ProviderSession::handleLine(const std::string& text) {
    const auto line = nlohmann::json::parse(text, nullptr, false);
    const auto type = stringField(line, "type").value_or("");
    if (type == "status") {
        const auto status = integerField(line, "status").value_or(-1);
        if (auto error = stringField(line, "error"))
            lastError_ = shown(*error);
        // While stopping, only the way down is taken.
        const bool stopping = status_ == VpnStatus::Disconnecting;
        switch (status) {
        case static_cast<int>(VpnStatus::Disconnected):
            if (!draining_)
                finish(lastError_, false);
            break;
        case static_cast<int>(VpnStatus::Connected):
            if (!stopping) {
                phaseTimer_.stop();
                setStatus(VpnStatus::Connected);
            }
            break;
        case static_cast<int>(VpnStatus::Connecting):
        case static_cast<int>(VpnStatus::Reasserting):
            if (!stopping) {
                if (status_ == VpnStatus::Connected && !phaseTimer_.isActive())
                    phaseTimer_.start(timings_.connectingMs);
                setStatus(static_cast<VpnStatus>(status));
            }
            break;
        case static_cast<int>(VpnStatus::Disconnecting):
            if (!stopping) {
                phaseTimer_.start(timings_.disconnectingMs);
                setStatus(VpnStatus::Disconnecting);
            }
            break;
        default:
            kLog.error("隧道提供者报告了未知状态：" + std::to_string(status));
        }
        return;
    }
    if (type == "reply") {
        auto id = integerField(line, "id");
        auto it = id ? messages_.find(*id) : messages_.end();
        if (it == messages_.end())
            return;
        auto handler = std::move(it->second.handler);
        messages_.erase(it);
        if (messages_.empty())
            messageTimer_.stop();
        auto data = line.find("data");
        auto reply = data != line.end() ? fromBase64(*data) : std::nullopt;
        if (reply)
            reply = QByteArray::fromStdString(shown(reply->toStdString()));
        handler(reply);
        return;
    }
    // "pong" and anything else only prove the provider is alive.
}

void ProviderSession::checkLiveness() {
    if (!process_)
        return;
    // Heard from lately (a reply, a status): alive; look again a whole interval after that.
    const qint64 quiet = lastHeard_.elapsed();
    if (quiet < timings_.livenessMs) {
        livenessTimer_.start(static_cast<int>(timings_.livenessMs - quiet));
        return;
    }
    ping();
}

void ProviderSession::ping() {
    livenessTimer_.stop();
    awaitingPong_ = true;
    stallForgiven_ = false;
    pingSent_.start();
    answerTimer_.start(timings_.silenceMs);
    write({{"type", "ping"}});
}

void ProviderSession::judgeSilence() {
    if (!process_)
        return;
    // A pong that arrived while this service was not running counts before silence is judged.
    readOutput();
    if (!process_ || !awaitingPong_)
        return;
    // Judged far later than due: this service stood still (stopped, suspended), and the provider
    // gets one more whole wait of the service's own running time.
    if (!stallForgiven_ && pingSent_.elapsed() > 2LL * timings_.silenceMs) {
        stallForgiven_ = true;
        answerTimer_.start(timings_.silenceMs);
        return;
    }
    finish("隧道提供者没有响应", true);
}

void ProviderSession::expireMessages() {
    std::vector<std::int64_t> late;
    qint64 oldest = 0;
    for (const auto& [id, m] : messages_) {
        const qint64 age = m.age.elapsed();
        if (age >= timings_.messageMs)
            late.push_back(id);
        else
            oldest = std::max(oldest, age);
    }
    for (auto id : late) {
        auto it = messages_.find(id);
        if (it == messages_.end())
            continue;
        auto handler = std::move(it->second.handler);
        messages_.erase(it);
        handler(std::nullopt);
    }
    if (!messages_.empty())
        messageTimer_.start(static_cast<int>(timings_.messageMs - oldest));
    // An unanswered message is a hint the provider hangs: look now rather than at the next check.
    if (!late.empty() && process_ && !awaitingPong_)
        ping();
}

void ProviderSession::onOutputClosed() {
    if (!process_ || draining_)
        return;
    // A provider that closed its output can report nothing more: it should be exiting. One that
    // does not is stuck.
    QPointer<QProcess> current = process_;
    QTimer::singleShot(timings_.exitGraceMs, this, [this, current] {
        if (current && process_ == current)
            finish("隧道提供者没有响应", true);
    });
}

void ProviderSession::onFinished() {
    if (!process_)
        return;
    // What it wrote before it went: replies, and the reason it gave. Its last report of
    // disconnected only leaves that reason; the end is handled here.
    draining_ = true;
    readOutput();
    draining_ = false;
    closeOutput();
    if (!process_)
        return;
    QProcess* process = process_;
    const bool crashed = process->exitStatus() == QProcess::CrashExit || process->exitCode() != 0;
    if (lastError_.empty() && crashed)
        lastError_ = "隧道提供者异常退出";
    if (crashed)
        runRestoreStep();
    process_ = nullptr;
    process->deleteLater();
    phaseTimer_.stop();
    livenessTimer_.stop();
    answerTimer_.stop();
    awaitingPong_ = false;
    answerAllMessages();
    setStatus(VpnStatus::Disconnected, stopRequested_ ? std::string() : lastError_);
    exited();
}

void ProviderSession::finish(const std::string& error, bool kill) {
    if (!process_)
        return;
    if (!error.empty())
        lastError_ = error;
    // A stop that was asked for and went as planned is no failure to report.
    const bool failed = !stopRequested_ || (kill && !error.empty());
    phaseTimer_.stop();
    livenessTimer_.stop();
    answerTimer_.stop();
    awaitingPong_ = false;
    answerAllMessages();
    // The session is free for a new start at once; the old process gets its grace period alone.
    // A new start waits for it (whenExited), so two providers of one tunnel never run at once.
    closeOutput();
    QProcess* process = process_;
    process_ = nullptr;
    exiting_ = process;
    process->disconnect(this);
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    connect(process, &QProcess::finished, this, [this] {
        exiting_ = nullptr;
        exited();
    });
    if (kill) {
        process->kill();
        process->waitForFinished(1000);
        runRestoreStep();
    } else {
        process->closeWriteChannel();
        QTimer::singleShot(timings_.exitGraceMs, process, [process] { process->kill(); });
    }
    setStatus(VpnStatus::Disconnected, failed ? lastError_ : std::string());
}

void ProviderSession::runRestoreStep() {
    QProcess restore;
    restore.setProgram(QString::fromStdString(executable_));
    restore.setArguments({"--restore-desktop"});
    restore.setStandardInputFile(QProcess::nullDevice());
    if (executable_.empty() || !restore.startDetached())
        kLog.error("无法运行隧道提供者的恢复步骤");
}

void ProviderSession::answerAllMessages() {
    messageTimer_.stop();
    auto messages = std::move(messages_);
    messages_.clear();
    for (auto& [id, m] : messages)
        m.handler(std::nullopt);
}

} // namespace nimo::tunneld
