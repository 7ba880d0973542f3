#pragma once

#include "NodeList.h"
#include "platform/Paths.h"

#include <QAbstractSocket>
#include <QNetworkReply>
#include <QObject>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimo::provider {

// The transport helper process (nimo-transport) for one node: a SOCKS5 port on 127.0.0.1 whose
// connections go through that node. The node's password goes to the helper over its stdin pipe.
class Transport : public QObject {
    Q_OBJECT
public:
    explicit Transport(std::string helperPath, QObject* parent = nullptr);
    ~Transport() override;

    // Launches a helper that waits for its node, so that the next start skips the process start.
    void prepare();
    // Starts the helper for node on port (0: any free port). listening() or failed() follows.
    void start(const transport::Node& node, int port);
    // Ends the helper and waits for it, so its port is free again when this returns.
    void stop();
    bool isRunning() const { return process_ != nullptr; }
    // A counter that moves whenever the helper's loop woke (0 when unknown): a change means someone
    // used the tunnel since the last look.
    std::uint64_t trafficCounter() const;
    // Asks the helper for one used() at its next connection.
    void tellWhenUsed();
    int port() const { return port_; }
    const transport::Node& node() const { return node_; }

    static constexpr int kStartMs = 5000;

Q_SIGNALS:
    void listening(int port);
    void failed(const QString& reason); // could not start
    void exited(const QString& reason); // went away after it listened
    void used();

private:
    void onOutput();
    void onFinished();
    void end(const QString& reason);
    QProcess* launch();
    void dropPrepared();

    std::string helperPath_;
    QProcess* process_ = nullptr;
    QProcess* prepared_ = nullptr;
    platform::paths::FileStamp preparedFile_; // the helper's file when prepared_ was launched
    QByteArray output_;
    QString helperError_;
    transport::Node node_;
    int port_ = 0;
    bool listening_ = false;
    QTimer startTimer_;
};

// A failed request or connection, in words for the user.
std::string networkErrorText(QNetworkReply::NetworkError error);
std::string socketErrorText(QAbstractSocket::SocketError error);

// TCP connect time of each node (milliseconds), measured in parallel; nullopt for a node that did not
// connect within deadlineMs. done gets one entry per node, in order, and why the failures failed.
struct ConnectTime {
    std::optional<int> ms;
    std::string error;
};
void measureConnectTimes(QObject* owner, const std::vector<transport::Node>& nodes, int deadlineMs,
                         std::function<void(std::vector<ConnectTime>)> done);

// One HTTP request to target through the SOCKS5 port: "" when an answer came back through the node,
// the reason otherwise.
void checkThroughTunnel(QObject* owner, int socksPort, const QUrl& target, int deadlineMs,
                        std::function<void(std::string error)> done);

} // namespace nimo::provider
