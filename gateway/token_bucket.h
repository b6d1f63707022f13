// A token bucket: `rate` tokens a second, up to `burst`, starting full. The
// clock is the caller's: every operation takes the time it happens at, so
// tests give any sequence of times. Not thread-safe: its owner's lock.
#pragma once

#include <algorithm>
#include <chrono>

namespace gateway {

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    TokenBucket(double rate, double burst, Clock::time_point now) : rate_(rate), burst_(burst), tokens_(burst), at_(now) {}

    // The tokens at `now`: those left at the last take, refilled since. A
    // time before that refills nothing.
    double tokensAt(Clock::time_point now) const {
        const double seconds = std::max(0.0, std::chrono::duration<double>(now - at_).count());
        return std::min(burst_, tokens_ + seconds * rate_);
    }
    bool hasToken(Clock::time_point now) const { return tokensAt(now) >= 1; }
    bool fullAt(Clock::time_point now) const { return tokensAt(now) >= burst_; }
    // Takes a token at `now`; false, taking nothing, when there is none.
    bool take(Clock::time_point now) {
        const double tokens = tokensAt(now);
        if (tokens < 1) return false;
        tokens_ = tokens - 1;
        at_ = std::max(at_, now);
        return true;
    }

private:
    const double rate_, burst_;
    double tokens_;
    Clock::time_point at_;  // when tokens_ was right
};

}  // namespace gateway
