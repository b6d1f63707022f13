// The NATS feed client: the feed contract of feed/TellivarClient.h served by a
// tellivar-gateway over NATS (subjects and messages in wire/wire.h). Sources
// by concern: client.cpp (the contract's calls, the feed thread's loop),
// sets.cpp, bus.cpp (the bus: libnats's connection, subscriptions and
// callbacks, behind bus.h), inbound.cpp (what the bus delivers, queued for
// the feed thread; what is sent on it), link.cpp (logon, heartbeat, lease, catch-up, dispatch), updates.cpp
// (quotes and streams, their sequence), histories.cpp (histories, refusals).
//
// Threads: one feed thread of this client's own, started by the first
// Connect or Create, stopped by Shutdown, runs every sink callback. NATS
// library threads only copy incoming messages into the feed thread's queue
// (`queueMu_`); host threads create, initialise, read and delete sets.
// Locks: `mu_` guards the client state marked "mu_" and is never held while
// a sink runs; `queueMu_` guards the queue alone and is taken last. The
// client's own members say so in annotations that Clang's thread-safety
// analysis checks (scripts/thread_safety.sh); the sets' members guarded by
// their client's `mu_` say so in comments. Each
// set's `dataLock` guards its values or bars: the feed thread writes them
// under the exclusive side, readers bracket reads with EnterRead/LeaveRead.
// Deletion: Delete raises the set's `dropped` flag, which the feed thread
// tests immediately before every call to the set's sink, and takes the set
// out of the registry. It never waits for a callback; a set deleted during
// a feed pass is freed at the end of the pass.
// Backlog: a sink that takes long (a host that sleeps in its notification)
// holds up the one feed thread while the bus keeps delivering. Everything
// waiting for it is bounded: quote and stream updates (`backlogLimit`), the
// other messages (as many again: inbox answers, heartbeats, the gateway's
// messages) and the bytes of all of them (kMaxBacklogBytes). Past the bound,
// the updates of each symbol or stream that overflowed are dropped, and stay
// dropped until the feed thread has worked through what it had; it then
// asks those sets for fresh images and tells the host once that updates
// were missed. A dropped inbox answer makes every set ask again (images,
// windows and histories still owed). A slow-consumer report from the NATS
// library is handled the same way. So memory stays flat and the values a
// sink sees after catching up are the gateway's current ones, not a stale
// backlog. A history's chunks are bounded by the bars asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"
#include "feedcommon/feed_thread.h"
#include "feedcommon/mutex.h"
#include "natsfeed/bus_events.h"
#include "natsfeed/link_machine.h"
#include "natsfeed/sequence.h"
#include "wire/wire.h"

namespace natsfeed {

class Bus;
class NatsClient;

// What a set has of the gateway's sequence: the image it was given and the
// updates that came before that image did (kept until it comes).
template <class Update>
struct Sequence : SequencePosition {
    // When the image was last asked for (mu_); the request is sent again when
    // no answer came within a while (an answer can be lost in a failover).
    std::chrono::steady_clock::time_point askedAt{};
    std::vector<Update> early;  // feed thread
};

class NatsSnapshotSet final : public SnapshotSet {
public:
    NatsSnapshotSet(NatsClient* c, std::string s, std::uint64_t i) : client(c), symbol(std::move(s)), id(i) {}
    bool Init() override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    bool GetDouble(short id, double* value) override;
    bool GetDWord(short id, FeedTime* value) override;

    NatsClient* const client;
    const std::string symbol;
    const std::uint64_t id;
    std::atomic<bool> dropped{false};
    bool initialised = false;         // mu_
    // The server or the gateway refused it: nothing more is asked for it until the next logon.
    bool refused = false;             // mu_
    // Initialised and not refused: subscribed, asked for images (mu_ held).
    bool following() const { return initialised && !refused; }
    // Reset by Init on a host thread, under mu_ and before `initialised`
    // lets the feed thread see the set; from then on the feed thread's alone.
    Sequence<wire::Quote> sequence;
    std::shared_mutex dataLock;
    double value[wire::kMaxFieldId + 1] = {};  // dataLock
    bool has[wire::kMaxFieldId + 1] = {};      // dataLock
    FeedTime tradeTime = 0;                    // dataLock
};

class NatsRecordSet final : public TRecordSet {
public:
    NatsRecordSet(NatsClient* c, std::string q, std::uint64_t i);
    void SetSink(ITRecSetSink* sink) override;
    int Init(int records, unsigned long flags) override;
    void EnterRead() override { dataLock.lock_shared(); }
    void LeaveRead() override { dataLock.unlock_shared(); }
    short GetFieldIx(const char* name) override;
    bool GetRecDouble(long record, short field, double* value) override;
    bool GetETime(long record, int kind, FeedTime* time) override;

    // Replaces the records (feed thread, or before the feed thread knows them).
    void publish(std::vector<wire::Bar> records, std::int64_t origin);

    enum class Load { Idle, Waiting, Pending, AtOnce, Done, Failed };
    // mu_ held: the bars are still owed (Init waits for the first answer, or returned 1).
    bool owed() const { return load == Load::Waiting || load == Load::Pending; }
    // mu_ held: an initialised update stream the server or gateway did not refuse.
    bool streaming() const { return live && load != Load::Idle && !refused; }

    NatsClient* const client;
    const std::string query;
    const std::uint64_t id;
    std::atomic<bool> dropped{false};
    ITRecSetSink* sink = nullptr;  // mu_
    Load load = Load::Idle;        // mu_
    bool live = false;             // mu_: an update stream
    bool refused = false;          // mu_: a refused stream; nothing more asked until the next logon
    bool requestSent = false;      // mu_: a history request is out
    // The history request out now: its id (a repeat gets a new one, so that
    // answers to an earlier one are ignored), when it went, whether anything
    // of its answer came, and how often a gap in its chunks made it repeat.
    std::uint64_t historyId = 0;   // mu_
    std::chrono::steady_clock::time_point historyAskedAt{};  // mu_
    bool historyHeard = false;     // mu_
    int historyRepeats = 0;        // mu_
    int asked = 0;                 // mu_
    bool loadedOnce = false;       // feed thread: event 1 was given
    std::vector<wire::Bar> incoming;  // feed thread: history chunks so far
    // Reset by Init on a host thread, under mu_ and before `live` and `load`
    // let the feed thread see the set; from then on the feed thread's alone.
    Sequence<wire::Stream> sequence;
    std::shared_mutex dataLock;
    std::vector<wire::Bar> bars;   // dataLock
    std::int64_t origin = 0;       // dataLock
};

class NatsClient final : public TellivarClient, private BusEvents {
public:
    // Quote and stream updates queued for the feed thread before it drops
    // (conflates) them; the feed thread's pass may hold as many again.
    static constexpr std::size_t kDefaultBacklogLimit = 10000;

    explicit NatsClient(std::size_t backlogLimit = kDefaultBacklogLimit);
    ~NatsClient() override;

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

    // Set operations that need the client's state (host threads).
    void initSnapshot(NatsSnapshotSet* set) EXCLUDES(mu_);
    int initRecordSet(NatsRecordSet* set, int records) EXCLUDES(mu_);
    void setSink(NatsRecordSet* set, ITRecSetSink* sink) EXCLUDES(mu_);
    // Stops the feed thread without delivering anything more: at process exit.
    void stopAtExit() EXCLUDES(mu_);
    // The most quote and stream updates that were ever waiting for the feed
    // thread at once (any thread).
    std::size_t backlogPeak() EXCLUDES(queueMu_);
    // Bytes of messages of any kind waiting for the feed thread at once, at
    // most kMaxBacklogBytes; the feed thread's pass may hold as many again.
    static constexpr std::size_t kMaxBacklogBytes = 32u << 20;
    struct BacklogStats {
        std::size_t peakMessages = 0;  // messages of any kind waiting at once
        std::size_t peakBytes = 0;     // their payload bytes
        std::uint64_t arrived = 0;     // messages the bus delivered, queued or dropped
    };
    BacklogStats backlogStats() EXCLUDES(queueMu_);  // any thread

private:
    using Clock = std::chrono::steady_clock;

    // ---- Host side ----
    // A queued piece of feed-thread work; `update` names the quote or stream
    // subject of an update, empty for anything else.
    struct Task {
        std::function<void()> run;
        std::string update;
        // Counted in queuedUpdates_ and queuedBytes_ (a message from the bus
        // queued since the last swap), with its payload bytes.
        bool counted = false;
        std::size_t bytes = 0;
    };
    void ensureThread() REQUIRES(mu_);
    void post(std::function<void()> task) EXCLUDES(queueMu_);
    template <class Set>
    void deleteSet(Set* set) EXCLUDES(mu_);

    // ---- The bus's events: NATS library threads, no lock held ----
    void onBusMessage(std::string subject, const std::uint8_t* data, std::size_t size) override;
    void onBusSlowConsumer(const char* subject) override;
    void onBusPermissionRefused(std::string subject, std::string text) override;
    void onBusError(std::string text) override;
    void onBusDisconnected(BusConnectionId id) override;
    void onBusReconnected(BusConnectionId id) override;

    // ---- The feed thread ----
    // Entered with mu_ held (by the FeedThread's lock), released while it runs.
    void run() REQUIRES(mu_);
    void freeRetired() REQUIRES(mu_);
    void logOn(std::uint64_t generation) EXCLUDES(mu_);
    void logOff(std::uint64_t generation) EXCLUDES(mu_);
    void onInbound(const std::string& subject, const std::vector<std::uint8_t>& bytes) EXCLUDES(mu_);
    void onHeartbeat(const wire::Heartbeat& beat) EXCLUDES(mu_);
    // Performs what the link's table returned, in order (mu_ held, released
    // around the host's sinks).
    void perform(const LinkMachine::Actions& actions, Clock::time_point now) REQUIRES(mu_);
    void goUp() REQUIRES(mu_);
    // `only`: the set an inbox answer is for; null for the broadcast subject.
    void onQuote(const wire::Quote& quote, const std::string& subject, NatsSnapshotSet* only) EXCLUDES(mu_);
    void onStream(const wire::Stream& stream, const std::string& subject, NatsRecordSet* only) EXCLUDES(mu_);
    // What differs between quotes and update streams (updates.cpp); the
    // rest of their path is one, onUpdate and follow.
    template <class Set>
    struct Kind;
    template <class Set>
    void onUpdate(const typename Kind<Set>::Message& message, const std::string& subject, Set* only) EXCLUDES(mu_);
    void onHistoryChunk(const wire::HistoryChunk& chunk) EXCLUDES(mu_);
    void onHistoryDone(const wire::HistoryDone& done) EXCLUDES(mu_);
    void onRefusal(const wire::Refusal& refusal, const std::string& subject) EXCLUDES(mu_);
    // The server refused a subscription or publication on `subject` (`text` says so).
    void onPermissionRefused(const std::string& subject, const std::string& text) EXCLUDES(mu_);
    void tick() EXCLUDES(mu_);
    bool isStale(const std::string& updateSubject) EXCLUDES(queueMu_);
    void catchUp() EXCLUDES(mu_, queueMu_);
    template <class Set>
    void follow(const std::vector<Set*>& targets, const typename Kind<Set>::Message& message, bool image)
        EXCLUDES(mu_);
    void applyQuote(NatsSnapshotSet* set, const wire::Quote& quote) EXCLUDES(mu_);
    void applyStream(NatsRecordSet* set, const wire::Stream& stream) EXCLUDES(mu_);
    void notifyConnection(std::function<void(EConnectStatus*)> call) EXCLUDES(mu_);
    // Tells the connected host `message`, or logs `logLine` when none is connected.
    void tellHost(const std::string& logLine, const std::string& message) EXCLUDES(mu_);
    // Runs `call` unless `set` was deleted: the flag is tested immediately before.
    template <class Set, class F>
    void deliver(Set* set, F&& call) {
        if (!set->dropped.load()) call();
    }
    void log(const std::string& line);

    // ---- mu_ held ----
    void resubscribeAll() REQUIRES(mu_);
    void askAgainForLostAnswers(Clock::time_point now) REQUIRES(mu_);
    void requestImage(NatsSnapshotSet* set) REQUIRES(mu_);
    void requestStream(NatsRecordSet* set) REQUIRES(mu_);
    void sendHistoryRequest(NatsRecordSet* set) REQUIRES(mu_);
    // Part of the history's answer was lost: asks again, a few times, then fails it.
    void onHistoryGap(NatsRecordSet* set, const std::string& what) REQUIRES(mu_);
    // The history's load failed (the feed's failure, a refusal, or too many gaps):
    // final, whether Init still waits or returned 1.
    void failHistory(NatsRecordSet* set) REQUIRES(mu_);
    // The set is refused until the next logon: its subscription goes, nothing more is asked.
    void refuse(NatsSnapshotSet* set) REQUIRES(mu_);
    void refuse(NatsRecordSet* set) REQUIRES(mu_);
    // Unsubscribes from the key's updates once no set follows it; tells the
    // gateway when `tellGateway` (not for a key it refused or never granted).
    void unwatchIfUnused(bool stream, const std::string& key, bool tellGateway = true) REQUIRES(mu_);
    void sendLease() REQUIRES(mu_);
    void publishLocked(const std::string& subject, const wire::Message& message, const std::string& reply = {})
        REQUIRES(mu_);
    // Opens the bus with the credentials of the logon of generation_ (the
    // link's OpenBus): the connect runs with mu_ released; then the link
    // is told busOpened or busFailed.
    void openBus() REQUIRES(mu_);
    // Closes the bus; a history asked for on it is asked again on the next.
    void closeBus() REQUIRES(mu_);
    NatsSnapshotSet* snapshotById(std::uint64_t id) REQUIRES(mu_);
    NatsRecordSet* recordSetById(std::uint64_t id) REQUIRES(mu_);
    NatsRecordSet* historyById(std::uint64_t id) REQUIRES(mu_);  // by the id of the request out now

    feedcommon::Mutex mu_;
    std::condition_variable historyAnswered_;  // with mu_: Init waits for a history's first answer
    // The feed thread: started by the first Connect or Create, stopped by
    // Shutdown or at exit. Its loop is entered with mu_ held.
    feedcommon::FeedThread feed_ GUARDED_BY(mu_){mu_.native(), [this](std::unique_lock<std::mutex>&) {
        mu_.assertHeld();
        run();
    }};
    bool inPass_ GUARDED_BY(mu_) = false;

    // The connection's sink of the latest Connect: written by host threads
    // (Connect) under mu_, read by the feed thread under mu_.
    EConnectStatus* sink_ GUARDED_BY(mu_) = nullptr;
    // The sink told onLogon, until told onLogOff: feed thread, under mu_.
    EConnectStatus* loggedOn_ GUARDED_BY(mu_) = nullptr;
    // Bumped by every Connect and Disconnect: host threads, under mu_.
    std::uint64_t generation_ GUARDED_BY(mu_) = 0;
    // The link's state: events from the feed thread under mu_; host threads
    // read isUp() under mu_.
    LinkMachine link_ GUARDED_BY(mu_);
    std::string user_ GUARDED_BY(mu_), password_ GUARDED_BY(mu_);  // host threads (SendLogon)
    // The bus: made with the client, never replaced; its own state is
    // guarded by mu_ (see bus.h for which thread opens and closes it).
    const std::unique_ptr<Bus> bus_ PT_GUARDED_BY(mu_);
    std::string inbox_ GUARDED_BY(mu_);  // feed thread (openBus)
    // When the last heartbeat arrived: the NATS library's delivery thread
    // stores it, the feed thread's tick loads it (relaxed: a time stamp alone).
    std::atomic<Clock::rep> heartbeatSeen_{0};
    const std::uint64_t clientId_;
    std::uint64_t nextSetId_ GUARDED_BY(mu_) = 1;

    std::vector<NatsSnapshotSet*> snapshots_ GUARDED_BY(mu_);  // owned
    std::vector<NatsRecordSet*> recordSets_ GUARDED_BY(mu_);   // owned
    // Deleted during a pass: freed at its end.
    std::vector<NatsSnapshotSet*> retiredSnapshots_ GUARDED_BY(mu_);
    std::vector<NatsRecordSet*> retiredRecordSets_ GUARDED_BY(mu_);

    // log(): feed thread only.
    Clock::time_point logWindow_{};
    int logLines_ = 0, logSuppressed_ = 0;

    // Marks the updates of `subject` (empty: of every set) as missed.
    void markStale(const std::string& subject) REQUIRES(queueMu_);

    feedcommon::Mutex queueMu_;
    std::condition_variable queued_;
    std::deque<Task> queue_ GUARDED_BY(queueMu_);
    const std::size_t backlogLimit_;
    std::size_t queuedUpdates_ GUARDED_BY(queueMu_) = 0;  // updates in queue_
    std::size_t queuedOthers_ GUARDED_BY(queueMu_) = 0;  // other messages from the bus in queue_
    std::size_t queuedBytes_ GUARDED_BY(queueMu_) = 0;  // payload bytes in queue_
    std::size_t backlogPeak_ GUARDED_BY(queueMu_) = 0;
    BacklogStats backlogStats_ GUARDED_BY(queueMu_);
    std::set<std::string> stale_ GUARDED_BY(queueMu_);  // subjects whose updates are dropped until re-imaged
    bool staleAll_ GUARDED_BY(queueMu_) = false;  // every set needs a fresh image
    std::uint64_t missed_ GUARDED_BY(queueMu_) = 0;  // updates dropped since the last catch-up
    std::atomic<bool> anyStale_{false};        // stale_ or staleAll_ set: lets the feed thread skip the lock
    bool queueStop_ GUARDED_BY(queueMu_) = false;  // stop at once (process exit)
    // Shutdown's task ran: feed thread only (reset at the start of each run).
    bool stopRequested_ = false;
};

// Stops the library's one instance at process exit; registered when a feed
// thread first starts. Null (nothing registered) where clients are made
// and destroyed by their user, as in tests.
extern void (*atExit)();

}  // namespace natsfeed
