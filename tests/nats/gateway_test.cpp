// The gateway's own rules, driven by NATS feed clients and by raw NATS
// messages that a hostile or departing client could send: who a message is
// from, and when a client is gone.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "nats/fanout_support.h"
#include "wire/inbox.h"

namespace {

// The id of the first client the gateway saw join ("client <16 hex> joined"); 0: none yet.
std::uint64_t joinedClient(const std::vector<std::string>& log) {
    for (const std::string& line : log) {
        const std::size_t at = line.find("client ");
        if (at == 0 && line.find(" joined") == 7 + 16) return std::strtoull(line.c_str() + 7, nullptr, 16);
    }
    return 0;
}

class GatewayClients : public FanOut {
protected:
    natsConnection* rawConnection() {
        natsConnection* raw = nullptr;
        EXPECT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
        rawConnections.push_back(raw);
        return raw;
    }
    static void send(natsConnection* raw, const std::string& subject, const wire::Message& message,
                     const std::string& reply) {
        const std::vector<std::uint8_t> bytes = wire::encode(message);
        const int size = static_cast<int>(bytes.size());
        ASSERT_EQ(reply.empty() ? natsConnection_Publish(raw, subject.c_str(), bytes.data(), size)
                                : natsConnection_PublishRequest(raw, subject.c_str(), reply.c_str(), bytes.data(), size),
                  NATS_OK);
        natsConnection_Flush(raw);
    }
    std::uint64_t firstClient() {
        std::lock_guard<std::mutex> lock(logMutex);
        return joinedClient(gatewayLog);
    }
    void TearDown() override {
        for (natsSubscription* watch : watches) natsSubscription_Destroy(watch);
        FanOut::TearDown();
    }
    // Members, not locals: the gateway's and libnats's threads may reach them until TearDown.
    Gate dispatch, handler;
    RawListener heartbeats;
    std::vector<natsSubscription*> watches;  // of raw connections
};

TEST_F(GatewayClients, ShouldDropAHostThatStopsWithoutSubscriptionsAtOnceRatherThanAtItsLeasesEnd) {
    restartGateway(std::chrono::seconds(120));  // an expiry would come long after this test gave up
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    EventLog events;
    TRecordSet* history = c.client.CreateTRecordSet("ACME,1");
    ASSERT_NE(history, nullptr);
    history->sinkMode = 0;
    history->SetSink(&events);
    const int result = history->Init(20, 0);
    ASSERT_TRUE(result == 3 || eventually([&] { return events.sawLoaded(); }));
    EXPECT_EQ(barsOf(history).size(), 20u);
    c.client.DeleteTRecordSet(history);
    ASSERT_EQ(gate->stats().clients, 1u) << "the history's requester is a client of the gateway";

    c.client.Disconnect();  // a history-only host that stops
    EXPECT_TRUE(eventually([&] { return gate->stats().clients == 0; }));
    EXPECT_TRUE(gatewayLogged(" left"));
    EXPECT_FALSE(gatewayLogged("lease expired"));
}

// A Leave, Unsubscribe or Subscribe whose reply subject names another client
// than its body, or that has none: dropped, and the client it names keeps its
// interest. The same message from the client's own inbox takes effect.
TEST_F(GatewayClients, ShouldActOnlyOnMessagesWhoseReplySubjectNamesTheClientInTheirBody) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 1 && firstClient() != 0; }));
    const std::uint64_t victim = firstClient();
    const std::string victimInbox = wire::inboxFor("trader", victim);
    const std::string otherInbox = wire::inboxFor("trader", victim ^ 1);
    natsConnection* raw = rawConnection();

    const struct {
        const char* name;
        std::string subject;
        wire::Message message;
        std::string reply;
    } forged[] = {
        {"a leave", wire::kLeaveSubject, wire::Leave{victim}, otherInbox},
        {"an unsubscribe", wire::kUnsubscribeSubject, wire::Unsubscribe{victim, false, "ACME"}, otherInbox},
        {"a leave without a reply subject", wire::kLeaveSubject, wire::Leave{victim}, ""},
        {"an unsubscribe without a reply subject", wire::kUnsubscribeSubject, wire::Unsubscribe{victim, false, "ACME"},
         ""},
    };
    for (const auto& f : forged) {
        {
            std::lock_guard<std::mutex> lock(logMutex);
            gatewayLog.clear();
        }
        send(raw, f.subject, f.message, f.reply);
        ASSERT_TRUE(eventually([&] {
            return gatewayLogged("dropped a message on " + f.subject) || gate->stats().symbols == 0;
        })) << f.name;
        EXPECT_EQ(gate->stats().clients, 1u) << f.name;
        EXPECT_EQ(gate->stats().symbols, 1u) << f.name << ": the victim's interest stays";
    }
    // A subscription under the victim's id, answered to another inbox.
    send(raw, wire::subscribeSubject(false, "GLOBEX"), wire::Subscribe{victim, false, "GLOBEX"},
         wire::replySubject(otherInbox, wire::ReplyKind::Image, 1));
    ASSERT_TRUE(eventually([&] {
        return gatewayLogged("dropped a message on " + wire::subscribeSubject(false, "GLOBEX")) ||
               gate->stats().symbols == 2;
    }));
    EXPECT_EQ(gate->stats().symbols, 1u) << "no feed set for a subscription under a borrowed id";

    send(raw, wire::kLeaveSubject, wire::Leave{victim}, victimInbox);
    EXPECT_TRUE(eventually([&] { return gate->stats().clients == 0 && gate->stats().symbols == 0; }))
        << "the leave from the client's own inbox drops it and its feed set";
    c.client.DeleteSnapshotSet(set);
}

// A feed callback that began before its set was deleted, and waits (here: held
// before the gateway's lock) while the gateway's housekeeping goes round and
// round, still finds its sink when it runs.
TEST_F(GatewayClients, ShouldKeepADeletedSetsSinkUntilAFeedCallbackBegunAfterTheDeletionHasEnded) {
    adjustGateway = [this](gateway::Options& options) {
        options.heartbeat = std::chrono::milliseconds(20);
        options.beforeFeedCallback = [this] { dispatch.pass(); };
    };
    restartGateway();
    natsConnection* raw = rawConnection();
    natsSubscription* watch = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&watch, raw, wire::kHeartbeatSubject, &RawListener::onMessage, &heartbeats),
              NATS_OK);
    watches.push_back(watch);
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog acme, globex;
    SnapshotSet* acmeSet = openQuote(c, "ACME", acme);
    ASSERT_TRUE(eventually([&] { return acme.calls >= 1; }));

    dispatch.arm();
    feed.advanceClock(5);
    feed.tradeNow();  // the feed thread calls ACME's sink, held before the gateway's lock
    ASSERT_TRUE(eventually([&] { return dispatch.held(); }));
    c.client.DeleteSnapshotSet(acmeSet);  // the gateway deletes ACME's feed set and retires its sink
    ASSERT_TRUE(eventually([&] { return gate->stats().symbols == 0; }));
    const std::size_t seen = heartbeats.received().size();
    ASSERT_TRUE(eventually([&] { return heartbeats.received().size() >= seen + 5; })) << "housekeeping goes on";
    const std::size_t lingering = gate->stats().lingeringSinks;
    EXPECT_EQ(lingering, 1u) << "the sink of a callback under way is kept however many rounds pass";
    dispatch.release();  // the held callback runs on into the gateway: freed before, this is a use after free

    // A callback begun after the deletion ends: the sink goes.
    SnapshotSet* globexSet = openQuote(c, "GLOBEX", globex);
    ASSERT_TRUE(eventually([&] { return globex.calls >= 1; }));
    feed.advanceClock(5);
    feed.tradeNow();
    EXPECT_TRUE(eventually([&] { return gate->stats().lingeringSinks == 0; }));
    c.client.DeleteSnapshotSet(globexSet);
}

// stop() returns only once no request handler is inside the gateway: the
// caller frees the gateway next.
TEST_F(GatewayClients, ShouldNotFinishStoppingWhileARequestHandlerIsStillInTheGateway) {
    onGatewayLog = [this](const std::string& line) {
        if (line.find("dropped a message on tellivar.lease") != std::string::npos) handler.pass();
    };
    handler.arm();
    natsConnection* raw = rawConnection();
    const char garbage[] = "not a message";
    ASSERT_EQ(natsConnection_Publish(raw, wire::kLeaseSubject, garbage, sizeof garbage), NATS_OK);
    natsConnection_Flush(raw);
    ASSERT_TRUE(eventually([&] { return handler.held(); }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        gate->stop();
        stopped = true;
    });
    // Cannot fail by a slow machine: a stop() that waits never sets `stopped` here.
    EXPECT_FALSE(eventually([&] { return stopped.load(); }, std::chrono::seconds(2)))
        << "stop() returned while a handler was still running in the gateway";
    handler.release();
    stopper.join();
    EXPECT_TRUE(stopped);
}

// A client's interests are bounded like its histories: past the quota a
// Subscribe is refused, and no feed set is made for it.
TEST_F(GatewayClients, ShouldRefuseSubscriptionsPastAClientsQuotaWithoutMakingAFeedSet) {
    adjustGateway = [](gateway::Options& options) { options.quotas.subscriptions = 2; };
    restartGateway();
    natsConnection* raw = rawConnection();
    RawListener answers;
    natsSubscription* watch = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&watch, raw, "_INBOX_trader.>", &RawListener::onMessage, &answers), NATS_OK);
    watches.push_back(watch);
    natsConnection_Flush(raw);
    const std::string inbox = wire::inboxFor("trader", 0x77);
    const char* symbols[] = {"ACME", "GLOBEX", "INITECH", "ACME"};  // the last: held already, an image again
    for (std::uint64_t i = 0; i < std::size(symbols); ++i)
        send(raw, wire::subscribeSubject(false, symbols[i]), wire::Subscribe{0x77, false, symbols[i]},
             wire::replySubject(inbox, wire::ReplyKind::Image, i + 1));
    ASSERT_TRUE(eventually([&] { return answers.received().size() >= std::size(symbols); }));
    std::vector<std::string> refused;
    for (const auto& bytes : answers.received()) {
        const auto message = wire::decode(bytes.data(), bytes.size());
        ASSERT_TRUE(message);
        if (const auto* refusal = std::get_if<wire::Refusal>(&*message)) refused.push_back(refusal->text);
    }
    EXPECT_EQ(refused, std::vector<std::string>{
                           "Too many subscriptions (at most 2 per client and 16 per user); refused INITECH"});
    EXPECT_EQ(gate->stats().symbols, 2u);
    EXPECT_EQ(gate->stats().subscriptionsRefused, 1u);
    EXPECT_TRUE(gatewayLogged("refusing subscriptions of _INBOX_trader.0000000000000077: too many"));
}

// A replay feed says so once, at its logon; a host that logs on to the
// gateway later must be told too, and once.
TEST_F(GatewayClients, ShouldTellEveryHostThatLogsOnLaterThatTheFeedIsAReplay) {
    const std::string notice = "Replay of desk from 2026-12-08T10:31:00Z at 4x";
    Client& early = connectClient();
    ASSERT_TRUE(eventually([&] { return early.status.saw("ready"); }));
    feed.sendMessage(notice.c_str());
    ASSERT_TRUE(eventually([&] { return early.status.saw("message: " + notice); }));
    // Published before the late host connects: it must not be told this one.
    feed.sendMessage("a message that is not about a replay");
    ASSERT_TRUE(eventually([&] { return early.status.saw("message: a message that is not about a replay"); }));
    Client& late = connectClient();
    ASSERT_TRUE(eventually([&] { return late.status.saw("ready"); }));
    ASSERT_TRUE(eventually([&] { return late.status.saw("message: " + notice); }));
    EXPECT_EQ(late.status.count("message: " + notice), 1);
    EXPECT_EQ(late.status.count("message: a message that is not about a replay"), 0);
    EXPECT_EQ(early.status.count("message: " + notice), 1);
}

}  // namespace
