// Which of several gateways on the same feed and subjects serves: the one
// holding a key in a NATS JetStream key-value bucket whose entries expire
// after `ttl` unless rewritten. The agreement is the server's: a gateway takes
// the key only when it is absent (create), keeps it only by rewriting the
// revision it wrote last (update with the expected revision), and loses it
// when it stops rewriting for `ttl`. A gateway that cannot renew in time, for
// instance because it was paused, stops publishing by its own clock first
// (validUntil), before the server lets another take the key.
//
// The bucket keeps three copies on a cluster, so that the loss of one server
// does not stop the lease. A bucket created while the cluster could not place
// three (a node down) keeps fewer: once open, a thread of this object asks
// JetStream every `copiesRetry` to raise it to three, until it has them. A
// bucket on a single server keeps one and is left alone.
//
// Threads: the public operations from one thread at a time (the gateway's
// main thread); not thread-safe. The raising thread touches only `nats_`
// (libnats connections are thread-safe), its own JetStream context, the
// constant members and those under `mu_`; it never delays a renewal.
#pragma once

#include <nats/nats.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace gateway {

class ActiveLease {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    // `nats` is not owned and must outlive this. `holder` names this gateway
    // in the key's value (for people reading the bucket). `log` (may be
    // empty) receives a line when this gateway raised the bucket's copies, and
    // one when the cluster cannot place them yet; it is called on the raising
    // thread.
    ActiveLease(natsConnection* nats, std::string bucket, std::chrono::milliseconds ttl, std::string holder,
                Log log = {}, std::chrono::milliseconds copiesRetry = std::chrono::seconds(30));
    // Stops the raising thread, waiting for a request it has under way (at
    // most two JetStream waits).
    ~ActiveLease();
    ActiveLease(const ActiveLease&) = delete;
    ActiveLease& operator=(const ActiveLease&) = delete;

    // Binds to the bucket, creating it (entries live `ttl`) when missing, and
    // starts raising its copies if it has fewer than three (on the raising
    // thread: this returns without waiting for it). False, with `error` set,
    // when JetStream is not there or refuses; then `timedOut` tells a
    // JetStream that did not answer in time (as while a cluster elects a new
    // leader for the bucket), worth another try.
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
    enum class Raise { kDone, kLater };
    // The raising thread: tries at once, then every copiesRetry_ until done
    // or stopping_.
    void keepRaisingCopies();
    // One try: reads the bucket's stream and, with fewer than three copies,
    // updates it to three.
    Raise raiseCopies(jsCtx* js, bool* toldLater);

    natsConnection* const nats_;
    const std::string bucket_;
    const std::chrono::milliseconds ttl_;
    const std::string holder_;
    const Log log_;
    const std::chrono::milliseconds copiesRetry_;
    jsCtx* js_ = nullptr;
    kvStore* kv_ = nullptr;
    std::uint64_t revision_ = 0;  // 0: not held
    Clock::time_point validUntil_{};
    std::thread raiser_;  // started by the first open() that succeeds
    std::mutex mu_;
    std::condition_variable wake_;  // with mu_: stopping_ changed
    bool stopping_ = false;         // guarded by mu_
};

}  // namespace gateway
