#include "gateway/quotas.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "wire/inbox.h"

namespace gateway {
namespace {

constexpr char kUserPrefix[] = "user:";

std::string userKey(const std::string& inbox) { return kUserPrefix + wire::userOf(inbox); }

}  // namespace

Quotas::Quotas(QuotaLimits limits, Now now) : limits_(limits), now_(std::move(now)) {}

int Quotas::share(const std::string& who) const { return who.rfind(kUserPrefix, 0) == 0 ? kUserShare : 1; }

Quotas::History& Quotas::history(const std::string& who, Clock::time_point now) {
    const double rate = share(who) * limits_.historyPerSecond;
    return history_.try_emplace(who, History{TokenBucket(rate, std::max(rate, 1.0), now)}).first->second;
}

std::optional<Quotas::Refusal> Quotas::admitHistory(const std::string& inbox, const std::string& query) {
    const auto now = now_();
    const std::string keys[] = {inbox, userKey(inbox)};
    for (const std::string& key : keys) {
        History& quota = history(key, now);
        const int share = this->share(key);
        if (quota.inFlight < share * limits_.historyInFlight && quota.bucket.hasToken(now)) continue;
        char limits[112];
        std::snprintf(limits, sizeof limits, "at most %d under way and %g a second per %s",
                      share * limits_.historyInFlight, share * limits_.historyPerSecond,
                      share == 1 ? "client" : "user");
        const bool first = !std::exchange(quota.refusing, true);
        return Refusal{std::string("Too many history requests (") + limits + "); refused " + query, key, first};
    }
    for (const std::string& key : keys) {
        History& quota = history_.at(key);
        quota.bucket.take(now);
        quota.refusing = false;
    }
    return std::nullopt;
}

void Quotas::countHistory(const std::string& inbox, int change) {
    for (const std::string& key : {inbox, userKey(inbox)}) {
        auto found = history_.find(key);
        if (found == history_.end()) continue;
        found->second.inFlight = std::max(0, found->second.inFlight + change);
    }
}

std::optional<Quotas::Refusal> Quotas::admitSubscription(const std::string& inbox, std::size_t held,
                                                         const std::string& key) {
    const std::string user = userKey(inbox);
    const auto perClient = static_cast<std::size_t>(limits_.subscriptions);
    const std::size_t counts[] = {held, subscriptions_[user]};
    const std::string* whos[] = {&inbox, &user};
    for (int i = 0; i < 2; ++i) {
        if (counts[i] < perClient * static_cast<std::size_t>(share(*whos[i]))) continue;
        char limits[96];
        std::snprintf(limits, sizeof limits, "at most %zu per client and %zu per user", perClient,
                      perClient * kUserShare);
        // Logged once per run of a user's refusals: a user inventing client
        // ids makes no entry per id.
        const bool first = subscriptionRefusing_.insert(user).second;
        return Refusal{std::string("Too many subscriptions (") + limits + "); refused " + key, *whos[i], first};
    }
    ++subscriptions_[user];
    subscriptionRefusing_.erase(user);
    return std::nullopt;
}

void Quotas::subscriptionsEnded(const std::string& inbox, std::size_t count) {
    auto found = subscriptions_.find(userKey(inbox));
    if (found == subscriptions_.end()) return;
    found->second -= std::min(found->second, count);
    if (found->second == 0) subscriptions_.erase(found);
}

void Quotas::prune() {
    const auto now = now_();
    for (auto it = history_.begin(); it != history_.end();)
        it = it->second.inFlight == 0 && it->second.bucket.fullAt(now) ? history_.erase(it) : std::next(it);
}

}  // namespace gateway
