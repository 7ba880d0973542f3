#pragma once

#include "tunnel/TunnelConfiguration.h"
#include "tunnel/TunnelTypes.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVersionNumber>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimo {

class NimoShared;

class TunnelServiceClient;

// The one object through which the client controls the tunnel: the configuration kept by the tunnel
// service, start and stop, provider messages, the tunnel status and the activation of the provider
// extension. Everything runs on the main loop; completions and the status listener are called there
// and are dropped when the owner object they were given with is gone.
class VPNTunnelManager : public QObject {
    Q_OBJECT
public:
    // (success, message): the message is absent on success and a Chinese text on failure.
    using Completion = std::function<void(bool success, const std::optional<std::string>& message)>;
    using StatusListener = std::function<void(VpnStatus status)>;
    // true: a request was submitted and its outcome arrives through the activation callbacks.
    using ActivationCompletion = std::function<void(bool submitted)>;

    // Where the manager finds the tunnel service and the extension package.
    struct Setup {
        std::string socketPath;        // control socket of nimo-tunneld
        std::string serviceExecutable; // started when the socket does not answer; empty: never
        std::vector<std::string> serviceArguments;
        std::string packageRoot;      // the application package; the extension lives below it
        QVersionNumber systemVersion; // chooses the text of the approval alert
        int requestTimeoutMs = 15000; // a request the service leaves unanswered this long fails

        // The installed places: the user's runtime socket, nimo-tunneld beside this executable, the
        // package above its bin/ folder, the running system's version.
        static Setup defaults();
    };

    // The process-wide instance, made with Setup::defaults() on first use.
    static VPNTunnelManager& shared();

    explicit VPNTunnelManager(Setup setup, QObject* parent = nullptr);
    ~VPNTunnelManager() override;

    const std::string tunnelBundleID = kTunnelBundleId;

    // Last known tunnel status: set by start and stop and by every status event of the service.
    VpnStatus vpnStatus() const { return vpnStatus_; }
    // Why the tunnel last ended by itself (empty until it did); see tunnelFailed.
    const QString& lastFailureReason() const { return lastFailureReason_; }
    // The configuration last loaded, found or saved; used by stop.
    const std::optional<TunnelConfiguration>& tunnelManager() const { return tunnelManager_; }

    // The single status listener, replacing any earlier one; called with every new status.
    void setOnVpnStatusChange(QObject* owner, StatusListener listener);

    // Loads or creates, repairs, saves and reloads the configuration, then starts the tunnel.
    void startVPN(QObject* context, Completion completion);
    // Stops the tunnel; success when it is disconnected 0.5 s later. Completion optional.
    void stopVPN(QObject* context = nullptr, Completion completion = {});
    // Forwards one provider message when the configuration's status is not invalid. No completion.
    void sendMessage(const std::string& text);
    // Stores the running mode ("rule" or "global") in the shared container, then tells a running
    // tunnel. False, with nothing changed or sent, when it could not be stored.
    bool switchRunningMode(NimoShared& shared, const std::string& mode);

    // Checks the extension package and the status, then submits an activation request. The
    // completion is called before this returns.
    void activateExtension(const ActivationCompletion& completion);
    // <package root>/Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension
    std::string extensionPackagePath() const;

    // Callbacks of the activation request, delivered on the main loop.
    ExtensionReplacementAction requestActionForReplacingExtension(const std::string& existingVersion,
                                                                  const std::string& newVersion);
    void requestNeedsUserApproval();
    void requestDidFinishWithResult(int result);
    void requestDidFailWithError(const TunnelError& error);

    // Handler of the service's status events (any of the client's configurations).
    void vpnStatusDidChange(int status);

    // The reason the tunnel service kept for the last end of the client's tunnel (none when there is
    // no configuration, no reason, or no answer). done is dropped once context is gone.
    void lastFailureReason(QObject* context, std::function<void(const std::optional<std::string>&)> done);
    // Approves the provider for this user through the tunnel service; a waiting activation then goes
    // on. done(approved) is dropped once context is gone.
    void approveExtension(QObject* context, std::function<void(bool approved)> done);

    // Informative text of the approval alert for a system version.
    static QString approvalInformativeText(const QVersionNumber& systemVersion);

Q_SIGNALS:
    // The status changed (from any source: the manager's own start and stop, or the service).
    void vpnStatusChanged(nimo::VpnStatus status);
    // The provider waits for the user's approval; the application shows the alert.
    void approvalNeeded(const QString& informativeText);
    // The tunnel ended by itself (provider died, host lost, a phase timed out); reason is the text
    // the tunnel service recorded, free of secrets. Emitted once per drop, after vpnStatusChanged;
    // a stop the user asked for is no failure.
    void tunnelFailed(const QString& reason);
    // A short text the provider asks the user to see (its reply's "notice"; at most once per start).
    void providerNotice(const QString& text);

public:
    const Setup& setup() const { return setup_; }
    TunnelServiceClient& client() { return *client_; }

private:
    using ConfigurationStep =
        std::function<void(std::optional<TunnelConfiguration>, const std::optional<std::string>& message)>;

    void loadOrCreateManager(ConfigurationStep step);
    void saveAndReload(TunnelConfiguration configuration, ConfigurationStep step);
    std::optional<TunnelConfiguration> findManager(const std::vector<TunnelConfiguration>& list,
                                                   bool createIfMissing) const;
    TunnelConfiguration makeManager() const;
    bool ensureConfiguration(TunnelConfiguration& configuration) const;
    void startTunnel(const TunnelConfiguration& configuration, Completion finish);
    void doStop(Completion finish);
    std::vector<std::pair<std::string, std::string>> startOptions() const;
    void setVpnStatus(VpnStatus status);
    void reportTunnelEnd(const std::string& configuration, bool wasStarting);

    Setup setup_;
    std::unique_ptr<TunnelServiceClient> client_;
    VpnStatus vpnStatus_ = VpnStatus::Invalid;
    std::optional<TunnelConfiguration> tunnelManager_;
    QPointer<QObject> listenerOwner_;
    bool listenerHadOwner_ = false;
    bool released_ = false; // set while the destructor runs
    StatusListener onVpnStatusChange_;
    QString lastFailureReason_;
    bool noticeShown_ = false; // the provider's notice is shown once per start
};

} // namespace nimo
