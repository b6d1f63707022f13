// The bus itself, for tellivar-fanout-latency: a bare libnats publisher and a
// bare libnats subscriber, no gateway and no plug-in, carrying messages of the
// gateway's size on the gateway's subjects at the same rate. Each NATS cell
// runs beside one of these on the same servers, so its figures can be read as
// ratios to what the bus alone costs.
//
// Also what both kinds of measured host share: the recorder that checks each
// symbol's counts and times the updates, and the RESULT line it ends with.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bus_message.h"
#include "driver_feed.h"
#include "histogram.h"
#include "host_side.h"

namespace latency {

// Checks and times what a measured host is told, on the one thread that
// tells it (the NATS feed client's feed thread, or libnats's delivery thread
// in a bare host). The first notification of a symbol (its image) sets the
// count to follow; `recording` (host thread) opens the measured window.
class RemoteRecorder final : public Recorder {
public:
    explicit RemoteRecorder(std::size_t symbols) : last_(symbols, -1.0) {}

    void record(std::size_t symbol, double stamp, double count, double others) override;

    std::atomic<bool> recording{false};
    std::atomic<std::size_t> seen{0};  // symbols with a first notification
    std::uint64_t lost = 0;            // recording thread; read after it has stopped
    std::uint64_t reimaged = 0;
    std::uint64_t wentBack = 0;

private:
    std::vector<double> last_;  // recording thread: each symbol's last count, -1 before its image
};

// Prints the measured host's last line:
// RESULT notified lost reimaged wrong elapsed_ns histogram...
// (wrong: a stamp from the future, or a count below one already seen).
void printResult(const RemoteRecorder& recorder, Nanos elapsed);

// The bare publisher, a process of its own as the gateway is: publishes
// `rate` messages a second over `symbols` in turn to TELLIVAR_NATS_URL with the
// gateway's options (each at once), paced as the stamping feed is (sleeping,
// stamped with its due time or its wake-up, whichever is later), until SIGTERM.
int runBusPublisher(Kind kind, std::size_t symbols, double rate);

// The bare measured host: one libnats connection to TELLIVAR_NATS_URL with the
// NATS feed client's options (one delivery thread for all subscriptions), a
// subscription per symbol's subject, the recorder run in the message
// callback. Same protocol as a plug-in host: "recording" once every symbol
// was heard from, the RESULT line after `window` seconds. `gatewayMessages`:
// it reads the gateway's own messages (readGatewayStamp) instead of bare
// ones, so that what the gateway adds and what the host adds are told apart.
int runBusHost(Kind kind, std::size_t symbols, double window, double patience, bool gatewayMessages);

}  // namespace latency
