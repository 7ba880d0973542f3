// The provider's server-list reader on any body a list host may send: the document's shape, every
// server's fields, the special-address check (with and without an allowed range) and the transport
// configuration a parsed node becomes.
#include "NodeList.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace nimo::transport;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size > kMaxServerListBytes)
        return 0;
    const auto document = nlohmann::json::parse(bytes, bytes + size, nullptr, false);
    std::string error;
    int skipped = 0;
    for (const auto& allowed :
         {std::vector<std::string>{}, std::vector<std::string>{"127.0.0.0/8", "fe80::/10"}}) {
        const auto nodes = parseServerList(document, &error, &skipped, allowed);
        for (const auto& node : nodes) {
            (void)unusableReason(node);
            (void)specialAddressReason(node.server, allowed);
            std::string why;
            (void)parseConfig(configLine(node, 1080), &why);
        }
        (void)findNode(nodes, "x");
    }
    // The address check alone, on the raw text (host names, literals, brackets, junk).
    (void)specialAddressReason(std::string(reinterpret_cast<const char*>(bytes), size), {"10.0.0.0/8"});
    return 0;
}
