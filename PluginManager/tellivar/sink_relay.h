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
// A consumer may delete its supplier inside its own notification (discouraged,
// but supported): the set's deletion and the relay's retirement then wait
// until the notification has unwound, so the set's read lock is left first.
//
// Threads: the feed client's thread calls the sink operations. close() runs on
// the thread that deletes the supplier: a host thread, the feed thread when a
// consumer deletes its supplier inside a notification there, or the creating
// host thread when a history completes inside its creation (CreationNotice).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>
#include <utility>

#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/platform.h"
#include "feed/TellivarClient.h"

class SinkRelay;

// Closed relays and the one rule that frees them. The feed calls sinks on one
// thread, one at a time, so once a callback that began after a relay's
// retirement has finished, no dispatch to that relay is still running: the
// end of that callback frees it. Everything left is freed when a factory is
// released after the feed's Shutdown, and at unload.
//
// Bound: the relays lingering at any moment are those of the suppliers deleted
// since the start of the feed's last finished callback, sizeof(SnapshotRelay)
// or sizeof(RecordSetRelay) each (136 bytes on x86-64) plus a 16-byte entry in
// the list. A host that deletes suppliers while the feed delivers nothing
// keeps every one of them until the feed's next callback ends (10,000
// deletions: 1.5 MB).
class SinkLinger {
public:
    // Feed thread, at the start and end of every dispatch. Lock-free unless
    // relays retired before `seenAtStart` wait to be freed.
    static std::uint64_t onCallbackStart() noexcept { return retired_.load(std::memory_order_acquire); }
    static void onCallbackEnd(std::uint64_t seenAtStart) noexcept {
        if (seenAtStart > freedUpTo_.load(std::memory_order_relaxed)) freeRetiredUpTo(seenAtStart);
    }

    // Takes ownership of a closed relay; a later callback's end frees it.
    static void retire(SinkRelay* relay);
    // After the feed's Shutdown (no callback can run any more): frees every
    // lingering relay.
    static void reclaimAfterShutdown();
    static std::size_t lingering();

private:
    // Frees the relays retired as number `last` or earlier.
    static void freeRetiredUpTo(std::uint64_t last) noexcept;

    // Hidden, so that every dispatch reads them directly rather than through
    // the global offset table.
    TELLIVAR_HIDDEN static std::atomic<std::uint64_t> retired_;    // relays retired so far; the n-th is number n
    TELLIVAR_HIDDEN static std::atomic<std::uint64_t> freedUpTo_;  // every relay up to this number is freed
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
    // by the caller afterwards. Inside the supplier's own notification (a
    // Dispatch or a CreationNotice on this thread) the set's deletion and the
    // retirement wait until the notification has unwound.
    void close(LockMode lock, SetDeleter deleteSet, void* set);

    // Callback against destruction: the callback holds it as writer.
    RwLock supplierLock;

    // A notification that the creating host thread makes itself, outside any
    // dispatch and without supplierLock: a history whose set answered at once.
    // A close() on this thread meanwhile (the consumer deleted the supplier)
    // detaches the relay under supplierLock and leaves the set's deletion and
    // the relay's retirement to the end of this scope, which comes after the
    // notification has left the set's read lock. The creator then holds a
    // freed supplier and must not touch it: closed() tells.
    class CreationNotice {
    public:
        explicit CreationNotice(SinkRelay& relay) : relay_(relay) { relay_.creationNotice_ = true; }
        // Both read pendingDeleter_ without supplierLock: during the notice only
        // this thread has the supplier, so only this thread can have set it.
        ~CreationNotice() NO_THREAD_SAFETY_ANALYSIS;
        CreationNotice(const CreationNotice&) = delete;
        CreationNotice& operator=(const CreationNotice&) = delete;

        // True once the supplier was deleted during the notice.
        bool closed() const NO_THREAD_SAFETY_ANALYSIS { return relay_.pendingDeleter_ != nullptr; }

    private:
        SinkRelay& relay_;
    };

    // Test seam: when set, every dispatch calls it after it has marked the
    // callback and before it takes supplierLock (where a preempted feed thread
    // may stand). Null in production.
    static void setBeforeLockHook(void (*hook)()) noexcept { beforeLockHook_.store(hook, std::memory_order_relaxed); }

protected:
    // One dispatch: marks the callback for SinkLinger, takes supplierLock as
    // writer and tells whether the supplier is still there. At its end it
    // completes a close() that the notification itself asked for.
    class SCOPED_CAPABILITY Dispatch {
    public:
        explicit Dispatch(SinkRelay& relay) ACQUIRE(relay.supplierLock) : relay_(relay), guard_(lockOf(relay)) {
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

        static RwLock& lockOf(SinkRelay& relay) {
            if (void (*hook)() = beforeLockHook_.load(std::memory_order_relaxed)) hook();
            return relay.supplierLock;
        }

        CallbackMark mark_;  // ends after the lock is released; may free this relay then
        SinkRelay& relay_;
        WriteGuard guard_;
        bool live_ = false;
    };

private:
    void deleteAndDetach(SetDeleter deleteSet, void* set) REQUIRES_SHARED(supplierLock);
    // Under supplierLock as writer: detaches, and keeps the set for the
    // notification's end. Inside a dispatch that lock is held through the
    // thread's Dispatch, which the analysis cannot see from here.
    void detachDeferringClose(SetDeleter deleteSet, void* set) NO_THREAD_SAFETY_ANALYSIS;
    // Deletes the set a close() inside a notification left.
    void deletePendingSet() REQUIRES(supplierLock);
    // Dispatch's end: deletes that set and retires the relay.
    void finishDeferredClose() REQUIRES(supplierLock);

    TELLIVAR_HIDDEN static std::atomic<void (*)()> beforeLockHook_;

    // Set under supplierLock held in either mode (the destructors of history
    // and tick hold it as reader), read by the dispatch holding it as writer.
    // Atomic, as a reader's hold alone does not exclude another reader.
    std::atomic<bool> detached_{false};
    // A CreationNotice is open. Written by the creating thread; while it is
    // set, only a consumer on that thread has the supplier and can close it.
    bool creationNotice_ = false;
    // The thread inside a live dispatch now, else none. Written under
    // supplierLock; read without it by close() to recognise its own thread.
    std::atomic<std::thread::id> dispatching_{};
    // A close() from inside a dispatch or a CreationNotice, to be finished at
    // its end; under supplierLock.
    SetDeleter pendingDeleter_ GUARDED_BY(supplierLock) = nullptr;
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
        // The arguments go by value: the callback body gets them without an
        // indirection. The dispatch holds this relay's supplierLock, which is
        // the target's; the analysis neither follows a lock into a lambda nor
        // sees that the target is bound to this relay.
        guardFeedCallback(logPath_, escapedLine_, [target = target_, set, event, first, second]() NO_THREAD_SAFETY_ANALYSIS {
            target->handleRecordSetEvent(set, event, first, second);
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
        guardFeedCallback(logPath_, escapedLine_, [target = target_, set, changedCount, changedIds]() NO_THREAD_SAFETY_ANALYSIS {
            target->handleSnapshotUpdate(set, changedCount, changedIds);  // as in RecordSetRelay
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
