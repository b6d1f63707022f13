// What each client, and each user, may ask of the gateway: histories under
// way and a second, and interests (subscriptions) held.
//
// A client is its reply inbox ("_INBOX_<user>.<client id>", wire/inbox.h); a
// user is the inbox's first token. A client id is only what the reply subject
// says, so a user inventing ids gets no further than its user's share:
// kUserShare times one client's limits, for all its clients together.
//
// Histories: a token bucket of historyPerSecond tokens a second (as many at
// most), and at most historyInFlight under way, per client and per user; a
// request takes a token of both. Interests: at most `subscriptions` per
// client, and kUserShare times that per user.
//
// The clock is injected (tests drive it). Not thread-safe: its owner's lock
// (the gateway's `mu_`).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "gateway/token_bucket.h"

namespace gateway {

struct QuotaLimits {
    int historyInFlight = 32;
    double historyPerSecond = 50;
    int subscriptions = 10000;
};

class Quotas {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    static constexpr int kUserShare = 8;

    explicit Quotas(QuotaLimits limits, Now now = &Clock::now);

    struct Refusal {
        std::string text;  // for the requester
        std::string who;   // the client's inbox, or "user:" and the user's
        bool first;        // the first refusal of a run (`who`'s, or for interests the user's): worth a log line
    };
    // A history request of the client `inbox`: admitted, a token taken from
    // its bucket and its user's, or refused, nothing taken.
    std::optional<Refusal> admitHistory(const std::string& inbox, const std::string& query);
    // An admitted history of `inbox` is under way (+1), or answered or given up (-1).
    void countHistory(const std::string& inbox, int change);

    // One more interest of the client `inbox`, which holds `held`: admitted
    // and counted to its user, or refused.
    std::optional<Refusal> admitSubscription(const std::string& inbox, std::size_t held, const std::string& key);
    // `count` interests of the client `inbox` ended.
    void subscriptionsEnded(const std::string& inbox, std::size_t count);

    // Forgets the history buckets with nothing under way that have refilled:
    // they hold nothing a fresh one would not.
    void prune();
    std::size_t historyBuckets() const { return history_.size(); }

private:
    struct History {
        TokenBucket bucket;
        int inFlight = 0;
        bool refusing = false;
    };
    History& history(const std::string& who, Clock::time_point now);
    int share(const std::string& who) const;

    const QuotaLimits limits_;
    const Now now_;
    std::map<std::string, History> history_;              // by client inbox and by "user:<user>"
    std::map<std::string, std::size_t> subscriptions_;    // by user: interests held
    std::set<std::string> subscriptionRefusing_;          // users refused since last admitted
};

}  // namespace gateway
