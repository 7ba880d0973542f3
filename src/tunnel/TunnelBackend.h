#pragma once

#include "tunnel/TunnelConfiguration.h"
#include "tunnel/TunnelTypes.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nimo {

// What the tunnel manager needs of the system's tunnel service: configurations, start and stop,
// provider messages, activation, and the status events. The client of nimo-tunneld is the one the
// application uses; screen tests drive tunnel states through a backend of their own. Callbacks run
// on the main loop and are dropped once their context object is gone (a null context: always call).
class TunnelBackend : public QObject {
    Q_OBJECT
public:
    using MaybeError = std::optional<TunnelError>;
    using ConfigurationsHandler = std::function<void(std::vector<TunnelConfiguration>, const MaybeError&)>;
    using ConfigurationHandler = std::function<void(std::optional<TunnelConfiguration>, const MaybeError&)>;
    using ErrorHandler = std::function<void(const MaybeError&)>;
    using StatusHandler = std::function<void(int status, const MaybeError&)>;
    using ReplyHandler = std::function<void(std::optional<QByteArray> reply, const MaybeError&)>;

    // The four callbacks of an activation request.
    struct ActivationCallbacks {
        std::function<ExtensionReplacementAction(const std::string& installedVersion,
                                                 const std::string& newVersion)>
            replace;
        std::function<void()> needsUserApproval;
        std::function<void(int result)> finished;
        std::function<void(const TunnelError& error)> failed;
    };

    using QObject::QObject;

    virtual void loadAllFromPreferences(QObject* context, ConfigurationsHandler handler) = 0;
    // Answers with the configuration as stored (a first save gives it its identifier).
    virtual void saveToPreferences(QObject* context, const TunnelConfiguration& configuration,
                                   ConfigurationHandler handler) = 0;
    virtual void loadFromPreferences(QObject* context, const std::string& identifier,
                                     ConfigurationHandler handler) = 0;
    // An error means the start request was refused.
    virtual void startVPNTunnel(QObject* context, const std::string& identifier,
                                const std::map<std::string, std::string>& options, ErrorHandler handler) = 0;
    // handler (optional) hears whether the service took the stop.
    virtual void stopVPNTunnel(const std::string& identifier, QObject* context = nullptr,
                               ErrorHandler handler = {}) = 0;
    virtual void status(QObject* context, const std::string& identifier, StatusHandler handler) = 0;
    // The reply is the provider's answer, or none.
    virtual void sendProviderMessage(QObject* context, const std::string& identifier, const QByteArray& data,
                                     ReplyHandler handler) = 0;
    // From now on the current status of every configuration and each change arrive as statusChanged.
    virtual void subscribeStatus() = 0;
    virtual void submitActivationRequest(QObject* context, const std::string& identifier,
                                         const std::string& packagePath, ActivationCallbacks callbacks) = 0;
    // Approves the provider for this user, so a waiting activation goes on.
    virtual void approveExtension(const std::string& identifier, QObject* context, ErrorHandler handler) = 0;
    // Fails every waiting request and activation with error, at once.
    virtual void cancelAll(const TunnelError& error) = 0;

Q_SIGNALS:
    // A status of one configuration, from the subscription snapshot or a change.
    void statusChanged(const QString& configuration, int status);
    // A running tunnel ended by itself; reason is what the service recorded (sent after statusChanged).
    void tunnelDropped(const QString& configuration, const QString& reason);
    // The connection to the service closed (service stopped or killed).
    void serviceLost();
    // The service put back desktop settings a tunnel that ended unexpectedly had left; text says so.
    void desktopRecovered(const QString& text);
};

} // namespace nimo
