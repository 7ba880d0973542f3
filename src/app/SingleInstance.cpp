#include "app/SingleInstance.h"

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/UnixSocket.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>
#include <unistd.h>

namespace nimo {

namespace {
// A peer gets one short line; anything longer is not ours.
constexpr std::size_t kMaxLine = 600;
constexpr int kMaxToken = 512;
constexpr int kPeerTimeoutMs = 2000;
} // namespace

SingleInstance::SingleInstance(QString dir, QObject* parent)
    : QObject(parent), dir_(std::move(dir)), lock_(dir_ + QStringLiteral("/nimo.lock")) {
    // The holder runs for days: only a dead holder makes the lock stale, never its age.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::becomePrimary() {
    if (!platform::paths::ensureDir(dir_.toStdString(), 0700)) {
        platform::consoleLog("singleInstance.dir.failed: " + dir_.toStdString());
        return true; // no directory to coordinate in: run rather than refuse to start
    }
    if (!lock_.tryLock(0))
        return false;
    const std::string path = socketPath().toStdString();
    ::unlink(path.c_str()); // left behind by a holder that died
    server_ = std::make_unique<platform::UnixServer>();
    connect(server_.get(), &platform::UnixServer::newConnection, this, &SingleInstance::onNewConnection);
    std::string why;
    if (!server_->listen(path, 0600, &why))
        platform::consoleLog("singleInstance.listen.failed: " + why);
    return true;
}

void SingleInstance::onNewConnection(platform::UnixSocket* socket) {
    socket->setParent(this);
    connect(socket, &platform::UnixSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &platform::UnixSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kPeerTimeoutMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void SingleInstance::onReadyRead(platform::UnixSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= kMaxLine) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }
    const QByteArray line = socket->readLine().trimmed();
    const QList<QByteArray> words = line.split(' ');
    if (static_cast<std::size_t>(line.size()) <= kMaxLine && words.size() <= 2 && words[0] == kShowCommand) {
        const QString token = words.size() == 2 ? QString::fromLatin1(words[1]) : QString();
        platform::consoleLog(std::string("singleInstance.show: another launch asked for the main window") +
                             (token.isEmpty() ? "" : ", with an activation token"));
        socket->write("ok\n", 3);
        Q_EMIT activationRequested(isToken(token) ? token : QString());
    }
    socket->closeWhenWritten();
}

bool SingleInstance::isToken(const QString& text) {
    if (text.isEmpty() || text.size() > kMaxToken)
        return false;
    for (const QChar c : text)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    return true;
}

QString SingleInstance::launchToken() {
    for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
        const QString token = qEnvironmentVariable(name);
        if (isToken(token))
            return token;
    }
    return {};
}

void SingleInstance::adoptToken(const QString& token) {
    if (!isToken(token))
        return;
    // Qt's Wayland window presents (and forgets) this one on its next activation request. X11
    // window managers take an activation without a token.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
}

bool SingleInstance::notifyPrimary(int timeoutMs, const QString& token) {
    QElapsedTimer timer;
    timer.start();
    const std::string path = socketPath().toStdString();
    QByteArray request(kShowCommand);
    if (isToken(token))
        request += ' ' + token.toLatin1();
    // The running instance may hold the lock a moment before it listens.
    while (timer.elapsed() < timeoutMs) {
        const auto answer = platform::unixExchange(
            path, request + '\n', kMaxLine, std::max(1, timeoutMs - static_cast<int>(timer.elapsed())));
        if (answer.connected)
            return answer.reply.trimmed() == "ok";
        QThread::msleep(50);
    }
    return false;
}

} // namespace nimo
