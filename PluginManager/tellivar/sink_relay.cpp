#include "PluginManager/tellivar/sink_relay.h"

#include <chrono>
#include <deque>

namespace {

using Clock = std::chrono::steady_clock;

struct Lingering {
    SinkRelay* relay;
    std::uint64_t number;  // its place in the order of retirement, from 1
    Clock::time_point since;
};

// The closed relays. Its destructor runs when the library unloads, after the
// host is done with every factory: whatever still lingers is freed then.
class LingerList {
public:
    ~LingerList() {
        for (const Lingering& entry : entries) delete entry.relay;
    }

    RwLock lock;
    // In order of retirement, so the ones that may go are always at the front.
    std::deque<Lingering> entries GUARDED_BY(lock);
};

LingerList lingerList;

// True (and the lock left free) when nobody holds the relay's lock now.
bool lockIsFree(SinkRelay& relay) {
    if (relay.supplierLock.tryacquire_write() == -1) return false;
    relay.supplierLock.release();
    return true;
}

}  // namespace

std::atomic<std::uint64_t> SinkLinger::retired_{0};
std::atomic<std::uint64_t> SinkLinger::finishedAfter_{0};

void SinkLinger::retire(SinkRelay* relay) {
    {
        WriteGuard guard(lingerList.lock);
        const std::uint64_t number = retired_.load(std::memory_order_relaxed) + 1;
        lingerList.entries.push_back(Lingering{relay, number, Clock::now()});
        retired_.store(number, std::memory_order_release);
    }
    reclaim(false);
}

void SinkLinger::reclaimAfterShutdown() { reclaim(true); }

std::size_t SinkLinger::lingering() {
    WriteGuard guard(lingerList.lock);
    return lingerList.entries.size();
}

void SinkLinger::reclaim(bool feedStopped) {
    const std::uint64_t quiet = finishedAfter_.load(std::memory_order_acquire);
    const Clock::time_point graceStart = Clock::now() - std::chrono::milliseconds(kGraceMillis);
    for (;;) {
        SinkRelay* relay = nullptr;
        {
            WriteGuard guard(lingerList.lock);
            auto& entries = lingerList.entries;
            if (entries.empty()) return;
            const Lingering& oldest = entries.front();
            const bool settled = feedStopped || oldest.number <= quiet || oldest.since <= graceStart;
            // Retirement order is also the order in which relays settle: the
            // first one that may not go yet ends the pass.
            if (!settled || !lockIsFree(*oldest.relay)) return;
            relay = oldest.relay;
            entries.pop_front();
        }
        delete relay;  // outside the list's lock
    }
}

// ---- Relay -------------------------------------------------------------------

void SinkRelay::close(LockMode lock, SetDeleter deleteSet, void* set) {
    if (dispatching_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        deferClose(deleteSet, set);
        return;
    }
    if (lock == LockMode::Read) {
        ReadGuard guard(supplierLock);
        deleteAndDetach(deleteSet, set);
    } else {
        WriteGuard guard(supplierLock);
        deleteAndDetach(deleteSet, set);
    }
    SinkLinger::retire(this);
}

void SinkRelay::deleteAndDetach(SetDeleter deleteSet, void* set) {
    deleteSet(set);  // after this the feed starts no callback for the set
    detached_.store(true, std::memory_order_relaxed);
}

// Deleted from inside its own notification: this thread already holds
// supplierLock as writer. The set goes, and the relay retires, when the
// notification has unwound (Dispatch's end).
void SinkRelay::deferClose(SetDeleter deleteSet, void* set) {
    detached_.store(true, std::memory_order_relaxed);
    pendingDeleter_ = deleteSet;
    pendingSet_ = set;
}

void SinkRelay::finishDeferredClose() {
    pendingDeleter_(pendingSet_);
    pendingDeleter_ = nullptr;
    SinkLinger::retire(this);
}
