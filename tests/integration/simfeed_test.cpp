// The stand-in feed client driven directly through pTellivarClient, with
// recording sinks: logon, snapshots, record sets, feed time, deletion while a
// callback runs, and the fault controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"
#include "simfeed/control.h"

namespace {

// Waits are bounded so that a fault fails the test instead of hanging it.
constexpr auto kPatience = std::chrono::seconds(30);

constexpr const char kBadCredentials[] = "Logon rejected: user name or password not accepted";
constexpr const char kNoUser[] = "Logon rejected: no user name given";

// Snapshot field ids used below.
constexpr short kOpen = 0, kHigh = 1, kLow = 2, kTrade = 3, kBid = 6, kAsk = 7, kVolume = 10, kOpenInt = 11,
                kTradeTime = 27, kTitle = 32, kSymbol = 33, kVwap = 51;

// Everything a sink saw, guarded by one mutex, with a wait for a condition.
class Recorder {
public:
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return pred(); });
    }
    void note(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    std::vector<std::string> eventsCopy() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::size_t countOf(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
    }
    bool allOnOtherThreadThan(std::thread::id caller) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::none_of(threads.begin(), threads.end(), [&](std::thread::id t) { return t == caller; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;        // mutex
    std::vector<std::thread::id> threads;   // mutex
};

// Answers the credentials request with its own user and password.
class StatusSink : public EConnectStatus {
public:
    StatusSink(std::string user = "demo", std::string password = "demo")
        : user(std::move(user)), password(std::move(password)) {}
    void onSendCredentials(std::int32_t, std::int32_t) override {
        log.note("credentials");
        pTellivarClient->SendLogon(user.c_str(), password.c_str());
    }
    void onLogon(std::int32_t) override { log.note("logon"); }
    void onLogOff() override { log.note("logoff"); }
    void onReady() override { log.note("ready"); }
    void onMessage(const char* text) override { log.note(std::string("message:") + text); }

    std::string user, password;
    Recorder log;
};

struct Gate {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> open = release.get_future().share();
    std::atomic<bool> used{false};
};

// Keeps the snapshot image it was told about, checking each update against it.
class QuoteSink : public ISSSetSink {
public:
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t count, const std::uint8_t* ids) override {
        if (gate != nullptr && !gate->used.exchange(true)) {
            // Holds the first callback open until the test lets it go.
            gate->entered.set_value();
            gate->open.wait();
        }
        set->EnterRead();
        std::lock_guard<std::mutex> lock(log.mutex);
        std::map<short, double> now;
        for (short id = 0; id <= 100; ++id) {
            double v = 0;
            if (set->GetDouble(id, &v)) now[id] = v;
        }
        FeedTime t = 0;
        set->GetDWord(kTradeTime, &t);
        set->LeaveRead();
        std::vector<short> reported(ids, ids + count);
        if (updates > 0) {
            // Only changed ids are reported, and every change is reported.
            for (const auto& [id, value] : now) {
                const bool listed = std::find(reported.begin(), reported.end(), id) != reported.end();
                const auto before = image.find(id);
                const bool differs = before == image.end() || before->second != value;
                if (listed != differs) ++misreported;
            }
        }
        lastReported = reported;
        image = now;
        tradeTime = t;
        ++updates;
        log.threads.push_back(std::this_thread::get_id());
        log.changed.notify_all();
    }

    Recorder log;
    Gate* gate = nullptr;
    int updates = 0;                 // log.mutex
    int misreported = 0;             // log.mutex
    std::vector<short> lastReported; // log.mutex
    std::map<short, double> image;   // log.mutex
    FeedTime tradeTime = 0;          // log.mutex
};

struct RecordEvent {
    int event;
    long first, second;
};

class BarSink : public ITRecSetSink {
public:
    void onRecordSetEvent(TRecordSet*, int event, long first, long second) override {
        std::lock_guard<std::mutex> lock(log.mutex);
        events.push_back({event, first, second});
        log.threads.push_back(std::this_thread::get_id());
        log.changed.notify_all();
    }
    bool hasEvent(int event) {
        return std::any_of(events.begin(), events.end(), [&](const RecordEvent& e) { return e.event == event; });
    }

    Recorder log;
    std::vector<RecordEvent> events;  // log.mutex
};

struct BarValues {
    double open, high, low, close, volume;
    FeedTime start, end;
};

BarValues readBar(TRecordSet* set, long index) {
    BarValues bar{};
    EXPECT_TRUE(set->GetRecDouble(index, set->GetFieldIx("Open"), &bar.open));
    EXPECT_TRUE(set->GetRecDouble(index, set->GetFieldIx("High"), &bar.high));
    EXPECT_TRUE(set->GetRecDouble(index, set->GetFieldIx("Low"), &bar.low));
    EXPECT_TRUE(set->GetRecDouble(index, set->GetFieldIx("Close"), &bar.close));
    EXPECT_TRUE(set->GetRecDouble(index, set->GetFieldIx("Volume"), &bar.volume));
    EXPECT_TRUE(set->GetETime(index, 1, &bar.start));
    EXPECT_TRUE(set->GetETime(index, 2, &bar.end));
    return bar;
}

std::vector<BarValues> readAll(TRecordSet* set) {
    std::vector<BarValues> bars;
    set->EnterRead();
    if (set->hasRecords != 0)
        for (long i = set->firstRecord - set->recordBase; i <= set->lastRecord - set->recordBase; ++i)
            bars.push_back(readBar(set, i));
    set->LeaveRead();
    return bars;
}

class SimFeed : public ::testing::Test {
protected:
    void SetUp() override {
        simfeed_reset();
        simfeed_set_update_rate(0);
        start = pTellivarClient->MakeTime(2024, 3, 5, 14, 7, 50);
        simfeed_set_clock(start, 0);
        baseline = simfeed_live_sets();
    }
    void TearDown() override {
        for (TRecordSet* set : recordSets) pTellivarClient->DeleteTRecordSet(set);
        for (SnapshotSet* set : snapshots) pTellivarClient->DeleteSnapshotSet(set);
        pTellivarClient->Disconnect();
        pTellivarClient->Shutdown();
        EXPECT_EQ(simfeed_live_sets(), baseline) << "every set created was deleted";
        simfeed_reset();
    }

    void logOn() {
        ASSERT_TRUE(pTellivarClient->Connect(&status));
        ASSERT_TRUE(status.log.waitFor([&] { return std::count(status.log.events.begin(), status.log.events.end(),
                                                               "ready") > 0; }));
    }
    SnapshotSet* subscribe(const char* symbol, QuoteSink& sink) {
        SnapshotSet* set = pTellivarClient->CreateSnapshotSet(symbol);
        if (set == nullptr) return nullptr;
        snapshots.push_back(set);
        set->sink = &sink;
        set->Init();
        return set;
    }
    TRecordSet* open(const char* query, BarSink& sink, bool history) {
        TRecordSet* set = pTellivarClient->CreateTRecordSet(query);
        if (set == nullptr) return nullptr;
        recordSets.push_back(set);
        if (history) set->sinkMode = 0;
        set->SetSink(&sink);
        return set;
    }
    void forget(TRecordSet* set) { recordSets.erase(std::find(recordSets.begin(), recordSets.end(), set)); }
    void forget(SnapshotSet* set) { snapshots.erase(std::find(snapshots.begin(), snapshots.end(), set)); }
    static bool completed(BarSink& sink, long asked) {
        return std::any_of(sink.events.begin(), sink.events.end(), [&](const RecordEvent& e) {
            return e.event == 1 && e.first == -(asked - 1) && e.second != 0;
        });
    }

    // Sinks belong to the fixture: they outlive TearDown, which deletes every
    // set and stops the feed thread, so no callback can reach a sink that is gone.
    QuoteSink& quoteSink() { return *quoteSinks.emplace_back(std::make_unique<QuoteSink>()); }
    BarSink& barSink() { return *barSinks.emplace_back(std::make_unique<BarSink>()); }

    FeedTime start = 0;
    int baseline = 0;
    StatusSink status;
    std::vector<std::unique_ptr<QuoteSink>> quoteSinks;
    std::vector<std::unique_ptr<BarSink>> barSinks;
    std::vector<TRecordSet*> recordSets;
    std::vector<SnapshotSet*> snapshots;
};

// ---- Connection ---------------------------------------------------------------------

TEST_F(SimFeed, ShouldLogOnTheDemoAccountOnTheFeedThreadInOrder) {
    logOn();
    EXPECT_EQ(status.log.eventsCopy(), (std::vector<std::string>{"credentials", "logon", "ready"}));
    EXPECT_TRUE(status.log.allOnOtherThreadThan(std::this_thread::get_id()));
    EXPECT_EQ(simfeed_logged_on(), 1);

    pTellivarClient->Disconnect();
    ASSERT_TRUE(status.log.waitFor([&] { return status.log.events.size() == 4; }));
    EXPECT_EQ(status.log.eventsCopy().back(), "logoff");
    EXPECT_EQ(simfeed_logged_on(), 0);
}

TEST_F(SimFeed, ShouldRejectWrongCredentialsWithAMessageThenLogOff) {
    StatusSink wrong("demo", "guess");
    ASSERT_TRUE(pTellivarClient->Connect(&wrong));
    ASSERT_TRUE(wrong.log.waitFor([&] { return wrong.log.events.size() == 3; }));
    EXPECT_EQ(wrong.log.eventsCopy(),
              (std::vector<std::string>{"credentials", std::string("message:") + kBadCredentials, "logoff"}));

    StatusSink nobody("", "");
    ASSERT_TRUE(pTellivarClient->Connect(&nobody));
    ASSERT_TRUE(nobody.log.waitFor([&] { return nobody.log.events.size() == 3; }));
    EXPECT_EQ(nobody.log.eventsCopy()[1], std::string("message:") + kNoUser);
    pTellivarClient->Disconnect();
    pTellivarClient->Shutdown();
}

TEST_F(SimFeed, ShouldAcceptOtherAccountsWhenToldTo) {
    simfeed_set_demo_account("alice", "secret");
    StatusSink alice("alice", "secret");
    ASSERT_TRUE(pTellivarClient->Connect(&alice));
    ASSERT_TRUE(alice.log.waitFor([&] { return alice.log.events.size() == 3; }));
    EXPECT_EQ(alice.log.eventsCopy().back(), "ready");
    pTellivarClient->Disconnect();

    simfeed_set_accept_any(1);
    StatusSink anyone("bob", "whatever");
    ASSERT_TRUE(pTellivarClient->Connect(&anyone));
    ASSERT_TRUE(anyone.log.waitFor([&] { return anyone.log.events.size() == 3; }));
    EXPECT_EQ(anyone.log.eventsCopy().back(), "ready");
    pTellivarClient->Disconnect();
    pTellivarClient->Shutdown();
}

TEST_F(SimFeed, ShouldLogOnOnceWhenConnectIsRepeatedQuickly) {
    // The session's first setup: Disconnect, Connect, Disconnect, Connect.
    pTellivarClient->Disconnect();
    pTellivarClient->Connect(&status);
    pTellivarClient->Disconnect();
    pTellivarClient->Connect(&status);
    ASSERT_TRUE(status.log.waitFor([&] { return status.log.events.size() >= 3; }));
    simfeed_flush();
    EXPECT_EQ(status.log.eventsCopy(), (std::vector<std::string>{"credentials", "logon", "ready"}));
}

TEST_F(SimFeed, ShouldRestartItsThreadAfterShutdown) {
    logOn();
    pTellivarClient->Disconnect();
    pTellivarClient->Shutdown();
    EXPECT_EQ(status.log.eventsCopy().back(), "logoff") << "Shutdown delivers what was asked before it";
    StatusSink again;
    ASSERT_TRUE(pTellivarClient->Connect(&again));
    EXPECT_TRUE(again.log.waitFor([&] { return again.log.events.size() == 3; }));
    pTellivarClient->Disconnect();
    pTellivarClient->Shutdown();
    EXPECT_EQ(again.log.eventsCopy().back(), "logoff");
}

// Stops the client from inside its onReady, then connects `next`: from the
// same callback, or from the test's thread while the callback still runs.
class ShutdownOnReady : public StatusSink {
public:
    enum class ConnectFrom { TheCallback, AHostThreadMeanwhile };
    ShutdownOnReady(ConnectFrom from, StatusSink& next) : from(from), next(next) {}
    void onReady() override {
        StatusSink::onReady();
        pTellivarClient->Shutdown();
        if (from == ConnectFrom::TheCallback) {
            pTellivarClient->Connect(&next);
            return;
        }
        stopped.set_value();
        connected.wait_for(kPatience);
    }

    const ConnectFrom from;
    StatusSink& next;
    std::promise<void> stopped;
    std::shared_future<void> connected;
};

TEST_F(SimFeed, ShouldServeAConnectMadeBehindAShutdownFromACallback) {
    for (const auto from : {ShutdownOnReady::ConnectFrom::TheCallback, ShutdownOnReady::ConnectFrom::AHostThreadMeanwhile}) {
        SCOPED_TRACE(from == ShutdownOnReady::ConnectFrom::TheCallback ? "from the callback" : "from a host thread");
        StatusSink next;
        ShutdownOnReady first(from, next);
        std::promise<void> connected;
        first.connected = connected.get_future().share();
        std::future<void> stopped = first.stopped.get_future();
        ASSERT_TRUE(pTellivarClient->Connect(&first));
        if (from == ShutdownOnReady::ConnectFrom::AHostThreadMeanwhile) {
            ASSERT_EQ(stopped.wait_for(kPatience), std::future_status::ready);
            ASSERT_TRUE(pTellivarClient->Connect(&next));  // the feed thread is still in onReady
            connected.set_value();
        }
        ASSERT_TRUE(next.log.waitFor([&] { return next.log.events.size() == 3; })) << "the Connect was lost";
        EXPECT_EQ(next.log.eventsCopy(), (std::vector<std::string>{"credentials", "logon", "ready"}));
        EXPECT_EQ(first.log.eventsCopy(), (std::vector<std::string>{"credentials", "logon", "ready"}))
            << "nothing more reaches the sink of the stopped connection";
        pTellivarClient->Disconnect();
        pTellivarClient->Shutdown();
        EXPECT_EQ(next.log.eventsCopy().back(), "logoff");
    }
}

// Raised by the destructor of a thread_local of the feed thread: the thread ended.
std::atomic<bool> feedThreadEnded{false};
struct FeedThreadEndMarker {
    ~FeedThreadEndMarker() { feedThreadEnded.store(true); }
};
std::atomic<bool> exitBegun{false};

// Shuts the client down from onReady, then stays in the callback until the
// process has begun to exit, and a while longer.
class ShutdownThenLinger : public StatusSink {
public:
    void onReady() override {
        thread_local FeedThreadEndMarker marker;
        static_cast<void>(&marker);
        pTellivarClient->Shutdown();
        shutDown.store(true);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!exitBegun.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Gives an exit that does not wait for the feed thread every chance to go on.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::atomic<bool> shutDown{false};
};

// Made before the first Connect, so destroyed after the client's exit handler ran.
struct FeedThreadEndedAtExit {
    ~FeedThreadEndedAtExit() {
        if (!feedThreadEnded.load()) std::_Exit(99);
    }
};

TEST_F(SimFeed, ShouldWaitAtExitForAThreadShutDownFromItsOwnCallback) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static FeedThreadEndedAtExit check;
            static ShutdownThenLinger sink;
            pTellivarClient->Connect(&sink);
            while (!sink.shutDown.load()) std::this_thread::yield();
            // Registered after the client's exit handler, so it runs before it.
            std::atexit([] { exitBegun.store(true); });
            std::exit(7);
        },
        ::testing::ExitedWithCode(7), "");
}

// A static sink made before the first Connect, like a plug-in's static
// objects: destroyed at exit, after which any callback reaching it fails.
std::atomic<bool> staticSinkGone{false};
struct StaticQuoteSink : ISSSetSink {
    void onSnapshotUpdate(SnapshotSet*, std::uint8_t, const std::uint8_t*) override {
        if (staticSinkGone.load()) std::_Exit(99);
        updates.fetch_add(1);
    }
    ~StaticQuoteSink() {
        staticSinkGone.store(true);
        // Gives a feed thread still running at exit every chance to call in.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::atomic<int> updates{0};
};

TEST_F(SimFeed, ShouldStopItsThreadWhenTheProcessExitsWithoutShutdown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static StaticQuoteSink quotes;
            static StatusSink sink;
            simfeed_set_update_rate(1000);
            simfeed_set_clock(start, 60);
            pTellivarClient->Connect(&sink);
            sink.log.waitFor([&] { return sink.log.events.size() == 3; });
            SnapshotSet* set = pTellivarClient->CreateSnapshotSet("ACME");
            set->sink = &quotes;
            set->Init();
            while (quotes.updates.load() < 5) std::this_thread::yield();
            std::exit(7);  // no Disconnect, no Shutdown, the feed firing
        },
        ::testing::ExitedWithCode(7), "");
}

// ---- Feed time ----------------------------------------------------------------------

TEST_F(SimFeed, ShouldConvertFeedTimesBothWays) {
    EXPECT_EQ(pTellivarClient->MakeTime(1970, 1, 1, 0, 0, 0), 0u);
    EXPECT_EQ(pTellivarClient->MakeTime(2000, 1, 1, 0, 0, 0), 946684800u);
    EXPECT_EQ(pTellivarClient->MakeTime(2106, 2, 7, 6, 28, 15), 4294967295u);
    EXPECT_EQ(pTellivarClient->MakeTime(2024, 0, 15, 0, 0, 0), pTellivarClient->MakeTime(2023, 12, 15, 0, 0, 0))
        << "month 0 is December of the year before";
    EXPECT_EQ(pTellivarClient->MakeTime(2024, 3, 0, 0, 0, 0), pTellivarClient->MakeTime(2024, 2, 29, 0, 0, 0));
    EXPECT_EQ(pTellivarClient->MakeTime(1900, 1, 1, 0, 0, 0), 0u) << "before 1970 clamps to 0";

    int y, mo, d, h, mi, s;
    const FeedTime t = pTellivarClient->MakeTime(2004, 3, 5, 14, 7, 9);
    pTellivarClient->GetYMD(t, &y, &mo, &d);
    pTellivarClient->GetHMS(t, &h, &mi, &s);
    EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s}), (std::vector<int>{2004, 3, 5, 14, 7, 9}));

    for (std::uint64_t probe = 0; probe <= 0xFFFFFFFFull; probe += 7777777) {
        const auto time = static_cast<FeedTime>(probe);
        pTellivarClient->GetYMD(time, &y, &mo, &d);
        pTellivarClient->GetHMS(time, &h, &mi, &s);
        ASSERT_EQ(pTellivarClient->MakeTime(y, mo, d, h, mi, s), time) << probe;
        ASSERT_TRUE(mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && s < 60) << probe;
    }
}

// ---- Symbols and queries ---------------------------------------------------------------

TEST_F(SimFeed, ShouldRejectTextsOutsideTheSymbolAndQuerySyntax) {
    for (const char* bad : {"", "abc", "1ABC", "AB C", "ABCDEFGHIJKLM", "AB/C", "ABC,D1"})
        EXPECT_EQ(pTellivarClient->CreateSnapshotSet(bad), nullptr) << bad;
    EXPECT_EQ(pTellivarClient->CreateSnapshotSet(nullptr), nullptr);
    for (const char* bad : {"XYZ", "XYZ,", "XYZ,0", "XYZ,D0", "XYZ,x1", "xyz,D1", "XYZ,D1,&EndETime=",
                            "XYZ,D1,&EndETime=12a", "XYZ,1441", "XYZ,D1000", "XYZ,D1,&EndETime=4294967296",
                            "XYZ,D1,EndETime=5", " XYZ,D1"})
        EXPECT_EQ(pTellivarClient->CreateTRecordSet(bad), nullptr) << bad;
    EXPECT_EQ(pTellivarClient->CreateTRecordSet(nullptr), nullptr);
    EXPECT_EQ(simfeed_live_sets(), baseline);

    BarSink& sink = barSink();
    for (const char* good : {"XYZ,D1", "XYZ,5", "XYZ,m15", "XYZ,W2", "XYZ,M1", "BRK.B,D1,&EndETime=1700000000",
                             "A-1,1440", "ABCDEFGHIJKL,m1"})
        EXPECT_NE(open(good, sink, true), nullptr) << good;
    QuoteSink& quotes = quoteSink();
    EXPECT_NE(subscribe("BRK.B", quotes), nullptr);
    EXPECT_EQ(simfeed_live_sets(), baseline + 9);
}

// ---- Snapshots ------------------------------------------------------------------------

TEST_F(SimFeed, ShouldSendTheWholeImageFirstThenOnlyChangedFields) {
    logOn();
    QuoteSink& sink = quoteSink();
    SnapshotSet* set = subscribe("ACME", sink);
    ASSERT_NE(set, nullptr);
    ASSERT_TRUE(sink.log.waitFor([&] { return sink.updates == 1; }));
    {
        std::lock_guard<std::mutex> lock(sink.log.mutex);
        EXPECT_EQ(sink.lastReported.size(), sink.image.size()) << "the first update lists every field held";
        for (short text : {kOpenInt, kTitle, kSymbol}) EXPECT_EQ(sink.image.count(text), 0u) << text;
        EXPECT_EQ(sink.tradeTime, start);
        EXPECT_EQ(sink.image[kTradeTime], static_cast<double>(start));
        EXPECT_LE(sink.image[kLow], sink.image[kTrade]);
        EXPECT_GE(sink.image[kHigh], sink.image[kTrade]);
        EXPECT_LT(sink.image[kBid], sink.image[kAsk]);
        EXPECT_GT(sink.image[kVolume], 0);
        EXPECT_GT(sink.image[kOpen], 0);
        EXPECT_GT(sink.image[kVwap], 0);
    }
    for (int i = 1; i <= 20; ++i) {
        simfeed_advance_clock(3.5);
        simfeed_trade_now();
        ASSERT_TRUE(sink.log.waitFor([&] { return sink.updates == 1 + i; })) << i;
    }
    EXPECT_TRUE(sink.log.allOnOtherThreadThan(std::this_thread::get_id()));
    std::lock_guard<std::mutex> lock(sink.log.mutex);
    EXPECT_EQ(sink.misreported, 0);
    EXPECT_EQ(sink.tradeTime, start + 70);
}

TEST_F(SimFeed, ShouldSendNothingWhileTheClockStandsStill) {
    logOn();
    QuoteSink& sink = quoteSink();
    subscribe("ACME", sink);
    ASSERT_TRUE(sink.log.waitFor([&] { return sink.updates == 1; }));
    simfeed_trade_now();
    simfeed_flush();
    std::lock_guard<std::mutex> lock(sink.log.mutex);
    EXPECT_EQ(sink.updates, 1);
}

TEST_F(SimFeed, ShouldWaitForTheLogonBeforeSendingQuotes) {
    QuoteSink& sink = quoteSink();
    subscribe("ACME", sink);
    simfeed_flush();
    EXPECT_EQ(sink.updates, 0);
    logOn();
    EXPECT_TRUE(sink.log.waitFor([&] { return sink.updates == 1; }));
}

// ---- Record sets ------------------------------------------------------------------------

TEST_F(SimFeed, ShouldAnswerDailyHistoryAtOnceWithOffsetIndexes) {
    logOn();
    BarSink& sink = barSink();
    const FeedTime end = pTellivarClient->MakeTime(2024, 1, 10, 12, 0, 0);
    const std::string query = "ACME,D1,&EndETime=" + std::to_string(end);
    TRecordSet* set = open(query.c_str(), sink, true);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->Init(101, 0), 3);
    ASSERT_NE(set->recordBase, 0);
    ASSERT_NE(set->hasRecords, 0);
    EXPECT_EQ(set->lastRecord - set->firstRecord + 1, 101);
    double value = 0;
    EXPECT_FALSE(set->GetRecDouble(set->firstRecord, set->GetFieldIx("Close"), &value))
        << "an index that forgot to subtract recordBase";
    EXPECT_FALSE(set->GetRecDouble(set->lastRecord - set->recordBase + 1, set->GetFieldIx("Close"), &value));
    value = -7;
    EXPECT_FALSE(set->GetRecDouble(set->firstRecord - set->recordBase, set->GetFieldIx("OpenInt"), &value));
    EXPECT_EQ(value, -7);

    const auto bars = readAll(set);
    ASSERT_EQ(bars.size(), 101u);
    EXPECT_EQ(bars.back().start, pTellivarClient->MakeTime(2024, 1, 10, 0, 0, 0));
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const auto& b = bars[i];
        // Trading days only: Friday's bar ends when Monday's begins (1970-01-01 was a Thursday).
        const bool friday = (b.start / 86400 + 3) % 7 == 4;
        EXPECT_EQ(b.end - b.start, friday ? 3 * 86400u : 86400u);
        EXPECT_LE(b.low, std::min(b.open, b.close));
        EXPECT_GE(b.high, std::max(b.open, b.close));
        EXPECT_GT(b.volume, 0);
        if (i > 0) {
            EXPECT_EQ(b.start, bars[i - 1].end);
            EXPECT_EQ(b.open, bars[i - 1].close) << "no overnight gaps";
        }
    }
    simfeed_flush();
    EXPECT_TRUE(sink.events.empty()) << "history answered at once raises no event";
}

TEST_F(SimFeed, ShouldRepeatTheSameMarketForTheSameSymbol) {
    logOn();
    BarSink& sink = barSink();
    const std::string query = "ACME,W1,&EndETime=" + std::to_string(start);
    TRecordSet* first = open(query.c_str(), sink, true);
    TRecordSet* second = open(query.c_str(), sink, true);
    TRecordSet* other = open(("OTHER,W1,&EndETime=" + std::to_string(start)).c_str(), sink, true);
    ASSERT_EQ(first->Init(30, 0), 3);
    ASSERT_EQ(second->Init(30, 0), 3);
    ASSERT_EQ(other->Init(30, 0), 3);
    const auto a = readAll(first), b = readAll(second), c = readAll(other);
    ASSERT_EQ(a.size(), 30u);
    ASSERT_EQ(b.size(), 30u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].close, b[i].close);
        EXPECT_EQ(a[i].volume, b[i].volume);
    }
    EXPECT_NE(a.back().close, c.back().close);
    // Weekly bars start on Mondays: 1970-01-05 was one.
    EXPECT_EQ((a.back().start / 86400 - 4) % 7, 0u);
}

TEST_F(SimFeed, ShouldLoadLongIntradayHistoryInChunksOnTheFeedThread) {
    logOn();
    BarSink& sink = barSink();
    TRecordSet* set = open("ACME,1", sink, true);
    ASSERT_NE(set, nullptr);
    const int result = set->Init(2501, 0);
    ASSERT_NE(result, 0);
    ASSERT_NE(result, 3);
    ASSERT_TRUE(sink.log.waitFor([&] { return completed(sink, 2501); }));
    {
        std::lock_guard<std::mutex> lock(sink.log.mutex);
        EXPECT_TRUE(sink.hasEvent(2)) << "progress came first";
        EXPECT_EQ(sink.events.back().event, 1);
        EXPECT_EQ(sink.events.back().second, 2501);
    }
    EXPECT_TRUE(sink.log.allOnOtherThreadThan(std::this_thread::get_id()));
    const auto bars = readAll(set);
    ASSERT_EQ(bars.size(), 2501u);
    for (std::size_t i = 1; i < bars.size(); ++i) ASSERT_EQ(bars[i].start, bars[i - 1].end) << i;
    EXPECT_EQ(bars.back().start, start - 50) << "the newest bar is the one forming now";
}

TEST_F(SimFeed, ShouldCompleteAMinuteHistoryAskedBeyondTheCapWithTheCappedBars) {
    logOn();
    BarSink& sink = barSink();
    TRecordSet* set = open("ACME,1", sink, true);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->Init(200001, 0), 1);  // a host request of 200,000 records
    ASSERT_TRUE(sink.log.waitFor([&] { return completed(sink, 200001); }));
    set->EnterRead();
    EXPECT_EQ(set->lastRecord - set->firstRecord + 1, 200000);
    set->LeaveRead();
}

TEST_F(SimFeed, ShouldPriceTradesWithinTheBarsOfTheSameMoment) {
    logOn();
    QuoteSink& quotes = quoteSink();
    subscribe("ACME", quotes);
    ASSERT_TRUE(quotes.log.waitFor([&] { return quotes.updates == 1; }));
    BarSink& sink = barSink();
    TRecordSet* minutes = open("ACME,m1", sink, true);
    ASSERT_EQ(minutes->Init(10, 0), 3);
    TRecordSet* days = open("ACME,D1", sink, true);
    ASSERT_EQ(days->Init(2, 0), 3);
    const auto m = readAll(minutes), d = readAll(days);
    std::lock_guard<std::mutex> lock(quotes.log.mutex);
    EXPECT_EQ(m.back().close, quotes.image[kTrade]);
    EXPECT_EQ(d.back().close, quotes.image[kTrade]);
    EXPECT_EQ(d.back().high, quotes.image[kHigh]);
    EXPECT_EQ(d.back().low, quotes.image[kLow]);
    EXPECT_EQ(d.back().volume, quotes.image[kVolume]);
    EXPECT_EQ(d.back().open, quotes.image[kOpen]);
}

TEST_F(SimFeed, ShouldFollowTradesInAnUpdateStreamAcrossABarBoundary) {
    logOn();
    BarSink& sink = barSink();
    TRecordSet* set = open("ACME,m1", sink, false);
    set->Init(2, 0);
    ASSERT_TRUE(sink.log.waitFor([&] { return completed(sink, 2); }));
    auto bars = readAll(set);
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[1].start, start - 50);
    EXPECT_EQ(bars[0].end, bars[1].start);
    const std::int32_t firstBefore = set->firstRecord;

    simfeed_advance_clock(5);  // 14:07:55, same bar
    simfeed_trade_now();
    ASSERT_TRUE(sink.log.waitFor([&] { return sink.events.size() == 2; }));
    EXPECT_EQ(sink.events.back().event, 3);
    EXPECT_EQ(sink.events.back().second, 0);
    EXPECT_EQ(set->firstRecord, firstBefore);

    simfeed_advance_clock(10);  // 14:08:05, a new bar
    simfeed_trade_now();
    ASSERT_TRUE(sink.log.waitFor([&] { return sink.events.size() == 3; }));
    EXPECT_EQ(sink.events.back().second, 1);
    EXPECT_EQ(set->firstRecord, firstBefore + 1);
    EXPECT_EQ(sink.events.back().first, set->lastRecord - set->recordBase);
    const auto after = readAll(set);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].start, bars[1].start) << "the forming bar became the previous one";
    EXPECT_EQ(after[1].start, start + 10);

    // The live bar agrees with history asked for afterwards.
    BarSink& historySink = barSink();
    TRecordSet* history = open("ACME,m1", historySink, true);
    ASSERT_EQ(history->Init(2, 0), 3);
    const auto past = readAll(history);
    EXPECT_EQ(past[0].close, after[0].close);
    EXPECT_EQ(past[0].high, after[0].high);
    EXPECT_EQ(past[0].volume, after[0].volume);
    EXPECT_EQ(past[1].close, after[1].close);
}

// ---- Deletion --------------------------------------------------------------------------

TEST_F(SimFeed, ShouldNotWaitInDeleteForACallbackInProgress) {
    logOn();
    Gate gate;
    QuoteSink& sink = quoteSink();
    sink.gate = &gate;
    SnapshotSet* set = subscribe("ACME", sink);
    ASSERT_EQ(gate.entered.get_future().wait_for(kPatience), std::future_status::ready);
    // The first image's callback is held open on the feed thread. A Delete
    // that waited for it would never return here.
    pTellivarClient->DeleteSnapshotSet(set);
    forget(set);
    EXPECT_EQ(simfeed_live_sets(), baseline);
    gate.release.set_value();  // the callback goes on reading the deleted set
    simfeed_advance_clock(5);
    simfeed_trade_now();
    simfeed_flush();
    std::lock_guard<std::mutex> lock(sink.log.mutex);
    EXPECT_EQ(sink.updates, 1) << "the callback in progress finished, and no other started";
}

TEST_F(SimFeed, ShouldSurviveDeletingSetsWhileTheFeedFires) {
    simfeed_set_clock(start, 60);
    simfeed_set_update_rate(1000);
    logOn();
    std::vector<std::unique_ptr<QuoteSink>> quoteSinks;
    std::vector<std::unique_ptr<BarSink>> barSinks;
    for (int round = 0; round < 5; ++round) {
        std::vector<SnapshotSet*> quotes;
        std::vector<TRecordSet*> streams;
        for (const char* symbol : {"AAA", "BBB", "CCC", "DDD"}) {
            quoteSinks.push_back(std::make_unique<QuoteSink>());
            quotes.push_back(subscribe(symbol, *quoteSinks.back()));
            barSinks.push_back(std::make_unique<BarSink>());
            streams.push_back(open((std::string(symbol) + ",m1").c_str(), *barSinks.back(), false));
            streams.back()->Init(2, 0);
        }
        ASSERT_TRUE(quoteSinks.back()->log.waitFor([&] { return quoteSinks.back()->updates > 3; }));
        for (SnapshotSet* set : quotes) {
            pTellivarClient->DeleteSnapshotSet(set);
            forget(set);
        }
        for (TRecordSet* set : streams) {
            pTellivarClient->DeleteTRecordSet(set);
            forget(set);
        }
    }
    simfeed_flush();
    EXPECT_EQ(simfeed_live_sets(), baseline);
    for (auto& sink : quoteSinks) EXPECT_EQ(sink->misreported, 0);
}

// ---- Faults -----------------------------------------------------------------------------

TEST_F(SimFeed, ShouldReconnectAfterADroppedConnectionAndResendImages) {
    simfeed_set_reconnect_delay_ms(20);
    logOn();
    QuoteSink& sink = quoteSink();
    subscribe("ACME", sink);
    ASSERT_TRUE(sink.log.waitFor([&] { return sink.updates == 1; }));
    simfeed_drop_connection();
    ASSERT_TRUE(status.log.waitFor([&] { return status.log.events.size() == 7; }));
    EXPECT_EQ(status.log.eventsCopy(), (std::vector<std::string>{"credentials", "logon", "ready", "logoff",
                                                                 "credentials", "logon", "ready"}));
    ASSERT_TRUE(sink.log.waitFor([&] { return sink.updates == 2; }));
    std::lock_guard<std::mutex> lock(sink.log.mutex);
    EXPECT_EQ(sink.lastReported.size(), sink.image.size()) << "a fresh image after the new logon";
}

TEST_F(SimFeed, ShouldPassMessagesAndRejectCreationsOnDemand) {
    logOn();
    simfeed_send_message("Exchange closes early today");
    ASSERT_TRUE(status.log.waitFor([&] { return status.log.events.size() == 4; }));
    EXPECT_EQ(status.log.eventsCopy().back(), "message:Exchange closes early today");

    simfeed_reject_next_create(2);
    EXPECT_EQ(pTellivarClient->CreateSnapshotSet("ACME"), nullptr);
    EXPECT_EQ(pTellivarClient->CreateTRecordSet("ACME,D1"), nullptr);
    QuoteSink& sink = quoteSink();
    EXPECT_NE(subscribe("ACME", sink), nullptr);
}

TEST_F(SimFeed, ShouldFailOrStallHistoryOnDemand) {
    logOn();
    BarSink& sink = barSink();
    simfeed_fail_next_history_init(1);
    EXPECT_EQ(open("ACME,D1", sink, true)->Init(10, 0), 0);
    EXPECT_EQ(open("ACME,D1", sink, true)->Init(10, 0), 3) << "only the next one fails";

    simfeed_stall_history(1);
    BarSink& stalled = barSink();
    TRecordSet* set = open("ACME,D1", stalled, true);
    EXPECT_EQ(set->Init(10, 0), 1);
    simfeed_flush();
    simfeed_flush();
    EXPECT_TRUE(stalled.events.empty());
    EXPECT_EQ(set->hasRecords, 0);
    simfeed_stall_history(0);
    ASSERT_TRUE(stalled.log.waitFor([&] { return completed(stalled, 10); }));
    EXPECT_EQ(readAll(set).size(), 10u);
}

// Sets a variable for one test and restores the settings afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnv() {
        unsetenv(name_);
        simfeed_reset();
    }

private:
    const char* name_;
};

TEST_F(SimFeed, ShouldTakeItsSettingsFromTheEnvironment) {
    ScopedEnv anyone("SIMFEED_ACCEPT_ANY", "1");
    ScopedEnv history("SIMFEED_HISTORY", "fail");
    ScopedEnv clock("SIMFEED_START", "2020-02-29T23:59:30");
    ScopedEnv speed("SIMFEED_SPEED", "0");
    ScopedEnv drops("SIMFEED_DROP_EVERY", "0.05");
    ScopedEnv reconnect("SIMFEED_RECONNECT_MS", "1");
    simfeed_reset();
    EXPECT_EQ(simfeed_now(), pTellivarClient->MakeTime(2020, 2, 29, 23, 59, 30));
    StatusSink stranger("stranger", "");
    ASSERT_TRUE(pTellivarClient->Connect(&stranger));
    // Logged on, then dropped and logged on again, twice.
    ASSERT_TRUE(stranger.log.waitFor([&] {
        return std::count(stranger.log.events.begin(), stranger.log.events.end(), "ready") >= 3;
    }));
    EXPECT_GE(stranger.log.countOf("logoff"), 2u);
    BarSink& sink = barSink();
    EXPECT_EQ(open("ACME,D1", sink, true)->Init(5, 0), 0);
    EXPECT_EQ(open("ACME,D1", sink, true)->Init(5, 0), 0) << "every history fails";
    pTellivarClient->Disconnect();
    pTellivarClient->Shutdown();
}

TEST_F(SimFeed, ShouldLoadHistoryAskedBeforeTheLogonOnceLoggedOn) {
    BarSink& sink = barSink();
    TRecordSet* set = open("ACME,D1", sink, true);
    EXPECT_EQ(set->Init(5, 0), 1);
    logOn();
    ASSERT_TRUE(sink.log.waitFor([&] { return completed(sink, 5); }));
    EXPECT_EQ(readAll(set).size(), 5u);
}

}  // namespace
