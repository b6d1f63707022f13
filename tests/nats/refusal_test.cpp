// Refusals and failures are final: a set the server's permissions or the
// gateway refuse, or a history the feed failed, is told to the host once and
// never asked for again until the next logon.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nats/fanout_support.h"

namespace {

// How many of `status`'s messages mention `text`.
int messagesMentioning(StatusLog& status, const std::string& text) {
    int count = 0;
    for (const std::string& event : status.events())
        if (event.rfind("message: ", 0) == 0 && event.find(text) != std::string::npos) ++count;
    return count;
}

// A plain connection listening to `subject` as `credentials`.
class Listening {
public:
    Listening(const std::string& url, const std::string& subject) {
        if (natsConnection_ConnectTo(&nats_, url.c_str()) != NATS_OK) return;
        natsConnection_Subscribe(&sub_, nats_, subject.c_str(), &RawListener::onMessage, &messages);
        natsConnection_Flush(nats_);
    }
    ~Listening() {
        natsSubscription_Destroy(sub_);
        natsConnection_Destroy(nats_);
    }
    bool ok() const { return sub_ != nullptr; }
    // The Subscribe requests heard for `key`.
    int subscribesFor(const std::string& key) {
        int count = 0;
        for (const auto& bytes : messages.received()) {
            const auto message = wire::decode(bytes.data(), bytes.size(), nullptr);
            const auto* subscribe = message ? std::get_if<wire::Subscribe>(&*message) : nullptr;
            if (subscribe != nullptr && subscribe->key == key) ++count;
        }
        return count;
    }
    RawListener messages;

private:
    natsConnection* nats_ = nullptr;
    natsSubscription* sub_ = nullptr;
};

// Waits until the client's own clock has sent two more leases (three seconds
// each): well past the two seconds after which an unanswered request is asked
// again, so a repeat would have been sent by then.
void waitTwoMoreLeases(Listening& leases) {
    const std::size_t before = leases.messages.received().size();
    ASSERT_TRUE(eventually([&] { return leases.messages.received().size() >= before + 2; }));
}

// Whether any connection of the server has a subscription to `subject`.
bool anySubscribes(NatsServer& server, const std::string& subject) {
    const nlohmann::json connz = server.monitor("/connz?subs=1");
    for (const auto& connection : connz.value("connections", nlohmann::json::array()))
        for (const auto& sub : connection.value("subscriptions_list", nlohmann::json::array()))
            if (sub == subject) return true;
    return false;
}

TEST_F(Entitled, ShouldTellOnceAndAskNoMoreForASymbolTheTraderIsNotEntitledTo) {
    Listening leases(urlAs(gatewayUser), wire::kLeaseSubject);
    ASSERT_TRUE(leases.ok());
    Client& bob = connectClient("bob", "bob-secret");
    ASSERT_TRUE(eventually([&] { return bob.status.saw("ready"); }));
    QuoteLog acme, globex;
    SnapshotSet* acmeSet = openQuote(bob, "ACME", acme);
    SnapshotSet* globexSet = openQuote(bob, "GLOBEX", globex);
    ASSERT_TRUE(acmeSet && globexSet);
    ASSERT_TRUE(eventually([&] { return acme.calls >= 1 && messagesMentioning(bob.status, "GLOBEX") >= 1; }));
    waitTwoMoreLeases(leases);
    EXPECT_EQ(messagesMentioning(bob.status, "GLOBEX"), 1) << "told once, and nothing more asked for";
    EXPECT_EQ(messagesMentioning(bob.status, "Not entitled"), 1);
    EXPECT_EQ(globex.calls, 0);
    bob.client.DeleteSnapshotSet(acmeSet);
    bob.client.DeleteSnapshotSet(globexSet);
}

// A quote or stream the gateway's feed refuses: one request, one message, and
// no subscription left to the updates that will never come.
struct RefusedByTheFeed {
    bool stream;
    const char* key;
    const char* text;
};

class GatewayRefusal : public FanOut, public ::testing::WithParamInterface<RefusedByTheFeed> {};

TEST_P(GatewayRefusal, ShouldAskOnceAndDropTheSubscriptionOfASetTheFeedRefused) {
    const RefusedByTheFeed& refused = GetParam();
    Listening leases(server->url(), wire::kLeaseSubject), requests(server->url(), "tellivar.subscribe.>");
    ASSERT_TRUE(leases.ok() && requests.ok());
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    feed.rejectNextCreate(1);
    QuoteLog quotes;
    EventLog events;
    SnapshotSet* quote = nullptr;
    TRecordSet* stream = nullptr;
    if (refused.stream) {
        stream = c.client.CreateTRecordSet(refused.key);
        ASSERT_NE(stream, nullptr);
        stream->sinkMode = 1;
        stream->SetSink(&events);
        ASSERT_EQ(stream->Init(2, 0), 1);
    } else {
        quote = openQuote(c, refused.key, quotes);
        ASSERT_NE(quote, nullptr);
    }
    ASSERT_TRUE(eventually([&] { return messagesMentioning(c.status, refused.text) >= 1; }));
    waitTwoMoreLeases(leases);
    EXPECT_EQ(requests.subscribesFor(refused.key), 1) << "a refusal is not asked again";
    EXPECT_EQ(messagesMentioning(c.status, refused.text), 1);
    const std::string subject = refused.stream ? wire::streamSubject(refused.key) : wire::quoteSubject(refused.key);
    EXPECT_FALSE(anySubscribes(*server, subject)) << "the refused set's subscription to " << subject << " is gone";
    EXPECT_EQ(quotes.calls, 0);
    EXPECT_TRUE(events.all().empty());
    if (quote != nullptr) c.client.DeleteSnapshotSet(quote);
    if (stream != nullptr) c.client.DeleteTRecordSet(stream);
}

INSTANTIATE_TEST_SUITE_P(Kinds, GatewayRefusal,
                         ::testing::Values(RefusedByTheFeed{false, "ACME", "Symbol refused by the feed: ACME"},
                                           RefusedByTheFeed{true, "ACME,m1", "Stream refused by the feed: ACME,m1"}),
                         [](const auto& info) { return info.param.stream ? "Stream" : "Quote"; });

TEST_F(FanOut, ShouldNotAskAgainAtTheNextLogonForAHistoryTheFeedFailed) {
    clients.push_back(std::make_unique<Client>(natsfeed::NatsClient::kDefaultBacklogLimit));
    Client& c = *clients.back();
    c.status.client = &c.client;
    // Asked before the logon: Init cannot wait for the answer and returns 1.
    EventLog failedEvents;
    int result = -1;
    TRecordSet* failed = c.client.CreateTRecordSet("ACME,1");
    ASSERT_NE(failed, nullptr);
    failed->sinkMode = 0;
    failed->SetSink(&failedEvents);
    result = failed->Init(20, 0);
    ASSERT_EQ(result, 1);
    feed.failNextHistoryInit(1);
    c.client.Connect(&c.status);
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    // Requests of one client reach the gateway in order, and its answers come
    // back in order: once a later history is answered, the failure was too.
    auto probe = [&] {
        EventLog events;
        int probeResult = -1;
        TRecordSet* set = c.client.CreateTRecordSet("GLOBEX,1");
        set->sinkMode = 0;
        set->SetSink(&events);
        probeResult = set->Init(5, 0);
        EXPECT_TRUE(probeResult == 3 || eventually([&] { return events.sawLoaded(); }));
        c.client.DeleteTRecordSet(set);
    };
    probe();
    ASSERT_EQ(gate->stats().historyRequests, 2u);
    c.client.Disconnect();
    c.client.Connect(&c.status);
    ASSERT_TRUE(eventually([&] { return c.status.count("ready") == 2; }));
    probe();
    EXPECT_EQ(gate->stats().historyRequests, 3u) << "the failed history was asked for again at the logon";
    EXPECT_FALSE(failedEvents.sawLoaded());
    EXPECT_TRUE(barsOf(failed).empty());
    c.client.DeleteTRecordSet(failed);
}

}  // namespace
