// Fixtures of the fan-out tests: a gateway on the stand-in feed, run in the
// test's process on a nats-server of the test's own, serving NATS feed
// clients (each with its own NATS connection) through the feed contract, and
// sinks that record what the clients deliver.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
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

// A point where one thread waits, once armed, until the test lets it go (at
// most a minute, so that a failed test does not hang on it).
class Gate {
public:
    void arm() {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = true;
    }
    // On the thread to hold: returns at once unless armed.
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!armed_) return;
        armed_ = false;
        held_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::minutes(1), [this] { return released_; });
    }
    // It held a thread (and still does unless released).
    bool held() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false, held_ = false, released_ = false;
};

// A quote sink that, once armed, sleeps inside its next notification until
// released: a host that holds up the feed thread.
class SleepingQuoteLog : public QuoteLog {
public:
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t count, const std::uint8_t* ids) override {
        QuoteLog::onSnapshotUpdate(set, count, ids);
        gate_.pass();
    }
    void arm() { gate_.arm(); }
    bool asleep() { return gate_.held(); }
    void release() { gate_.release(); }

private:
    Gate gate_;
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

inline std::vector<wire::Bar> barsOf(TRecordSet* set) {
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
        NatsServer::Options serverOptions;
        serverOptions.config = config;
        serverOptions.jetStreamStore = jetStreamStore;
        server = std::make_unique<NatsServer>(serverOptions);
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
        if (adjustGateway) adjustGateway(options);
        options.log = [this](const std::string& line) {
            {
                std::lock_guard<std::mutex> lock(logMutex);
                gatewayLog.push_back(line);
            }
            if (onGatewayLog) onGatewayLog(line);
        };
        gate = std::make_unique<gateway::Gateway>(feed.client, nats, options);
        std::string error;
        ASSERT_TRUE(gate->start(&error)) << error;
        ASSERT_TRUE(eventually([&] { return gate->stats().feedUp; }));
    }

    // A new gateway in place of the running one, with `adjustGateway` applied.
    void restartGateway(std::chrono::milliseconds lease = std::chrono::milliseconds(10000)) {
        gate->stop();
        gate.reset();
        natsConnection_Destroy(std::exchange(nats, nullptr));
        startGateway(lease);
    }

    struct Client {
        explicit Client(std::size_t backlogLimit) : client(backlogLimit) {}
        natsfeed::NatsClient client;
        StatusLog status;
        ~Client() {
            client.Disconnect();
            client.Shutdown();
        }
    };
    Client& connectClient(const std::string& user = "trader", const std::string& password = "secret",
                          std::size_t backlogLimit = natsfeed::NatsClient::kDefaultBacklogLimit) {
        clients.push_back(std::make_unique<Client>(backlogLimit));
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
    std::string jetStreamStore;  // JetStream's store; empty: no JetStream
    std::string gatewayUser;  // "user:password" of the gateway, with a configuration
    std::function<void(gateway::Options&)> adjustGateway;  // applied by startGateway
    std::function<void(const std::string&)> onGatewayLog;  // each gateway log line, on the thread that logs it
    std::unique_ptr<NatsServer> server;
    StandIn feed;
    natsConnection* nats = nullptr;
    std::unique_ptr<gateway::Gateway> gate;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<natsConnection*> rawConnections;  // plain NATS connections of a test
    std::mutex logMutex;
    std::vector<std::string> gatewayLog;
};

// Messages received by a plain NATS connection: their subjects and payloads.
class RawListener {
public:
    static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* self = static_cast<RawListener*>(closure);
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
        std::lock_guard<std::mutex> lock(self->mutex);
        self->messages.emplace_back(natsMsg_GetSubject(msg),
                                    std::vector<std::uint8_t>(data, data + natsMsg_GetDataLength(msg)));
        natsMsg_Destroy(msg);
    }
    std::vector<std::vector<std::uint8_t>> received() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::vector<std::uint8_t>> payloads;
        for (const auto& message : messages) payloads.push_back(message.second);
        return payloads;
    }
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> receivedWithSubjects() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }

private:
    std::mutex mutex;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> messages;
};

// The example entitlements of gateway/entitlements.conf.
class Entitled : public FanOut {
protected:
    Entitled() {
        config = TELLIVAR_ENTITLEMENTS_CONF;
        gatewayUser = "gateway:gateway-secret";
    }
};

}  // namespace
