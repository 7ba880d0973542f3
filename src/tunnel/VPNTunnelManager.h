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
class SettingsStore;
class TunnelBackend;

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
        // Where the start options are read; without them, every option takes its default.
        NimoShared* shared = nullptr;
        const SettingsStore* settings = nullptr;

        // The installed places: the user's runtime socket, nimo-tunneld beside this executable, the
        // package above its bin/ folder, the running system's version.
        static Setup defaults();
    };

    // The process-wide instance, made on first use with the setup main gave configureShared (or
    // Setup::defaults()), over the client of nimo-tunneld.
    static VPNTunnelManager& shared();
    static void configureShared(Setup setup);

    // Over the client of the tunnel service named by setup.
    explicit VPNTunnelManager(Setup setup, QObject* parent = nullptr);
    VPNTunnelManager(Setup setup, std::unique_ptr<TunnelBackend> backend, QObject* parent = nullptr);
    ~VPNTunnelManager() override;

    const std::string tunnelBundleID = kTunnelBundleId;

    // Last known tunnel status: set by start and stop and by every status event of the service.
    VpnStatus vpnStatus() const { return vpnStatus_; }
    // Why the tunnel last ended by itself (empty until it did); see tunnelFailed.
    const QString& lastFailureReason() const { return lastFailureReason_; }
    // The configuration last loaded, found or saved; used by stop.
    const std::optional<TunnelConfiguration>& tunnelManager() const { return tunnelManager_; }

    // The single status listener, replacing any earlier one; called with every change of status.
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
    // completion is called before this returns. A completed activation starts the tunnel, and
    // startFinished tells how that went.
    void activateExtension(const ActivationCompletion& completion);
    // The start asked for by activateExtension is no longer wanted: an activation that completes
    // later starts nothing, and a start already accepted is stopped again.
    void cancelStart();
    bool startPending() const { return startWanted_; }
    // The start under way failed outside the manager (the user declined the approval): message is
    // posted as NOTIFY_VPNActivation_Failed and the start ends.
    void failStart(const std::string& message) { finishStart(false, message); }
    // <package root>/Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension
    std::string extensionPackagePath() const;

    // Callbacks of the activation request, delivered on the main loop.
    ExtensionReplacementAction requestActionForReplacingExtension(const std::string& existingVersion,
                                                                  const std::string& newVersion);
    void requestNeedsUserApproval();
    void requestDidFinishWithResult(int result);
    void requestDidFailWithError(const TunnelError& error);

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
    // the tunnel service recorded, free of secrets, with "加速失败：" in front when the tunnel had not
    // come up yet. Emitted once per drop, after vpnStatusChanged; a stop the user asked for is no
    // failure.
    void tunnelFailed(const QString& reason);
    // The start that followed an activation was accepted (started) or failed; a failure's message
    // has been posted as NOTIFY_VPNActivation_Failed too. Also emitted, not started and with an
    // empty message, for a start given up by cancelStart.
    void startFinished(bool started, const QString& message);
    // A short text the provider asks the user to see (its reply's "notice"; at most once per start).
    void providerNotice(const QString& text);

public:
    const Setup& setup() const { return setup_; }

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
    std::string loggable(const std::string& raw) const;
    // The one place the status changes: logs, signals and calls the listener, on a change only.
    void transition(VpnStatus status);
    void onServiceStatus(int status);
    void onTunnelDropped(const QString& reason);
    void finishStart(bool started, const std::string& message);

    Setup setup_;
    std::unique_ptr<TunnelBackend> client_;
    VpnStatus vpnStatus_ = VpnStatus::Invalid;
    std::optional<TunnelConfiguration> tunnelManager_;
    QPointer<QObject> listenerOwner_;
    bool listenerHadOwner_ = false;
    bool released_ = false; // set while the destructor runs
    StatusListener onVpnStatusChange_;
    QString lastFailureReason_;
    VpnStatus statusBeforeDrop_ = VpnStatus::Invalid;
    bool startWanted_ = false; // an activation or the start it leads to is under way
    bool noticeShown_ = false; // the provider's notice is shown once per start
};

} // namespace nimo
