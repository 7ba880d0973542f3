#pragma once

#include <QObject>
#include <QString>

namespace nimo {

class ServiceLoader;
class VPNTunnelManager;

// One press of the start button as one object: the subscription check, the activation of the
// provider and the start that follows it, ending in one result. Cancelled (the user signed out), it
// ends at once and whatever is still on its way starts nothing.
class ConnectJob : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        Started,  // the tunnel service took the start; the status events follow
        Refused,  // ended before the activation: message says why, for a toast
        Failed,   // the activation or the start failed; the manager has told the user already
        Cancelled // given up by cancel()
    };
    Q_ENUM(Outcome)

    ConnectJob(ServiceLoader& loader, VPNTunnelManager& tunnel, QObject* parent = nullptr);

    void start();
    void cancel();
    bool running() const { return running_; }

Q_SIGNALS:
    void finished(nimo::ConnectJob::Outcome outcome, const QString& message);

private:
    void activate();
    void finish(Outcome outcome, const QString& message = {});

    ServiceLoader& loader_;
    VPNTunnelManager& tunnel_;
    bool running_ = false;
    int generation_ = 0; // answers of an earlier run are dropped
};

} // namespace nimo
