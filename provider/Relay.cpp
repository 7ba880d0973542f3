#include "Relay.h"

#include "platform/Log.h"

#include <QPointer>
#include <QTimer>
#include <netinet/in.h>
#include <sys/socket.h>

namespace nimo::provider {

namespace {
const platform::SystemLog kLog("relay");
// From the kernel's netfilter headers, which clash with the C library's own.
constexpr int kSoOriginalDst = 80;    // SO_ORIGINAL_DST
constexpr int kIp6SoOriginalDst = 80; // IP6T_SO_ORIGINAL_DST

enum class Step {
    Greeting, // waiting for the method choice
    Connect,  // waiting for the connect reply
    Done,
};
} // namespace

void socks5Connect(QObject* owner, int socksPort, const QHostAddress& target, quint16 port, int deadlineMs,
                   std::function<void(QTcpSocket*)> done) {
    auto* socket = new QTcpSocket(owner);
    auto step = std::make_shared<Step>(Step::Greeting);
    auto finish = std::make_shared<std::function<void(bool)>>();
    *finish = [socket, step, done, finish](bool ok) {
        if (*step == Step::Done)
            return;
        *step = Step::Done;
        QObject::disconnect(socket, nullptr, nullptr, nullptr);
        if (!ok)
            socket->deleteLater();
        done(ok ? socket : nullptr);
        *finish = nullptr; // breaks the cycle through the captured pointer
    };
    QObject::connect(socket, &QTcpSocket::connected, socket,
                     [socket] { socket->write(QByteArray("\x05\x01\x00", 3)); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, step, target, port, finish] {
        if (*step == Step::Greeting) {
            if (socket->bytesAvailable() < 2)
                return;
            const QByteArray choice = socket->read(2);
            if (choice != QByteArray("\x05\x00", 2)) {
                (*finish)(false);
                return;
            }
            QByteArray request("\x05\x01\x00", 3);
            bool isV4 = false;
            const quint32 v4 = target.toIPv4Address(&isV4);
            if (isV4) {
                request.append('\x01');
                for (int shift = 24; shift >= 0; shift -= 8)
                    request.append(static_cast<char>((v4 >> shift) & 0xff));
            } else {
                const Q_IPV6ADDR v6 = target.toIPv6Address();
                request.append('\x04');
                request.append(reinterpret_cast<const char*>(v6.c), 16);
            }
            request.append(static_cast<char>(port >> 8)).append(static_cast<char>(port & 0xff));
            socket->write(request);
            *step = Step::Connect;
        }
        if (*step == Step::Connect) {
            const QByteArray head = socket->peek(5);
            if (head.size() < 5)
                return;
            if (head[0] != '\x05' || head[1] != '\x00') {
                (*finish)(false);
                return;
            }
            const int addressBytes = head[3] == '\x01'   ? 4
                                     : head[3] == '\x04' ? 16
                                                         : 1 + static_cast<uchar>(head[4]);
            const qint64 replyBytes = 4 + addressBytes + 2;
            if (socket->bytesAvailable() < replyBytes)
                return;
            socket->read(replyBytes);
            (*finish)(true);
        }
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [finish] { (*finish)(false); });
    QTimer::singleShot(deadlineMs, socket, [finish] {
        if (*finish)
            (*finish)(false);
    });
    socket->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(socksPort));
}

bool originalDestination(int fd, QHostAddress* address, quint16* port) {
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    if (::getsockopt(fd, SOL_IP, kSoOriginalDst, &storage, &len) == 0 && storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        address->setAddress(reinterpret_cast<const sockaddr*>(in));
        *port = ntohs(in->sin_port);
        return true;
    }
    len = sizeof storage;
    if (::getsockopt(fd, SOL_IPV6, kIp6SoOriginalDst, &storage, &len) == 0 && storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        address->setAddress(reinterpret_cast<const sockaddr*>(in6));
        *port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}

QObject* splice(QTcpSocket* a, QTcpSocket* b, qint64 chunk, std::function<void()> ended) {
    auto* link = new QObject;
    a->setParent(link);
    b->setParent(link);
    a->setReadBufferSize(chunk);
    b->setReadBufferSize(chunk);
    auto closing = std::make_shared<bool>(false);
    auto pump = [chunk](QTcpSocket* from, QTcpSocket* to) {
        // What the other side has not taken yet bounds what is read: a slow reader slows the writer.
        while (from->bytesAvailable() > 0 && to->bytesToWrite() < chunk) {
            const QByteArray bytes = from->read(chunk - to->bytesToWrite());
            if (bytes.isEmpty())
                break;
            to->write(bytes);
        }
    };
    auto close = [link, a, b, closing, ended] {
        if (*closing)
            return;
        *closing = true;
        for (QTcpSocket* s : {a, b}) {
            s->disconnect(link);
            if (s->state() == QAbstractSocket::ConnectedState)
                s->disconnectFromHost(); // what is queued still goes out
        }
        if (ended)
            ended();
        link->deleteLater();
    };
    for (auto pair : {std::pair{a, b}, std::pair{b, a}}) {
        QTcpSocket* from = pair.first; // a plain variable: clang 14 cannot capture a structured binding
        QTcpSocket* to = pair.second;
        QObject::connect(from, &QTcpSocket::readyRead, link, [pump, from, to] { pump(from, to); });
        QObject::connect(to, &QTcpSocket::bytesWritten, link, [pump, from, to] { pump(from, to); });
        QObject::connect(from, &QTcpSocket::disconnected, link, [pump, from, to, close] {
            pump(from, to);
            close();
        });
        QObject::connect(from, &QTcpSocket::errorOccurred, link, [pump, from, to, close] {
            pump(from, to);
            close();
        });
    }
    pump(a, b);
    pump(b, a);
    return link;
}

Relay::Relay(QObject* parent) : QObject(parent) {
    connect(&server4_, &QTcpServer::newConnection, this, [this] { onConnection(&server4_); });
    connect(&server6_, &QTcpServer::newConnection, this, [this] { onConnection(&server6_); });
}

Relay::~Relay() = default;

bool Relay::listen() {
    if (port_)
        return true;
    if (!server4_.listen(QHostAddress::LocalHost, 0))
        return false;
    port_ = server4_.serverPort();
    // IPv6 redirects land on ::1; a machine without IPv6 has none to redirect.
    server6_.listen(QHostAddress::LocalHostIPv6, static_cast<quint16>(port_));
    return true;
}

void Relay::setNode(std::vector<QHostAddress> addresses, quint16 port) {
    node_ = std::move(addresses);
    nodePort_ = port;
}

bool Relay::isNode(const QHostAddress& address, quint16 port) const {
    if (port != nodePort_)
        return false;
    for (const auto& node : node_)
        if (node.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    return false;
}

void Relay::onConnection(QTcpServer* server) {
    while (QTcpSocket* client = server->nextPendingConnection()) {
        QHostAddress target;
        quint16 targetPort = 0;
        const bool redirected =
            originalDestination(static_cast<int>(client->socketDescriptor()), &target, &targetPort);
        const bool toSelf = redirected && target.isLoopback() && targetPort == port_;
        if (!redirected || toSelf || isNode(target, targetPort) || socksPort_ == 0 || links_ >= kMaxLinks) {
            if (redirected && isNode(target, targetPort))
                kLog.error("拒绝中继到节点本身的连接：" + target.toString().toStdString());
            client->abort();
            client->deleteLater();
            continue;
        }
        ++links_;
        client->setParent(nullptr);
        client->setReadBufferSize(kChunk); // nothing read until the far side is there
        QPointer<Relay> self(this);
        QPointer<QTcpSocket> waiting(client);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        socks5Connect(this, socksPort_, target, targetPort, kConnectMs,
                      [self, waiting](QTcpSocket* upstream) {
                          if (!self) {
                              delete upstream;
                              delete waiting.data();
                              return;
                          }
                          if (!upstream || !waiting || waiting->state() != QAbstractSocket::ConnectedState) {
                              --self->links_;
                              if (waiting) {
                                  waiting->abort();
                                  waiting->deleteLater();
                              }
                              if (upstream)
                                  upstream->deleteLater();
                              return;
                          }
                          waiting->disconnect(waiting.data());
                          QObject* link = splice(waiting.data(), upstream, kChunk, [self] {
                              if (self)
                                  --self->links_;
                          });
                          link->setParent(self.data());
                      });
    }
}

} // namespace nimo::provider
