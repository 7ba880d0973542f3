#include "DnsForwarder.h"

#include "PeerUid.h"
#include "Relay.h"

#include <QNetworkDatagram>
#include <QPointer>
#include <QTimer>
#include <memory>

namespace nimo::provider {

namespace {
constexpr int kHeader = 12;

quint16 be16(const QByteArray& bytes, qsizetype at) {
    return static_cast<quint16>((static_cast<uchar>(bytes[at]) << 8) | static_cast<uchar>(bytes[at + 1]));
}
} // namespace

QByteArray servfailFor(const QByteArray& query) {
    if (query.size() < kHeader || (static_cast<uchar>(query[2]) & 0x80))
        return {}; // too short, or already an answer
    // The question is copied when there is exactly one and it is well formed.
    qsizetype end = kHeader;
    bool question = be16(query, 4) == 1;
    while (question) {
        if (end >= query.size()) {
            question = false;
            break;
        }
        const int label = static_cast<uchar>(query[end]);
        if (label == 0) {
            end += 1 + 4;
            question = end <= query.size();
            break;
        }
        if (label > 63) {
            question = false;
            break;
        }
        end += 1 + label;
    }
    QByteArray reply = query.left(question ? end : kHeader);
    reply[2] = static_cast<char>(0x80 | (static_cast<uchar>(query[2]) & 0x79)); // QR, opcode, RD
    reply[3] = static_cast<char>(0x80 | 0x02);                                  // RA, SERVFAIL
    reply[4] = 0;
    reply[5] = question ? 1 : 0;
    for (int i = 6; i < kHeader; ++i)
        reply[i] = 0;
    return reply;
}

DnsForwarder::DnsForwarder(QHostAddress resolver, QObject* parent)
    : QObject(parent), resolver_(std::move(resolver)) {
    connect(&udp4_, &QUdpSocket::readyRead, this, [this] { onDatagrams(&udp4_); });
    connect(&udp6_, &QUdpSocket::readyRead, this, [this] { onDatagrams(&udp6_); });
    connect(&tcp4_, &QTcpServer::newConnection, this, [this] { onTcpClient(&tcp4_); });
    connect(&tcp6_, &QTcpServer::newConnection, this, [this] { onTcpClient(&tcp6_); });
}

bool DnsForwarder::listen() {
    if (port_)
        return true;
    // One port for both: the firewall redirects UDP and TCP to the same one.
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!udp4_.bind(QHostAddress::LocalHost, 0))
            return false;
        const quint16 port = udp4_.localPort();
        if (tcp4_.listen(QHostAddress::LocalHost, port)) {
            port_ = port;
            udp6_.bind(QHostAddress::LocalHostIPv6, port);
            tcp6_.listen(QHostAddress::LocalHostIPv6, port);
            return true;
        }
        udp4_.close();
    }
    return false;
}

void DnsForwarder::resolve(const QByteArray& query, std::function<void(const QByteArray&)> answer) {
    if (socksPort_ == 0 || pending_ >= kMaxPending || resolver_.isNull()) {
        answer(servfailFor(query));
        return;
    }
    ++pending_;
    QPointer<DnsForwarder> self(this);
    auto done = std::make_shared<std::function<void(const QByteArray&)>>();
    *done = [self, query, answer, done](const QByteArray& reply) {
        if (!*done)
            return;
        if (self)
            --self->pending_;
        answer(reply.isEmpty() ? servfailFor(query) : reply);
        *done = nullptr;
    };
    socks5Connect(this, socksPort_, resolver_, 53, kQueryMs, [this, query, done](QTcpSocket* socket) {
        if (!socket) {
            (*done)({});
            return;
        }
        QByteArray framed;
        framed.append(static_cast<char>(query.size() >> 8)).append(static_cast<char>(query.size() & 0xff));
        framed.append(query);
        socket->write(framed);
        auto buffer = std::make_shared<QByteArray>();
        auto finish = [socket, done](const QByteArray& reply) {
            socket->disconnect();
            socket->abort();
            socket->deleteLater();
            if (*done)
                (*done)(reply);
        };
        connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, finish] {
            *buffer += socket->readAll();
            if (buffer->size() > kMaxTcpBuffer) {
                finish({});
                return;
            }
            if (buffer->size() >= 2 && buffer->size() >= 2 + be16(*buffer, 0))
                finish(buffer->mid(2, be16(*buffer, 0)));
        });
        connect(socket, &QTcpSocket::disconnected, socket, [finish] { finish({}); });
        connect(socket, &QTcpSocket::errorOccurred, socket, [finish] { finish({}); });
        QTimer::singleShot(kQueryMs, socket, [finish] { finish({}); });
    });
}

void DnsForwarder::onDatagrams(QUdpSocket* socket) {
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(65536);
        const QByteArray query = datagram.data();
        if (servfailFor(query).isEmpty())
            continue;
        QPointer<QUdpSocket> to(socket);
        const QHostAddress peer = datagram.senderAddress();
        const quint16 peerPort = static_cast<quint16>(datagram.senderPort());
        resolve(query, [to, peer, peerPort](const QByteArray& reply) {
            if (to)
                to->writeDatagram(reply, peer, peerPort);
        });
    }
}

void DnsForwarder::onTcpClient(QTcpServer* server) {
    while (QTcpSocket* client = server->nextPendingConnection()) {
        client->setParent(this);
        // What a capture redirected here came from a table whose ports nimo-netd found to be ours;
        // a direct connection must be the user's own.
        const int fd = static_cast<int>(client->socketDescriptor());
        QHostAddress target;
        quint16 targetPort = 0;
        const bool redirected = originalDestination(fd, &target, &targetPort);
        if (!redirected && !peerIsOwnUser(fd)) {
            client->abort();
            client->deleteLater();
            continue;
        }
        auto buffer = std::make_shared<QByteArray>();
        QPointer<QTcpSocket> peer(client);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        QTimer::singleShot(4 * kQueryMs, client, [client] { client->abort(); });
        connect(client, &QTcpSocket::readyRead, client, [this, client, buffer, peer] {
            *buffer += client->readAll();
            if (buffer->size() > kMaxTcpBuffer) {
                client->abort();
                return;
            }
            while (buffer->size() >= 2 && buffer->size() >= 2 + be16(*buffer, 0)) {
                const QByteArray query = buffer->mid(2, be16(*buffer, 0));
                buffer->remove(0, 2 + query.size());
                if (servfailFor(query).isEmpty()) {
                    client->abort();
                    return;
                }
                resolve(query, [peer](const QByteArray& reply) {
                    if (!peer)
                        return;
                    QByteArray framed;
                    framed.append(static_cast<char>(reply.size() >> 8))
                        .append(static_cast<char>(reply.size() & 0xff));
                    peer->write(framed + reply);
                });
            }
        });
    }
}

} // namespace nimo::provider
