// The gateway and NATS feed clients together: a gateway on the stand-in feed,
// run in this process on a nats-server of the test's own, serving many NATS
// feed clients (each with its own NATS connection) through the feed contract.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <cmath>
#include <tuple>
#include <variant>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "nats/fanout_support.h"
#include "wire/inbox.h"

namespace {

TEST_F(FanOut, ShouldGiveTwentyClientsEveryUpdateInOrderFromOneFeedSetPerSymbol) {
    constexpr int kClients = 20, kSymbols = 50, kRounds = 4;
    const int baseline = feed.liveSets();
    std::vector<std::string> symbols;
    for (int i = 0; i < kSymbols; ++i) symbols.push_back("SYM" + std::to_string(10 + i));
    for (int i = 0; i < kClients; ++i) connectClient();
    for (auto& c : clients) ASSERT_TRUE(eventually([&] { return c->status.saw("ready"); }));

    // sinks[client][symbol]; the sinks outlive their sets (deleted in this test).
    std::vector<std::vector<std::unique_ptr<QuoteLog>>> sinks(kClients);
    std::vector<std::vector<SnapshotSet*>> sets(kClients);
    for (int c = 0; c < kClients; ++c) {
        for (const std::string& symbol : symbols) {
            SnapshotSet* set = clients[c]->client.CreateSnapshotSet(symbol.c_str());
            ASSERT_NE(set, nullptr);
            sinks[c].push_back(std::make_unique<QuoteLog>());
            set->sink = sinks[c].back().get();
            set->Init();
            sets[c].push_back(set);
        }
    }
    auto allHaveAtLeast = [&](int calls) {
        for (auto& row : sinks)
            for (auto& sink : row)
                if (sink->calls < calls) return false;
        return true;
    };
    ASSERT_TRUE(eventually([&] { return allHaveAtLeast(1); })) << "every set gets its first full image";
    EXPECT_EQ(feed.liveSets() - baseline, kSymbols) << "one feed set per symbol, whatever the client count";
    EXPECT_EQ(gate->stats().symbols, static_cast<std::size_t>(kSymbols));
    EXPECT_EQ(gate->stats().clients, static_cast<std::size_t>(kClients));

    for (int round = 0; round < kRounds; ++round) {
        feed.advanceClock(5);
        feed.tradeNow();
        feed.flush();
    }
    feed.flush();
    // Every update the gateway took from the feed reaches every client: each
    // symbol's first callback is its image, then one per update.
    const auto updates = static_cast<int>(gate->stats().updatesIn);
    auto callsOf = [&](int c) {
        int total = 0;
        for (auto& sink : sinks[c]) total += sink->calls;
        return total;
    };
    for (int c = 0; c < kClients; ++c)
        ASSERT_TRUE(eventually([&] { return callsOf(c) >= updates; })) << "client " << c;
    EXPECT_GT(updates, kSymbols) << "the rounds traded";
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(callsOf(c), updates) << "client " << c << " got no update twice";
        for (int s = 0; s < kSymbols; ++s) {
            const auto seen = sinks[c][s]->seen();
            EXPECT_EQ(seen, sinks[0][s]->seen()) << "client " << c << ", " << symbols[s];
            EXPECT_GT(seen.front().ids, 40) << "the first callback is a full image";
            for (std::size_t k = 1; k < seen.size(); ++k) EXPECT_GT(seen[k].time, seen[k - 1].time) << "in order";
        }
    }

    // Twenty identical histories in flight at once: one feed request.
    feed.stallHistory(1);
    std::vector<TRecordSet*> histories;
    std::vector<std::unique_ptr<EventLog>> historySinks;
    for (auto& c : clients) {
        TRecordSet* set = c->client.CreateTRecordSet("SYM10,1");
        ASSERT_NE(set, nullptr);
        historySinks.push_back(std::make_unique<EventLog>());
        set->sinkMode = 0;
        set->SetSink(historySinks.back().get());
        EXPECT_EQ(set->Init(2001, 0), 1) << "a stalled load is under way";
        histories.push_back(set);
    }
    ASSERT_TRUE(eventually([&] { return gate->stats().historyRequests == kClients; }));
    feed.stallHistory(0);
    for (auto& sink : historySinks) ASSERT_TRUE(eventually([&] { return sink->sawLoaded(); }));
    const gateway::Stats stats = gate->stats();
    EXPECT_EQ(stats.historyFeedRequests, 1u);
    EXPECT_EQ(stats.historyCoalesced, static_cast<std::uint64_t>(kClients - 1));
    const std::vector<wire::Bar> reference = barsOf(histories[0]);
    EXPECT_EQ(reference.size(), 2001u);
    for (std::size_t i = 0; i < histories.size(); ++i) {
        const auto events = historySinks[i]->all();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().event, 1);
        EXPECT_EQ(events.back().first, -2000);
        EXPECT_EQ(events.back().second, 2001);
        EXPECT_TRUE(barsOf(histories[i]) == reference) << "client " << i;
        clients[i]->client.DeleteTRecordSet(histories[i]);
    }

    // Unsubscribing the last client of a symbol deletes its feed set.
    for (int c = 0; c < kClients; ++c)
        for (SnapshotSet* set : sets[c]) clients[c]->client.DeleteSnapshotSet(set);
    EXPECT_TRUE(eventually([&] { return gate->stats().sets == 0; }));
    EXPECT_TRUE(eventually([&] { return feed.liveSets() == baseline; }));
    EXPECT_TRUE(gatewayLogged("left"));
}

TEST_F(FanOut, ShouldDeleteTheFeedSetsOfAClientWhoseLeaseRunsOut) {
    restartGateway(std::chrono::milliseconds(1500));
    const int baseline = feed.liveSets();
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    // A client that subscribes and falls silent: no lease, no unsubscribe, no leave.
    const std::uint64_t client = 0x5eed;
    const std::vector<std::uint8_t> bytes = wire::encode(wire::Subscribe{client, false, "ACME"});
    const std::string reply = wire::replySubject(wire::inboxFor("trader", client), wire::ReplyKind::Image, 1);
    ASSERT_EQ(natsConnection_PublishRequest(raw, wire::subscribeSubject(false, "ACME").c_str(), reply.c_str(),
                                            bytes.data(), static_cast<int>(bytes.size())),
              NATS_OK);
    ASSERT_TRUE(eventually([&] { return feed.liveSets() == baseline + 1; }));
    EXPECT_TRUE(eventually([&] { return gatewayLogged("left (lease expired)"); }));
    EXPECT_TRUE(eventually([&] { return feed.liveSets() == baseline; })) << "the expired lease freed the feed set";
}

TEST_F(FanOut, ShouldTellClientsWhenTheFeedDropsAndResendFullImagesWhenItIsBack) {
    feed.setReconnectDelay(300);
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 1; }));
    const int before = sink.calls;

    feed.dropConnection();
    ASSERT_TRUE(eventually([&] { return c.status.count("ready") == 2; }));
    const auto events = c.status.events();
    const std::vector<std::string> expected = {"credentials", "logon", "ready", "message: The gateway's feed is down",
                                               "logoff", "logon", "ready"};
    EXPECT_EQ(events, expected);
    ASSERT_TRUE(eventually([&] { return sink.calls > before; }));
    EXPECT_GT(sink.seen()[static_cast<std::size_t>(before)].ids, 40) << "a full image after the feed came back";

    // The gateway goes away: the client hears it.
    gate->stop();
    EXPECT_TRUE(eventually([&] { return c.status.count("logoff") == 2; }));
    c.client.DeleteSnapshotSet(set);
}

TEST_F(FanOut, ShouldLogOffWhenTheGatewayFallsSilentWithoutSayingGoodbye) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));

    // The gateway's bus connection closes under it: no goodbye, no heartbeat
    // after it; only the silence tells the client.
    natsConnection_Close(nats);
    ASSERT_TRUE(eventually([&] { return c.status.saw("logoff"); }, std::chrono::seconds(10)));
    const std::vector<std::string> expected = {"credentials", "logon", "ready",
                                               "message: The gateway stopped sending its heartbeat", "logoff"};
    EXPECT_EQ(c.status.events(), expected);
}

// A message on the broadcast subject is the next update, whole or not (the
// gateway sends a stream's whole window there): a whole quote numbered next
// replaces the set's values, and names every field it has, and only those.
TEST_F(FanOut, ShouldApplyAWholeQuoteOnTheBroadcastSubjectAsTheNextUpdate) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    const std::string subject = wire::quoteSubject("ACME");
    RawListener updates;
    natsSubscription* watch = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&watch, raw, subject.c_str(), &RawListener::onMessage, &updates), NATS_OK);
    ASSERT_EQ(natsConnection_Flush(raw), NATS_OK);
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 1; }));
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return sink.calls >= 2 && !updates.received().empty(); }));
    const std::vector<std::uint8_t> last = updates.received().back();
    const auto decoded = wire::decode(last.data(), last.size());
    ASSERT_TRUE(decoded && std::holds_alternative<wire::Quote>(*decoded));
    const wire::Quote& seen = std::get<wire::Quote>(*decoded);
    ASSERT_FALSE(seen.image);

    const std::vector<std::uint8_t> whole =
        wire::encode(wire::Quote{seen.epoch, seen.seq + 1, true, 1, "ACME", {{kTradeId, 42.0}}});
    natsConnection_Publish(raw, subject.c_str(), whole.data(), static_cast<int>(whole.size()));
    natsConnection_Flush(raw);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 3; }));
    EXPECT_EQ(sink.seen().back().trade, 42.0);
    EXPECT_EQ(sink.seen().back().ids, 1);
    natsSubscription_Destroy(watch);
    c.client.DeleteSnapshotSet(set);
}

TEST_F(FanOut, ShouldDropHostileMessagesWithALogLineAndKeepTheSetIntact) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 1; }));
    double tradeBefore = 0;
    set->GetDouble(kTradeId, &tradeBefore);

    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    const std::string subject = wire::quoteSubject("ACME");
    auto valid = [](std::uint64_t seq, std::vector<wire::FieldValue> fields, std::string symbol = "ACME") {
        return wire::encode(wire::Quote{0, seq, false, 1, std::move(symbol), std::move(fields)});
    };
    std::vector<std::uint8_t> wrongVersion = valid(99, {{kTradeId, 1.0}});
    wrongVersion[2] = 7;
    std::vector<std::uint8_t> truncated = valid(99, {{kTradeId, 1.0}});
    truncated.resize(truncated.size() - 3);
    std::vector<std::uint8_t> outOfRange = valid(99, {{kTradeId, 1.0}});
    outOfRange[outOfRange.size() - 9] = 200;  // the field id before the last value
    std::vector<std::uint8_t> notFinite = valid(99, {{kTradeId, 1.0}});
    const double nan = NAN;
    std::memcpy(&notFinite[notFinite.size() - 8], &nan, 8);
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* logged;
    } hostile[] = {
        {wrongVersion, "wrong version"},
        {truncated, "truncated"},
        {outOfRange, "field id out of range"},
        {notFinite, "non-finite number"},
        {valid(99, {{kTradeId, 1.0}}, "ZZZ"), "dropped a quote for ZZZ on tellivar.quote.ACME"},
        {{'x', 'y'}, "truncated"},
    };
    testing::internal::CaptureStderr();
    for (const auto& message : hostile)
        natsConnection_Publish(raw, subject.c_str(), message.bytes.data(), static_cast<int>(message.bytes.size()));
    // The gateway's decoder too.
    natsConnection_Publish(raw, wire::subscribeSubject(false, "ACME").c_str(), wrongVersion.data(),
                           static_cast<int>(wrongVersion.size()));
    natsConnection_Flush(raw);
    // A real trade after them: once it arrives, every hostile message was handled.
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return sink.calls >= 2; }));
    const std::string logged = testing::internal::GetCapturedStderr();
    for (const auto& message : hostile) EXPECT_NE(logged.find(message.logged), std::string::npos) << message.logged;
    EXPECT_TRUE(gatewayLogged("dropped a message on tellivar.subscribe.quote.ACME: wrong version"));
    for (const QuoteLog::Seen& seen : sink.seen()) {
        EXPECT_TRUE(std::isfinite(seen.trade));
        EXPECT_NE(seen.trade, 1.0) << "no hostile value reached the set";
    }
    EXPECT_EQ(sink.calls, 2);
    c.client.DeleteSnapshotSet(set);
}

TEST_F(FanOut, ShouldIgnoreAnImageOlderThanTheUpdatesAlreadyApplied) {
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    RawListener inbox;
    natsSubscription* watch = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&watch, raw, "_INBOX_trader.>", &RawListener::onMessage, &inbox), NATS_OK);
    natsConnection_Flush(raw);

    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    // The image answering the set's Subscribe (".i.<set>"), not the hello's.
    std::string answerSubject;
    std::vector<std::uint8_t> firstImage;
    ASSERT_TRUE(eventually([&] {
        for (auto& [subject, bytes] : inbox.receivedWithSubjects())
            if (subject.find(".i.") != std::string::npos) std::tie(answerSubject, firstImage) = std::tie(subject, bytes);
        return sink.calls >= 1 && !firstImage.empty();
    }));
    for (int trade = 1; trade <= 2; ++trade) {
        feed.advanceClock(5);
        feed.tradeNow();
        ASSERT_TRUE(eventually([&] { return sink.calls >= 1 + trade; }));
    }
    // The first image again, as if a request's answer came late.
    testing::internal::CaptureStderr();
    natsConnection_Publish(raw, answerSubject.c_str(), firstImage.data(), static_cast<int>(firstImage.size()));
    natsConnection_Flush(raw);
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return sink.calls >= 4; }));
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("dropped an image of ACME older than the updates already applied"), std::string::npos);
    const std::vector<QuoteLog::Seen> seen = sink.seen();
    // Applied, the old image would take the set back and make the next
    // update look like a gap, answered by a needless fresh image.
    EXPECT_EQ(logged.find("missed updates"), std::string::npos) << logged;
    ASSERT_EQ(seen.size(), 4U);
    EXPECT_LT(seen[3].ids, seen[0].ids) << "the last trade came as an update, not as a fresh image";
    for (std::size_t i = 1; i < seen.size(); ++i)
        EXPECT_GT(seen[i].time, seen[i - 1].time) << "callback " << i << " went back in time";
    c.client.DeleteSnapshotSet(set);
    natsSubscription_Destroy(watch);
}

// A bus that never delivers the gateway's answers to a trader's quote and
// stream requests (as when they are lost in a failover), and all else.
class LostAnswers : public FanOut {
protected:
    LostAnswers() {
        config = "lost_answers.conf";
        std::ofstream("lost_answers.conf")
            << "authorization { users = [\n"
               "  {user: gateway, password: gateway-secret, permissions: {subscribe: \">\", publish: {allow: \">\",\n"
               "   deny: [\"_INBOX_trader.*.i.>\", \"_INBOX_trader.*.s.>\"]}}}\n"
               "  {user: trader, password: secret}\n"
               "] }\n";
        gatewayUser = "gateway:gateway-secret";
    }
};

TEST_F(LostAnswers, ShouldAskAgainForAnImageOrWindowWhoseAnswerNeverCame) {
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, urlAs(gatewayUser).c_str()), NATS_OK);
    rawConnections.push_back(raw);
    RawListener requests;
    natsSubscription* watch = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&watch, raw, "tellivar.subscribe.>", &RawListener::onMessage, &requests),
              NATS_OK);
    natsConnection_Flush(raw);

    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog quotes;
    SnapshotSet* quote = openQuote(c, "ACME", quotes);
    EventLog events;
    TRecordSet* stream = c.client.CreateTRecordSet("ACME,m1");
    ASSERT_NE(stream, nullptr);
    stream->sinkMode = 1;
    stream->SetSink(&events);
    stream->Init(2, 0);
    auto asked = [&](bool isStream) {
        int count = 0;
        for (const auto& bytes : requests.received()) {
            const auto message = wire::decode(bytes.data(), bytes.size(), nullptr);
            if (message) {
                if (const auto* subscribe = std::get_if<wire::Subscribe>(&*message))
                    count += subscribe->stream == isStream ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_TRUE(eventually([&] { return asked(false) >= 2; })) << "the quote's image was asked for once only";
    EXPECT_TRUE(eventually([&] { return asked(true) >= 2; })) << "the stream's window was asked for once only";
    EXPECT_EQ(quotes.calls, 0) << "no answer can reach this trader";
    c.client.DeleteSnapshotSet(quote);
    c.client.DeleteTRecordSet(stream);
    natsSubscription_Destroy(watch);
}

// A history set of `c`, asked for `count` bars, telling `sink`; Init's result in `result`.
TRecordSet* openHistory(natsfeed::NatsClient& client, const char* query, int count, EventLog& sink, int& result) {
    TRecordSet* set = client.CreateTRecordSet(query);
    if (set == nullptr) return nullptr;
    set->sinkMode = 0;
    set->SetSink(&sink);
    result = set->Init(count, 0);
    return set;
}

// A bus that never delivers the gateway's answers to a trader's first history
// request (the client's first set), as when they are lost in a failover.
class LostHistoryAnswers : public FanOut {
protected:
    LostHistoryAnswers() {
        config = "lost_history_answers.conf";
        std::ofstream("lost_history_answers.conf")
            << "authorization { users = [\n"
               "  {user: gateway, password: gateway-secret, permissions: {subscribe: \">\", publish: {allow: \">\",\n"
               "   deny: [\"_INBOX_trader.*.h.1\"]}}}\n"
               "  {user: trader, password: secret}\n"
               "] }\n";
        gatewayUser = "gateway:gateway-secret";
    }
};

TEST_F(LostHistoryAnswers, ShouldAskAgainForAHistoryWhoseAnswerNeverCame) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    EventLog events;
    int result = -1;
    TRecordSet* history = openHistory(c.client, "ACME,1", 50, events, result);
    ASSERT_NE(history, nullptr);
    EXPECT_NE(result, 0) << "Init waits past the lost answer for the repeated request's";
    EXPECT_TRUE(result == 3 || eventually([&] { return events.sawLoaded(); }));
    EXPECT_EQ(barsOf(history).size(), 50u);
    EXPECT_GE(gate->stats().historyRequests, 2u);
    c.client.DeleteTRecordSet(history);
}

TEST_F(FanOut, ShouldAskAgainForAHistoryTheGatewayWasLoadingWhenItStopped) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    feed.stallHistory(1);
    EventLog events;
    int result = -1;
    TRecordSet* history = openHistory(c.client, "ACME,1", 50, events, result);
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(result, 1) << "a stalled load is under way";
    restartGateway();  // the load goes with the gateway; the client logs on to the new one
    feed.stallHistory(0);
    EXPECT_TRUE(eventually([&] { return events.sawLoaded(); }));
    EXPECT_EQ(barsOf(history).size(), 50u);
    c.client.DeleteTRecordSet(history);
}

TEST_F(Entitled, ShouldRejectAWrongPasswordWithAMessageAndALogOff) {
    Client& c = connectClient("alice", "wrong");
    ASSERT_TRUE(eventually([&] { return c.status.saw("logoff"); }));
    const std::vector<std::string> expected = {
        "credentials", "message: Logon rejected: the message bus did not accept the user name or password", "logoff"};
    EXPECT_EQ(c.status.events(), expected);
}

TEST_F(Entitled, ShouldGiveALimitedTraderItsSymbolsAloneAndRefuseQuotesPublishedByATrader) {
    Client& alice = connectClient("alice", "alice-secret");
    Client& bob = connectClient("bob", "bob-secret");
    ASSERT_TRUE(eventually([&] { return alice.status.saw("ready") && bob.status.saw("ready"); }));
    QuoteLog aliceAcme, aliceGlobex, bobAcme, bobGlobex;
    const struct {
        Client& client;
        const char* symbol;
        QuoteLog& sink;
    } subscriptions[] = {{alice, "ACME", aliceAcme},
                         {alice, "GLOBEX", aliceGlobex},
                         {bob, "ACME", bobAcme},
                         {bob, "GLOBEX", bobGlobex}};
    std::vector<std::pair<Client*, SnapshotSet*>> sets;
    for (const auto& s : subscriptions) {
        sets.emplace_back(&s.client, openQuote(s.client, s.symbol, s.sink));
    }
    ASSERT_TRUE(eventually([&] { return aliceAcme.calls >= 1 && aliceGlobex.calls >= 1 && bobAcme.calls >= 1; }));
    ASSERT_TRUE(eventually([&] {
        for (const std::string& event : bob.status.events())
            if (event.find("Not entitled") != std::string::npos && event.find("GLOBEX") != std::string::npos)
                return true;
        return false;
    })) << "bob is told why GLOBEX gives nothing";

    // Bob publishes a fake ACME quote: the server refuses it, so alice's
    // connection never sees it.
    natsConnection* listenerConnection = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&listenerConnection, urlAs("alice:alice-secret").c_str()), NATS_OK);
    rawConnections.push_back(listenerConnection);
    RawListener listener;
    natsSubscription* sub = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&sub, listenerConnection, wire::quoteSubject("ACME").c_str(),
                                       &RawListener::onMessage, &listener),
              NATS_OK);
    natsConnection_Flush(listenerConnection);
    natsConnection* bobRaw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&bobRaw, urlAs("bob:bob-secret").c_str()), NATS_OK);
    rawConnections.push_back(bobRaw);
    const std::vector<std::uint8_t> fake = wire::encode(wire::Quote{0, 1, false, 1, "ACME", {{kTradeId, 1.0}}});
    natsConnection_Publish(bobRaw, wire::quoteSubject("ACME").c_str(), fake.data(), static_cast<int>(fake.size()));
    natsConnection_Flush(bobRaw);
    const int before = aliceAcme.calls;
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return aliceAcme.calls > before && !listener.received().empty(); }));
    for (const auto& payload : listener.received()) EXPECT_NE(payload, fake);
    EXPECT_EQ(bobGlobex.calls, 0);
    natsSubscription_Destroy(sub);
    for (auto& [client, set] : sets) client->client.DeleteSnapshotSet(set);
}

}  // namespace
