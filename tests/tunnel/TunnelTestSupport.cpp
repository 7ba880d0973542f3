#include "TunnelTestSupport.h"

#include "DevServer.h"
#include "DevService.h"
#include "LoopbackNodes.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>

namespace nimo::test {

std::string packageRoot() {
    QDir dir(QString::fromStdString(binDir()));
    dir.cdUp();
    return dir.absolutePath().toStdString();
}

std::string extensionPackage(const std::string& root) {
    return root + "/Contents/Library/SystemExtensions/com.nimomac.qn.sysne.systemextension";
}

std::string testPackageRoot() {
    return NIMO_TEST_PACKAGE_ROOT;
}

bool processAlive(qint64 pid) {
    if (pid <= 0)
        return false;
    // A zombie (killed, not yet reaped by its parent) counts as gone.
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

std::vector<qint64> childPids(qint64 parent) {
    std::vector<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(in, text))
            continue;
        const auto close = text.rfind(')');
        if (close == std::string::npos || close + 4 >= text.size() || text[close + 2] == 'Z')
            continue;
        if (std::atoll(text.c_str() + close + 4) == parent)
            children.push_back(pid);
    }
    return children;
}

// ---- service

ServiceHarness::ServiceHarness(bool autoApprove, std::vector<std::string> extraArguments)
    : autoApprove_(autoApprove), extraArguments_(std::move(extraArguments)),
      socketPath_(xdg_.path("XDG_RUNTIME_DIR") + "/nimo/tunneld.sock") {}

ServiceHarness::~ServiceHarness() {
    killService(SIGKILL);
    // The service's and its providers' lines went to its log file: show them when the test failed.
    if (::testing::Test::HasFailure()) {
        std::ifstream in(xdg_.path("XDG_STATE_HOME") + "/nimo/tunneld.log");
        std::cerr << "---- tunneld.log\n" << in.rdbuf() << "----\n";
    }
    for (qint64 pid : adopted_)
        if (processAlive(pid))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    // Providers die with their service; wait until they are gone so nothing outlives the test.
    waitUntil([&] {
        for (qint64 pid : adopted_)
            if (processAlive(pid))
                return false;
        return true;
    });
}

std::string ServiceHarness::serviceExecutable() const {
    return binDir() + "/nimo-tunneld";
}

std::vector<std::string> ServiceHarness::serviceArguments() const {
    if (autoApprove_)
        return {"--auto-approve"};
    return {};
}

bool ServiceHarness::start() {
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::ForwardedChannels);
    // A test process that dies at once (a sanitizer report, a crash) takes its service along: nothing
    // it started may live on holding ctest's output open.
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QStringList args;
    for (const auto& a : serviceArguments())
        args << QString::fromStdString(a);
    for (const auto& a : extraArguments_)
        args << QString::fromStdString(a);
    process_->start(QString::fromStdString(serviceExecutable()), args);
    if (!process_->waitForStarted(5000))
        return false;
    return waitUntil([&] {
        QLocalSocket probe;
        probe.connectToServer(QString::fromStdString(socketPath_));
        return probe.waitForConnected(100);
    });
}

void ServiceHarness::killService(int signal) {
    if (!process_ || process_->state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(process_->processId()), signal);
    process_->waitForFinished(5000);
}

std::pair<std::string, int> ServiceHarness::command(const QStringList& args) const {
    QProcess process;
    process.start(QString::fromStdString(serviceExecutable()),
                  args + QStringList{"--socket", QString::fromStdString(socketPath_)});
    process.waitForFinished(20000);
    return {process.readAllStandardOutput().toStdString(), process.exitCode()};
}

VPNTunnelManager::Setup ServiceHarness::setup(const std::string& root) const {
    VPNTunnelManager::Setup setup;
    setup.socketPath = socketPath_;
    setup.serviceExecutable = serviceExecutable();
    setup.serviceArguments = serviceArguments();
    setup.packageRoot = root;
    setup.systemVersion = QVersionNumber(12);
    // The start options come from the test's own folders, as the application's from the user's.
    setup.shared = &NimoShared::shared();
    if (!settings_)
        settings_ = std::make_unique<SettingsStore>();
    setup.settings = settings_.get();
    return setup;
}

// ---- raw client

RawClient::RawClient(const std::string& socketPath) {
    socket_.connectToServer(QString::fromStdString(socketPath));
    socket_.waitForConnected(2000);
}

void RawClient::sendLine(const QByteArray& line) {
    socket_.write(line);
    socket_.flush();
}

std::int64_t RawClient::send(nlohmann::json request) {
    const std::int64_t id = nextId_++;
    request["id"] = id;
    sendLine(tunnelproto::encodeLine(request));
    return id;
}

void RawClient::pump() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    socket_.waitForReadyRead(5);
    partial_ += socket_.readAll();
    qsizetype newline;
    while ((newline = partial_.indexOf('\n')) >= 0) {
        const QByteArray line = partial_.left(newline);
        partial_.remove(0, newline + 1);
        lines_.push_back(nlohmann::json::parse(line.toStdString(), nullptr, false));
    }
}

std::optional<nlohmann::json> RawClient::answer(std::int64_t id, std::chrono::milliseconds deadline) {
    return find(
        [id](const nlohmann::json& line) {
            return line.value("id", nlohmann::json()) == id && !line.contains("event");
        },
        deadline);
}

std::optional<nlohmann::json> RawClient::event(const std::function<bool(const nlohmann::json&)>& pred,
                                               std::chrono::milliseconds deadline) {
    return find([&pred](const nlohmann::json& line) { return line.contains("event") && pred(line); },
                deadline);
}

std::optional<nlohmann::json> RawClient::find(const std::function<bool(const nlohmann::json&)>& pred,
                                              std::chrono::milliseconds deadline) {
    std::optional<nlohmann::json> found;
    std::size_t checked = 0; // each line is looked at once, however many arrive
    waitUntil(
        [&] {
            pump();
            for (; checked < lines_.size(); ++checked) {
                if (lines_[checked].is_object() && pred(lines_[checked])) {
                    found = lines_[checked];
                    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(checked));
                    return true;
                }
            }
            return false;
        },
        deadline);
    return found;
}

std::optional<nlohmann::json> RawClient::request(nlohmann::json request) {
    return answer(send(std::move(request)));
}

// ---- loopback host

LoopbackHost::LoopbackHost() {
    server_.listen(QHostAddress::LocalHost, 0);
}

std::string LoopbackHost::url() const {
    return "http://127.0.0.1:" + std::to_string(server_.serverPort());
}

struct NodeRoadParts {
    devservice::LoopbackNode nodeA{"节点A", "127.0.0.2"}, nodeB{"节点B", "127.0.0.3"};
    devservice::DevService service;
    devservice::DevServer server{service};
};

NodeRoad::NodeRoad() : parts_(std::make_unique<NodeRoadParts>()) {
    std::string error;
    ok_ = parts_->nodeA.start(&error) && parts_->nodeB.start(&error) && parts_->server.start(0) > 0;
    const nlohmann::json nodes = {"节点A", "节点B"};
    ok_ = ok_ && parts_->service.loadFixture(
                     {{"accounts",
                       {{{"email", "road@nimomac.example.com"},
                         {"password", "secret1"},
                         {"subscriptions",
                          {{{"id", 1}, {"sub_uuid", "sub-1"}, {"nodes", nodes}},
                           {{"id", 2}, {"sub_uuid", "sub-2"}, {"nodes", nodes}}}}}}},
                      {"servers", {parts_->nodeA.serverEntry(), parts_->nodeB.serverEntry()}}},
                     &error);
    if (!ok_)
        std::cerr << "node road: " << error << "\n";
    NimoShared::shared().set(std::string("sub-1"), kSharedSubUuid);
}

NodeRoad::~NodeRoad() = default;

std::string NodeRoad::url() const {
    return parts_->server.baseURL();
}

std::string saveConfiguration(RawClient& client, const nlohmann::json& configuration,
                              const std::string& application) {
    auto answer =
        client.request({{"op", "save"}, {"application", application}, {"configuration", configuration}});
    if (!answer || !answer->value("ok", false))
        return {};
    return (*answer)["result"]["configuration"].value("identifier", "");
}

bool install(RawClient& client, const std::string& package) {
    const auto id =
        client.send({{"op", "activate"}, {"identifier", "com.nimomac.qn.sysne"}, {"package", package}});
    auto answer = client.answer(id);
    if (!answer || !answer->value("ok", false))
        return false;
    for (;;) {
        auto event =
            client.event([&](const nlohmann::json& e) { return e.value("id", nlohmann::json()) == id; });
        if (!event)
            return false;
        const std::string callback = event->value("callback", "");
        if (callback == "replace") {
            client.request({{"op", "activation.reply"}, {"request", id}, {"action", 1}});
            continue;
        }
        return callback == "finished" && event->value("result", -1) == 0;
    }
}

std::function<bool(const nlohmann::json&)> statusIs(const std::string& configuration, int status) {
    return [configuration, status](const nlohmann::json& e) {
        return e.value("event", "") == "status" && e.value("configuration", "") == configuration &&
               e.value("status", -1) == status;
    };
}

std::string prepareTestTunnel(RawClient& control) {
    if (!install(control, extensionPackage(testPackageRoot())))
        return {};
    const std::string id = saveConfiguration(control, kProviderConfiguration);
    if (id.empty() || !control.request({{"op", "subscribe"}}))
        return {};
    return id;
}

bool stopUntilDown(VPNTunnelManager& manager) {
    bool done = false, ok = false;
    std::optional<std::string> message;
    QObject context;
    manager.stopVPN(&context, [&](bool success, const std::optional<std::string>& text) {
        done = true;
        ok = success;
        message = text;
    });
    if (!waitUntil([&] { return done; }))
        return false;
    const std::string stillStopping =
        "停止VPN失败，当前状态：" + std::to_string(static_cast<int>(VpnStatus::Disconnecting));
    const bool taken = ok || message == stillStopping;
    EXPECT_TRUE(taken) << message.value_or("");
    return taken && waitUntil([&] { return manager.vpnStatus() == VpnStatus::Disconnected; });
}

} // namespace nimo::test
