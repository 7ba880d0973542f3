// The record decoders on any JSON the service may send: user info, subscription, node lists,
// backup host lines. Types are checked exactly; anything else is absent, never a crash.
#include "service/ServiceRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace nimo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    (void)splitLines(input);
    (void)isSendableToken(input);
    const auto data = nlohmann::json::parse(input, nullptr, false);
    if (data.is_discarded())
        return 0;
    (void)buildUserInfoRecord(data, UserInfoSource::signIn);
    (void)buildUserInfoRecord(data, UserInfoSource::userInfo);
    if (auto record = decodeSubscription(data))
        (void)remainingTrafficText(*record);
    (void)decodeNodeNames(data);
    (void)decodeSubscribeNodes(data);
    return 0;
}
