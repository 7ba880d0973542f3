#include "tunnel/VPNTunnelManager.h"

#include "tunnel/TunnelServiceClient.h"

namespace nimo {

VPNTunnelManager::Setup VPNTunnelManager::Setup::defaults() {
    return {};
}

VPNTunnelManager& VPNTunnelManager::shared() {
    static auto* instance = new VPNTunnelManager(Setup::defaults());
    return *instance;
}

VPNTunnelManager::VPNTunnelManager(Setup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup)), client_(std::make_unique<TunnelServiceClient>()) {}

VPNTunnelManager::~VPNTunnelManager() = default;

void VPNTunnelManager::setOnVpnStatusChange(QObject* owner, StatusListener listener) {
    listenerOwner_ = owner;
    onVpnStatusChange_ = std::move(listener);
}
void VPNTunnelManager::startVPN(QObject*, Completion) {}
void VPNTunnelManager::stopVPN(QObject*, Completion) {}
void VPNTunnelManager::sendMessage(const std::string&) {}
void VPNTunnelManager::activateExtension(const ActivationCompletion& completion) {
    if (completion)
        completion(false);
}
std::string VPNTunnelManager::extensionPackagePath() const {
    return setup_.packageRoot + "/Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension";
}
ExtensionReplacementAction VPNTunnelManager::requestActionForReplacingExtension(const std::string&,
                                                                                const std::string&) {
    return ExtensionReplacementAction::Replace;
}
void VPNTunnelManager::requestNeedsUserApproval() {}
void VPNTunnelManager::requestDidFinishWithResult(int) {}
void VPNTunnelManager::requestDidFailWithError(const TunnelError&) {}
void VPNTunnelManager::vpnStatusDidChange(int status) {
    vpnStatus_ = static_cast<VpnStatus>(status);
}
QString VPNTunnelManager::approvalInformativeText(const QVersionNumber&) {
    return {};
}

} // namespace nimo
