// The gateway's own rules, driven by NATS feed clients and by raw NATS
// messages that a hostile or departing client could send: who a message is
// from, and when a client is gone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
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
        ASSERT_EQ(natsConnection_PublishRequest(raw, subject.c_str(), reply.c_str(), bytes.data(),
                                                static_cast<int>(bytes.size())),
                  NATS_OK);
        natsConnection_Flush(raw);
    }
    std::uint64_t firstClient() {
        std::lock_guard<std::mutex> lock(logMutex);
        return joinedClient(gatewayLog);
    }
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
// than its body: dropped, and the client it names keeps its interest. The
// same message from the client's own inbox takes effect.
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
    } forged[] = {
        {"a leave", wire::kLeaveSubject, wire::Leave{victim}},
        {"an unsubscribe", wire::kUnsubscribeSubject, wire::Unsubscribe{victim, false, "ACME"}},
    };
    for (const auto& f : forged) {
        {
            std::lock_guard<std::mutex> lock(logMutex);
            gatewayLog.clear();
        }
        send(raw, f.subject, f.message, otherInbox);
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

}  // namespace
