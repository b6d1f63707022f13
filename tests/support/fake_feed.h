// A recording fake of the feed client for unit tests.
//
// Install it with `FakeFeedScope` (which points `pTellivarClient` at a fresh
// fake and restores null afterwards). Every call the plug-in makes on the
// client and on the sets it hands out is appended to one journal, in order,
// as a text such as "Connect", "CreateTRecordSet(XYZ,D1)" or "set1.Init(11,0)".
// Sets are numbered in creation order ("set1", "set2", ...). Deleted sets are
// marked, not freed, so tests can inspect them; the client frees them at its
// own destruction.
//
// The journal is guarded by a mutex, so the fake may be called from a test's
// feed thread and the host thread at once. Recording can be switched off for
// allocation-counting tests (the calls then allocate nothing).
//
// The benchmarks have fakes of their own (bench/fast_feed.h says why) and
// share with this one what all fakes do alike (support/feed_common.h).
#pragma once

#include <atomic>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "feed/TellivarClient.h"
#include "support/feed_common.h"

class FakeFeedClient;

// A bar of a fake record set: its feed time and named field values. A field
// that is absent has no value (GetRecDouble answers false for it).
struct FakeBar {
    FeedTime time = 0;
    std::map<std::string, double> fields;
};

class FakeRecordSet : public TRecordSet {
public:
    FakeRecordSet(FakeFeedClient& client, std::string name, std::string query);

    // Places `bars` at record indexes firstIndex..firstIndex+n-1 and sets the
    // public members accordingly, with `base` as recordBase. No bars leaves
    // hasRecords at 0.
    void loadBars(std::vector<FakeBar> bars, std::int32_t firstIndex = 100, std::int32_t base = 7);
    // Calls the sink as the feed would, on the calling thread.
    void fireEvent(int event, long first, long second);

    void SetSink(ITRecSetSink* sink) override;
    int Init(int records, unsigned long flags) override;
    void EnterRead() override;
    void LeaveRead() override;
    short GetFieldIx(const char* name) override;
    bool GetRecDouble(long record, short field, double* value) override;
    bool GetETime(long record, int kind, FeedTime* time) override;

    const std::string name;   // "set1", ...
    const std::string query;  // the text given to CreateTRecordSet
    int initResult = 2;       // what Init answers
    ITRecSetSink* sink = nullptr;
    std::int32_t sinkModeAtSetSink = -1;  // sinkMode seen when SetSink was called
    std::atomic<bool> deleted{false};
    std::atomic<int> readDepth{0};        // EnterRead minus LeaveRead
    // When set, EnterRead/GetRecDouble throw this text (simulating a feed fault).
    const char* throwOnRead = nullptr;
    // When set, Init throws this text after it is recorded (a feed fault during setup).
    const char* throwOnInit = nullptr;

    // Field names the set knows, in index order; other names get index -1.
    std::vector<std::string> fieldNames{std::begin(kBarFieldNames), std::end(kBarFieldNames)};

private:
    const FakeBar* barAt(long record) const;

    FakeFeedClient& client_;
    std::vector<FakeBar> bars_;
    std::int32_t firstIndex_ = 0;
};

class FakeSnapshotSet : public SnapshotSet {
public:
    FakeSnapshotSet(FakeFeedClient& client, std::string name, std::string symbol);

    // Calls the sink's onSnapshotUpdate with these changed ids, on the calling thread.
    void fireUpdate(const std::vector<std::uint8_t>& changedIds);

    bool Init() override;
    void EnterRead() override;
    void LeaveRead() override;
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

    const std::string name;
    const std::string symbol;
    bool initResult = true;
    // Runs inside Init, after it is recorded (e.g. to fire an update at once, or throw).
    std::function<void(FakeSnapshotSet&)> onInit;
    std::map<short, double> values;     // numeric values by field id
    std::map<short, FeedTime> dwords;   // 32-bit values by field id (27: trade time)
    std::atomic<bool> deleted{false};
    std::atomic<int> readDepth{0};
    const char* throwOnRead = nullptr;  // thrown by GetDouble when set

private:
    FakeFeedClient& client_;
};

class FakeFeedClient : public TellivarClient {
public:
    FakeFeedClient();
    ~FakeFeedClient() override;

    bool Connect(EConnectStatus* status) override;
    void SendLogon(const char* user, const char* password) override;
    void Disconnect() override;
    void Shutdown() override;
    TRecordSet* CreateTRecordSet(const char* query) override;
    SnapshotSet* CreateSnapshotSet(const char* symbol) override;
    void DeleteTRecordSet(TRecordSet* set) override;
    void DeleteSnapshotSet(SnapshotSet* set) override;
    FeedTime MakeTime(int year, int month, int day, int hour, int minute, int second) override;
    void GetYMD(FeedTime time, int* year, int* month, int* day) override;
    void GetHMS(FeedTime time, int* hour, int* minute, int* second) override;

    // Seconds since 1970-01-01 UTC, computed without recording a call.
    static FeedTime timeOf(int year, int month, int day, int hour, int minute, int second);

    void record(const std::string& call);
    // Records describe() only while recording is on, so a silent fake allocates nothing.
    template <typename Describe>
    void note(Describe&& describe) {
        if (recording_) record(describe());
    }
    std::vector<std::string> calls() const;
    // The calls whose text starts with `prefix`.
    std::vector<std::string> callsStartingWith(const std::string& prefix) const;
    std::size_t countOf(const std::string& call) const;
    void clearCalls();
    void setRecording(bool on) { recording_ = on; }

    // Configures the next creation: `rejectNextCreate` makes it return null;
    // `prepare*` hooks see the new set before it is returned.
    bool rejectNextCreate = false;
    std::function<void(FakeRecordSet&)> prepareRecordSet;
    std::function<void(FakeSnapshotSet&)> prepareSnapshotSet;
    // Runs inside Connect, after it is recorded (e.g. to detect overlapping setups).
    std::function<void(EConnectStatus*)> onConnect;
    // Runs inside DeleteTRecordSet/DeleteSnapshotSet, after the set is marked
    // deleted (e.g. to start a callback while the deleting supplier holds its lock).
    std::function<void()> onDelete;

    EConnectStatus* lastSink() const { return lastSink_.load(); }
    FakeRecordSet* recordSet(std::size_t index) const;     // in creation order
    FakeSnapshotSet* snapshotSet(std::size_t index) const;  // in creation order
    std::size_t recordSetCount() const;
    std::size_t snapshotSetCount() const;
    FakeRecordSet* lastRecordSet() const;
    FakeSnapshotSet* lastSnapshotSet() const;

private:
    std::string nextSetName();

    mutable std::mutex mutex_;  // guards journal_, sets and counter
    std::vector<std::string> journal_;
    std::vector<std::unique_ptr<FakeRecordSet>> recordSets_;
    std::vector<std::unique_ptr<FakeSnapshotSet>> snapshotSets_;
    int setCounter_ = 0;
    std::atomic<bool> recording_{true};
    std::atomic<EConnectStatus*> lastSink_{nullptr};
};

// Points pTellivarClient at a fresh fake for the scope's lifetime.
class FakeFeedScope {
public:
    FakeFeedScope();
    ~FakeFeedScope();
    FakeFeedScope(const FakeFeedScope&) = delete;
    FakeFeedScope& operator=(const FakeFeedScope&) = delete;

    FakeFeedClient& client() { return *client_; }

private:
    std::unique_ptr<FakeFeedClient> client_;
};
