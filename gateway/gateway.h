// The market-data gateway: one feed client, logged on once, fanned out to any
// number of NATS feed clients over a NATS connection.
//
// What it serves (subjects and messages in wire/wire.h):
//  - quotes: one snapshot set per symbol while a client wants it; each
//    update published once as the changed field ids with their values;
//    a full image in answer to every Subscribe;
//  - update streams: one record set per stream query while wanted; every
//    record-set event published with the newest bar (or the whole window
//    when a bar opens);
//  - histories: answered in chunks; identical requests (query and record
//    count) in flight at once share one feed record set; each client (its
//    reply inbox) has at most `historyInFlight` requests under way and
//    `historyPerSecond` a second (a token bucket of as many), all clients of
//    one user (the inbox's first token) together kUserShare times that, and
//    the excess is refused with a Refusal that says so;
//  - a heartbeat carrying the feed's state, and the feed's messages.
// Interest is leased: a client that stops renewing loses its interest after
// the lease, and a set nobody wants any more is deleted.
//
// Threads: NATS handler threads (requests), the feed thread (sink calls) and
// the gateway's own housekeeping thread (heartbeat, leases). `mu_` guards all
// state; it is held while calling the feed client, which never calls a sink
// with its own lock held, and while publishing, so that every subject's
// messages leave in the order of their sequence numbers.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"
#include "gateway/retired_sinks.h"
#include "wire/wire.h"

namespace gateway {

struct Options {
    std::string user, password;  // the feed logon
    std::chrono::milliseconds lease{10000};
    std::chrono::milliseconds heartbeat{1000};
    int historyInFlight = 32;
    double historyPerSecond = 50;
    // Publishes only until the time given to holdUntil (a lease, lease.h):
    // a gateway that may have been replaced says nothing more. False: always.
    bool fenced = false;
    // Receives every log line (client join/leave, feed state); null: none.
    std::function<void(const std::string&)> log;
    // Test seam: called on the feed thread at the start of every sink
    // callback, before the gateway's lock is taken. Null: nothing.
    std::function<void()> beforeFeedCallback;
};

struct Stats {
    std::size_t clients = 0, symbols = 0, streams = 0, sets = 0;
    std::uint64_t updatesIn = 0, messagesOut = 0;
    double updatesInPerSecond = 0, messagesOutPerSecond = 0;
    std::uint64_t historyRequests = 0, historyCoalesced = 0, historyFeedRequests = 0, historyRefused = 0;
    bool feedUp = false;
    std::size_t lingeringSinks = 0;  // sinks of deleted sets a feed callback may still reach
    std::string json() const;
};

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
    // Unsubscribes, deletes every feed set, logs off and shuts the feed down.
    // Any thread but the feed thread; once.
    void stop();
    Stats stats();
    // With Options::fenced: nothing is published from `deadline` on. Any thread.
    void holdUntil(std::chrono::steady_clock::time_point deadline);

    // ---- EConnectStatus: the feed thread ----
    void onSendCredentials(std::int32_t, std::int32_t) override;
    void onLogon(std::int32_t) override;
    void onLogOff() override;
    void onReady() override;
    void onMessage(const char* text) override;

    struct QuoteFeed;
    struct StreamFeed;
    struct HistoryLoad;
    // The feed thread, first thing in every sink callback: its `began` mark (retired_sinks.h).
    std::uint64_t feedCallbackBegan();
    void onQuote(QuoteFeed* feed, std::uint8_t count, const std::uint8_t* ids, std::uint64_t began);
    void onStreamEvent(StreamFeed* feed, int event, long first, long second, std::uint64_t began);
    void onHistoryEvent(HistoryLoad* load, int event, std::uint64_t began);

private:
    struct CallbackEnd;
    struct Client {
        std::chrono::steady_clock::time_point expiry;
        std::set<std::pair<bool, std::string>> keys;
    };
    // One requester's history allowance: a token bucket and what is under way.
    struct HistoryQuota {
        double tokens = 0;
        std::chrono::steady_clock::time_point refilled;
        int inFlight = 0;
        bool refusing = false;  // logged once per run of refusals
    };

    static void onRequest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    void handle(natsMsg* msg);
    void subscribe(const wire::Subscribe& request, const char* reply);
    void unsubscribe(std::uint64_t client, bool stream, const std::string& key, const char* why);
    void renew(const wire::Lease& lease);
    void leave(std::uint64_t client);
    bool fromClient(std::uint64_t client, const char* reply, const std::string& subject);
    void requestHistory(const wire::HistoryRequest& request, const char* reply);
    void answerStats(const char* reply);

    // mu_ held.
    void touch(std::uint64_t client);
    void dropInterest(bool stream, const std::string& key, std::uint64_t client);
    void sendHistory(HistoryLoad& load, std::uint8_t result);
    void finishHistory(HistoryLoad* load);
    bool admitHistory(const std::string& requester, const wire::HistoryRequest& request, const char* reply);
    // A request of `requester` is under way (+1), or answered or given up (-1).
    void countHistory(const std::string& requester, int change);
    // `key`'s bucket (a client's, or a user's with kUserShare times the limits), refilled to `now`.
    HistoryQuota& refilledQuota(const std::string& key, std::chrono::steady_clock::time_point now);
    bool mayPublish() const;
    void publish(const std::string& subject, const wire::Message& message);
    void publishTo(const char* subject, const std::vector<std::uint8_t>& bytes);
    void publishHeartbeat();
    void say(const std::string& line);
    void housekeep();
    void expireLeases();
    void dropClients(const std::vector<std::uint64_t>& clients, const char* why);

    TellivarClient* const feed_;
    natsConnection* const nats_;
    const Options options_;
    const std::uint64_t epoch_;
    std::atomic<std::chrono::steady_clock::rep> holdUntil_{0};  // with options_.fenced

    std::mutex mu_;
    std::condition_variable wake_;
    std::condition_variable handlersDone_;  // with mu_: handlersRunning_ came to 0
    bool stopping_ = false;  // mu_
    int handlersRunning_ = 0;  // mu_: request handlers inside onRequest
    bool feedUp_ = false;    // mu_
    std::uint64_t heartbeatSeq_ = 0;
    std::map<std::uint64_t, Client> clients_;                     // mu_
    std::map<std::string, std::unique_ptr<QuoteFeed>> quotes_;    // mu_
    std::map<std::string, std::unique_ptr<StreamFeed>> streams_;  // mu_
    std::map<std::string, std::unique_ptr<HistoryLoad>> loads_;   // mu_: in flight, by query and count
    // mu_: by requester (reply inbox), and by user ("user:" and the inbox's first token)
    std::map<std::string, HistoryQuota> historyQuotas_;
    // Sinks whose set was deleted, until no feed callback can reach them.
    RetiredSinks retired_;  // mu_, but for callbackBegan
    std::vector<natsSubscription*> subscriptions_;
    std::thread housekeeper_;

    // Counters (mu_).
    std::uint64_t updatesIn_ = 0, messagesOut_ = 0;
    std::uint64_t historyRequests_ = 0, historyCoalesced_ = 0, historyFeedRequests_ = 0, historyRefused_ = 0;
    std::uint64_t rateUpdatesMark_ = 0, rateMessagesMark_ = 0;
    std::chrono::steady_clock::time_point rateSince_ = std::chrono::steady_clock::now();
    double updatesRate_ = 0, messagesRate_ = 0;
};

}  // namespace gateway
