#include "PluginManager/tellivar/sink_relay.h"

#include <deque>
#include <utility>

namespace {

// Set when the list below is destroyed at unload. A host that exits without
// deleting its factory may still get feed callbacks then; their ends, and any
// late retirement, leave the list alone (a late relay is left to the process's end).
std::atomic<bool> lingerListGone{false};

// The closed relays. Its destructor runs when the library unloads, after the
// host is done with every factory: whatever still lingers is freed then.
class LingerList {
public:
    ~LingerList() {
        lingerListGone.store(true, std::memory_order_release);
        WriteGuard guard(lock);
        for (const auto& entry : entries) delete entry.first;
        entries.clear();
    }

    RwLock lock;
    // Each relay with its number, in order of retirement (ascending numbers).
    std::deque<std::pair<SinkRelay*, std::uint64_t>> entries GUARDED_BY(lock);
};

LingerList lingerList;

}  // namespace

std::atomic<std::uint64_t> SinkLinger::retired_{0};
std::atomic<std::uint64_t> SinkLinger::freedUpTo_{0};
std::atomic<void (*)()> SinkRelay::beforeLockHook_{nullptr};

void SinkLinger::retire(SinkRelay* relay) {
    if (lingerListGone.load(std::memory_order_acquire)) return;
    WriteGuard guard(lingerList.lock);
    const std::uint64_t number = retired_.load(std::memory_order_relaxed) + 1;
    lingerList.entries.emplace_back(relay, number);
    // Published after the entry: a callback that sees this number finds it listed.
    retired_.store(number, std::memory_order_release);
}

void SinkLinger::freeRetiredUpTo(std::uint64_t last) noexcept {
    if (lingerListGone.load(std::memory_order_acquire)) return;
    WriteGuard guard(lingerList.lock);
    auto& entries = lingerList.entries;
    // A relay's destructor only destroys its lock; it never comes back here.
    while (!entries.empty() && entries.front().second <= last) {
        delete entries.front().first;
        entries.pop_front();
    }
    if (last > freedUpTo_.load(std::memory_order_relaxed)) freedUpTo_.store(last, std::memory_order_relaxed);
}

void SinkLinger::reclaimAfterShutdown() { freeRetiredUpTo(retired_.load(std::memory_order_acquire)); }

std::size_t SinkLinger::lingering() {
    WriteGuard guard(lingerList.lock);
    return lingerList.entries.size();
}

// ---- Relay -------------------------------------------------------------------

void SinkRelay::close(LockMode lock, SetDeleter deleteSet, void* set) {
    if (dispatching_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        // Deleted from inside its own notification: this thread already holds
        // supplierLock as writer. The set goes, and the relay retires, when the
        // notification has unwound (Dispatch's end).
        detachDeferringClose(deleteSet, set);
        return;
    }
    if (creationNotice_) {
        // Deleted inside the notification its creation makes: detached now,
        // once a feed dispatch in progress has finished; the set goes, and the
        // relay retires, at the notice's end.
        WriteGuard guard(supplierLock);
        detachDeferringClose(deleteSet, set);
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

void SinkRelay::detachDeferringClose(SetDeleter deleteSet, void* set) {
    detached_.store(true, std::memory_order_relaxed);
    pendingDeleter_ = deleteSet;
    pendingSet_ = set;
}

void SinkRelay::deletePendingSet() {
    pendingDeleter_(pendingSet_);
    pendingDeleter_ = nullptr;
}

void SinkRelay::finishDeferredClose() {
    deletePendingSet();
    // Retired while this dispatch still holds the lock: only the end of a
    // later callback frees the relay, and the feed thread is still in this one.
    SinkLinger::retire(this);
}

SinkRelay::CreationNotice::~CreationNotice() {
    relay_.creationNotice_ = false;
    if (relay_.pendingDeleter_ == nullptr) return;
    {
        WriteGuard guard(relay_.supplierLock);
        relay_.deletePendingSet();
    }
    // Only after the lock is released: from here a feed callback may free the relay.
    SinkLinger::retire(&relay_);
}
