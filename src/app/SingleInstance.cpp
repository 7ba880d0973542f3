#include "app/SingleInstance.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

namespace nimo {

namespace {
// A peer gets one short line; anything longer is not ours.
constexpr qint64 kMaxLine = 64;
constexpr int kPeerTimeoutMs = 2000;
} // namespace

SingleInstance::SingleInstance(QString dir, QObject* parent)
    : QObject(parent), dir_(std::move(dir)), lock_(dir_ + QStringLiteral("/nimo.lock")) {
    // The holder runs for days: only a dead holder makes the lock stale, never its age.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close();
}

bool SingleInstance::becomePrimary() {
    if (!platform::paths::ensureDir(dir_.toStdString(), 0700)) {
        platform::consoleLog("singleInstance.dir.failed: " + dir_.toStdString());
        return true; // no directory to coordinate in: run rather than refuse to start
    }
    if (!lock_.tryLock(0))
        return false;
    QLocalServer::removeServer(socketPath()); // left behind by a holder that died
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (!server_->listen(socketPath()))
        platform::consoleLog("singleInstance.listen.failed: " + server_->errorString().toStdString());
    return true;
}

void SingleInstance::onNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        socket->setReadBufferSize(kMaxLine);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kPeerTimeoutMs, socket, [socket] { socket->abort(); });
    }
}

void SingleInstance::onReadyRead(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= kMaxLine)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(kMaxLine).trimmed();
    if (line == kShowCommand) {
        platform::consoleLog("singleInstance.show: another launch asked for the main window");
        socket->write("ok\n");
        socket->flush();
        Q_EMIT activationRequested();
    }
    socket->disconnectFromServer();
}

bool SingleInstance::notifyPrimary(int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    // The running instance may hold the lock a moment before it listens.
    while (timer.elapsed() < timeoutMs) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(200)) {
            socket.write(QByteArray(kShowCommand) + '\n');
            socket.waitForBytesWritten(500);
            while (!socket.canReadLine() &&
                   socket.waitForReadyRead(std::max(1, timeoutMs - int(timer.elapsed())))) {
            }
            return socket.readLine(kMaxLine).trimmed() == "ok";
        }
        QThread::msleep(50);
    }
    return false;
}

} // namespace nimo
