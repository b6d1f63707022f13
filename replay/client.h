// The replay feed client: the feed contract of feed/TellivarClient.h served
// from a recording on NATS JetStream (wire/record.h), paced by a replay clock
// the host (or an instructor on a control subject) plays, pauses, speeds up,
// steps and moves. Sources by concern: clock.h (the replay clock), state.h
// (the market rebuilt from records), keyframes.h, bars.h (other intervals
// and histories from the minute bars), reader.h (JetStream), config.h, and
// this client: the contract's calls, the sets and the controls (client.cpp),
// the feed thread's loop (playback.cpp).
//
// Threads: one feed thread of this client's own, started by the first
// Connect or Create, stopped by Shutdown, runs every sink callback and every
// read of the recording. Host threads create, initialise, read and delete
// sets and call the controls; a NATS library thread runs the control
// subject's requests through the same controls.
// Locks: `mu_` guards the client's state marked so (the clock, the sets'
// registry, the queue of tasks) and is never held while a sink runs or
// while the reader talks to the server. `stateMu_` guards the rebuilt
// market (`state_`): the feed thread writes it, a history's Init reads it;
// it is never held with `mu_` or around a sink. Each set's `dataLock`
// guards its values or bars: the feed thread writes them under the
// exclusive side, readers bracket reads with EnterRead/LeaveRead.
// Deletion: Delete raises the set's `dropped` flag, which the feed thread
// tests immediately before every call to the set's sink, and takes the set
// out of the registry; while the feed thread runs the set is freed by it
// between two pieces of work, never during one. Delete never waits.
// Look-ahead: a record reaches the state (and so any set or history) only
// once the clock has reached its recorded time; a seek rebuilds the state
// from a keyframe at or before the new time, so after a jump back nothing of
// the old position is left.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "feed/TellivarClient.h"
#include "feedcommon/feed_thread.h"
#include "feedcommon/set_registry.h"
#include "replay/clock.h"
#include "replay/config.h"
#include "replay/control.h"
#include "replay/keyframes.h"
#include "replay/reader.h"
#include "replay/state.h"
#include "wire/record.h"

namespace replay {

class ReplayClient;

class ReplaySnapshotSet final : public SnapshotSet {
public:
    ReplaySnapshotSet(ReplayClient* c, std::string s) : client(c), symbol(std::move(s)) {}
    bool Init() override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

    ReplayClient* const client;
    const std::string symbol;
    std::atomic<bool> dropped{false};
    bool initialised = false;  // mu_
    bool needsImage = false;   // mu_: to be given an image as at the clock
    bool imaged = false;       // feed thread
    std::shared_mutex dataLock;
    double value[kFieldIds] = {};  // dataLock
    bool has[kFieldIds] = {};      // dataLock
    FeedTime tradeTime = 0;        // dataLock
};

class ReplayRecordSet final : public TRecordSet {
public:
    ReplayRecordSet(ReplayClient* c, std::string q);
    void SetSink(ITRecSetSink* sink) override;
    int Init(int records, unsigned long flags) override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    short GetFieldIx(const char* name) override;
    bool GetRecDouble(long record, short field, double* value) override;
    bool GetETime(long record, int kind, FeedTime* time) override;

    void publish(std::vector<wire::Bar> records, std::int64_t origin);

    ReplayClient* const client;
    const std::string query;
    const std::string symbol;
    std::atomic<bool> dropped{false};
    ITRecSetSink* sink = nullptr;  // mu_
    bool live = false;             // mu_: an update stream (sinkMode not 0 at Init)
    bool initialised = false;      // mu_
    bool historyOwed = false;      // mu_: a history asked before the logon, answered at it
    bool needsImage = false;       // mu_: to be given its window as at the clock
    int asked = 0;                 // mu_ (fixed once initialised)
    // Feed thread: the window came once (event 1 given); whether it is
    // aggregated from the minute bars; the aggregated window's newest bar.
    bool loadedOnce = false;
    bool aggregated = false;
    std::int64_t aggNewest = -1;
    std::uint32_t aggNewestStart = 0;
    std::shared_mutex dataLock;
    std::vector<wire::Bar> bars;  // dataLock
    std::int64_t origin = 0;      // dataLock
};

class ReplayClient final : public TellivarClient {
public:
    // `getenv` reads the environment, `steadyNs` a monotonic clock (tests pass their own).
    explicit ReplayClient(Getenv getenv = nullptr, std::function<std::int64_t()> steadyNs = nullptr);
    ~ReplayClient() override;

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

    // The controls of control.h (any thread but the feed thread's sinks):
    // 0, or -1 with the reason in the status's error.
    int play();
    int pause();
    int setSpeed(double speed);
    int step(std::uint32_t seconds);
    int seek(std::int64_t timeNs);
    tellivar_replay_status status();
    // A control subject's request ("play", "pause", "speed X", "step
    // SECONDS", "seek ISO", "status"): the status as JSON after it.
    std::string controlRequest(const std::string& text);

    // Set operations that need the client (host threads).
    void initSnapshot(ReplaySnapshotSet* set);
    int initRecordSet(ReplayRecordSet* set, int records);
    void setSink(ReplayRecordSet* set, ITRecSetSink* sink);
    // Stops the feed thread without delivering anything more: at process exit.
    void stopAtExit();
    // Corrupt or foreign records skipped so far (any thread).
    std::uint64_t skipped() const { return skipped_.load(); }

private:
    struct Pending {
        std::uint64_t seq = 0;
        wire::Record record;
    };

    void post(std::function<void()> task);  // mu_ held
    void ensureThread();                   // mu_ held
    int refuse(const std::string& why);    // mu_ held
    template <class Set>
    void deleteSet(Set* set);

    // ---- The feed thread; mu_ held on entry where the lock is passed ----
    void run(std::unique_lock<std::mutex>& lock);
    void logOn(std::uint64_t generation);
    void logOff(std::uint64_t generation, bool tell);
    bool goTo(std::int64_t timeNs, std::string* error);
    // Reads records into `buffer_`, waiting at most `waitMs` for the first;
    // tells of the end, or of the server lost.
    void refill(std::unique_lock<std::mutex>& lock, int waitMs);
    void deliver(const Pending& pending);
    void giveImages();
    void imageSnapshot(ReplaySnapshotSet* set);
    void imageStream(ReplayRecordSet* set);
    void answerHistories();
    void streamChanged(const std::string& query, const wire::Stream& stream);
    void quoteChanged(const wire::Quote& quote);
    void updateAggregated(ReplayRecordSet* set);
    void reachedEnd(std::unique_lock<std::mutex>& lock);
    void lost(std::unique_lock<std::mutex>& lock, const std::string& why);
    bool tryResume(std::unique_lock<std::mutex>& lock);
    void tellHost(const std::string& text);
    void skip(const std::string& why);
    void log(const std::string& line);
    template <class Set, class F>
    void notify(Set* set, F&& call) {
        if (!set->dropped.load()) call();
    }
    std::int64_t steady() const { return steadyNs_(); }

    const Getenv getenv_;
    const std::function<std::int64_t()> steadyNs_;

    std::mutex mu_;
    std::condition_variable wake_;  // with mu_: a task, a control or a set needs the feed thread
    feedcommon::FeedThread feed_{mu_, [this](std::unique_lock<std::mutex>& lock) { run(lock); }};
    std::deque<std::function<void()>> tasks_;  // mu_
    bool stopRequested_ = false;               // feed thread
    EConnectStatus* sink_ = nullptr;           // mu_
    std::uint64_t generation_ = 0;             // mu_
    std::string user_, password_;              // mu_
    feedcommon::SetRegistry<ReplaySnapshotSet, ReplayRecordSet> sets_;  // mu_
    bool ready_ = false;                       // mu_: logged on, the state built
    bool imagesOwed_ = false;                  // mu_: some set needs an image or history
    ReplayClock clock_;                        // mu_
    Span span_;                                // mu_
    std::string recording_;                    // mu_
    std::optional<std::int64_t> seekTo_;       // mu_: a seek for the feed thread
    std::optional<std::int64_t> seeking_;      // mu_: the seek the feed thread carries out now
    std::optional<std::uint32_t> stepAfterSeek_;  // mu_: a step asked behind that seek
    bool ended_ = false;                       // mu_
    bool lost_ = false;                        // mu_: the server is lost; resuming when back
    bool resumePlaying_ = false;               // mu_: play again once resumed
    std::string error_;                        // mu_: why the last control was refused

    // The feed thread's own.
    Config config_;
    Reader reader_;
    KeyframeIndex keyframes_;
    std::deque<Pending> buffer_;
    std::int64_t lastRecordNs_ = 0;  // the last record delivered or applied
    std::uint64_t lastSession_ = 0;
    bool inSessionKeyframe_ = false;
    std::uint64_t lastSeqRead_ = 0;  // the stream sequence of the last record read
    bool drained_ = false;           // the last fetch found nothing more: no fetching ahead
    std::uint64_t reconnectsSeen_ = 0;
    std::int64_t lastSkipLogNs_ = 0;
    std::uint64_t skippedSinceLog_ = 0;

    std::mutex stateMu_;
    MarketState state_;  // stateMu_

    std::atomic<std::uint64_t> skipped_{0};
};

// Stops the library's one instance at process exit; registered when a feed
// thread first starts. Null where clients are made and destroyed by their
// user, as in tests.
extern void (*atExit)();
// The instance the exported control functions act on (instance.cpp); null
// when none. Tests that make their own client set it.
extern std::atomic<ReplayClient*> controlled;

}  // namespace replay
