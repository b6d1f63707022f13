// The market-data gateway: one feed client, logged on once, fanned out to any
// number of NATS feed clients over a NATS connection.
//
// What it serves (subjects and messages in wire/wire.h, reply subjects in
// wire/inbox.h):
//  - quotes: one snapshot set per symbol while a client wants it; each
//    update published once as the changed field ids with their values;
//    a full image in answer to every Subscribe;
//  - update streams: one record set per stream query while wanted; every
//    record-set event published with the newest bar (or the whole window
//    when a bar opens);
//  - histories: answered in chunks; identical requests (query and record
//    count) in flight at once share one feed record set;
//  - a heartbeat carrying the feed's state, and the feed's messages;
//  - with a recording (Options::record, recorder.h): every quote update and
//    stream event it publishes also as a record in a JetStream stream, a
//    recorded universe of symbols kept subscribed whoever wants it, and a
//    keyframe (the image of every live set) at the start and every period.
// What a client and a user may ask is bounded (quotas.h); the excess is
// refused with a Refusal that says so. Interest is leased: a client that
// stops renewing loses its interest after the lease, one that says it leaves
// loses it at once, and a set nobody wants any more is deleted.
//
// The parts, one file each: the life, the requests and the publishing
// (gateway.cpp); interest and leases, quotes and streams (interest.cpp);
// histories (history.cpp); the feed sets' sinks (feed_sets.h); the quotas
// (quotas.h), the counters (counters.h), the retired sinks
// (retired_sinks.h) and the recording (recording.cpp, recorder.h).
//
// Threads: NATS handler threads (requests), the feed thread (sink and
// connection calls) and the gateway's own housekeeping thread (heartbeat,
// leases, rates). `mu_` guards all state; it is held while calling the feed
// client, which never calls a sink with its own lock held, and while
// publishing, so that every subject's messages leave in the order of their
// sequence numbers.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"
#include "gateway/counters.h"
#include "gateway/feed_watch.h"
#include "gateway/health.h"
#include "gateway/locking.h"
#include "gateway/quotas.h"
#include "gateway/recorder.h"
#include "gateway/retired_sinks.h"
#include "wire/wire.h"

namespace gateway {

struct Options {
    std::string user, password;  // the feed logon
    std::chrono::milliseconds lease{10000};
    std::chrono::milliseconds heartbeat{1000};
    QuotaLimits quotas;
    // Publishes only until the time given to holdUntil (a lease, lease.h):
    // a gateway that may have been replaced says nothing more. False: always.
    bool fenced = false;
    // Receives every log line (client join/leave, feed state); null: none.
    // Called on any of the gateway's threads, most with the gateway's lock held.
    std::function<void(const std::string&)> log;
    // Test seam: called on the feed thread at the start of every sink
    // callback, before the gateway's lock is taken. Null: nothing.
    std::function<void()> beforeFeedCallback;
    // Receives the gateway's health (health.h) from the housekeeping thread,
    // without the gateway's lock: every `reportEvery`, and at once when the
    // feed comes up or goes down. A housekeeping that cannot take the lock
    // (a deadlock) reports nothing. Null: no reports.
    std::function<void(const Health&)> report;
    std::chrono::milliseconds reportEvery{1000};
    // A feed callback under way for longer than this is reported as stalled.
    std::chrono::milliseconds feedStallLimit{10000};
    // The recording; its name empty: none.
    RecordOptions record;
};

// How a replay feed client's logon message begins.
inline const char kReplayNoticePrefix[] = "Replay of ";

class Gateway final : public EConnectStatus {
public:
    // `feed` and `nats` are not owned and must outlive stop().
    Gateway(TellivarClient* feed, natsConnection* nats, Options options);
    ~Gateway() override;
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Subscribes to the request subjects and connects the feed. False, with
    // `error` set, when a subscription failed.
    bool start(std::string* error);
    // Stops taking requests and waits until no request handler runs, deletes
    // every feed set, logs off and shuts the feed down. Any thread but the
    // feed thread and the request handlers'. The gateway may be freed once it
    // returns, before the NATS connection is drained.
    void stop() EXCLUDES(mu_);
    Stats stats() EXCLUDES(mu_);
    // With Options::fenced: nothing is published from `deadline` on. Any thread.
    void holdUntil(std::chrono::steady_clock::time_point deadline);

    // ---- EConnectStatus: the feed thread ----
    void onSendCredentials(std::int32_t, std::int32_t) override;
    void onLogon(std::int32_t) override;
    void onLogOff() override EXCLUDES(mu_);
    void onReady() override EXCLUDES(mu_);
    void onMessage(const char* text) override EXCLUDES(mu_);

    // ---- The sinks' calls: the feed thread (feed_sets.h) ----
    struct QuoteFeed;
    struct StreamFeed;
    struct HistoryLoad;
    // First thing in every sink callback: its `began` mark (retired_sinks.h).
    std::uint64_t feedCallbackBegan();
    void onQuote(QuoteFeed* feed, std::uint8_t count, const std::uint8_t* ids, std::uint64_t began) EXCLUDES(mu_);
    void onStreamEvent(StreamFeed* feed, int event, long first, long second, std::uint64_t began) EXCLUDES(mu_);
    void onHistoryEvent(HistoryLoad* load, int event, std::uint64_t began) EXCLUDES(mu_);

private:
    struct CallbackEnd;
    struct Client {
        std::string inbox;  // its reply inbox, whose quotas it counts against
        std::chrono::steady_clock::time_point expiry;
        std::set<std::pair<bool, std::string>> keys;  // (stream, symbol or query)
    };

    // ---- Requests: NATS handler threads (gateway.cpp) ----
    static void onRequest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    void handle(natsMsg* msg) EXCLUDES(mu_);
    bool fromClient(std::uint64_t client, const char* reply, const std::string& subject);
    void answerStats(const char* reply) EXCLUDES(mu_);

    // ---- Interest and leases (interest.cpp) ----
    void subscribe(const wire::Subscribe& request, const char* reply) EXCLUDES(mu_);
    void unsubscribe(std::uint64_t client, bool stream, const std::string& key, const char* why) REQUIRES(mu_);
    void renew(const wire::Lease& lease) EXCLUDES(mu_);
    void leave(std::uint64_t client) EXCLUDES(mu_);
    // Adds `interest` to `client` (known by then); false when a quota refused it, the refusal sent to `reply`.
    bool admitInterest(std::uint64_t client, const std::pair<bool, std::string>& interest, const char* reply)
        REQUIRES(mu_);
    Client& touch(std::uint64_t client, const std::string& inbox) REQUIRES(mu_);
    void dropInterest(bool stream, const std::string& key, std::uint64_t client) REQUIRES(mu_);
    void expireLeases() REQUIRES(mu_);
    void dropClients(const std::vector<std::uint64_t>& clients, const char* why) REQUIRES(mu_);

    // ---- Histories (history.cpp) ----
    void requestHistory(const wire::HistoryRequest& request, const char* reply) EXCLUDES(mu_);
    void sendHistory(HistoryLoad& load, std::uint8_t result) REQUIRES(mu_);
    void finishHistory(HistoryLoad* load) REQUIRES(mu_);
    // The loads' waiters among `clients` lapse; loads left without one are deleted.
    void dropHistoryWaiters(const std::vector<std::uint64_t>& clients) REQUIRES(mu_);

    // ---- Publishing (gateway.cpp) ----
    bool mayPublish() const;
    void publish(const std::string& subject, const wire::Message& message) REQUIRES(mu_);
    void publishTo(const char* subject, const std::vector<std::uint8_t>& bytes) REQUIRES(mu_);
    void publishHeartbeat() REQUIRES(mu_);
    void say(const std::string& line);
    void housekeep() EXCLUDES(mu_);
    Health health(std::chrono::steady_clock::time_point now) REQUIRES(mu_);

    // ---- Making sets (interest.cpp) ----
    // The live set of `symbol` or `query`, made when missing; null (nothing
    // kept) when the feed refused it.
    QuoteFeed* quoteFeed(const std::string& symbol) REQUIRES(mu_);
    StreamFeed* streamFeed(const std::string& query) REQUIRES(mu_);
    wire::Quote quoteImage(const QuoteFeed& quote) const REQUIRES(mu_);
    wire::Stream streamImage(const StreamFeed& stream) const REQUIRES(mu_);

    // ---- The recording (recording.cpp) ----
    // One round of the housekeeping: the stream opened (by the recorder's
    // thread), the universe's sets made, keyframes when due. When the
    // recording wants another round before `next`, lowers it.
    void keepRecording(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point* next)
        REQUIRES(mu_);
    void openUniverse() REQUIRES(mu_);
    bool universeImaged() const REQUIRES(mu_);
    bool writeKeyframe(std::uint8_t flags) REQUIRES(mu_);
    // An Update record of a message just published on a live subject.
    void recordUpdate(const std::string& subject, const std::vector<std::uint8_t>& message) REQUIRES(mu_);
    std::int64_t recordTime() REQUIRES(mu_);

    TellivarClient* const feed_;
    natsConnection* const nats_;
    const Options options_;
    const std::uint64_t epoch_;
    // With options_.fenced: written by holdUntil (any thread), read by every publisher; no lock.
    std::atomic<std::chrono::steady_clock::rep> holdUntil_{0};
    // Written by start() before any other thread of the gateway runs; read
    // by stop() and the destructor, on the thread that started it.
    std::vector<natsSubscription*> subscriptions_;
    std::thread housekeeper_;  // start() and stop(), on the thread that owns the gateway

    Mutex mu_;
    std::condition_variable wake_;          // with mu_: stopping_ set
    std::condition_variable handlersDone_;  // with mu_: handlersRunning_ came to 0
    // Set by stop() (its caller's thread); every other thread reads it under mu_ and then does nothing more.
    bool stopping_ GUARDED_BY(mu_) = false;
    int handlersRunning_ GUARDED_BY(mu_) = 0;  // request handlers inside onRequest; they count themselves
    bool feedUp_ GUARDED_BY(mu_) = false;      // the feed thread (ready, logged off) and stop()
    // Set by the feed thread when the feed came up or went down; the housekeeping reports at once.
    bool reportNow_ GUARDED_BY(mu_) = false;
    std::uint64_t heartbeatSeq_ GUARDED_BY(mu_) = 0;  // whoever publishes a heartbeat
    // The feed's latest "Replay of ..." message (a replay feed client), told
    // to each client as it logs on; empty on a live feed. The feed thread.
    std::string replayNotice_ GUARDED_BY(mu_);
    // Written by request handlers (subscribe, unsubscribe, leave, history)
    // and the housekeeping thread (leases); read by all.
    std::map<std::uint64_t, Client> clients_ GUARDED_BY(mu_);
    // Written by request handlers and the housekeeping thread (sets made and
    // deleted), the feed thread (their values, in the sets' sinks) and stop().
    std::map<std::string, std::unique_ptr<QuoteFeed>> quotes_ GUARDED_BY(mu_);
    std::map<std::string, std::unique_ptr<StreamFeed>> streams_ GUARDED_BY(mu_);
    std::map<std::string, std::unique_ptr<HistoryLoad>> loads_ GUARDED_BY(mu_);  // in flight, by query and count
    Quotas quotas_ GUARDED_BY(mu_);  // request handlers; the housekeeping thread prunes
    // Sinks whose set was deleted, until no feed callback can reach them:
    // retired by whoever deletes a set, freed by the feed thread (at a
    // callback's end) and by stop(). callbackBegan alone reads without mu_.
    RetiredSinks retired_;
    Counters counters_ GUARDED_BY(mu_);  // every thread that publishes or takes a request
    FeedWatch feedWatch_;  // marked by the feed thread's calls, read by the housekeeping
    // The request subscriptions (set by start()) and the most requests
    // libnats reported dropped on each: whoever asks for stats.
    std::vector<std::pair<natsSubscription*, std::int64_t>> counted_ GUARDED_BY(mu_);

    // The recording: null without one. Made by the constructor; the
    // housekeeping opens its stream; whoever publishes sends its records.
    const std::unique_ptr<Recorder> recorder_;
    struct Recording {
        bool streamOpen = false;        // the stream was added or found
        bool toldStreamFailure = false; // a failure to open it was logged
        bool recheck = false;           // JetStream said no stream took a record: look at it again
        bool opening = false;           // the recorder was asked to open the stream; no outcome yet
        bool universeOpen = false;      // the universe's sets were made (once the feed came up)
        bool sessionStarted = false;    // the session-start keyframe was written: updates are recorded
        bool keyframeDue = false;       // a keyframe at once (the stream opened again)
        std::chrono::steady_clock::time_point universeSince{}, nextKeyframe{}, nextStreamTry{};
        std::int64_t lastTimeNs = 0;    // the newest record's time: times never go back
    };
    // The housekeeping thread and whoever publishes an update.
    Recording recording_ GUARDED_BY(mu_);
};

}  // namespace gateway
