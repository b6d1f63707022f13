// A lean feed client for the latency runs. It stands behind the feed contract
// for the plug-in (and for the raw sinks it is compared with), and drives them
// from one feed thread of its own: each update is produced on a schedule,
// written into every live set of its symbol under the set's write lock, and
// handed to each set's sink, as a feed client does.
//
// Stamps: the value of the stamp field (a snapshot's "Trade", a bar's
// "Close") is the time the feed had the update, in nanoseconds of the steady
// clock: the later of its scheduled time and the moment the feed thread last
// woke from waiting for it. So time the feed thread spends behind schedule
// (in earlier callbacks) counts, and the driver's own timer overshoot does not.
//
// Threads: run() runs on a feed thread of its own and returns when done (a
// thread made for the run: it may switch it to real-time scheduling). The
// Create/Delete operations may be called from any thread at any time, also
// during run(); deleted sets are freed by the feed thread between two
// updates (so a callback in progress may still read its set), or by
// freeRetired() while no run is under way.
//
// A feed of its own rather than the unit tests' fake (tests/support/fake_feed.h):
// it runs a paced feed thread that writes into live sets while host threads
// create and delete them, which a test fake, driven step by step by its
// test's thread, must not do. What all fakes do alike comes from
// tests/support/feed_common.h.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "feed/TellivarClient.h"
#include "support/feed_common.h"

namespace latency {

class DriverFeed;
using Nanos = std::int64_t;

// The steady clock in nanoseconds.
Nanos nowNanos();

// The snapshot fields a measured consumer subscribes to; the first holds the stamp.
constexpr int kQuotedFields = 10;
extern const std::int16_t kQuotedIds[kQuotedFields];
extern const char* const kQuotedNames[kQuotedFields];  // the long names of kQuotedIds
// Record-set field index of the bar value that holds the stamp ("Close").
constexpr int kStampBarField = 3;
// Where an update carries its symbol's update count (1, 2, 3...), so that a
// consumer in another process can tell a lost or repeated update: a quote's
// kQuotedNames[kCountQuoteField] ("Bid", when at least two fields change),
// a bar's "Volume".
constexpr int kCountQuoteField = 1;
constexpr int kCountBarField = 4;

constexpr int kSetsPerSymbol = 4;  // a measured set, a churned one, room to spare

class DriverSnapshotSet final : public SnapshotSet {
public:
    DriverSnapshotSet(DriverFeed& feed, std::size_t symbol);
    bool Init() override;
    void EnterRead() override { lock.lock_shared(); }
    void LeaveRead() override { lock.unlock_shared(); }
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

    DriverFeed& feed;
    const std::size_t symbol;
    bool measured = false;             // set at creation
    std::atomic<bool> dropped{false};  // raised by DeleteSnapshotSet
    std::shared_mutex lock;
    std::array<double, 128> values{};  // lock
    std::array<bool, 128> present{};   // lock
    FeedTime tradeTime = 0;            // lock
};

// Two bars, the one before and the one forming; updates change the newest.
class DriverRecordSet final : public TRecordSet {
public:
    DriverRecordSet(DriverFeed& feed, std::size_t symbol);
    void SetSink(ITRecSetSink* s) override { sink.store(s, std::memory_order_release); }
    int Init(int records, unsigned long flags) override;
    void EnterRead() override { lock.lock_shared(); }
    void LeaveRead() override { lock.unlock_shared(); }
    short GetFieldIx(const char* name) override;
    bool GetRecDouble(long record, short field, double* value) override;
    bool GetETime(long record, int kind, FeedTime* time) override;

    static constexpr std::int32_t kBase = 1000;
    DriverFeed& feed;
    const std::size_t symbol;
    bool measured = false;
    std::atomic<bool> dropped{false};
    std::atomic<ITRecSetSink*> sink{nullptr};
    std::shared_mutex lock;
    std::array<std::array<double, 5>, 2> bars{};  // lock
    std::array<FeedTime, 2> times{};              // lock
};

enum class Kind { Snapshot, Bars };

// One run of the feed thread.
struct RunPlan {
    Kind kind = Kind::Snapshot;
    std::size_t symbols = 1;  // the first this many, in turn
    double rate = 0;          // updates per second over all symbols; 0: as fast as it can
    int changed = 1;          // snapshot ids changed per update (the stamp's first)
    Nanos duration = 0;
    Nanos giveUpLag = 500'000'000;  // stops early once this far behind schedule
    bool realtime = false;          // the feed thread runs SCHED_FIFO (needs the privilege)
    const std::atomic<bool>* stop = nullptr;  // when raised, the run ends after the current update
    // Waits shorter than this are spun (a sleep would overshoot them); 0: the
    // thread always sleeps, and updates due meanwhile go out together when it wakes.
    Nanos spinBelow = 10'000;
};

struct RunResult {
    std::uint64_t updates = 0;        // produced
    std::uint64_t measuredCalls = 0;  // sink calls to measured sets
    std::uint64_t calls = 0;          // sink calls to all sets
    Nanos elapsed = 0;                // first scheduled update to the end of the last
    Nanos lagAtEnd = 0;               // how far behind schedule the last update started
    bool gaveUp = false;
    std::uint64_t lateStarts = 0;     // updates the thread began after their time
    bool realtimeRefused = false;
};

class DriverFeed final : public QuietFeedClient {
public:
    explicit DriverFeed(std::size_t symbols);
    ~DriverFeed() override;

    // "S<number>" below the symbol count; "S<number>,<interval>" for record sets.
    TRecordSet* CreateTRecordSet(const char* query) override;
    SnapshotSet* CreateSnapshotSet(const char* symbol) override;
    void DeleteTRecordSet(TRecordSet* set) override;
    void DeleteSnapshotSet(SnapshotSet* set) override;

    static std::string symbolName(std::size_t index);
    std::size_t capacity() const { return symbols_.size(); }

    // Sets created while this is on are counted as measured (host thread,
    // while no other thread creates sets).
    void markMeasured(bool on) { markMeasured_ = on; }
    // One update to every live set of `symbol` (used to warm up; feed thread or
    // while no run is under way).
    void updateSymbol(Kind kind, std::size_t symbol, int changed, Nanos stamp);
    RunResult run(const RunPlan& plan);
    void freeRetired();

    // Read by consumers inside their notification, on the feed thread.
    Nanos currentStamp() const { return currentStamp_; }
    Nanos callStart() const { return callStart_; }

private:
    struct Symbol {
        std::array<std::atomic<DriverSnapshotSet*>, kSetsPerSymbol> snapshots{};
        std::array<std::atomic<DriverRecordSet*>, kSetsPerSymbol> records{};
        std::uint64_t updates = 0;  // feed thread: this symbol's updates so far
    };
    template <typename Set>
    void publish(std::array<std::atomic<Set*>, kSetsPerSymbol>& slots, Set* set);
    template <typename Set>
    void withdraw(std::array<std::atomic<Set*>, kSetsPerSymbol>& slots, Set* set);
    void retire(DriverSnapshotSet* snapshot, DriverRecordSet* records);
    void updateSnapshots(Symbol& symbol, int changed, Nanos stamp);
    void updateBars(Symbol& symbol, Nanos stamp);
    std::size_t parseSymbol(const char* text) const;  // capacity() when unknown

    friend class DriverSnapshotSet;
    friend class DriverRecordSet;

    std::vector<Symbol> symbols_;
    bool markMeasured_ = false;
    std::uint64_t sequence_ = 0;  // feed thread
    std::uint64_t calls_ = 0;     // feed thread
    std::uint64_t measuredCalls_ = 0;
    Nanos currentStamp_ = 0;
    Nanos callStart_ = 0;
    std::atomic<std::size_t> retiredCount_{0};
    std::mutex retiredLock_;
    std::vector<DriverSnapshotSet*> retiredSnapshots_;  // retiredLock_
    std::vector<DriverRecordSet*> retiredRecords_;      // retiredLock_
};

}  // namespace latency
