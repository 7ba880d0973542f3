#include "ProviderSpare.h"

#include "platform/Log.h"

#include <QProcess>
#include <unistd.h>

namespace nimo::tunneld {

namespace {
const platform::SystemLog kLog("tunneld");
} // namespace

ProviderSpare::ProviderSpare(QObject* parent) : QObject(parent) {}

ProviderSpare::~ProviderSpare() {
    drop();
}

void ProviderSpare::prepare(const std::string& executable) {
    if (launched_ && executable_ == executable)
        return;
    drop();
    const auto file = platform::paths::fileStamp(executable);
    if (!file)
        return;
    std::string why;
    launched_ = launchProvider(executable, this, &why);
    if (!launched_) {
        kLog.error("无法预先启动隧道提供者：" + why);
        return;
    }
    executable_ = executable;
    file_ = *file;
    // One that ends by itself is not launched again until the next reason to: no crash loop.
    connect(launched_->process, &QProcess::finished, this, [this] {
        kLog.error("预先启动的隧道提供者已退出");
        drop();
    });
}

std::optional<LaunchedProvider> ProviderSpare::take(const std::string& executable) {
    if (!launched_ || executable_ != executable || platform::paths::fileStamp(executable) != file_ ||
        launched_->process->state() != QProcess::Running) {
        drop();
        return std::nullopt;
    }
    LaunchedProvider launched = *std::exchange(launched_, std::nullopt);
    launched.process->disconnect(this);
    return launched;
}

void ProviderSpare::drop() {
    if (launched_)
        discardProvider(*launched_);
    launched_.reset();
}

} // namespace nimo::tunneld
