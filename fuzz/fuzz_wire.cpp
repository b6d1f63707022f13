// The gateway's wire decoder on arbitrary bytes: it never crashes, and what it
// accepts encodes back to the very bytes it was decoded from.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto message = wire::decode(data, size);
    if (!message) return 0;
    const std::vector<std::uint8_t> bytes = wire::encode(*message);
    if (bytes.size() != size || std::memcmp(bytes.data(), data, size) != 0) std::abort();
    return 0;
}
