// Whether the feed thread is stuck inside one of the gateway's callbacks:
// waiting for the gateway's lock (a deadlock), or held by whatever a callback
// waits for. The feed calls the gateway on its one thread, one call at a time;
// each call marks its start and its end here, and the housekeeping asks how
// long the one under way has run. A feed thread stuck inside the feed client
// itself, calling nothing, is not seen here: the gateway cannot tell it from
// a quiet market.
//
// Threads: entered/left on the feed thread, stalled on the housekeeping
// thread; no lock (one atomic).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>

namespace gateway {

class FeedWatch {
public:
    using Clock = std::chrono::steady_clock;

    void entered(Clock::time_point now = Clock::now()) noexcept {
        // 0 means "no call under way": a start at the clock's epoch counts from 1.
        since_.store(std::max<Clock::rep>(now.time_since_epoch().count(), 1), std::memory_order_release);
    }
    void left() noexcept { since_.store(0, std::memory_order_release); }
    // True when a call has been under way for longer than `limit`.
    bool stalled(Clock::time_point now, Clock::duration limit) const noexcept {
        const Clock::rep since = since_.load(std::memory_order_acquire);
        return since != 0 && now - Clock::time_point(Clock::duration(since)) > limit;
    }

    // Marks one call of the feed into the gateway for its scope.
    class Call {
    public:
        explicit Call(FeedWatch& watch) : watch_(watch) { watch_.entered(); }
        ~Call() { watch_.left(); }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        FeedWatch& watch_;
    };

private:
    std::atomic<Clock::rep> since_{0};
};

}  // namespace gateway
