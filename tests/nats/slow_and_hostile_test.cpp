// A consumer that falls behind and clients that misbehave: the others go on,
// memory stays bounded, and whoever is refused is told why.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>

#include <sys/time.h>

#include "nats/fanout_support.h"

namespace {

// The same trade: time and price (an image and an update name different ids).
bool sameTrade(const QuoteLog::Seen& a, const QuoteLog::Seen& b) { return a.time == b.time && a.trade == b.trade; }

int messagesStartingWith(StatusLog& status, const std::string& prefix) {
    int count = 0;
    for (const std::string& event : status.events())
        if (event.rfind("message: " + prefix, 0) == 0) ++count;
    return count;
}

TEST_F(FanOut, ShouldConflateTheBacklogOfAConsumerThatSleepsAndCatchUpWithCurrentValues) {
    constexpr std::size_t kBacklog = 100;
    constexpr int kTrades = 600;
    Client& fast = connectClient();
    Client& slow = connectClient("trader", "secret", kBacklog);
    ASSERT_TRUE(eventually([&] { return fast.status.saw("ready") && slow.status.saw("ready"); }));
    QuoteLog fastQuote;
    SleepingQuoteLog slowQuote;
    EventLog fastEvents, slowEvents;
    SnapshotSet* fastSet = openQuote(fast, "ACME", fastQuote);
    SnapshotSet* slowSet = openQuote(slow, "ACME", slowQuote);
    TRecordSet* fastStream = fast.client.CreateTRecordSet("ACME,1");
    TRecordSet* slowStream = slow.client.CreateTRecordSet("ACME,1");
    ASSERT_TRUE(fastSet && slowSet && fastStream && slowStream);
    fastStream->SetSink(&fastEvents);
    slowStream->SetSink(&slowEvents);
    ASSERT_EQ(fastStream->Init(2, 0), 1);
    ASSERT_EQ(slowStream->Init(2, 0), 1);
    ASSERT_TRUE(eventually([&] {
        return fastQuote.calls >= 1 && slowQuote.calls >= 1 && fastEvents.sawLoaded() && slowEvents.sawLoaded();
    }));

    // The slow client's feed thread sleeps in its quote sink while the market trades.
    slowQuote.arm();
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return slowQuote.asleep(); }));
    const int fastBefore = fastQuote.calls;
    for (int i = 0; i < kTrades; ++i) {
        feed.advanceClock(5);
        feed.tradeNow();
        feed.flush();
    }
    // The other client gets every update meanwhile: nothing waits for the sleeper.
    ASSERT_TRUE(eventually([&] { return fastQuote.calls - fastBefore >= kTrades; }));
    EXPECT_TRUE(slowQuote.asleep());
    EXPECT_EQ(slow.client.backlogPeak(), kBacklog) << "the backlog filled up to its bound and no further";
    EXPECT_EQ(messagesStartingWith(slow.status, "Missed "), 0) << "told once it catches up, not before";

    const int slowBefore = slowQuote.calls;
    slowQuote.release();
    // Caught up: the same values as the client that kept up, for quotes and bars alike.
    EXPECT_TRUE(eventually([&] {
        return sameTrade(slowQuote.seen().back(), fastQuote.seen().back()) && barsOf(slowStream) == barsOf(fastStream);
    }));
    const auto slowSeen = slowQuote.seen();
    EXPECT_LT(slowQuote.calls - slowBefore, kTrades / 4) << "the stale backlog was dropped, not delivered";
    EXPECT_TRUE(std::any_of(slowSeen.begin() + slowBefore, slowSeen.end(),
                            [](const QuoteLog::Seen& seen) { return seen.ids > 40; }))
        << "a full image after catching up";
    EXPECT_EQ(messagesStartingWith(slow.status, "Missed "), 1);
    EXPECT_FALSE(slow.status.saw("logoff"));
    EXPECT_EQ(messagesStartingWith(fast.status, "Missed "), 0);

    // Back in step: the next update reaches both.
    feed.advanceClock(5);
    feed.tradeNow();
    EXPECT_TRUE(eventually([&] {
        return fastQuote.seen().back().time > slowSeen.back().time &&
               sameTrade(slowQuote.seen().back(), fastQuote.seen().back());
    }));
    fast.client.DeleteSnapshotSet(fastSet);
    slow.client.DeleteSnapshotSet(slowSet);
    fast.client.DeleteTRecordSet(fastStream);
    slow.client.DeleteTRecordSet(slowStream);
}

// Calls `hook` inside the first "Missed ..." message, on the feed thread.
class HookedStatus : public StatusLog {
public:
    void onMessage(const char* text) override {
        StatusLog::onMessage(text);
        if (std::strncmp(text, "Missed ", 7) == 0 && hook && !hooked.exchange(true)) hook();
    }
    std::function<void()> hook;
    std::atomic<bool> hooked{false};
};

// The catch-up asks for fresh images while the backlog it supersedes is
// still queued; updates that arrive meanwhile (here, while the host reads
// the catch-up's message) must find room: one stall, one message.
TEST_F(FanOut, ShouldTellTheHostOnceWhenUpdatesArriveWhileItCatchesUp) {
    constexpr std::size_t kBacklog = 100;
    Client& fast = connectClient();
    HookedStatus status;
    natsfeed::NatsClient slow(kBacklog);
    status.client = &slow;
    slow.Connect(&status);
    ASSERT_TRUE(eventually([&] { return fast.status.saw("ready") && status.saw("ready"); }));
    QuoteLog fastQuote;
    SleepingQuoteLog slowQuote;
    SnapshotSet* fastSet = openQuote(fast, "ACME", fastQuote);
    SnapshotSet* slowSet = slow.CreateSnapshotSet("ACME");
    ASSERT_TRUE(fastSet && slowSet);
    slowSet->sink = &slowQuote;
    slowSet->Init();
    ASSERT_TRUE(eventually([&] { return fastQuote.calls >= 1 && slowQuote.calls >= 1; }));
    auto trade = [&](int times) {
        for (int i = 0; i < times; ++i) {
            feed.advanceClock(5);
            feed.tradeNow();
            feed.flush();
        }
    };
    const int fastBefore = fastQuote.calls;
    slowQuote.arm();
    trade(1);
    ASSERT_TRUE(eventually([&] { return slowQuote.asleep() && fastQuote.calls > fastBefore; }));
    const FeedTime firstTime = fastQuote.seen().back().time;
    const std::uint64_t arrived = slow.backlogStats().arrived;
    trade(3 * kBacklog);
    ASSERT_TRUE(eventually([&] { return slow.backlogStats().arrived >= arrived + 3 * kBacklog; }))
        << "past the bound: updates were dropped";
    status.hook = [&] {
        const std::uint64_t before = slow.backlogStats().arrived;
        trade(kBacklog / 2);
        EXPECT_TRUE(eventually([&] { return slow.backlogStats().arrived >= before + kBacklog / 2; }));
    };
    slowQuote.release();
    ASSERT_TRUE(eventually([&] { return status.hooked.load(); }));
    trade(1);
    // The last trade, five seconds of the feed's clock after each before it.
    const FeedTime lastTime = firstTime + 5 * (3 * kBacklog + kBacklog / 2 + 1);
    EXPECT_TRUE(eventually([&] {
        return fastQuote.seen().back().time == lastTime && sameTrade(slowQuote.seen().back(), fastQuote.seen().back());
    })) << "caught up with the last trade";
    EXPECT_EQ(messagesStartingWith(status, "Missed "), 1);
    fast.client.DeleteSnapshotSet(fastSet);
    slow.DeleteSnapshotSet(slowSet);
    slow.Disconnect();
    slow.Shutdown();
}

// A server that cuts off a client that stops reading: a second of blocked
// writes or 1 MB waiting for it (the defaults are 10 s and 64 MB).
class SlowDesktop : public FanOut {
protected:
    SlowDesktop() {
        config = testing::TempDir() + "/slow-desktop.conf";
        std::ofstream(config) << "write_deadline: \"1s\"\nmax_pending: 1MB\n";
    }
    // Kilobytes of resident memory of process `pid`, from /proc; 0 when unknown.
    static long residentKiB(pid_t pid) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return 0;
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The value after "<symbol> ... Trade=" in the last line of `text` that quotes `symbol`.
    static double lastTrade(const std::string& text, const std::string& symbol) {
        const std::size_t line = text.rfind(" " + symbol + " Trade=");
        return line == std::string::npos ? NAN : std::strtod(text.c_str() + line + symbol.size() + 8, nullptr);
    }
};

// A whole host process stopped (SIGSTOP) for ten seconds while 50 symbols trade
// 1,000 times a second: the server cuts it off, the other client and the memory
// of the server and of the gateway do not notice; the host, resumed, is told
// and gets current values.
TEST_F(SlowDesktop, ShouldLeaveTheOthersAloneWhileAHostIsStoppedAndGiveItCurrentValuesAfter) {
    constexpr int kSymbols = 50, kStopSeconds = 10;
    std::vector<std::string> symbols;
    for (int i = 0; i < kSymbols; ++i) symbols.push_back("SYM" + std::to_string(10 + i));
    Client& other = connectClient();
    ASSERT_TRUE(eventually([&] { return other.status.saw("ready"); }));
    std::vector<std::unique_ptr<QuoteLog>> sinks;
    std::vector<SnapshotSet*> sets;
    for (const std::string& symbol : symbols) {
        sinks.push_back(std::make_unique<QuoteLog>());
        sets.push_back(openQuote(other, symbol.c_str(), *sinks.back()));
    }
    auto otherCalls = [&] {
        int total = 0;
        for (auto& sink : sinks) total += sink->calls;
        return total;
    };
    const std::string output = testing::TempDir() + "/slow-desktop-host.out";
    std::remove(output.c_str());
    std::vector<std::string> args = {TELLIVAR_HOST_PATH, "--feed-library", TELLIVAR_NATS_CLIENT_PATH, "quotes"};
    args.insert(args.end(), symbols.begin(), symbols.end());
    ChildProcess host(args, {"TELLIVAR_NATS_URL=" + server->url()}, output);
    feed.setClock(feed.client->MakeTime(2024, 3, 5, 14, 0, 0), 1);  // trades need the clock to move
    feed.setRate(1000);
    ASSERT_TRUE(eventually([&] { return readFile(output).find(" SYM59 Trade=") != std::string::npos; }))
        << readFile(output);

    auto slice = [&] {  // the other client's updates in the next second
        const int before = otherCalls();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return otherCalls() - before;
    };
    int before = 0;
    for (int i = 0; i < 3; ++i) before += slice();
    const long serverBefore = residentKiB(server->process().pid()), selfBefore = residentKiB(getpid());
    host.pause();
    int slowest = std::numeric_limits<int>::max(), during = 0;
    long serverMost = 0, selfMost = 0;
    for (int i = 0; i < kStopSeconds; ++i) {
        const int got = slice();
        during += got;
        slowest = std::min(slowest, got);
        serverMost = std::max(serverMost, residentKiB(server->process().pid()));
        selfMost = std::max(selfMost, residentKiB(getpid()));
    }
    const std::size_t resumedAt = readFile(output).size();
    const auto resumed = std::chrono::steady_clock::now();
    host.resume();
    EXPECT_GT(slowest, 0) << "the other client was never held up for a second";
    EXPECT_GT(during * 3, before * kStopSeconds / 2) << "nor slowed down to half its rate";
    EXPECT_LT(serverMost - serverBefore, 32 * 1024) << "the server's memory stayed bounded";
    EXPECT_LT(selfMost - selfBefore, 32 * 1024) << "the gateway's (this process's) memory stayed bounded";
    const nlohmann::json varz = server->monitor("/varz");
    EXPECT_GE(varz.value("slow_consumers", 0), 1) << "the server cut the stopped host off";
    EXPECT_FALSE(other.status.saw("logoff"));
    EXPECT_EQ(messagesStartingWith(other.status, "Missed "), 0);

    // Resumed: told that it was cut off, logged on again with full images. (A
    // heartbeat timeout may come first: the feed thread wakes before the NATS
    // reader finds the connection closed.)
    auto reimaged = [&] {
        const std::string after = readFile(output).substr(resumedAt);
        const std::size_t lost = after.find("Lost the connection to the message bus");
        if (lost == std::string::npos) return false;
        const std::size_t ready = after.find("plug-in status: Ready", lost);
        return ready != std::string::npos && after.find(" Trade=", ready) != std::string::npos;
    };
    ASSERT_TRUE(eventually(reimaged)) << readFile(output).substr(resumedAt).substr(0, 2000);
    const double readyAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - resumed).count();
    std::cout << "[ measured ] other client " << before / 3 << "/s before, " << during / kStopSeconds
              << "/s during the stop (slowest second " << slowest << "); server +" << serverMost - serverBefore
              << " KiB, gateway process +" << selfMost - selfBefore << " KiB; slow consumers cut off: "
              << varz.value("slow_consumers", 0) << "; host logged on again with images " << readyAfter
              << " s after SIGCONT" << std::endl;
    feed.setRate(0);
    feed.flush();
    feed.advanceClock(5);
    feed.tradeNow();
    feed.flush();
    EXPECT_TRUE(eventually([&] {
        const std::string text = readFile(output);
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            const auto seen = sinks[i]->seen();
            if (seen.empty() || std::fabs(lastTrade(text, symbols[i]) - seen.back().trade) > 1e-6) return false;
        }
        return true;
    })) << "the host shows the trades the other client has";
    EXPECT_TRUE(host.terminate());
    for (SnapshotSet* set : sets) other.client.DeleteSnapshotSet(set);
}

TEST_F(FanOut, ShouldRefuseHistoryRequestsPastAClientsLimitsAndStillServeTheOthers) {
    constexpr int kRequests = 10, kRecords = 100;
    const struct {
        const char* limit;
        int inFlight;
        double perSecond;
        bool stalled;  // the feed holds every history back until released
        int admitted;
    } rows[] = {
        {"under way at once", 3, 1000, true, 3},
        {"a second", 1000, 1, false, 1},  // a whole second of slack for the requests to arrive
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.limit);
        adjustGateway = [&row](gateway::Options& options) {
            options.quotas.historyInFlight = row.inFlight;
            options.quotas.historyPerSecond = row.perSecond;
        };
        restartGateway();
        Client& flooder = connectClient();
        Client& other = connectClient();
        ASSERT_TRUE(eventually([&] { return flooder.status.saw("ready") && other.status.saw("ready"); }));
        feed.stallHistory(row.stalled ? 1 : 0);

        std::vector<EventLog> sinks(kRequests + 1);
        std::vector<TRecordSet*> sets;
        int admitted = 0;
        for (int i = 0; i < kRequests; ++i) {
            const std::string query = "SYM" + std::to_string(10 + i) + ",1";
            TRecordSet* set = flooder.client.CreateTRecordSet(query.c_str());
            ASSERT_NE(set, nullptr);
            set->sinkMode = 0;
            set->SetSink(&sinks[i]);
            if (set->Init(kRecords, 0) != 0) ++admitted;
            sets.push_back(set);
        }
        EXPECT_EQ(admitted, row.admitted);
        EXPECT_EQ(gate->stats().historyRefused, static_cast<std::uint64_t>(kRequests - row.admitted));
        EXPECT_TRUE(eventually([&] {
            return messagesStartingWith(flooder.status, "Too many history requests") == kRequests - row.admitted;
        })) << "each refused request is told";
        EXPECT_TRUE(gatewayLogged("refusing history requests of _INBOX_trader."));

        // Another client's history is unaffected.
        TRecordSet* others = other.client.CreateTRecordSet("SYM10,1");
        ASSERT_NE(others, nullptr);
        others->sinkMode = 0;
        others->SetSink(&sinks[kRequests]);
        const int result = others->Init(kRecords, 0);
        EXPECT_NE(result, 0);
        feed.stallHistory(0);
        EXPECT_TRUE(eventually([&] { return result == 3 || sinks[kRequests].sawLoaded(); }));
        EXPECT_EQ(barsOf(others).size(), static_cast<std::size_t>(kRecords));
        EXPECT_EQ(messagesStartingWith(other.status, "Too many"), 0);
        other.client.DeleteTRecordSet(others);

        if (row.stalled) {
            // Answered requests no longer count against the client.
            for (int i = 0; i < row.admitted; ++i)
                EXPECT_TRUE(eventually([&] { return sinks[i].sawLoaded(); })) << "request " << i;
            TRecordSet* again = flooder.client.CreateTRecordSet("SYM30,1");
            again->sinkMode = 0;
            EXPECT_NE(again->Init(kRecords, 0), 0) << "admitted once the earlier ones were answered";
            sets.push_back(again);
        }
        for (TRecordSet* set : sets) flooder.client.DeleteTRecordSet(set);
        clients.clear();
    }
}

TEST_F(FanOut, ShouldLimitAUsersHistoryRequestsUnderInventedClientIds) {
    constexpr int kInFlight = 2, kUserShare = 8, kRequests = 3 * kInFlight * kUserShare;
    adjustGateway = [](gateway::Options& options) {
        options.quotas.historyInFlight = kInFlight;
        options.quotas.historyPerSecond = 1000;
    };
    restartGateway();
    feed.stallHistory(1);
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    // Every request under a client id of its own, as a trader could make up.
    for (int i = 0; i < kRequests; ++i) {
        const std::string query = "SYM" + std::to_string(10 + i) + ",1";
        const std::vector<std::uint8_t> bytes = wire::encode(wire::HistoryRequest{1, 100, query});
        char reply[64];
        std::snprintf(reply, sizeof reply, "_INBOX_trader.%016x.h.1", 0x1000 + i);
        ASSERT_EQ(natsConnection_PublishRequest(raw, wire::historySubject(query).c_str(), reply, bytes.data(),
                                                static_cast<int>(bytes.size())),
                  NATS_OK);
    }
    natsConnection_Flush(raw);
    ASSERT_TRUE(eventually([&] { return gate->stats().historyRequests == static_cast<std::uint64_t>(kRequests); }));
    EXPECT_EQ(gate->stats().historyRefused, static_cast<std::uint64_t>(kRequests - kInFlight * kUserShare))
        << "the user's requests beyond its share are refused, whatever client ids they carry";
    EXPECT_TRUE(gatewayLogged("refusing history requests of user:_INBOX_trader: too many"));
    feed.stallHistory(0);
}

// A server that lets messages of up to 8 MB through, past the wire format's 1 MiB.
class LargePayloads : public FanOut {
protected:
    LargePayloads() {
        config = testing::TempDir() + "/large-payloads.conf";
        std::ofstream(config) << "max_payload: 8MB\n";
    }
};

// Sends raw protocol text to `url`'s server and returns what it answers (at most a few seconds).
std::string talkToServer(const std::string& url, const std::string& text) {
    const int port = std::stoi(url.substr(url.rfind(':') + 1));
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        char buffer[4096];
        for (ssize_t n; answer.find("-ERR") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer;
}

TEST_F(LargePayloads, ShouldRefuseA64MiBMessageAtTheServerAndDropAnOversizedOneThatGetsThrough) {
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog sink;
    SnapshotSet* set = openQuote(c, "ACME", sink);
    ASSERT_TRUE(eventually([&] { return sink.calls >= 1; }));

    // 64 MiB announced on a quote subject: the server refuses it before any of it is forwarded.
    const std::string refused = talkToServer(
        server->url(), "CONNECT {\"verbose\":false}\r\nPUB " + wire::quoteSubject("ACME") + " 67108864\r\n");
    EXPECT_NE(refused.find("Maximum Payload Violation"), std::string::npos) << refused;

    // 2 MiB, inside the server's limit: the client's and the gateway's decoders drop it.
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    rawConnections.push_back(raw);
    std::vector<std::uint8_t> large(2 * wire::kMaxMessage, 0);
    const std::vector<std::uint8_t> header = wire::encode(wire::Quote{0, 99, false, 1, "ACME", {{kTradeId, 1.0}}});
    std::copy(header.begin(), header.end(), large.begin());
    testing::internal::CaptureStderr();
    for (const std::string& subject : {wire::quoteSubject("ACME"), wire::subscribeSubject(false, "ACME")})
        ASSERT_EQ(natsConnection_Publish(raw, subject.c_str(), large.data(), static_cast<int>(large.size())), NATS_OK);
    ASSERT_EQ(natsConnection_Flush(raw), NATS_OK);
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return sink.calls >= 2 && gatewayLogged("oversized"); }));
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("dropped a message on tellivar.quote.ACME: oversized (2097152 bytes)"), std::string::npos)
        << logged;
    EXPECT_TRUE(gatewayLogged("dropped a message on tellivar.subscribe.quote.ACME: oversized"));
    EXPECT_EQ(sink.calls, 2) << "the image and the real trade alone";
    EXPECT_NE(sink.seen().back().trade, 1.0);
    EXPECT_FALSE(c.status.saw("logoff"));
    c.client.DeleteSnapshotSet(set);
}

// Texts of the errors the server reports to one plain connection.
class ServerErrors {
public:
    static void onError(natsConnection* nats, natsSubscription*, natsStatus, void* closure) {
        auto* self = static_cast<ServerErrors*>(closure);
        const char* text = nullptr;
        natsConnection_GetLastError(nats, &text);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->texts_.emplace_back(text != nullptr ? text : "");
    }
    bool saw(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(texts_.begin(), texts_.end(),
                           [&](const std::string& text) { return text.find(part) != std::string::npos; });
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

TEST_F(Entitled, ShouldRefuseATraderImpersonatingTheGatewayWithoutEffectOnOtherTraders) {
    Client& alice = connectClient("alice", "alice-secret");
    ASSERT_TRUE(eventually([&] { return alice.status.saw("ready"); }));
    QuoteLog aliceAcme;
    SnapshotSet* set = openQuote(alice, "ACME", aliceAcme);
    ASSERT_TRUE(eventually([&] { return aliceAcme.calls >= 1; }));

    // What alice's connection may receive, seen by a plain connection of hers.
    natsConnection* aliceRaw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&aliceRaw, urlAs("alice:alice-secret").c_str()), NATS_OK);
    rawConnections.push_back(aliceRaw);
    RawListener listener;
    std::vector<natsSubscription*> subs;
    for (const char* subject : {wire::kHeartbeatSubject, wire::kMessageSubject, "_INBOX_alice.>"}) {
        natsSubscription* sub = nullptr;
        ASSERT_EQ(natsConnection_Subscribe(&sub, aliceRaw, subject, &RawListener::onMessage, &listener), NATS_OK);
        subs.push_back(sub);
    }
    ASSERT_EQ(natsConnection_Flush(aliceRaw), NATS_OK);

    ServerErrors bobErrors;
    natsOptions* options = nullptr;
    natsConnection* bobRaw = nullptr;
    ASSERT_EQ(natsOptions_Create(&options), NATS_OK);
    natsOptions_SetURL(options, urlAs("bob:bob-secret").c_str());
    natsOptions_SetErrorHandler(options, &ServerErrors::onError, &bobErrors);
    ASSERT_EQ(natsConnection_Connect(&bobRaw, options), NATS_OK);
    natsOptions_Destroy(options);
    rawConnections.push_back(bobRaw);
    const struct {
        const char* what;
        std::string subject;
        std::vector<std::uint8_t> bytes;
    } fakes[] = {
        {"a heartbeat saying the feed is down", wire::kHeartbeatSubject, wire::encode(wire::Heartbeat{1, 1, false})},
        {"a feed message", wire::kMessageSubject, wire::encode(wire::FeedMessage{"fake: the market is closed"})},
        {"a history answer to another trader", "_INBOX_alice.0000000000000001.h.1",
         wire::encode(wire::HistoryDone{1, 3, 0})},
        {"a quote image to another trader", "_INBOX_alice.0000000000000001.i.1",
         wire::encode(wire::Quote{1, 1, true, 1, "ACME", {{kTradeId, 1.0}}})},
    };
    for (const auto& fake : fakes) {
        SCOPED_TRACE(fake.what);
        natsConnection_Publish(bobRaw, fake.subject.c_str(), fake.bytes.data(), static_cast<int>(fake.bytes.size()));
        natsConnection_Flush(bobRaw);
        EXPECT_TRUE(eventually([&] { return bobErrors.saw("Permissions Violation for Publish to \"" + fake.subject); }))
            << "bob is told the server refused it";
    }

    // Alice goes on: a real trade and a real heartbeat reach her, no fake does.
    const int before = aliceAcme.calls;
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return aliceAcme.calls > before && !listener.received().empty(); }));
    for (const auto& payload : listener.received())
        for (const auto& fake : fakes) EXPECT_NE(payload, fake.bytes) << fake.what;
    EXPECT_FALSE(alice.status.saw("logoff"));
    EXPECT_EQ(messagesStartingWith(alice.status, "fake"), 0);
    EXPECT_NE(aliceAcme.seen().back().trade, 1.0);
    for (natsSubscription* sub : subs) natsSubscription_Destroy(sub);
    alice.client.DeleteSnapshotSet(set);
}

}  // namespace
