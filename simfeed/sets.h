// The stand-in feed's snapshot sets and record sets, and the registry of the
// sets a client made and has not yet deleted.
//
// Threads: host threads create, initialise, read and delete sets; the feed
// thread fills them and calls their sinks. `mu_` below is the owning client's
// lock. Each set's `dataLock` guards its records or values: the feed thread
// writes them under the exclusive side, readers bracket their reads with
// EnterRead/LeaveRead (the shared side).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <vector>

#include "feed/TellivarClient.h"
#include "feedcommon/records.h"
#include "simfeed/model.h"
#include "simfeed/query.h"

namespace simfeed {

class SimClient;

// Longest history a set holds.
constexpr int kMaxRecords = 200000;

using feedcommon::clampFeedTime;

class SimSnapshotSet final : public SnapshotSet {
public:
    SimSnapshotSet(SimClient* client, Instrument* instrument) : client(client), instrument(instrument) {}
    ~SimSnapshotSet() override = default;

    bool Init() override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

    // Copies the instrument's live quote into `data` (feed thread).
    void takeQuote();

    SimClient* const client;
    Instrument* const instrument;  // owned by the client
    std::atomic<bool> dropped{false};  // raised by Delete
    bool initialised = false;      // mu_
    bool needsImage = false;       // mu_: send every field at the next pass
    std::shared_mutex dataLock;
    Quote data;                    // dataLock
};

class SimRecordSet final : public TRecordSet {
public:
    SimRecordSet(SimClient* client, Instrument* instrument, Query query);
    ~SimRecordSet() override = default;

    void SetSink(ITRecSetSink* sink) override;
    int Init(int records, unsigned long flags) override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    short GetFieldIx(const char* name) override;
    bool GetRecDouble(long record, short field, double* value) override;
    bool GetETime(long record, int kind, FeedTime* time) override;

    enum class Load { Idle, Pending, Done, Failed };

    // The bars of this set's interval that start at [first, last), holding
    // the model up to `upTo`. Any thread; touches no member but the query.
    std::vector<Bar> makeBars(std::vector<std::int64_t>::const_iterator first,
                              std::vector<std::int64_t>::const_iterator last, double upTo) const;
    // Whether a history of this set is small enough to answer at once: day
    // bars and longer, and intraday up to a limit (set by Init).
    bool answersAtOnce() const;
    // The time a history ends at: the query's end time, or `now` if later.
    double historyEnd(double now) const;
    // Replaces the records (feed thread, or the Init caller before the set is
    // known to the feed thread); `origin` is the index of the oldest record.
    void publish(std::vector<Bar> records, std::int64_t origin);
    // Adds records after the newest (feed thread).
    void append(const std::vector<Bar>& records);
    // Index of the newest record (feed thread, the only writer).
    std::int64_t newestIndex() const { return origin + static_cast<std::int64_t>(bars.size()) - 1; }

    SimClient* const client;
    Instrument* const instrument;  // owned by the client
    const Query query;
    std::atomic<bool> dropped{false};  // raised by Delete
    ITRecSetSink* sink = nullptr;  // mu_
    Load load = Load::Idle;        // mu_
    bool live = false;             // set by Init: follows trades after loading
    int requested = 0;             // set by Init: bars to load, at most kMaxRecords
    int asked = 0;                 // set by Init: the count the completion event reports
    // Loading state: feed thread only.
    std::vector<std::int64_t> plan;  // bar starts to load, oldest first
    double planTime = 0;
    double lastUpdate = 0;  // live sets: the time the newest bar was extended to
    std::shared_mutex dataLock;
    std::vector<Bar> bars;    // dataLock
    std::int64_t origin = 0;  // dataLock

private:
    void updateMembers();  // dataLock held exclusively
};

// The sets a client made and has not yet deleted, and those deleted during a
// feed pass, kept until the pass ends. Owns them all. Guarded by the
// client's `mu_`: every member is called with it held.
class SetRegistry {
public:
    SetRegistry() = default;
    SetRegistry(const SetRegistry&) = delete;
    SetRegistry& operator=(const SetRegistry&) = delete;
    ~SetRegistry();

    void add(SimSnapshotSet* set) { snapshots_.push_back(set); }
    void add(SimRecordSet* set) { recordSets_.push_back(set); }
    // True while `set` was made and not yet deleted: the feed thread asks
    // before each callback, since a sink may delete any set.
    bool contains(const SimSnapshotSet* set) const { return has(snapshots_, set); }
    bool contains(const SimRecordSet* set) const { return has(recordSets_, set); }
    // Takes `set` out; false if it is unknown or already deleted.
    bool remove(SimSnapshotSet* set) { return take(snapshots_, set); }
    bool remove(SimRecordSet* set) { return take(recordSets_, set); }
    // Keeps a removed set until freeRetired: a callback may still read it.
    void retire(SimSnapshotSet* set) { retiredSnapshots_.push_back(set); }
    void retire(SimRecordSet* set) { retiredRecordSets_.push_back(set); }
    void freeRetired();

    const std::vector<SimSnapshotSet*>& snapshots() const { return snapshots_; }
    const std::vector<SimRecordSet*>& recordSets() const { return recordSets_; }
    int size() const { return static_cast<int>(snapshots_.size() + recordSets_.size()); }

    bool anyLoadPending() const;
    bool anyImageDue() const;
    // Every initialised snapshot set sends a full image at the next pass.
    void requestImages();
    // Instruments followed by a set: initialised snapshot sets (but those
    // awaiting their image unless `withImageDue`) and loaded live record sets.
    std::vector<Instrument*> followedInstruments(bool withImageDue) const;

private:
    template <class T>
    static bool has(const std::vector<T*>& registry, const T* item) {
        return std::find(registry.begin(), registry.end(), item) != registry.end();
    }
    template <class T>
    static bool take(std::vector<T*>& registry, T* item) {
        auto found = std::find(registry.begin(), registry.end(), item);
        if (found == registry.end()) return false;
        registry.erase(found);
        return true;
    }

    std::vector<SimSnapshotSet*> snapshots_;
    std::vector<SimRecordSet*> recordSets_;
    std::vector<SimSnapshotSet*> retiredSnapshots_;
    std::vector<SimRecordSet*> retiredRecordSets_;
};

}  // namespace simfeed
