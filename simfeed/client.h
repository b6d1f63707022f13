// The stand-in feed client: a simulated market behind the feed contract.
// Its parts: the sets and their registry (sets.h), the connection state
// machine (connection.h), the feed loop (feed_loop.cpp, the feed thread's
// side of this class) and the facade below (client.cpp, the host's side).
//
// Threads: one feed thread (feedcommon/feed_thread.h), started by the first
// Connect or Create call and stopped by Shutdown, delivers every sink
// callback; a Shutdown from a callback lets the thread end after it returns. Host threads create,
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

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "feed/TellivarClient.h"
#include "feedcommon/feed_thread.h"
#include "simfeed/connection.h"
#include "simfeed/model.h"
#include "simfeed/sets.h"

namespace simfeed {

// Highest update rate, in trades per symbol per second.
constexpr double kMaxRate = 2000.0;

class SimClient final : public TellivarClient {
public:
    SimClient();
    ~SimClient() override;

    // ---- The feed contract: host threads, or a sink on the feed thread ----
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
    struct Settings : ConnectionSettings {
        double rate = 4.0;
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
    struct SimClock {
        double start = 0;
        Clock::time_point origin{};
        double speed = 1;
    };

    // ---- Host side (client.cpp) ----
    template <class Set>
    void deleteSet(Set* set);
    bool rejectCreate();  // mu_ held
    Instrument* instrumentFor(const std::string& symbol);  // mu_ held
    double nowLocked() const;  // mu_ held
    void ensureThread();  // mu_ held

    // ---- The feed thread (feed_loop.cpp); all with mu_ held ----
    // One run of the loop, from a start to a stop.
    void run(std::unique_lock<std::mutex>& lock);
    void waitForWork(std::unique_lock<std::mutex>& lock);
    void advanceConnection(std::unique_lock<std::mutex>& lock);
    void processCommands(std::unique_lock<std::mutex>& lock);
    void deliver(std::unique_lock<std::mutex>& lock, const std::vector<Notice>& notices);
    void settleInstruments();
    void sendImages(std::unique_lock<std::mutex>& lock);
    void advanceLoads(std::unique_lock<std::mutex>& lock);
    void loadChunk(std::unique_lock<std::mutex>& lock, SimRecordSet* set);
    void tradeRound(std::unique_lock<std::mutex>& lock);
    void updateLiveSet(SimRecordSet* set, double time);
    template <class F>
    void unlocked(std::unique_lock<std::mutex>& lock, F&& call) {
        lock.unlock();
        call();
        lock.lock();
    }
    // Runs `call` (a call to `set`'s sink) with mu_ released, unless the set
    // was deleted meanwhile: the dropped flag is tested immediately before.
    template <class Set, class F>
    void deliverUnlessDropped(std::unique_lock<std::mutex>& lock, Set* set, F&& call) {
        unlocked(lock, [&] {
            if (!set->dropped.load()) call();
        });
    }

    std::mutex mu_;
    std::condition_variable wake_;      // the feed thread waits on it
    std::condition_variable progress_;  // flush waits on it
    feedcommon::FeedThread feed_{mu_, [this](std::unique_lock<std::mutex>& lock) { run(lock); }};  // mu_
    bool inPass_ = false;               // mu_
    bool clockReset_ = false;           // mu_: the clock was set; instruments restart
    bool kicked_ = false;               // mu_: a host call left work for the next pass
    std::uint64_t passes_ = 0;          // mu_
    std::uint64_t flushTarget_ = 0;     // mu_: passes to run for waiting flushes
    int tradeRequests_ = 0;             // mu_

    Settings settings_;                 // mu_
    SimClock clock_;                    // mu_
    Connection connection_{[] { return Clock::now(); }};  // mu_
    Clock::time_point nextTrade_{};     // mu_

    std::map<std::string, std::unique_ptr<Instrument>> instruments_;  // mu_; never shrinks
    SetRegistry registry_;                                           // mu_
};

// Stops the one instance's feed thread; registered to run at exit.
void stopClientAtExit();

}  // namespace simfeed
