// The gateway's wire decoder and the recording's decoder (what a replay
// reads) on arbitrary bytes: they never crash, and what they accept encodes
// back to the very bytes it was decoded from.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/record.h"
#include "wire/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto message = wire::decode(data, size)) {
        const std::vector<std::uint8_t> bytes = wire::encode(*message);
        if (bytes.size() != size || std::memcmp(bytes.data(), data, size) != 0) std::abort();
    }
    if (const auto record = wire::decodeRecord(data, size)) {
        if (!wire::decodeRecordHeader(data, size)) std::abort();
        const std::vector<std::uint8_t> bytes = wire::encodeRecord(*record);
        if (bytes.size() != size || std::memcmp(bytes.data(), data, size) != 0) std::abort();
    }
    return 0;
}
