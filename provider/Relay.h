#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <vector>

namespace nimo::provider {

// Opens a connection to target through the SOCKS5 port on 127.0.0.1: done(socket) once the proxy
// has connected (socket is then a plain byte pipe to target), done(nullptr) when it could not.
void socks5Connect(QObject* owner, int socksPort, const QHostAddress& target, quint16 port, int deadlineMs,
                   std::function<void(QTcpSocket*)> done);

// Global mode's relay: the system's firewall redirects the user's TCP connections here; each goes on
// through the SOCKS5 port to where it was headed (SO_ORIGINAL_DST). A connection that was not
// redirected, or that was headed for the node itself (a stale exemption), is refused, so the relay
// can never feed itself.
class Relay : public QObject {
    Q_OBJECT
public:
    explicit Relay(QObject* parent = nullptr);
    ~Relay() override;

    // Listens on 127.0.0.1 and ::1 (the same port, where IPv6 is there). port() is then set.
    bool listen();
    int port() const { return port_; }
    // 0 while the tunnel is down: connections are refused at once.
    void setSocksPort(int port) { socksPort_ = port; }
    void setNode(std::vector<QHostAddress> addresses, quint16 port);
    std::size_t connections() const { return links_; }

    static constexpr std::size_t kMaxLinks = 1024;
    static constexpr int kConnectMs = 10000;
    static constexpr qint64 kChunk = 256 * 1024;

private:
    // Hands each accepted descriptor over as it is: Qt never reads from a redirected client.
    class RawServer : public QTcpServer {
    public:
        std::function<void(int)> accepted;

    protected:
        void incomingConnection(qintptr fd) override { accepted(static_cast<int>(fd)); }
    };

    void onConnection(int client);
    bool isNode(const QHostAddress& address, quint16 port) const;

    RawServer server4_, server6_;
    int port_ = 0;
    int socksPort_ = 0;
    std::vector<QHostAddress> node_;
    quint16 nodePort_ = 0;
    std::size_t links_ = 0;
};

// Where a redirected connection was headed; false when it was not redirected (a direct connection).
bool originalDestination(int fd, QHostAddress* address, quint16* port);

// Moves bytes both ways between two connected sockets (toA and toB first), which it owns from then on;
// a half-close passes on. Both are closed, and ended called, when both ways have ended or either side
// fails; the returned object then deletes itself.
QObject* splice(int a, int b, QByteArray toA, QByteArray toB, std::function<void()> ended);

} // namespace nimo::provider
