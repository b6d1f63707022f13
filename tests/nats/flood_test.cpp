// A flood on any subject the NATS feed client reads, while its host sleeps in
// a notification, costs bounded memory; a history's chunks past the bars
// asked for are not kept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "nats/fanout_support.h"

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// The client's reply subject prefix ("_INBOX_trader.<id>"), from the server's list of its subscriptions.
std::string inboxOf(NatsServer& server) {
    const nlohmann::json connz = server.monitor("/connz?subs=1");
    for (const auto& connection : connz.value("connections", nlohmann::json::array()))
        for (const auto& sub : connection.value("subscriptions_list", nlohmann::json::array())) {
            const std::string subject = sub.get<std::string>();
            if (subject.rfind("_INBOX_trader.", 0) == 0) return subject.substr(0, subject.size() - 2);
        }
    return {};
}

struct Flooded {
    const char* name;
    std::string (*subject)(const std::string& inbox);
};

class Flood : public FanOut, public ::testing::WithParamInterface<Flooded> {};

TEST_P(Flood, ShouldKeepTheBacklogWithinItsBoundWhileTheHostSleeps) {
    constexpr std::size_t kBound = 100;
    // TELLIVAR_FLOOD_MESSAGES raises the flood for a measurement of memory.
    const char* env = std::getenv("TELLIVAR_FLOOD_MESSAGES");
    const int messages = env != nullptr ? std::atoi(env) : 3000;
    const std::size_t bound = env != nullptr ? natsfeed::NatsClient::kDefaultBacklogLimit : kBound;
    Client& c = connectClient("trader", "secret", bound);
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    SleepingQuoteLog sleeper;
    SnapshotSet* set = openQuote(c, "ACME", sleeper);
    ASSERT_TRUE(eventually([&] { return sleeper.calls >= 1; }));
    sleeper.arm();
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return sleeper.asleep(); }));

    const std::string subject = GetParam().subject(inboxOf(*server));
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    const std::vector<std::uint8_t> junk(1024, 0xA5);
    const std::uint64_t before = c.client.backlogStats().arrived;
    const long residentBefore = residentKiB();
    for (int i = 0; i < messages; ++i) {
        natsConnection_Publish(raw, subject.c_str(), junk.data(), static_cast<int>(junk.size()));
        if (i % 500 == 0) natsConnection_Flush(raw);
    }
    natsConnection_Flush(raw);
    ASSERT_TRUE(eventually([&] { return c.client.backlogStats().arrived >= before + messages; }))
        << "every message of the flood reached the client";
    const auto stats = c.client.backlogStats();
    std::cout << "flood of " << messages << " x 1 KiB on " << GetParam().name << ": at most " << stats.peakMessages
              << " messages (" << stats.peakBytes / 1024 << " KiB) waiting; resident memory grew "
              << (residentKiB() - residentBefore) / 1024 << " MiB\n";
    EXPECT_LE(stats.peakMessages, 2 * bound) << "updates and other messages each within the bound";
    EXPECT_LE(stats.peakBytes, natsfeed::NatsClient::kMaxBacklogBytes);
    sleeper.release();
    // Awake, the client goes on: the next trade reaches the sink.
    const int calls = sleeper.calls;
    feed.advanceClock(5);
    feed.tradeNow();
    EXPECT_TRUE(eventually([&] { return sleeper.calls > calls; }));
    EXPECT_FALSE(c.status.saw("logoff"));
    c.client.DeleteSnapshotSet(set);
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, Flood,
    ::testing::Values(Flooded{"Quotes", [](const std::string&) { return wire::quoteSubject("ACME"); }},
                      Flooded{"Heartbeats", [](const std::string&) { return std::string(wire::kHeartbeatSubject); }},
                      Flooded{"Messages", [](const std::string&) { return std::string(wire::kMessageSubject); }},
                      Flooded{"InboxAnswers", [](const std::string& inbox) { return inbox + ".i.1"; }},
                      Flooded{"HistoryChunks", [](const std::string& inbox) { return inbox + ".h.1"; }}),
    [](const auto& info) { return std::string(info.param.name); });

// A chunk that claims more bars than the history asked for is not kept: the
// history is asked for again (and fails after a few tries).
TEST_F(FanOut, ShouldAskAgainForAHistoryWhoseChunksGoPastTheBarsAskedFor) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    feed.stallHistory(1);
    EventLog events;
    TRecordSet* history = c.client.CreateTRecordSet("ACME,1");
    ASSERT_NE(history, nullptr);
    history->sinkMode = 0;
    history->SetSink(&events);
    ASSERT_EQ(history->Init(5, 0), 1) << "a stalled load is under way";
    const std::uint64_t asked = gate->stats().historyRequests;
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    // The set's first request has the set's id, 1.
    wire::HistoryChunk chunk{1, 0, 1000000, std::vector<wire::Bar>(wire::kChunkBars)};
    const std::vector<std::uint8_t> bytes = wire::encode(chunk);
    natsConnection_Publish(raw, (inboxOf(*server) + ".h.1").c_str(), bytes.data(), static_cast<int>(bytes.size()));
    natsConnection_Flush(raw);
    EXPECT_TRUE(eventually([&] { return gate->stats().historyRequests > asked; }))
        << "the chunk past the 5 bars asked for was kept";
    feed.stallHistory(0);
    EXPECT_TRUE(eventually([&] { return events.sawLoaded(); }));
    EXPECT_EQ(barsOf(history).size(), 5u);
    c.client.DeleteTRecordSet(history);
}

}  // namespace
