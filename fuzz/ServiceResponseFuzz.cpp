// The service's response handler on any reply: the envelope check, the 40101 road (a session that
// is cleared from a store in a temporary folder), texts bounded.
#include "http/SessionManager.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace nimo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static int argc = 1;
    static char name[] = "service_response_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static SettingsStore store(dir.path().toStdString() + "/settings.json",
                               dir.path().toStdString() + "/keychain");
    static http::SessionManager session;
    static NetWorkTool tool(store, session);

    const std::string input(reinterpret_cast<const char*>(bytes), size);
    ServiceReply reply;
    const auto value = nlohmann::json::parse(input, nullptr, false);
    if (!value.is_discarded())
        reply.value = value;
    else
        reply.failure = NMNetWorkError::msg(input.substr(0, 64));
    (void)store.set("key.nimo.api.token", "t");
    tool.handleResponse(
        reply, [](const NMNetWorkError& e) { (void)e.errorDescription(); }, 0, [](const nlohmann::json&) {});
    return 0;
}
