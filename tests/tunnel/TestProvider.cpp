// A provider for tests and benchmarks: installed under the reference provider's identifier with
// another version. Besides the contract's messages it obeys a few test commands:
//   "status.N"   report status N, then reply
//   "flood.N"    report N status changes (reasserting/connected alternately), then reply
//   "slowstop"   from now on, take 2 s between disconnecting and disconnected
//   "hang"       stop reading and writing (a hung provider)
//   "mute"       close its output and go on running (it can report nothing more)
//   "exit"       exit at once without reporting anything
//   "linger"     from now on, stay 3 s after reporting disconnected on stop (a slow clean-up)
//   "fail.TEXT"  report disconnected with the error TEXT, then exit
// Any other message is echoed in the reply.
// The start option "hold" set to "connecting" keeps it connecting until stopped.

#include "tunnel/TunnelProtocol.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>

using namespace nimo::tunnelproto;

namespace {
void send(const nlohmann::json& line) {
    const QByteArray bytes = encodeLine(line);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}
void status(int s) {
    send({{"type", "status"}, {"status", s}});
}
} // namespace

int main() {
    bool slowStop = false;
    bool linger = false;
    std::string text;
    while (std::getline(std::cin, text)) {
        const auto line = nlohmann::json::parse(text, nullptr, false);
        const auto type = stringField(line, "type").value_or("");
        if (type == "start") {
            status(2);
            if (line.value("options", nlohmann::json::object()).value("hold", "") != "connecting")
                status(3);
        } else if (type == "ping") {
            send({{"type", "pong"}});
        } else if (type == "stop") {
            status(5);
            if (slowStop)
                std::this_thread::sleep_for(std::chrono::seconds(2));
            status(1);
            if (linger)
                std::this_thread::sleep_for(std::chrono::seconds(3));
            return 0;
        } else if (type == "message") {
            const auto id = integerField(line, "id").value_or(0);
            const auto data = line.contains("data") ? fromBase64(line["data"]) : std::nullopt;
            const std::string message = data ? data->toStdString() : std::string();
            if (message.rfind("status.", 0) == 0) {
                status(std::atoi(message.c_str() + 7));
            } else if (message.rfind("flood.", 0) == 0) {
                const int n = std::atoi(message.c_str() + 6);
                for (int i = 0; i < n; ++i)
                    status(i % 2 == 0 ? 4 : 3);
            } else if (message == "slowstop") {
                slowStop = true;
            } else if (message == "hang") {
                for (;;)
                    std::this_thread::sleep_for(std::chrono::seconds(60));
            } else if (message == "mute") {
                ::close(STDOUT_FILENO);
                for (;;)
                    std::this_thread::sleep_for(std::chrono::seconds(60));
            } else if (message == "exit") {
                return 3;
            } else if (message == "linger") {
                linger = true;
            } else if (message.rfind("fail.", 0) == 0) {
                send({{"type", "status"}, {"status", 1}, {"error", message.substr(5)}});
                return 0;
            }
            send({{"type", "reply"},
                  {"id", id},
                  {"data", toBase64(QByteArray::fromStdString("test:" + message))}});
        }
    }
    return 0;
}
