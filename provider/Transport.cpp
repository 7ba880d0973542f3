#include "Transport.h"

#include "platform/Log.h"
#include "platform/Redact.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslSocket>
#include <QTcpSocket>
#include <memory>
#include <signal.h>
#include <sys/prctl.h>

namespace nimo::provider {

namespace {
const platform::SystemLog kLog("provider");
constexpr qsizetype kMaxHelperOutput = 4096;
} // namespace

Transport::Transport(std::string helperPath, QObject* parent)
    : QObject(parent), helperPath_(std::move(helperPath)) {
    startTimer_.setSingleShot(true);
    connect(&startTimer_, &QTimer::timeout, this, [this] { end("传输进程启动超时"); });
}

Transport::~Transport() {
    stop();
    dropPrepared();
}

QProcess* Transport::launch() {
    auto* process = new QProcess(this);
    process->setProgram(QString::fromStdString(helperPath_));
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    return process;
}

void Transport::prepare() {
    if (prepared_ || process_)
        return;
    const auto file = platform::paths::fileStamp(helperPath_);
    if (!file)
        return;
    prepared_ = launch();
    preparedFile_ = *file;
    connect(prepared_, &QProcess::finished, this, &Transport::dropPrepared);
    prepared_->start();
}

void Transport::dropPrepared() {
    if (!prepared_)
        return;
    QProcess* process = std::exchange(prepared_, nullptr);
    process->disconnect(this);
    // Its end of input makes it exit without a node.
    process->closeWriteChannel();
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(1000))
        process->kill();
    process->deleteLater();
}

void Transport::start(const transport::Node& node, int port) {
    stop();
    node_ = node;
    port_ = port;
    listening_ = false;
    output_.clear();
    helperError_.clear();
    QProcess* process = nullptr;
    if (prepared_ && prepared_->state() != QProcess::NotRunning &&
        platform::paths::fileStamp(helperPath_) == preparedFile_) {
        process = std::exchange(prepared_, nullptr);
        process->disconnect(this);
    } else {
        dropPrepared();
    }
    const bool launched = process == nullptr;
    if (launched)
        process = launch();
    connect(process, &QProcess::readyReadStandardOutput, this, &Transport::onOutput);
    connect(process, &QProcess::finished, this, &Transport::onFinished);
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && process == process_)
            end("无法启动传输进程：" + process->errorString());
    });
    process_ = process;
    startTimer_.start(kStartMs);
    if (launched)
        process->start();
    // The secret travels only through this pipe; the copy is wiped once written.
    std::string line = transport::configLine(node, port).dump() + "\n";
    process->write(line.data(), static_cast<qint64>(line.size()));
    std::fill(line.begin(), line.end(), '\0');
    kLog.info("传输进程启动：节点 " + platform::escapedForLog(node.remarks) + "（" +
              platform::escapedForLog(node.server) + ":" + std::to_string(node.serverPort) + "，" +
              platform::escapedForLog(node.method) + "）");
}

void Transport::stop() {
    startTimer_.stop();
    if (!process_)
        return;
    QProcess* process = process_;
    process_ = nullptr;
    process->disconnect(this);
    process->closeWriteChannel();
    if (!process->waitForFinished(1000)) {
        process->kill();
        process->waitForFinished(1000);
    }
    // Later: this may run inside one of the process's own signals.
    process->deleteLater();
    listening_ = false;
}

void Transport::onOutput() {
    if (!process_)
        return;
    output_ += process_->readAllStandardOutput();
    if (output_.size() > kMaxHelperOutput) {
        end("传输进程输出异常");
        return;
    }
    qsizetype newline;
    while ((newline = output_.indexOf('\n')) >= 0) {
        const auto line = nlohmann::json::parse(output_.left(newline).toStdString(), nullptr, false);
        output_.remove(0, newline + 1);
        if (!line.is_object())
            continue;
        if (auto it = line.find("listening"); it != line.end() && it->is_number_integer() && !listening_) {
            listening_ = true;
            startTimer_.stop();
            port_ = it->get<int>();
            Q_EMIT listening(port_);
        } else if (line.value("active", false) == true && listening_) {
            Q_EMIT used();
        } else if (auto error = line.find("error"); error != line.end() && error->is_string()) {
            helperError_ = QString::fromStdString(error->get<std::string>());
        }
    }
}

void Transport::onFinished() {
    if (!process_)
        return;
    QString reason = helperError_;
    if (reason.isEmpty())
        reason = process_->exitStatus() == QProcess::CrashExit ? "传输进程崩溃" : "传输进程意外退出";
    end(reason);
}

void Transport::end(const QString& reason) {
    const bool wasListening = listening_;
    stop();
    kLog.error("传输进程结束：" + platform::escapedForLog(reason.toStdString(), 600));
    if (wasListening)
        Q_EMIT exited(reason);
    else
        Q_EMIT failed(reason);
}

std::string networkErrorText(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return "连接被拒绝";
    case QNetworkReply::RemoteHostClosedError:
        return "服务器关闭了连接";
    case QNetworkReply::HostNotFoundError:
        return "找不到服务器";
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return "服务器没有及时传完";
    case QNetworkReply::SslHandshakeFailedError:
        return "TLS 握手失败";
    case QNetworkReply::UnknownContentError: // the decoder refused a body that grows too far
        return "内容解压后超过上限";
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return "重定向不被接受";
    default:
        return "网络错误（" + std::to_string(static_cast<int>(error)) + "）";
    }
}

std::string socketErrorText(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return "连接被拒绝";
    case QAbstractSocket::RemoteHostClosedError:
        return "对方关闭了连接";
    case QAbstractSocket::HostNotFoundError:
        return "找不到主机";
    case QAbstractSocket::SocketTimeoutError:
        return "连接超时";
    case QAbstractSocket::NetworkError:
        return "网络不可达";
    case QAbstractSocket::SslHandshakeFailedError:
        return "TLS 握手失败";
    default:
        return "无法连接（" + std::to_string(static_cast<int>(error)) + "）";
    }
}

void Transport::tellWhenUsed() {
    if (process_ && listening_)
        process_->write("\n", 1);
}

std::uint64_t Transport::trafficCounter() const {
    if (!process_ || process_->processId() <= 0)
        return 0;
    // The helper's loop runs on its main thread and sleeps until a socket of it wakes it: its context
    // switches count the wake-ups, which socket reads (recv) never show in the io counters.
    QFile status(QStringLiteral("/proc/%1/status").arg(process_->processId()));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    std::uint64_t total = 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
            total += line.mid(line.indexOf(':') + 1).trimmed().toULongLong();
    return total;
}

void measureConnectTimes(QObject* owner, const std::vector<transport::Node>& nodes, int deadlineMs,
                         std::function<void(std::vector<ConnectTime>)> done) {
    struct Round {
        std::vector<ConnectTime> results;
        std::vector<QTcpSocket*> sockets;
        std::size_t open = 0;
        QElapsedTimer clock;
        std::function<void(std::vector<ConnectTime>)> done;
        bool finished = false;
    };
    auto round = std::make_shared<Round>();
    round->results.resize(nodes.size());
    round->open = nodes.size();
    round->done = std::move(done);
    round->clock.start();
    auto finish = [round] {
        if (round->finished)
            return;
        round->finished = true;
        for (QTcpSocket* socket : round->sockets) {
            socket->disconnect();
            socket->abort();
            socket->deleteLater();
        }
        round->sockets.clear();
        auto callback = std::move(round->done);
        callback(std::move(round->results));
    };
    if (nodes.empty()) {
        QMetaObject::invokeMethod(owner, finish, Qt::QueuedConnection);
        return;
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        auto* socket = new QTcpSocket(owner);
        round->sockets.push_back(socket);
        QObject::connect(socket, &QTcpSocket::connected, owner, [round, i, finish] {
            round->results[i].ms = static_cast<int>(round->clock.elapsed());
            if (--round->open == 0)
                finish();
        });
        QObject::connect(socket, &QTcpSocket::errorOccurred, owner, [round, i, socket, finish] {
            if (round->finished || round->results[i].ms || !round->results[i].error.empty())
                return;
            round->results[i].error = socketErrorText(socket->error());
            if (--round->open == 0)
                finish();
        });
        socket->connectToHost(QString::fromStdString(nodes[i].server),
                              static_cast<quint16>(nodes[i].serverPort));
    }
    QTimer::singleShot(deadlineMs, owner, [round, finish] {
        for (auto& r : round->results)
            if (!r.ms && r.error.empty())
                r.error = "连接超时";
        finish();
    });
}

void checkThroughTunnel(QObject* owner, int socksPort, const QUrl& target, int deadlineMs,
                        std::function<void(std::string error)> done) {
    // A socket of its own rather than a network manager: no worker thread to start on the connect's
    // road, and the first bytes back through the node are all the check needs.
    const bool tls = target.scheme() == QLatin1String("https");
    QTcpSocket* socket = tls ? new QSslSocket(owner) : new QTcpSocket(owner);
    socket->setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", static_cast<quint16>(socksPort)));
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto finish = [socket, deadline, done](const std::string& error) {
        deadline->stop();
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        done(error);
    };
    QObject::connect(deadline, &QTimer::timeout, owner,
                     [finish] { finish("节点没有回应（密码或加密方式可能不符）"); });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, owner, [socket, finish] {
        switch (socket->error()) {
        case QAbstractSocket::RemoteHostClosedError:
        case QAbstractSocket::ProxyConnectionClosedError:
            finish("节点断开了连接（密码或加密方式可能不符）");
            break;
        case QAbstractSocket::SocketTimeoutError:
        case QAbstractSocket::ProxyConnectionTimeoutError:
            finish("节点没有回应（密码或加密方式可能不符）");
            break;
        default:
            finish("经节点访问失败：" + socketErrorText(socket->error()));
        }
    });
    const quint16 port = static_cast<quint16>(target.port(tls ? 443 : 80));
    if (tls) {
        auto* secure = static_cast<QSslSocket*>(socket);
        // A certificate, good or not, came back through the node: traffic flows.
        QObject::connect(secure, &QSslSocket::encrypted, owner, [finish] { finish(""); });
        QObject::connect(secure, &QSslSocket::sslErrors, owner, [finish] { finish(""); });
        secure->connectToHostEncrypted(target.host(), port);
    } else {
        const QByteArray path =
            target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
        const QByteArray request =
            "HEAD " + (path.startsWith('/') ? path : "/" + path) +
            " HTTP/1.1\r\nHost: " + target.authority(QUrl::FullyEncoded | QUrl::RemoveUserInfo).toLatin1() +
            "\r\nConnection: close\r\n\r\n";
        QObject::connect(socket, &QAbstractSocket::connected, owner,
                         [socket, request] { socket->write(request); });
        QObject::connect(socket, &QIODevice::readyRead, owner, [finish] { finish(""); });
        socket->connectToHost(target.host(), port);
    }
    deadline->start(deadlineMs);
}

} // namespace nimo::provider
