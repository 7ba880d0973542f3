// The PAC server's request reader on any bytes a local peer may send, cut into pieces anywhere as
// they arrive, and the script for the port the bytes name.
#include "PacServer.h"

#include <cstddef>
#include <cstdint>

using namespace nimo::provider;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const char* data = reinterpret_cast<const char*>(bytes);
    QByteArray seen;
    std::size_t at = 0;
    // Pieces of the lengths the first bytes give, as a socket may deliver them.
    for (std::size_t i = 0; at < size; ++i) {
        const std::size_t piece = 1 + (i < size ? bytes[i] : 7);
        seen.append(data + at, static_cast<qsizetype>(std::min(piece, size - at)));
        at += piece;
        if (readPacRequest(seen) != PacRequest::Incomplete)
            break;
    }
    (void)readPacRequest(QByteArray(data, static_cast<qsizetype>(size)));
    (void)pacScript(size > 1 ? bytes[0] * 256 + bytes[1] : 0);
    return 0;
}
