// The host's side of the latency runs: consumers that record, when told of an
// update, how long ago the feed had it; subscriptions of the plug-in and of
// the raw sink it is compared with; and the host thread that creates and
// deletes subscriptions while the feed runs.
//
// Threads: a Recorder and the consumers are used on the feed thread only
// (and on the host thread while no run is under way). Subscriptions are made
// and closed on host threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PluginManager/tellivar/init.h"
#include "driver_feed.h"
#include "histogram.h"
#include "support/host_fakes.h"

namespace latency {

enum class Sink { Raw, Plugin };

// What the measured consumers saw in one run, on the driver feed in this process.
struct Recorder {
    explicit Recorder(const DriverFeed& feed) : feed(&feed) {}
    virtual ~Recorder() = default;
    // At the end of a notification for `symbol`: the stamp the consumer read,
    // the update count it read (quotes: 0 unless the feed changes at least two
    // fields) and a sum of the other values (kept, so the reads are not
    // optimised away).
    virtual void record(std::size_t symbol, double stamp, double count, double others);

protected:
    Recorder() = default;  // a recorder of another feed's stamps

public:
    const DriverFeed* feed = nullptr;
    bool on = false;  // warm-up notifications are not recorded
    LatencyHistogram endToEnd;    // the feed had the update -> the consumer is told
    LatencyHistogram inCallback;  // the feed calls the sink -> the consumer is told
    LatencyHistogram beforeCall;  // the feed had the update -> it calls the sink
    std::uint64_t notified = 0;
    std::uint64_t wrongStamps = 0;  // a value read that is not the update's
    double readSum = 0;
};

// One host subscription to one symbol. close() stops the feed's calls to it
// (deletes the supplier, or the raw sink's set); the object itself must stay
// until no run is under way, since a raw sink may still be in a callback.
class Subscription {
public:
    virtual ~Subscription() = default;
    virtual void close() = 0;
};

// Masks LM_DEBUG out of ACE's process mask: the host's normal setting.
void silenceAceDebug();

// The plug-in on pTellivarClient. On the driver feed (`feed`), logged on and
// ready when constructed; on any other feed client (null), connected, and
// logged on when that client says so.
class PluginHost {
public:
    explicit PluginHost(DriverFeed* feed);
    ~PluginHost();

    // A subscription of `sink` kind to `symbol`; null when creation failed.
    // `recorder` is null for subscriptions that are not measured.
    std::unique_ptr<Subscription> subscribe(Sink sink, Kind kind, std::size_t symbol, Recorder* recorder);

private:
    QuietContext context_;
    TellivarInterfaceFactory factory_;
    TellivarInterface iface_;
};

// A host thread that, every 10 ms, closes its last subscription and makes a
// new one on the next symbol: 100 creations and 100 deletions per second.
class Churn {
public:
    Churn(PluginHost& host, Sink sink, Kind kind, std::size_t symbols);
    ~Churn();
    // Stops the thread and closes the last subscription.
    void stop();

    std::uint64_t cycles() const { return cycles_; }
    std::uint64_t failures() const { return failures_; }

private:
    void loop();

    PluginHost& host_;
    const Sink sink_;
    const Kind kind_;
    const std::size_t symbols_;
    std::atomic<bool> stop_{false};
    std::uint64_t cycles_ = 0;    // churn thread until stopped
    std::uint64_t failures_ = 0;  // likewise
    std::vector<std::unique_ptr<Subscription>> closed_;  // freed with the Churn
    std::unique_ptr<Subscription> current_;
    std::thread thread_;
};

}  // namespace latency
