// What the NATS feed client's bus (bus.h) tells its owner. Free of the NATS
// library's types, so that the client's header does not need them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace natsfeed {

// Names one bus connection, to tell whether an event is of the current one.
using BusConnectionId = const void*;

// Called on the NATS library's threads, never with the client's lock held;
// each returns quickly (copies, queues).
class BusEvents {
public:
    // A message on a subject the bus subscribed to (the delivery thread);
    // `data` is valid during the call only.
    virtual void onBusMessage(std::string subject, const std::uint8_t* data, std::size_t size) = 0;
    // The library dropped messages of a subscription that fell behind
    // (`subject`, or null when unknown).
    virtual void onBusSlowConsumer(const char* subject) = 0;
    // The server refused a subscription or publication on `subject`; `text`
    // is the library's ("Permissions Violation ...").
    virtual void onBusPermissionRefused(std::string subject, std::string text) = 0;
    // Any other error, the library's text.
    virtual void onBusError(std::string text) = 0;
    // Connection `id` lost its server (also when closed by its owner) or is back on one.
    virtual void onBusDisconnected(BusConnectionId id) = 0;
    virtual void onBusReconnected(BusConnectionId id) = 0;

protected:
    ~BusEvents() = default;
};

}  // namespace natsfeed
