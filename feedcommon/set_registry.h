// The sets a feed client made and has not yet deleted, and those deleted
// during a feed pass, kept until the pass ends because a callback under way
// may still read them. Owns them all; frees what it still holds when it goes.
// Shared by the feed clients, each with its own snapshot and record set
// classes.
//
// Threads: none of its own, and no lock: the owning client calls every
// member with its lock held. Host threads add and remove, the feed thread
// walks the lists and frees the retired sets at the end of each pass.
#pragma once

#include <algorithm>
#include <vector>

namespace feedcommon {

template <class Snapshot, class Record>
class SetRegistry {
public:
    SetRegistry() = default;
    SetRegistry(const SetRegistry&) = delete;
    SetRegistry& operator=(const SetRegistry&) = delete;
    ~SetRegistry() {
        freeRetired();
        for (Snapshot* set : snapshots_) delete set;
        for (Record* set : recordSets_) delete set;
    }

    void add(Snapshot* set) { snapshots_.push_back(set); }
    void add(Record* set) { recordSets_.push_back(set); }
    // True while `set` was made and not yet deleted: the feed thread asks
    // before each callback, since a sink may delete any set.
    bool contains(const Snapshot* set) const { return has(snapshots_, set); }
    bool contains(const Record* set) const { return has(recordSets_, set); }
    // Takes `set` out; false if it is unknown or already deleted.
    bool remove(Snapshot* set) { return take(snapshots_, set); }
    bool remove(Record* set) { return take(recordSets_, set); }
    // Keeps a removed set until freeRetired: a callback may still read it.
    void retire(Snapshot* set) { retiredSnapshots_.push_back(set); }
    void retire(Record* set) { retiredRecordSets_.push_back(set); }
    void freeRetired() {
        for (Snapshot* set : retiredSnapshots_) delete set;
        for (Record* set : retiredRecordSets_) delete set;
        retiredSnapshots_.clear();
        retiredRecordSets_.clear();
    }

    const std::vector<Snapshot*>& snapshots() const { return snapshots_; }
    const std::vector<Record*>& recordSets() const { return recordSets_; }
    int size() const { return static_cast<int>(snapshots_.size() + recordSets_.size()); }

protected:
    std::vector<Snapshot*> snapshots_;
    std::vector<Record*> recordSets_;

private:
    template <class T>
    static bool has(const std::vector<T*>& sets, const T* set) {
        return std::find(sets.begin(), sets.end(), set) != sets.end();
    }
    template <class T>
    static bool take(std::vector<T*>& sets, T* set) {
        auto found = std::find(sets.begin(), sets.end(), set);
        if (found == sets.end()) return false;
        sets.erase(found);
        return true;
    }

    std::vector<Snapshot*> retiredSnapshots_;
    std::vector<Record*> retiredRecordSets_;
};

}  // namespace feedcommon
