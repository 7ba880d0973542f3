#include "ReferenceProvider.h"

#include "NimoBuildConfig.h"
#include "platform/JsonFileStore.h"
#include "platform/Paths.h"
#include "tunnel/TunnelTypes.h"

#include <QCoreApplication>
#include <QUrl>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace nimo::provider {

using namespace tunnelproto;

namespace {
constexpr int kDisconnected = 1, kConnecting = 2, kConnected = 3, kDisconnecting = 5;

std::string startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : std::string("\x01");
}
} // namespace

ReferenceProvider::ReferenceProvider(QObject* parent)
    : QObject(parent), input_(STDIN_FILENO, QSocketNotifier::Read) {
    connect(&input_, &QSocketNotifier::activated, this, &ReferenceProvider::onInput);
    probeTimer_.setSingleShot(true);
    connect(&probeTimer_, &QTimer::timeout, this, [this] { hostFailed("超时"); });
}

void ReferenceProvider::onInput() {
    char buffer[16384];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        // The service is gone; so is the tunnel.
        QCoreApplication::exit(0);
        return;
    }
    if (n < 0)
        return;
    for (const auto& line : lines_.feed(buffer, static_cast<std::size_t>(n)))
        if (!line.overflowed)
            handle(nlohmann::json::parse(line.text, nullptr, false));
}

void ReferenceProvider::send(const nlohmann::json& line) {
    const QByteArray bytes = encodeLine(line);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(STDOUT_FILENO, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            QCoreApplication::exit(1);
            return;
        }
        done += n;
    }
}

void ReferenceProvider::reportStatus(int status, const std::string& error) {
    nlohmann::json line = {{"type", "status"}, {"status", status}};
    if (!error.empty())
        line["error"] = error;
    send(line);
}

void ReferenceProvider::handle(const nlohmann::json& line) {
    const auto type = stringField(line, "type").value_or("");
    if (type == "start" && !started_) {
        start(line.value("options", nlohmann::json::object()));
    } else if (type == "stop") {
        stop();
    } else if (type == "ping") {
        send({{"type", "pong"}});
    } else if (type == "message") {
        const auto id = integerField(line, "id");
        const auto data = line.contains("data") ? fromBase64(line["data"]) : std::nullopt;
        if (!id)
            return;
        nlohmann::json reply = {{"type", "reply"}, {"id", *id}};
        if (data)
            reply["data"] = toBase64(QByteArray::fromStdString(answer(data->toStdString())));
        send(reply);
    }
}

void ReferenceProvider::start(const nlohmann::json& options) {
    started_ = true;
    // The start options come first; the shared container fills what they lack.
    platform::JsonFileStore shared(platform::paths::sharedDomainFile());
    auto pick = [&](const char* option, const char* sharedKey, const std::string& fallback) {
        if (auto value = stringField(options, option))
            return *value;
        if (sharedKey)
            if (auto value = shared.string(sharedKey))
                return *value;
        return fallback;
    };
    state_.subuuid = pick("subuuid", kSharedSubUuid, "");
    state_.host = pick("host", nullptr, "");
    state_.nodeName = pick("nodeName", kSharedNodeName, "");
    state_.tunMode = pick("tunMode", kSharedTunMode, kTunModeRule);
    reportStatus(kConnecting);
    checkHost();
}

void ReferenceProvider::checkHost() {
    const QUrl url(QString::fromStdString(state_.host));
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == "http" ? 80 : 443);
    if (url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
        hostFailed("地址无效");
        return;
    }
    probe_ = std::make_unique<QTcpSocket>();
    connect(probe_.get(), &QTcpSocket::connected, this, &ReferenceProvider::hostAnswered);
    connect(probe_.get(), &QTcpSocket::errorOccurred, this,
            [this] { hostFailed(probe_ ? probe_->errorString().toStdString() : std::string()); });
    probeTimer_.start(kHostCheckMs);
    probe_->connectToHost(url.host(), static_cast<quint16>(port));
}

void ReferenceProvider::hostAnswered() {
    probeTimer_.stop();
    if (probe_) {
        probe_->disconnect(this);
        probe_->abort();
        probe_.release()->deleteLater();
    }
    reportStatus(kConnected);
}

void ReferenceProvider::hostFailed(const std::string& why) {
    probeTimer_.stop();
    if (probe_) {
        probe_->disconnect(this);
        probe_->abort();
        probe_.release()->deleteLater();
    }
    reportStatus(kDisconnected, "隧道主机无法连接：" + state_.host + "（" + why + "）");
    QCoreApplication::exit(0);
}

void ReferenceProvider::stop() {
    probeTimer_.stop();
    reportStatus(kDisconnecting);
    reportStatus(kDisconnected);
    QCoreApplication::exit(0);
}

nlohmann::json ReferenceProvider::stateJson() const {
    return {{"subuuid", state_.subuuid},
            {"host", state_.host},
            {"nodeName", state_.nodeName},
            {"tunMode", state_.tunMode}};
}

std::string ReferenceProvider::answer(const std::string& message) {
    nlohmann::json reply = {{"provider", kTunnelBundleId}, {"version", build::kShortVersion}};
    if (message == "Hello") {
        reply["greeting"] = std::string("Hello from ") + kTunnelBundleId + " " + build::kShortVersion;
    } else if (auto uuid = startsWith(message, "subuuid."); uuid != "\x01") {
        state_.subuuid = uuid;
        reply["ack"] = message;
    } else if (auto node = startsWith(message, "switchNode."); node != "\x01") {
        state_.nodeName = node;
        reply["ack"] = message;
    } else if (auto mode = startsWith(message, "tunMode."); mode != "\x01") {
        if (mode == kTunModeRule || mode == kTunModeGlobal) {
            state_.tunMode = mode;
            reply["ack"] = message;
        } else {
            reply["error"] = "未知的运行模式：" + mode;
        }
    } else {
        reply["error"] = "未知的消息";
    }
    reply["state"] = stateJson();
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace nimo::provider
