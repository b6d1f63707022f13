// The gateway's health as its housekeeping reports it (Gateway::Options::report).
#pragma once

#include <cstddef>

namespace gateway {

struct Health {
    bool feedUp = false;         // logged on and ready
    bool natsConnected = false;  // the NATS connection is up (not reconnecting)
    bool feedStalled = false;    // a feed callback has been running longer than the stall limit
    std::size_t clients = 0, symbols = 0;
};

}  // namespace gateway
