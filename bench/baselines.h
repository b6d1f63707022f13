// The floors the plug-in is measured against. Each baseline makes exactly the
// feed calls its case needs (read locks, the time read and its conversion,
// the value reads) and one virtual call to a consumer that reads the same
// values from a flat array; nothing else.
#pragma once

#include <ace/RW_Thread_Mutex.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "feed/TellivarClient.h"
#include "host/data.h"

// What a baseline hands its consumer: the time and values in flat arrays.
struct FlatQuote {
    data::CalendarRecord time{};
    std::array<double, 128> values{};
    std::size_t count = 0;
};

class FlatConsumer {
public:
    virtual ~FlatConsumer() = default;
    virtual void consume(const FlatQuote& quote) = 0;
};

// Sums what it reads so the compiler cannot drop the reads.
class SummingFlatConsumer : public FlatConsumer {
public:
    void consume(const FlatQuote& quote) override;
    double sum = 0.0;
};

// Splits a feed time into the calendar record the way every supplier does.
void fillCalendar(FeedTime time, data::CalendarRecord& record);

// Snapshot callback floor: the set's read lock, the trade time and its
// conversion, GetDouble for each changed subscribed id, one consumer call.
class BaselineSnapshotSink : public ISSSetSink {
public:
    BaselineSnapshotSink(const std::int16_t* ids, std::size_t count, FlatConsumer* consumer);
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) override;

private:
    std::array<std::uint8_t, 256> slotById_{};  // 0: not subscribed, else slot + 1
    FlatQuote quote_;
    FlatConsumer* consumer_;
};

// What any implementation of the snapshot contract must pay on top of the
// baseline: the supplier's write lock, the two host progress messages, the
// check whether the debug record is wanted, and a consumer that reads through
// the by-name value interface (a virtual getValue per value, each name checked
// byte for byte against the field it is predicted to be). Not a baseline:
// shown beside the plug-in to tell the contract's cost from the plug-in's.
class FloorSnapshotSink : public ISSSetSink, public data::TickSupplier {
public:
    FloorSnapshotSink(const std::int16_t* ids, const std::vector<std::string>& names, std::size_t count,
                      data::HostLogger* logger, data::TickConsumer* consumer);
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) override;
    data::CalendarRecord* getTime() override { return &quote_.time; }
    double getValue(const char* name) override;
    bool hasValue(const char* name) override;

private:
    std::array<std::uint8_t, 256> slotById_{};
    std::vector<std::string> names_;
    std::size_t cursor_ = 0;  // the slot the next getValue is predicted to ask for
    FlatQuote quote_;
    ACE_RW_Thread_Mutex lock_;
    data::HostLogger* logger_;
    data::TickConsumer* consumer_;
};

// Update callback floor: read lock, newest record's time and conversion,
// GetFieldIx and GetRecDouble for the five bar fields, one consumer call.
class BaselineUpdateSink : public ITRecSetSink {
public:
    explicit BaselineUpdateSink(FlatConsumer* consumer) : consumer_(consumer) {}
    void onRecordSetEvent(TRecordSet* set, int event, long first, long second) override;

private:
    FlatQuote quote_;
    FlatConsumer* consumer_;
};

// History walk floor, per record: GetETime and its conversion, GetFieldIx and
// GetRecDouble for each of the five fields, one consumer call.
void baselineWalk(TRecordSet* set, bool reverse, FlatConsumer& consumer);

// The long bar field names, in the order the walks read them.
extern const char* const kBarLongNames[5];
