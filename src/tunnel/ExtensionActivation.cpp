#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/NotificationNames.h"
#include "tunnel/TunnelBackend.h"
#include "tunnel/VPNTunnelManager.h"

#include <QFileInfo>

// The tunnel manager's side of the provider's activation: the package check, the request and its
// four callbacks, and the start a completed activation leads to.
namespace nimo {

namespace {
const platform::SystemLog& vpnLog() {
    static const platform::SystemLog log("VPNTunnelManager");
    return log;
}
// Stands for the system's default log, which has no category of its own.
const platform::SystemLog& defaultLog() {
    static const platform::SystemLog log("default");
    return log;
}

constexpr const char* kExtensionSubpath =
    "/Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension";
} // namespace

std::string VPNTunnelManager::extensionPackagePath() const {
    return setup_.packageRoot + kExtensionSubpath;
}

void VPNTunnelManager::activateExtension(const ActivationCompletion& completion) {
    const std::string path = extensionPackagePath();
    platform::printLine("extenstionPath: " + path);
    if (!QFileInfo::exists(QString::fromStdString(path))) {
        platform::printLine("扩展包路径不存在：" + path);
        if (completion)
            completion(false);
        return;
    }
    platform::printLine("vpnStatus=" + std::to_string(static_cast<int>(vpnStatus_)));
    if (vpnStatus_ != VpnStatus::Invalid && vpnStatus_ != VpnStatus::Disconnected) {
        if (completion)
            completion(false);
        return;
    }
    TunnelBackend::ActivationCallbacks callbacks;
    callbacks.replace = [this](const std::string& installed, const std::string& next) {
        return requestActionForReplacingExtension(installed, next);
    };
    callbacks.needsUserApproval = [this] { requestNeedsUserApproval(); };
    callbacks.finished = [this](int result) { requestDidFinishWithResult(result); };
    callbacks.failed = [this](const TunnelError& error) { requestDidFailWithError(error); };
    client_->submitActivationRequest(this, tunnelBundleID, path, std::move(callbacks));
    startWanted_ = true;
    if (completion)
        completion(true);
}

void VPNTunnelManager::approveExtension(QObject* context, std::function<void(bool)> done) {
    client_->approveExtension(tunnelBundleID, context,
                              [done = std::move(done)](const TunnelBackend::MaybeError& error) {
                                  if (error)
                                      vpnLog().error("批准扩展失败：" + error->description);
                                  if (done)
                                      done(!error);
                              });
}

void VPNTunnelManager::cancelStart() {
    startWanted_ = false;
}

void VPNTunnelManager::finishStart(bool started, const std::string& message) {
    startWanted_ = false;
    if (!started && !message.empty())
        platform::NotificationCenter::defaultCenter().post(NOTIFY_VPNActivation_Failed,
                                                           QString::fromStdString(message));
    Q_EMIT startFinished(started, QString::fromStdString(message));
}

ExtensionReplacementAction
VPNTunnelManager::requestActionForReplacingExtension(const std::string& existingVersion,
                                                     const std::string& newVersion) {
    vpnLog().info("替换旧版 Extension：" + existingVersion + " → " + newVersion);
    return ExtensionReplacementAction::Replace;
}

void VPNTunnelManager::requestNeedsUserApproval() {
    defaultLog().notice(
        "需要用户授权：请打开「系统设置→隐私与安全性」，找到“来自开发者XXX的系统扩展”并点击允许");
    // Queued, so the callback returns before a modal alert runs.
    platform::postToMain(this,
                         [this] { Q_EMIT approvalNeeded(approvalInformativeText(setup_.systemVersion)); });
}

QString VPNTunnelManager::approvalInformativeText(const QVersionNumber& systemVersion) {
    if (systemVersion.majorVersion() >= 15)
        return QStringLiteral(
            "请打开「系统设置→通用」，找到“登录项与扩展”区域，向下滚动找到“扩展”区域，点击网络扩展,"
            "找到NimoMac“允许”以激活网络扩展");
    return QStringLiteral("请打开「系统设置→隐私与安全性」，向下滚动找到“扩展”区域，点击“添加的扩展”项目中，"
                          "找到NimoMac“允许”以激活网络扩展");
}

void VPNTunnelManager::requestDidFinishWithResult(int result) {
    if (result != kActivationCompleted) {
        vpnLog().error("Extension 激活异常： " + std::to_string(result));
        return;
    }
    if (!startWanted_) {
        // The user gave the start up (signed out) while the activation ran.
        vpnLog().info("Extension 激活成功，启动已取消");
        Q_EMIT startFinished(false, QString());
        return;
    }
    vpnLog().info("Extension 激活成功，开始启动 VPN");
    startVPN(this, [this](bool success, const std::optional<std::string>& message) {
        if (success) {
            platform::printLine("startVPN启动请求已成功发送！");
            if (!startWanted_) {
                // Given up while the start was on its way: take it back.
                Q_EMIT startFinished(false, QString());
                stopVPN();
                return;
            }
            finishStart(true, {});
            return;
        }
        if (message)
            platform::printLine("VPN启动失败：" + *message);
        finishStart(false, startWanted_ ? message.value_or("") : std::string());
    });
}

void VPNTunnelManager::requestDidFailWithError(const TunnelError& error) {
    const std::string text = "激活失败：" + error.description;
    vpnLog().error("Extension 激活失败：" + text + "（错误码：" + std::to_string(error.code) + "）");
    finishStart(false, text);
}

} // namespace nimo
