#pragma once

#include "tunnel/TunnelBackend.h"
#include "tunnel/VPNTunnelManager.h"

#include <memory>

namespace nimo::test {

// A tunnel service the test plays by hand: every request is answered at once (one stored
// configuration, starts and stops accepted, activations finished), and the statuses arrive only
// when the test sends them.
class ScriptedTunnel : public TunnelBackend {
public:
    void loadAllFromPreferences(QObject*, ConfigurationsHandler handler) override {
        handler(stored ? std::vector<TunnelConfiguration>{*stored} : std::vector<TunnelConfiguration>{},
                std::nullopt);
    }
    void saveToPreferences(QObject*, const TunnelConfiguration& configuration,
                           ConfigurationHandler handler) override {
        stored = configuration;
        if (stored->identifier.empty())
            stored->identifier = "scripted";
        handler(stored, std::nullopt);
    }
    void loadFromPreferences(QObject*, const std::string&, ConfigurationHandler handler) override {
        handler(stored, std::nullopt);
    }
    void startVPNTunnel(QObject*, const std::string&, const std::map<std::string, std::string>& options,
                        ErrorHandler handler) override {
        ++starts;
        lastOptions = options;
        handler(std::nullopt);
    }
    void stopVPNTunnel(const std::string&, QObject*, ErrorHandler handler) override {
        ++stops;
        if (handler)
            handler(std::nullopt);
    }
    void status(QObject*, const std::string&, StatusHandler handler) override {
        handler(current, std::nullopt);
    }
    void sendProviderMessage(QObject*, const std::string&, const QByteArray& data,
                             ReplyHandler handler) override {
        messages.push_back(data.toStdString());
        if (handler)
            handler(std::nullopt, std::nullopt);
    }
    void subscribeStatus() override {}
    void submitActivationRequest(QObject*, const std::string&, const std::string&,
                                 ActivationCallbacks callbacks) override {
        ++activations;
        if (finishActivations && callbacks.finished)
            callbacks.finished(kActivationCompleted);
    }
    void approveExtension(const std::string&, QObject*, ErrorHandler handler) override {
        handler(std::nullopt);
    }
    void cancelAll(const TunnelError&) override {}

    // A status event of the service.
    void report(int status) {
        current = status;
        Q_EMIT statusChanged(QStringLiteral("scripted"), status);
    }

    std::optional<TunnelConfiguration> stored;
    std::map<std::string, std::string> lastOptions;
    std::vector<std::string> messages;
    int current = 1;
    int starts = 0;
    int stops = 0;
    int activations = 0;
    bool finishActivations = true;
};

// A manager over a scripted tunnel; script points at the tunnel, which the manager owns.
inline std::unique_ptr<VPNTunnelManager> scriptedManager(VPNTunnelManager::Setup setup,
                                                         ScriptedTunnel*& script) {
    auto backend = std::make_unique<ScriptedTunnel>();
    script = backend.get();
    return std::make_unique<VPNTunnelManager>(std::move(setup), std::move(backend));
}

} // namespace nimo::test
