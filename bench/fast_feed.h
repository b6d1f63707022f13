// A feed client built for speed, for the benchmarks: flat arrays, no
// recording, no threads, no sleeps, no allocation after set-up. It stands in
// for the real client both for the plug-in and for the baselines, so both pay
// exactly the same for every feed call.
//
// It is not the unit tests' recording fake (tests/support/fake_feed.h), which
// does the same job with what a measured path must not have and a benchmark
// must not lack: the test fake writes every call into a journal under a mutex,
// keeps bars as maps of named fields and snapshot values in ordered maps, and
// keeps every deleted set (so a test can inspect it, and a second delete or a
// late read of a deleted set is seen), where this one recycles deleted sets
// through pools (the create+destroy cases run millions of times) and shares
// one flat bar series among all its record sets (a million-bar history is
// built once). What the two do alike (feed times, bar field names, the
// operations that need no feed) comes from tests/support/feed_common.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "feed/TellivarClient.h"
#include "support/feed_common.h"

// Bars shared by every record set that a client hands out; field index order
// is Open, High, Low, Close, Volume.
struct BarData {
    static constexpr int kFields = kBarFields;
    std::vector<FeedTime> times;
    std::vector<std::array<double, kFields>> values;

    // `count` bars one minute apart with distinct values.
    static BarData make(std::size_t count);
};

class FastRecordSet : public TRecordSet {
public:
    void SetSink(ITRecSetSink* s) override { sink = s; }
    int Init(int, unsigned long) override { return initResult; }
    void EnterRead() override { ++readDepth; }
    void LeaveRead() override { --readDepth; }
    short GetFieldIx(const char* name) override;
    bool GetRecDouble(long record, short field, double* value) override;
    bool GetETime(long record, int kind, FeedTime* time) override;

    // Points the public range members at `bars`, the oldest at record index 0.
    void attach(const BarData* bars);

    const BarData* data = nullptr;  // not owned
    ITRecSetSink* sink = nullptr;
    int initResult = 2;  // events follow
    int readDepth = 0;
    static constexpr std::int32_t kBase = 7;
};

class FastSnapshotSet : public SnapshotSet {
public:
    FastSnapshotSet();
    bool Init() override { return true; }
    void EnterRead() override { ++readDepth; }
    void LeaveRead() override { --readDepth; }
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

    static constexpr int kIds = 256;
    std::array<double, kIds> values{};
    std::array<bool, kIds> present{};
    FeedTime tradeTime = 0;
    int readDepth = 0;
};

// Sets come from pools and go back to them, so creating and deleting one
// costs a few stores.
class FastFeedClient : public QuietFeedClient {
public:
    FastFeedClient();
    ~FastFeedClient() override;

    TRecordSet* CreateTRecordSet(const char* query) override;
    SnapshotSet* CreateSnapshotSet(const char* symbol) override;
    void DeleteTRecordSet(TRecordSet* set) override;
    void DeleteSnapshotSet(SnapshotSet* set) override;

    // Makes `count` sets of each kind ready so creation never allocates.
    void reserve(std::size_t count);

    const BarData* bars = nullptr;              // given to each new record set
    int recordSetInitResult = 2;                // Init result of new record sets
    FastRecordSet* lastRecordSet = nullptr;
    FastSnapshotSet* lastSnapshotSet = nullptr;
    // Filled into each new snapshot set: values for every id below 101 and a trade time.
    FastSnapshotSet snapshotTemplate;

private:
    std::vector<std::unique_ptr<FastRecordSet>> recordSets_;
    std::vector<std::unique_ptr<FastSnapshotSet>> snapshotSets_;
    std::vector<FastRecordSet*> freeRecordSets_;
    std::vector<FastSnapshotSet*> freeSnapshotSets_;
};

// The client the benchmarks run against (pTellivarClient points at it).
FastFeedClient& fastFeed();
