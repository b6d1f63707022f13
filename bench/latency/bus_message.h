// The messages of tellivar-fanout-latency's bare bus, and reading the stamp
// out of the gateway's own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver_feed.h"

namespace latency {

// A bare message: the stamp (steady clock, ns) and the symbol's update count
// in its first 16 bytes, then padding up to the size the gateway's wire
// encoding gives an update of `symbol` (ten quote fields, or the newest bar).
std::vector<std::uint8_t> busMessage(Kind kind, std::size_t symbol);
void writeStamp(std::vector<std::uint8_t>& message, Nanos stamp, std::uint64_t count);
// False when `size` is too short to hold them.
bool readStamp(const void* data, std::size_t size, Nanos* stamp, std::uint64_t* count);
// The subject the gateway publishes `symbol`'s updates on.
std::string busSubject(Kind kind, std::size_t symbol);

// Out of a gateway's update (wire-encoded): a quote's stamp ("Trade") and
// count ("Bid"), or the newest bar's (its close and volume). False for
// anything else, an image or a message without them.
bool readGatewayStamp(const void* data, std::size_t size, Nanos* stamp, std::uint64_t* count);

}  // namespace latency
