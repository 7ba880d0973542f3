#pragma once

#include "tunnel/TunnelProtocol.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace nimo::provider {

// The reference tunnel provider: takes the start options, checks that the service host answers,
// reports its status and answers the provider messages of the contract. It carries no traffic.
// Speaks line JSON with nimo-tunneld on stdin/stdout.
class ReferenceProvider : public QObject {
    Q_OBJECT
public:
    struct State {
        std::string subuuid, host, nodeName, tunMode;
    };

    explicit ReferenceProvider(QObject* parent = nullptr);

    static constexpr int kHostCheckMs = 5000;

private:
    void onInput();
    void handle(const nlohmann::json& line);
    void start(const nlohmann::json& options);
    void checkHost();
    void hostAnswered();
    void hostFailed(const std::string& why);
    void stop();
    std::string answer(const std::string& message);
    nlohmann::json stateJson() const;
    void send(const nlohmann::json& line);
    void reportStatus(int status, const std::string& error = {});

    QSocketNotifier input_;
    tunnelproto::LineBuffer lines_;
    State state_;
    bool started_ = false;
    std::unique_ptr<QTcpSocket> probe_;
    QTimer probeTimer_;
};

} // namespace nimo::provider
