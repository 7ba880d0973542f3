#include "app/ConnectJob.h"

#include "app/ServiceLoader.h"
#include "platform/MainQueue.h"
#include "tunnel/VPNTunnelManager.h"

namespace nimo {

ConnectJob::ConnectJob(ServiceLoader& loader, VPNTunnelManager& tunnel, QObject* parent)
    : QObject(parent), loader_(loader), tunnel_(tunnel) {
    connect(&tunnel_, &VPNTunnelManager::startFinished, this, [this](bool started, const QString&) {
        if (running_)
            finish(started ? Outcome::Started : Outcome::Failed);
    });
}

void ConnectJob::start() {
    if (running_)
        return;
    running_ = true;
    const int run = ++generation_;
    loader_.loadSubscription([this, run](bool success, const std::optional<QString>& message) {
        if (run != generation_ || !running_)
            return;
        if (!success) {
            finish(Outcome::Refused, message.value_or(QString()));
            return;
        }
        activate();
    });
}

void ConnectJob::activate() {
    const int run = generation_;
    tunnel_.activateExtension([this, run](bool submitted) {
        platform::postToMain(this, [this, run, submitted] {
            if (run != generation_ || !running_ || submitted)
                return;
            finish(Outcome::Refused, QStringLiteral("！！！请求系统激活失败"));
        });
    });
}

void ConnectJob::cancel() {
    if (!running_)
        return;
    tunnel_.cancelStart();
    finish(Outcome::Cancelled);
}

void ConnectJob::finish(Outcome outcome, const QString& message) {
    running_ = false;
    ++generation_;
    Q_EMIT finished(outcome, message);
}

} // namespace nimo
