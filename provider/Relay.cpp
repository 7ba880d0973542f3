#include "Relay.h"

#include "platform/Log.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    bool found = false;
    if (::getsockopt(fd, SOL_IP, kSoOriginalDst, &storage, &len) == 0 && storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        address->setAddress(reinterpret_cast<const sockaddr*>(in));
        *port = ntohs(in->sin_port);
        found = true;
    }
    len = sizeof storage;
    if (!found && ::getsockopt(fd, SOL_IPV6, kIp6SoOriginalDst, &storage, &len) == 0 &&
        storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        address->setAddress(reinterpret_cast<const sockaddr*>(in6));
        *port = ntohs(in6->sin6_port);
        found = true;
    }
    // Connection tracking gives a direct connection an "original" destination too: its own.
    sockaddr_storage local{};
    socklen_t localLen = sizeof local;
    if (!found || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0)
        return found;
    QHostAddress self(reinterpret_cast<const sockaddr*>(&local));
    const quint16 selfPort =
        ntohs(local.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(&local)->sin_port
                                         : reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    return !(*port == selfPort && address->isEqual(self, QHostAddress::ConvertV4MappedToIPv4));
}

namespace {

// Moves bytes both ways between two sockets through kernel pipes: nothing passes through this
// process's memory, which is what keeps the relay within reach of the SOCKS5 port's own speed.
// A half-close passes on; the link ends when both ways have ended or either side fails.
class SocketLink : public QObject {
public:
    SocketLink(int a, int b, QByteArray toA, QByteArray toB, std::function<void()> ended)
        : ended_(std::move(ended)) {
        ways_[0].from = a;
        ways_[0].to = b;
        ways_[0].pending = std::move(toB);
        ways_[1].from = b;
        ways_[1].to = a;
        ways_[1].pending = std::move(toA);
        for (Way& way : ways_) {
            if (::pipe2(way.pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
                failed_ = true;
                continue;
            }
            ::fcntl(way.pipe[1], F_SETPIPE_SZ,
                    static_cast<int>(Relay::kChunk)); // the default 64 KiB if refused
            way.read = new QSocketNotifier(way.from, QSocketNotifier::Read, this);
            way.write = new QSocketNotifier(way.to, QSocketNotifier::Write, this);
            way.write->setEnabled(false);
            connect(way.read, &QSocketNotifier::activated, this, [this, &way] { pump(way); });
            connect(way.write, &QSocketNotifier::activated, this, [this, &way] { pump(way); });
        }
    }
    ~SocketLink() override {
        for (Way& way : ways_) {
            for (int fd : way.pipe)
                if (fd >= 0)
                    ::close(fd);
            ::close(way.from);
        }
        if (ended_)
            ended_();
    }
    void begin() {
        if (failed_) {
            end();
            return;
        }
        for (Way& way : ways_)
            pump(way);
    }

private:
    struct Way {
        int from = -1, to = -1;
        int pipe[2] = {-1, -1};
        qint64 inPipe = 0;
        QByteArray pending; // what Qt had read before the link began
        bool eof = false, done = false;
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };

    void pump(Way& way) {
        if (way.done || over_)
            return;
        // A bounded number of rounds, so that one busy link cannot hold the event loop.
        for (int round = 0; round < 16; ++round) {
            ssize_t n;
            if (!way.pending.isEmpty()) {
                n = ::send(way.to, way.pending.constData(), static_cast<size_t>(way.pending.size()),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0)
                    return blocked(way, false);
                way.pending.remove(0, n);
                continue;
            }
            if (way.inPipe > 0) {
                n = ::splice(way.pipe[0], nullptr, way.to, nullptr, static_cast<size_t>(way.inPipe),
                             SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
                if (n < 0)
                    return blocked(way, false);
                way.inPipe -= n;
                continue;
            }
            if (way.eof) {
                ::shutdown(way.to, SHUT_WR);
                way.done = true;
                way.read->setEnabled(false);
                way.write->setEnabled(false);
                if (ways_[0].done && ways_[1].done)
                    end();
                return;
            }
            // Read only into an empty pipe: EAGAIN then always means the socket has nothing.
            n = ::splice(way.from, nullptr, way.pipe[1], nullptr, static_cast<size_t>(Relay::kChunk),
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n < 0)
                return blocked(way, true);
            if (n == 0)
                way.eof = true;
            way.inPipe += n;
        }
        way.read->setEnabled(way.inPipe == 0 && way.pending.isEmpty() && !way.eof);
        way.write->setEnabled(!way.read->isEnabled());
    }
    void blocked(Way& way, bool reading) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return end();
        way.read->setEnabled(reading);
        way.write->setEnabled(!reading);
    }
    void end() {
        if (over_)
            return;
        over_ = true;
        for (Way& way : ways_)
            if (way.read) {
                way.read->setEnabled(false);
                way.write->setEnabled(false);
            }
        deleteLater();
    }

    Way ways_[2];
    std::function<void()> ended_;
    bool failed_ = false;
    bool over_ = false;
};

} // namespace

QObject* splice(int a, int b, QByteArray toA, QByteArray toB, std::function<void()> ended) {
    ::fcntl(a, F_SETFL, ::fcntl(a, F_GETFL) | O_NONBLOCK);
    ::fcntl(b, F_SETFL, ::fcntl(b, F_GETFL) | O_NONBLOCK);
    auto* link = new SocketLink(a, b, std::move(toA), std::move(toB), std::move(ended));
    link->begin();
    return link;
}

Relay::Relay(QObject* parent) : QObject(parent) {
    for (RawServer* server : {&server4_, &server6_})
        server->accepted = [this](int fd) { onConnection(fd); };
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

void Relay::onConnection(int client) {
    QHostAddress target;
    quint16 targetPort = 0;
    const bool redirected = originalDestination(client, &target, &targetPort);
    if (!redirected || isNode(target, targetPort) || socksPort_ == 0 || links_ >= kMaxLinks) {
        if (redirected && isNode(target, targetPort))
            kLog.error("拒绝中继到节点本身的连接：" + target.toString().toStdString());
        ::close(client);
        return;
    }
    ++links_;
    // Nothing is read from the client until the far side is there.
    QPointer<Relay> self(this);
    socks5Connect(this, socksPort_, target, targetPort, kConnectMs, [self, client](QTcpSocket* upstream) {
        if (!self || !upstream) {
            ::close(client);
            delete upstream;
            if (self)
                --self->links_;
            return;
        }
        // The link takes a descriptor of its own; what Qt read past the proxy's reply goes first.
        const QByteArray early = upstream->readAll();
        const int far = ::fcntl(static_cast<int>(upstream->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        upstream->abort();
        upstream->deleteLater();
        if (far < 0) {
            ::close(client);
            --self->links_;
            return;
        }
        QObject* link = splice(client, far, early, {}, [self] {
            if (self)
                --self->links_;
        });
        link->setParent(self.data());
    });
}

} // namespace nimo::provider
