// The stand-in feed client: a simulated market behind the feed contract.
//
// Threads: one feed thread, started by the first Connect or Create call and
// stopped by Shutdown, delivers every sink callback. Host threads create,
// initialise and delete sets; they never receive a callback themselves.
// Locks: `mu_` guards all client state below marked "mu_", and is never held
// while a sink is called. Each set's `dataLock` guards its records or values:
// the feed thread writes them under the exclusive side, readers bracket their
// reads with EnterRead/LeaveRead (the shared side). Instruments guard their
// own model caches.
// Deletion: Delete first raises the set's `dropped` flag, which the feed
// thread tests immediately before every call to the set's sink, then removes
// the set from the registry. No callback for the set starts after Delete
// returns, and Delete never waits for one in progress. The set's memory is
// freed at the end of the feed thread's pass if one is under way (a callback
// in progress may still read it), otherwise at once.
// The flag is raised before `mu_` is taken so that a subscriber which holds
// its own lock around Delete (and whose callback takes that lock first) gives
// the feed thread the smallest window to start a callback meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"
#include "simfeed/model.h"
#include "simfeed/query.h"

namespace simfeed {

class SimClient;

// Record indexes handed out are offset by this, so that code which forgets to
// subtract `recordBase` reads outside every set.
constexpr std::int32_t kRecordBase = 1000000;
// Longest history a set holds.
constexpr int kMaxRecords = 200000;
// Highest update rate, in trades per symbol per second.
constexpr double kMaxRate = 2000.0;

class SimSnapshotSet final : public SnapshotSet {
public:
    SimSnapshotSet(SimClient* client, Instrument* instrument) : client(client), instrument(instrument) {}
    ~SimSnapshotSet() override = default;

    bool Init() override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

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

    // Replaces the records (feed thread, or the Init caller before the set is
    // known to the feed thread); `origin` is the index of the oldest record.
    void publish(std::vector<Bar> records, std::int64_t origin);
    // Adds records after the newest (feed thread).
    void append(const std::vector<Bar>& records);

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

class SimClient final : public TellivarClient {
public:
    SimClient();
    ~SimClient() override;

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

    // Set operations that need the client's state.
    void initSnapshot(SimSnapshotSet* set);
    int initRecordSet(SimRecordSet* set, int records);
    void setSink(SimRecordSet* set, ITRecSetSink* sink);

    // Control surface (control.h).
    struct Settings {
        std::string user = "demo";
        std::string password = "demo";
        bool acceptAny = false;
        double rate = 4.0;
        int reconnectMs = 200;
        int connectMs = 30;
        double dropEverySeconds = 0;
        int rejectCreates = 0;
        int failHistory = 0;
        bool stallHistory = false;
    };
    void reset();
    template <class F>
    void configure(F&& change) {
        std::lock_guard<std::mutex> lock(mu_);
        change(settings_);
        wake_.notify_all();
    }
    void setClock(double start, double speed);
    void advanceClock(double seconds);
    double now();
    void tradeNow();
    void dropConnection();
    void sendMessage(const char* text);
    void flush();
    int liveSets();
    bool loggedOn();
    // Stops the feed thread without delivering anything more: at process exit.
    void stopAtExit();

private:
    using Clock = std::chrono::steady_clock;
    enum class Link { Down, Connecting, AwaitingCredentials, Up, Reconnecting };
    struct Command {
        enum Kind { Connect, Logon, Disconnect, Drop, Message } kind;
        std::uint64_t generation;
        std::string first, second;
        EConnectStatus* sink = nullptr;  // Disconnect: the sink logged on when it was asked
    };
    struct SimClock {
        double start = 0;
        Clock::time_point origin{};
        double speed = 1;
    };

    void ensureThread();  // mu_ held
    void run();
    void waitForWork(std::unique_lock<std::mutex>& lock);
    void advanceConnection(std::unique_lock<std::mutex>& lock, Clock::time_point now);
    void processCommands(std::unique_lock<std::mutex>& lock);
    void handle(std::unique_lock<std::mutex>& lock, const Command& command);
    void logon(std::unique_lock<std::mutex>& lock, const Command& command);
    void settleInstruments();  // mu_ held
    void sendImages(std::unique_lock<std::mutex>& lock);
    void advanceLoads(std::unique_lock<std::mutex>& lock);
    void loadChunk(std::unique_lock<std::mutex>& lock, SimRecordSet* set);
    void tradeRound(std::unique_lock<std::mutex>& lock);
    void updateLiveSet(SimRecordSet* set, double time);
    void freeRetired();   // mu_ held
    double nowLocked() const;
    Instrument* instrumentFor(const std::string& symbol);  // mu_ held
    template <class F>
    void unlocked(std::unique_lock<std::mutex>& lock, F&& call) {
        lock.unlock();
        call();
        lock.lock();
    }

    std::mutex mu_;
    std::condition_variable wake_;      // the feed thread waits on it
    std::condition_variable progress_;  // flush waits on it
    std::thread thread_;                // mu_ (moved out while being joined)
    std::thread::id feedThreadId_;      // mu_
    bool running_ = false;              // mu_
    bool stopping_ = false;             // mu_
    bool exiting_ = false;              // mu_
    bool inPass_ = false;               // mu_
    bool clockReset_ = false;           // mu_: the clock was set; instruments restart
    bool kicked_ = false;               // mu_: a host call left work for the next pass
    std::uint64_t passes_ = 0;          // mu_
    std::uint64_t flushTarget_ = 0;     // mu_: passes to run for waiting flushes
    int tradeRequests_ = 0;             // mu_
    bool atExitRegistered_ = false;     // mu_

    Settings settings_;                 // mu_
    SimClock clock_;                    // mu_
    std::deque<Command> commands_;      // mu_
    EConnectStatus* status_ = nullptr;  // mu_
    std::uint64_t generation_ = 0;      // mu_
    Link link_ = Link::Down;            // mu_
    Clock::time_point reconnectAt_{};   // mu_
    Clock::time_point connectAt_{};     // mu_: when a Connecting link asks for credentials
    Clock::time_point nextTrade_{};     // mu_
    Clock::time_point nextDrop_{};      // mu_

    std::map<std::string, std::unique_ptr<Instrument>> instruments_;  // mu_; never shrinks
    std::vector<SimSnapshotSet*> snapshots_;                         // mu_; owned, not yet deleted
    std::vector<SimRecordSet*> recordSets_;                          // mu_; owned, not yet deleted
    std::vector<SimSnapshotSet*> retiredSnapshots_;                  // mu_; deleted during a pass
    std::vector<SimRecordSet*> retiredRecordSets_;                   // mu_; likewise
};

// Stops the one instance's feed thread; registered with atexit.
void stopClientAtExit();

}  // namespace simfeed
