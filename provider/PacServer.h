#pragma once

#include <QTcpServer>
#include <string>
#include <vector>

namespace nimo::provider {

// Names that always go direct in rule mode (each also covers its subdomains).
const std::vector<std::string>& directDomains();
// Address ranges that never go through the tunnel in either mode, as CIDR.
const std::vector<std::string>& directNetworks();

// The rule-mode proxy auto-config script: loopback, private ranges and the direct list go DIRECT,
// everything else through the SOCKS5 port.
std::string pacScript(int socksPort);

// What the bytes seen so far of one request to the PAC port ask for. Every path gets the script.
enum class PacRequest {
    Incomplete, // the head has not ended yet
    TooLarge,   // more than a request head may be
    Get,        // answer with the script
    Head,       // answer with the headers only
};
PacRequest readPacRequest(const QByteArray& seen);

// Serves the script over HTTP on 127.0.0.1 (any path) for the desktop's proxy settings, to the
// user's own processes only.
class PacServer : public QObject {
    Q_OBJECT
public:
    explicit PacServer(QObject* parent = nullptr);
    bool listen();
    void setSocksPort(int port) { socksPort_ = port; }
    std::string url() const;

private:
    void onConnection();
    QTcpServer server_;
    int socksPort_ = 0;
    std::size_t refused_ = 0; // connections of other users
};

} // namespace nimo::provider
