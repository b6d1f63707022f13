// Which of several gateways on the same feed and subjects serves: the one
// holding a key in a NATS JetStream key-value bucket whose entries expire
// after `ttl` unless rewritten. The agreement is the server's: a gateway takes
// the key only when it is absent (create), keeps it only by rewriting the
// revision it wrote last (update with the expected revision), and loses it
// when it stops rewriting for `ttl`. A gateway that cannot renew in time, for
// instance because it was paused, stops publishing by its own clock first
// (validUntil), before the server lets another take the key.
//
// Threads: one thread at a time (the gateway's main thread); not thread-safe.
#pragma once

#include <nats/nats.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace gateway {

class ActiveLease {
public:
    using Clock = std::chrono::steady_clock;

    // `nats` is not owned and must outlive this. `holder` names this gateway
    // in the key's value (for people reading the bucket).
    ActiveLease(natsConnection* nats, std::string bucket, std::chrono::milliseconds ttl, std::string holder);
    ~ActiveLease();
    ActiveLease(const ActiveLease&) = delete;
    ActiveLease& operator=(const ActiveLease&) = delete;

    // Binds to the bucket, creating it (entries live `ttl`) when missing.
    // False, with `error` set, when JetStream is not there or refuses; then
    // `timedOut` tells a JetStream that did not answer in time (as while a
    // cluster elects a new leader for the bucket), worth another try.
    bool open(std::string* error, bool* timedOut = nullptr);
    // Takes the key if nobody holds it. True: this gateway is active until
    // validUntil().
    bool tryAcquire();
    // Rewrites the key. False when that failed (the server unreachable, or
    // another gateway holds it); the caller decides by validUntil() whether
    // it may still publish.
    bool renew();
    // Gives the key up at once (a planned stop), so that a standby takes over
    // without waiting for the expiry.
    void release();
    bool held() const { return revision_ != 0; }
    // Until when this gateway may publish: a quarter of the ttl before the
    // soonest the server could let another gateway take the key.
    Clock::time_point validUntil() const { return validUntil_; }
    std::chrono::milliseconds ttl() const { return ttl_; }

private:
    natsConnection* const nats_;
    const std::string bucket_;
    const std::chrono::milliseconds ttl_;
    const std::string holder_;
    jsCtx* js_ = nullptr;
    kvStore* kv_ = nullptr;
    std::uint64_t revision_ = 0;  // 0: not held
    Clock::time_point validUntil_{};
};

}  // namespace gateway
