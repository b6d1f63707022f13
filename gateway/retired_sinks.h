// The sinks of feed sets the gateway deleted, kept until no feed callback can
// still reach them.
//
// The feed's Delete... never waits for a callback in progress, and a dispatch
// may have read a set's sink pointer, or be waiting for the gateway's lock,
// when the set goes. The feed calls sinks on one thread, one at a time: once
// a callback that began after a sink was retired has finished, no dispatch to
// that sink is still running. So every sink callback notes, before anything
// else, how many sinks were retired when it began (callbackBegan), and at its
// end frees those (callbackEnded). A timer proves nothing: a dispatch can wait
// on the lock for any number of rounds.
//
// Bound: the sinks retired since the start of the feed's last finished
// callback; a feed that calls nothing keeps every one until it does, or until
// the gateway stops (clear, after the feed's Shutdown).
//
// Threads: callbackBegan on the feed thread without a lock; everything else
// with the owner's lock held (the gateway's `mu_`).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

namespace gateway {

class RetiredSinks {
public:
    // The feed thread, first thing in a sink callback, before the owner's lock.
    std::uint64_t callbackBegan() const noexcept { return retired_.load(std::memory_order_acquire); }
    // Owner's lock held, after the sink's set was deleted. The sink itself
    // may be the one whose callback is running (a history finished inside its
    // own event): its number is past that callback's, so it outlives it.
    void retire(std::shared_ptr<void> sink);
    // Owner's lock held, at the end of a callback that began when `began`
    // sinks were retired: frees them. The running sink may be among them, so
    // its callback touches nothing of its own afterwards.
    void callbackEnded(std::uint64_t began);
    // Owner's lock held, once the feed is shut down: frees every sink.
    void clear();
    std::size_t lingering() const { return sinks_.size(); }

private:
    // Sinks retired so far, the n-th numbered n. Written with the owner's
    // lock held; read without it by callbackBegan.
    std::atomic<std::uint64_t> retired_{0};
    // Owner's lock: the sinks not yet freed, by number, oldest first.
    std::deque<std::pair<std::uint64_t, std::shared_ptr<void>>> sinks_;
};

}  // namespace gateway
