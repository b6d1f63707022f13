// The gateway's counters and the rates the stats report. Not thread-safe:
// its owner's lock (the gateway's `mu_`).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gateway {

// What tellivar.gateway.stats answers, as JSON.
struct Stats {
    std::size_t clients = 0, symbols = 0, streams = 0, sets = 0;
    std::uint64_t updatesIn = 0, messagesOut = 0;
    double updatesInPerSecond = 0, messagesOutPerSecond = 0;
    std::uint64_t historyRequests = 0, historyCoalesced = 0, historyFeedRequests = 0, historyRefused = 0;
    std::uint64_t subscriptionsRefused = 0;
    bool feedUp = false;
    std::size_t lingeringSinks = 0;  // sinks of deleted sets a feed callback may still reach
    std::size_t historyLoads = 0;    // history feed sets in flight (part of `sets`)
    std::uint64_t bytesOut = 0, publishErrors = 0;
    std::uint64_t leaseExpiries = 0;      // clients dropped because they stopped renewing
    std::uint64_t slowConsumerDrops = 0;  // requests libnats dropped: the gateway fell behind them
    // The recording (recorder.h): records stored and their bytes, records
    // refused or unanswered (and failed stream setups), records never sent,
    // keyframes written whole.
    std::uint64_t recordedMessages = 0, recordedBytes = 0, recordErrors = 0, recordDropped = 0;
    std::uint64_t keyframesWritten = 0;
    std::string json() const;
};

struct Counters {
    std::uint64_t updatesIn = 0, messagesOut = 0, bytesOut = 0, publishErrors = 0;
    std::uint64_t historyRequests = 0, historyCoalesced = 0, historyFeedRequests = 0, historyRefused = 0;
    std::uint64_t subscriptionsRefused = 0, leaseExpiries = 0;

    // The rates since the last sample (the housekeeping's round).
    void sampleRates(std::chrono::steady_clock::time_point now);
    // The counters and rates into `stats`.
    void fill(Stats& stats) const;

private:
    std::uint64_t updatesMark_ = 0, messagesMark_ = 0;
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    double updatesRate_ = 0, messagesRate_ = 0;
};

}  // namespace gateway
