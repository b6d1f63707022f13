// The gateway's quotas on a clock the test drives: the token bucket, the
// history allowance of a client and of its user, and the interests a client
// and a user may hold. No server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "gateway/quotas.h"
#include "gateway/token_bucket.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const Clock::time_point kStart{std::chrono::hours(1)};

TEST(TokenBucket, ShouldRefillAtItsRateUpToItsBurstAndNeverBelowATake) {
    // Each step: the time since the start, then whether a take succeeds.
    struct Step {
        int atMs;
        bool taken;
    };
    const struct {
        const char* name;
        double rate, burst;
        std::vector<Step> steps;
    } cases[] = {
        {"starts full", 2, 2, {{0, true}, {0, true}, {0, false}}},
        {"refills at its rate", 2, 2, {{0, true}, {0, true}, {0, false}, {499, false}, {500, true}, {500, false}}},
        {"refills no higher than the burst", 2, 2, {{0, true}, {10000, true}, {10000, true}, {10000, false}}},
        {"a burst of one under a slow rate", 0.5, 1, {{0, true}, {1999, false}, {2000, true}}},
        {"a time before the last take refills nothing", 1, 1, {{1000, true}, {500, false}, {1999, false}, {2000, true}}},
        {"a refused take costs nothing", 1, 1, {{0, true}, {600, false}, {600, false}, {1000, true}}},
    };
    for (const auto& c : cases) {
        gateway::TokenBucket bucket(c.rate, c.burst, kStart);
        for (std::size_t i = 0; i < c.steps.size(); ++i)
            EXPECT_EQ(bucket.take(kStart + milliseconds(c.steps[i].atMs)), c.steps[i].taken) << c.name << ", step " << i;
    }
}

TEST(TokenBucket, ShouldBeFullOnlyOnceRefilledToItsBurst) {
    gateway::TokenBucket bucket(4, 4, kStart);
    EXPECT_TRUE(bucket.fullAt(kStart));
    ASSERT_TRUE(bucket.take(kStart));
    EXPECT_FALSE(bucket.fullAt(kStart + milliseconds(249)));
    EXPECT_TRUE(bucket.fullAt(kStart + milliseconds(250)));
    EXPECT_DOUBLE_EQ(bucket.tokensAt(kStart + milliseconds(125)), 3.5);
}

class QuotasOnAClock : public ::testing::Test {
protected:
    gateway::Quotas make(gateway::QuotaLimits limits) {
        return gateway::Quotas(limits, [this] { return now; });
    }
    Clock::time_point now = kStart;
};

std::string inboxOf(const std::string& user, int client) {
    char text[64];
    std::snprintf(text, sizeof text, "_INBOX_%s.%016x", user.c_str(), client);
    return text;
}

TEST_F(QuotasOnAClock, ShouldAdmitHistoriesWithinAClientsRateAndInFlightLimits) {
    gateway::QuotaLimits limits;
    limits.historyInFlight = 2;
    limits.historyPerSecond = 3;
    gateway::Quotas quotas = make(limits);
    const std::string bob = inboxOf("bob", 1);
    // Three tokens; two may be under way.
    ASSERT_FALSE(quotas.admitHistory(bob, "ACME,1"));
    quotas.countHistory(bob, 1);
    ASSERT_FALSE(quotas.admitHistory(bob, "ACME,1"));
    quotas.countHistory(bob, 1);
    const auto busy = quotas.admitHistory(bob, "ACME,5");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->text, "Too many history requests (at most 2 under way and 3 a second per client); refused ACME,5");
    EXPECT_EQ(busy->who, bob);
    EXPECT_TRUE(busy->first);
    EXPECT_FALSE(quotas.admitHistory(bob, "ACME,5")->first) << "one log line per run of refusals";
    quotas.countHistory(bob, -1);
    ASSERT_FALSE(quotas.admitHistory(bob, "ACME,1")) << "the third token";
    quotas.countHistory(bob, -1);
    quotas.countHistory(bob, -1);
    EXPECT_TRUE(quotas.admitHistory(bob, "ACME,1")) << "no token left in this second";
    now += milliseconds(334);
    const auto refilled = quotas.admitHistory(bob, "ACME,1");
    EXPECT_FALSE(refilled) << "a token a third of a second later";
}

TEST_F(QuotasOnAClock, ShouldHoldAUsersInventedClientsToItsShare) {
    gateway::QuotaLimits limits;
    limits.historyInFlight = 1;
    limits.historyPerSecond = 1000;
    gateway::Quotas quotas = make(limits);
    int admitted = 0;
    for (int client = 1; client <= 3 * gateway::Quotas::kUserShare; ++client) {
        const std::string inbox = inboxOf("mallory", client);
        if (const auto refusal = quotas.admitHistory(inbox, "ACME,1")) {
            EXPECT_EQ(refusal->who, "user:_INBOX_mallory");
            EXPECT_NE(refusal->text.find("at most 8 under way and 8000 a second per user"), std::string::npos);
            continue;
        }
        ++admitted;
        quotas.countHistory(inbox, 1);
    }
    EXPECT_EQ(admitted, gateway::Quotas::kUserShare);
    EXPECT_FALSE(quotas.admitHistory(inboxOf("alice", 1), "ACME,1")) << "another user is not held back";
}

TEST_F(QuotasOnAClock, ShouldForgetOnlyTheBucketsWithNothingUnderWayThatHaveRefilled) {
    gateway::QuotaLimits limits;
    limits.historyPerSecond = 10;
    gateway::Quotas quotas = make(limits);
    const std::string idle = inboxOf("bob", 1), busy = inboxOf("bob", 2);
    ASSERT_FALSE(quotas.admitHistory(idle, "ACME,1"));
    ASSERT_FALSE(quotas.admitHistory(busy, "ACME,1"));
    quotas.countHistory(busy, 1);
    ASSERT_EQ(quotas.historyBuckets(), 3u) << "two clients and their user";
    quotas.prune();
    EXPECT_EQ(quotas.historyBuckets(), 3u) << "not refilled yet";
    now += milliseconds(100);  // a token back for each client; the user's bucket (80/s, two taken) too
    quotas.prune();
    EXPECT_EQ(quotas.historyBuckets(), 2u) << "the busy client and its user stay";
    quotas.countHistory(busy, -1);
    quotas.prune();
    EXPECT_EQ(quotas.historyBuckets(), 0u);
}

TEST_F(QuotasOnAClock, ShouldLimitTheInterestsOfAClientAndOfItsUser) {
    gateway::QuotaLimits limits;
    limits.subscriptions = 2;
    gateway::Quotas quotas = make(limits);
    const struct {
        const char* name;
        int client;
        std::size_t held;
        bool admitted;
        const char* who;
    } rows[] = {
        {"a client's first", 1, 0, true, ""},
        {"its second", 1, 1, true, ""},
        {"its third", 1, 2, false, "_INBOX_bob.0000000000000001"},
        {"another client's first", 2, 0, true, ""},
    };
    for (const auto& row : rows) {
        const auto refusal = quotas.admitSubscription(inboxOf("bob", row.client), row.held, "ACME");
        EXPECT_EQ(!refusal, row.admitted) << row.name;
        if (refusal) {
            EXPECT_EQ(refusal->who, row.who) << row.name;
            EXPECT_EQ(refusal->text, "Too many subscriptions (at most 2 per client and 16 per user); refused ACME");
        }
    }
    // The user holds 3 of its 16: 13 more under clients of their own, then none.
    int admitted = 0;
    for (int client = 3; client < 40; ++client)
        if (!quotas.admitSubscription(inboxOf("bob", client), 0, "ACME")) ++admitted;
    EXPECT_EQ(admitted, 13);
    const auto full = quotas.admitSubscription(inboxOf("bob", 99), 0, "ACME");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->who, "user:_INBOX_bob");
    quotas.subscriptionsEnded(inboxOf("bob", 1), 2);
    EXPECT_FALSE(quotas.admitSubscription(inboxOf("bob", 99), 0, "ACME")) << "ended interests make room";
}

}  // namespace
