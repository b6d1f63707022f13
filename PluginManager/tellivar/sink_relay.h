// The objects the feed client holds as the sinks of the plug-in's sets.
//
// A supplier hands the feed a relay instead of itself. The relay owns the
// supplier's `supplierLock` and forwards each callback to the supplier while
// holding it as writer. The host may delete the supplier at any time, and the
// feed's Delete... never waits for a callback in progress: a dispatch may have
// read the set's sink pointer, or be waiting for the lock, when the supplier
// goes. So the relay outlives its supplier: the supplier's destructor closes
// it (deletes the set under the lock, then detaches it), and a late callback
// finds it detached and returns without touching the freed supplier. Closed
// relays linger in SinkLinger until no dispatch to them can be in flight.
//
// Threads: the feed client's thread calls the sink operations. close() runs on
// the thread that deletes the supplier: a host thread, or the feed thread when
// a consumer deletes its supplier inside its own notification; in that case
// the set's deletion and the relay's retirement wait until the notification
// has unwound.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>
#include <utility>

#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/locks.h"
#include "feed/TellivarClient.h"

class SinkRelay;

// Closed relays and the rule that frees them. A relay retired as the n-th is
// freed once a feed callback that began after its retirement has finished
// (the feed calls sinks on one thread, one at a time, so no earlier dispatch
// to it is still running then), or once it has lingered kGraceMillis; in both
// cases only while nobody holds its lock. Everything left is freed when a
// factory is released after the feed's Shutdown, and at unload. So the
// relays lingering at any time are at most those of the suppliers deleted
// since the feed last finished a callback, or in the last grace period.
class SinkLinger {
public:
    static constexpr long kGraceMillis = 1000;

    // Feed thread, at the start and end of every dispatch. Lock-free.
    static std::uint64_t onCallbackStart() noexcept { return retired_.load(std::memory_order_acquire); }
    static void onCallbackEnd(std::uint64_t seenAtStart) noexcept {
        finishedAfter_.store(seenAtStart, std::memory_order_release);
    }

    // Takes ownership of a closed relay and frees the ones that may go.
    static void retire(SinkRelay* relay);
    // After the feed's Shutdown: frees every lingering relay whose lock is free.
    static void reclaimAfterShutdown();
    static std::size_t lingering();

private:
    static void reclaim(bool feedStopped);

    static std::atomic<std::uint64_t> retired_;        // relays retired so far
    static std::atomic<std::uint64_t> finishedAfter_;  // retired_ seen by the last finished callback
};

// What every relay shares: the supplier's lock, the detached flag and the
// thread that is dispatching through it now.
class SinkRelay {
public:
    using SetDeleter = void (*)(void* set);

    SinkRelay() = default;
    virtual ~SinkRelay() = default;
    SinkRelay(const SinkRelay&) = delete;
    SinkRelay& operator=(const SinkRelay&) = delete;

    // From the supplier's destructor: takes supplierLock as `lock` (so a
    // callback in progress finishes first), deletes the set with `deleteSet`
    // under it, detaches, and retires the relay. The relay must not be used
    // by the caller afterwards.
    void close(LockMode lock, SetDeleter deleteSet, void* set);

    // Callback against destruction: the callback holds it as writer.
    RwLock supplierLock;

protected:
    // One dispatch: marks the callback for SinkLinger, takes supplierLock as
    // writer and tells whether the supplier is still there. At its end it
    // completes a close() that the notification itself asked for.
    class SCOPED_CAPABILITY Dispatch {
    public:
        explicit Dispatch(SinkRelay& relay) ACQUIRE(relay.supplierLock) : relay_(relay), guard_(relay.supplierLock) {
            if (relay_.detached_.load(std::memory_order_relaxed)) return;
            live_ = true;
            relay_.dispatching_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Dispatch() RELEASE() {
            if (!live_) return;
            relay_.dispatching_.store(std::thread::id(), std::memory_order_relaxed);
            if (relay_.pendingDeleter_ != nullptr) relay_.finishDeferredClose();  // still under supplierLock
        }
        Dispatch(const Dispatch&) = delete;
        Dispatch& operator=(const Dispatch&) = delete;

        bool live() const { return live_; }

    private:
        struct CallbackMark {
            CallbackMark() noexcept : seen(SinkLinger::onCallbackStart()) {}
            ~CallbackMark() { SinkLinger::onCallbackEnd(seen); }
            const std::uint64_t seen;
        };

        CallbackMark mark_;  // ends after the lock is released
        SinkRelay& relay_;
        WriteGuard guard_;
        bool live_ = false;
    };

private:
    void deleteAndDetach(SetDeleter deleteSet, void* set) REQUIRES_SHARED(supplierLock);
    // close() on the thread inside this relay's live dispatch, which holds
    // supplierLock as writer through its Dispatch: the analysis cannot see
    // that lock from here.
    void deferClose(SetDeleter deleteSet, void* set) NO_THREAD_SAFETY_ANALYSIS;
    // Deletes the set and retires the relay after a close() asked for inside the dispatch.
    void finishDeferredClose() REQUIRES(supplierLock);

    // Set under supplierLock held in either mode (the destructors of history
    // and tick hold it as reader), read by the dispatch holding it as writer.
    // Atomic, as a reader's hold alone does not exclude another reader.
    std::atomic<bool> detached_{false};
    // The thread inside a live dispatch now, else none. Written under
    // supplierLock; read without it by close() to recognise its own thread.
    std::atomic<std::thread::id> dispatching_{};
    SetDeleter pendingDeleter_ GUARDED_BY(supplierLock) = nullptr;  // a close() from inside the dispatch
    void* pendingSet_ GUARDED_BY(supplierLock) = nullptr;
};

// Record-set sink of a history or update supplier: forwards to
// `Target::handleRecordSetEvent`, the supplier's own callback body.
template <typename Target>
class RecordSetRelay final : public ITRecSetSink, public SinkRelay {
public:
    RecordSetRelay(const char* logPath, int escapedLine) : logPath_(logPath), escapedLine_(escapedLine) {}
    // Creation only, before the feed sees the relay.
    void bind(Target* target) { target_ = target; }

    void onRecordSetEvent(TRecordSet* set, int event, long first, long second) override {
        Dispatch dispatch(*this);
        if (!dispatch.live()) return;  // the supplier is gone
        // The dispatch holds this relay's supplierLock, which is the target's;
        // the analysis neither follows a lock into a lambda nor sees that the
        // target is bound to this relay.
        guardFeedCallback(logPath_, escapedLine_, [&]() NO_THREAD_SAFETY_ANALYSIS {
            target_->handleRecordSetEvent(set, event, first, second);
        });
    }

private:
    Target* target_ = nullptr;  // not owned; used only while live
    const char* const logPath_;
    const int escapedLine_;
};

// Snapshot sink of a tick supplier: forwards to `Target::handleSnapshotUpdate`.
template <typename Target>
class SnapshotRelay final : public ISSSetSink, public SinkRelay {
public:
    SnapshotRelay(const char* logPath, int escapedLine) : logPath_(logPath), escapedLine_(escapedLine) {}
    // Creation only, before the feed sees the relay.
    void bind(Target* target) { target_ = target; }

    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) override {
        Dispatch dispatch(*this);
        if (!dispatch.live()) return;
        guardFeedCallback(logPath_, escapedLine_, [&]() NO_THREAD_SAFETY_ANALYSIS {
            target_->handleSnapshotUpdate(set, changedCount, changedIds);  // as in RecordSetRelay
        });
    }

private:
    Target* target_ = nullptr;
    const char* const logPath_;
    const int escapedLine_;
};

// A new supplier bound to a relay of its own (`Supplier::Relay`), or null
// when either cannot be allocated; nothing is left behind then.
template <typename Supplier, typename... Args>
Supplier* newRelayedSupplier(const char* logPath, int escapedLine, Args&&... args) {
    auto* relay = new (std::nothrow) typename Supplier::Relay(logPath, escapedLine);
    if (relay == nullptr) return nullptr;
    Supplier* supplier = new (std::nothrow) Supplier(*relay, std::forward<Args>(args)...);
    if (supplier == nullptr) delete relay;
    return supplier;
}
