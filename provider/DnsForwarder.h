#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QUdpSocket>
#include <functional>
#include <string>

namespace nimo::provider {

// A SERVFAIL answer to query (same id and question), or empty for something that is no query.
QByteArray servfailFor(const QByteArray& query);

// Global mode's DNS forwarder: the firewall redirects the user's DNS (UDP and TCP port 53, to any
// server) here; each query goes on over TCP through the SOCKS5 port to the tunnel's resolver, so
// no query leaves the machine outside the tunnel. While the tunnel is down every query gets
// SERVFAIL at once instead of a client's timeout.
class DnsForwarder : public QObject {
    Q_OBJECT
public:
    explicit DnsForwarder(QHostAddress resolver, QObject* parent = nullptr);

    bool listen(); // UDP and TCP on 127.0.0.1 and ::1, one port; port() is then set
    int port() const { return port_; }
    void setSocksPort(int port) { socksPort_ = port; }

    static constexpr int kQueryMs = 5000;
    static constexpr int kMaxPending = 256;
    static constexpr qsizetype kMaxTcpBuffer = 65536 + 2;

private:
    // Answers query through the tunnel; answer gets the reply, or SERVFAIL.
    void resolve(const QByteArray& query, std::function<void(const QByteArray&)> answer);
    void onDatagrams(QUdpSocket* socket);
    void onTcpClient(QTcpServer* server);

    QHostAddress resolver_;
    QUdpSocket udp4_, udp6_;
    QTcpServer tcp4_, tcp6_;
    int port_ = 0;
    int socksPort_ = 0;
    int pending_ = 0;
};

} // namespace nimo::provider
