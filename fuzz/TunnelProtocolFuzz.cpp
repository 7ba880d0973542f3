// The tunnel protocol reader on any byte stream a peer may write: line splitting with the length
// bound, message parsing, the configuration, error and data decoders.
#include "tunnel/TunnelConfiguration.h"
#include "tunnel/TunnelProtocol.h"

#include <cstddef>
#include <cstdint>

using namespace nimo;
using namespace nimo::tunnelproto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // A small line limit so the overflow road is taken often.
    LineBuffer lines(256);
    const char* data = reinterpret_cast<const char*>(bytes);
    // Fed in two chunks: a line may be cut anywhere.
    const std::size_t half = size / 2;
    auto first = lines.feed(data, half);
    auto second = lines.feed(data + half, size - half);
    first.insert(first.end(), second.begin(), second.end());
    for (const auto& line : first) {
        if (line.overflowed)
            continue;
        const auto message = nlohmann::json::parse(line.text, nullptr, false);
        (void)stringField(message, "event");
        (void)integerField(message, "id");
        (void)boolField(message, "ok");
        if (message.is_object()) {
            if (auto it = message.find("error"); it != message.end())
                (void)errorFromJson(*it);
            if (auto it = message.find("data"); it != message.end())
                (void)fromBase64(*it);
            if (auto it = message.find("configuration"); it != message.end())
                if (auto c = configurationFromJson(*it))
                    (void)encodeLine(toJson(*c));
        }
    }
    return 0;
}
