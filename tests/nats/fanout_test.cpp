// The gateway and NATS feed clients together: a gateway on the stand-in feed,
// run in this process on a nats-server of the test's own, serving many NATS
// feed clients (each with its own NATS connection) through the feed contract.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "nats/nats_support.h"
#include "natsfeed/client.h"

namespace {

constexpr int kTradeId = 3;
constexpr int kTradeTimeId = 27;

// Every connection event of one client, in order, as text.
class StatusLog : public EConnectStatus {
public:
    void onSendCredentials(std::int32_t, std::int32_t) override {
        add("credentials");
        client->SendLogon(user.c_str(), password.c_str());
    }
    void onLogon(std::int32_t) override { add("logon"); }
    void onLogOff() override { add("logoff"); }
    void onReady() override { add("ready"); }
    void onMessage(const char* text) override { add(std::string("message: ") + text); }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events_;
    }
    bool saw(const std::string& event) {
        const auto all = events();
        return std::find(all.begin(), all.end(), event) != all.end();
    }
    int count(const std::string& event) {
        const auto all = events();
        return static_cast<int>(std::count(all.begin(), all.end(), event));
    }

    TellivarClient* client = nullptr;
    std::string user = "trader", password = "secret";

private:
    void add(std::string event) {
        std::lock_guard<std::mutex> lock(mutex);
        events_.push_back(std::move(event));
    }
    std::mutex mutex;
    std::vector<std::string> events_;
};

// Each snapshot callback's trade time and trade price, and how many ids it named.
class QuoteLog : public ISSSetSink {
public:
    struct Seen {
        FeedTime time;
        double trade;
        int ids;
        bool operator==(const Seen& o) const { return time == o.time && trade == o.trade && ids == o.ids; }
    };
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t count, const std::uint8_t*) override {
        Seen seen{0, NAN, count};
        set->EnterRead();
        set->GetDWord(kTradeTimeId, &seen.time);
        set->GetDouble(kTradeId, &seen.trade);
        set->LeaveRead();
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(seen);
        ++calls;
    }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    std::atomic<int> calls{0};

private:
    std::mutex mutex;
    std::vector<Seen> log;
};

// The record-set events of one set.
class EventLog : public ITRecSetSink {
public:
    void onRecordSetEvent(TRecordSet*, int event, long first, long second) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back({event, first, second});
    }
    struct Event {
        int event;
        long first, second;
    };
    std::vector<Event> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    bool sawLoaded() {
        for (const Event& e : all())
            if (e.event == 1) return true;
        return false;
    }

private:
    std::mutex mutex;
    std::vector<Event> events;
};

std::vector<wire::Bar> barsOf(TRecordSet* set) {
    std::vector<wire::Bar> bars;
    set->EnterRead();
    for (long k = set->firstRecord - set->recordBase; set->hasRecords != 0 && k <= set->lastRecord - set->recordBase;
         ++k) {
        wire::Bar bar;
        FeedTime start = 0, end = 0;
        set->GetETime(k, 1, &start);
        set->GetETime(k, 2, &end);
        bar.start = start;
        bar.end = end;
        set->GetRecDouble(k, set->GetFieldIx("Open"), &bar.open);
        set->GetRecDouble(k, set->GetFieldIx("High"), &bar.high);
        set->GetRecDouble(k, set->GetFieldIx("Low"), &bar.low);
        set->GetRecDouble(k, set->GetFieldIx("Close"), &bar.close);
        set->GetRecDouble(k, set->GetFieldIx("Volume"), &bar.volume);
        bars.push_back(bar);
    }
    set->LeaveRead();
    return bars;
}

class FanOut : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_NATS_SERVER();
        server = std::make_unique<NatsServer>(config);
        ASSERT_TRUE(server->running());
        ASSERT_NE(feed.client, nullptr) << dlerror();
        setenv("TELLIVAR_NATS_URL", server->url().c_str(), 1);
        feed.reset();
        feed.setRate(0);
        feed.setClock(feed.client->MakeTime(2024, 3, 5, 14, 0, 0), 0);  // pinned: trades come when the test says
        startGateway(std::chrono::milliseconds(10000));
    }
    void TearDown() override {
        clients.clear();  // before the gateway: their sets are deleted first
        for (natsConnection* raw : rawConnections) natsConnection_Destroy(raw);
        if (gate) gate->stop();
        gate.reset();
        if (nats != nullptr) natsConnection_Destroy(nats);
    }

    void startGateway(std::chrono::milliseconds lease) {
        ASSERT_EQ(natsConnection_ConnectTo(&nats, urlAs(gatewayUser).c_str()), NATS_OK);
        gateway::Options options;
        options.user = options.password = "demo";
        options.lease = lease;
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex);
            gatewayLog.push_back(line);
        };
        gate = std::make_unique<gateway::Gateway>(feed.client, nats, options);
        std::string error;
        ASSERT_TRUE(gate->start(&error)) << error;
        ASSERT_TRUE(eventually([&] { return gate->stats().feedUp; }));
    }

    struct Client {
        natsfeed::NatsClient client;
        StatusLog status;
        ~Client() {
            client.Disconnect();
            client.Shutdown();
        }
    };
    Client& connectClient(const std::string& user = "trader", const std::string& password = "secret") {
        clients.push_back(std::make_unique<Client>());
        Client& c = *clients.back();
        c.status.client = &c.client;
        c.status.user = user;
        c.status.password = password;
        c.client.Connect(&c.status);
        return c;
    }
    // The server's URL with `user:password@` when given.
    std::string urlAs(const std::string& credentials) const {
        std::string url = server->url();
        if (!credentials.empty()) url.insert(std::string("nats://").size(), credentials + "@");
        return url;
    }
    // A snapshot set of `symbol` on `c`, initialised, telling `sink`.
    static SnapshotSet* openQuote(Client& c, const char* symbol, QuoteLog& sink) {
        SnapshotSet* set = c.client.CreateSnapshotSet(symbol);
        if (set == nullptr) return nullptr;
        set->sink = &sink;
        set->Init();
        return set;
    }
    bool gatewayLogged(const std::string& text) {
        std::lock_guard<std::mutex> lock(logMutex);
        for (const std::string& line : gatewayLog)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    std::string config;       // nats-server configuration; none: anyone may do anything
    std::string gatewayUser;  // "user:password" of the gateway, with a configuration
    std::unique_ptr<NatsServer> server;
    StandIn feed;
    natsConnection* nats = nullptr;
    std::unique_ptr<gateway::Gateway> gate;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<natsConnection*> rawConnections;  // plain NATS connections of a test
    std::mutex logMutex;
    std::vector<std::string> gatewayLog;
};

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
    gate->stop();
    gate.reset();
    natsConnection_Destroy(std::exchange(nats, nullptr));
    startGateway(std::chrono::milliseconds(1500));
    const int baseline = feed.liveSets();
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 1; }));
    ASSERT_EQ(feed.liveSets(), baseline + 1);
    // The client goes quiet without unsubscribing: logged off, it renews no lease.
    c.client.Disconnect();
    EXPECT_TRUE(eventually([&] { return gatewayLogged("left (lease expired)"); }));
    EXPECT_TRUE(eventually([&] { return feed.liveSets() == baseline; })) << "the expired lease freed the feed set";
    c.client.DeleteSnapshotSet(set);
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

// Payloads received on a subject by a plain NATS connection.
class RawListener {
public:
    static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* self = static_cast<RawListener*>(closure);
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
        std::lock_guard<std::mutex> lock(self->mutex);
        self->payloads.emplace_back(data, data + natsMsg_GetDataLength(msg));
        natsMsg_Destroy(msg);
    }
    std::vector<std::vector<std::uint8_t>> received() {
        std::lock_guard<std::mutex> lock(mutex);
        return payloads;
    }

private:
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> payloads;
};

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

// The example entitlements of gateway/entitlements.conf.
class Entitled : public FanOut {
protected:
    Entitled() {
        config = TELLIVAR_ENTITLEMENTS_CONF;
        gatewayUser = "gateway:gateway-secret";
    }
};

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
