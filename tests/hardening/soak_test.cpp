// A soak of the real plug-in against the stand-in feed at its highest rate,
// with the connection dropped on a schedule, checking every notification
// against the feed's own sets at that moment:
// - live quotes: every subscribed value equals the feed's;
// - update stream: the values equal the feed's newest bar; within a bar the
//   open stays, the high never falls, the low never rises, the volume never
//   falls; a new bar starts where the last one ended (none skipped);
// - history asked after each reconnect: contiguous minute bars, no repeats,
//   equal to the feed's records.
// Resident memory at start and end is reported. TELLIVAR_SOAK_SECONDS sets
// the duration (20 by default).
#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>

#include "support/host_fakes.h"
#include "feed/TellivarClient.h"
#include "simfeed/control.h"

namespace {

constexpr const char* kSymbols[] = {"ACME", "GLOBEX", "INITECH", "BRK.B"};
// Subscribed quote fields and their feed ids.
constexpr std::pair<const char*, short> kQuoteFields[] = {
    {"Trade", 3}, {"Bid", 6}, {"Ask", 7}, {"Volume", 10}, {"TradeSize", 12}, {"VWAP", 51}};
constexpr const char* kBarFields[] = {"Open", "High", "Low", "Close", "Volume"};
constexpr int kHistoryBars = 300;
constexpr int kDropEveryMs = 1500;

long residentKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long long secondsOf(const data::CalendarRecord& t) {
    return static_cast<long long>(pTellivarClient->MakeTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                                                            t.tm_min, t.tm_sec));
}

// Stands between the plug-in and the stand-in, forwarding every call and
// remembering the sets it hands out, so the checks can read the very set a
// supplier reads.
class WatchingClient : public TellivarClient {
public:
    explicit WatchingClient(TellivarClient* real) : real(real) {}
    bool Connect(EConnectStatus* status) override { return real->Connect(status); }
    void SendLogon(const char* user, const char* password) override { real->SendLogon(user, password); }
    void Disconnect() override { real->Disconnect(); }
    void Shutdown() override { real->Shutdown(); }
    TRecordSet* CreateTRecordSet(const char* query) override {
        TRecordSet* set = real->CreateTRecordSet(query);
        std::lock_guard<std::mutex> lock(mutex);
        if (set != nullptr) recordSets[query] = set;  // the newest set of a query
        return set;
    }
    SnapshotSet* CreateSnapshotSet(const char* symbol) override {
        SnapshotSet* set = real->CreateSnapshotSet(symbol);
        std::lock_guard<std::mutex> lock(mutex);
        if (set != nullptr) snapshots[symbol] = set;
        return set;
    }
    void DeleteTRecordSet(TRecordSet* set) override { real->DeleteTRecordSet(set); }
    void DeleteSnapshotSet(SnapshotSet* set) override { real->DeleteSnapshotSet(set); }
    FeedTime MakeTime(int y, int mo, int d, int h, int mi, int s) override { return real->MakeTime(y, mo, d, h, mi, s); }
    void GetYMD(FeedTime time, int* y, int* m, int* d) override { real->GetYMD(time, y, m, d); }
    void GetHMS(FeedTime time, int* h, int* m, int* s) override { real->GetHMS(time, h, m, s); }

    SnapshotSet* snapshot(const std::string& symbol) {
        std::lock_guard<std::mutex> lock(mutex);
        return snapshots[symbol];
    }
    TRecordSet* recordSet(const std::string& query) {
        std::lock_guard<std::mutex> lock(mutex);
        return recordSets[query];
    }

    TellivarClient* const real;
    std::mutex mutex;
    std::map<std::string, SnapshotSet*> snapshots;    // mutex
    std::map<std::string, TRecordSet*> recordSets;    // mutex
};

// The findings of every check, from any thread.
struct Tally {
    void fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failures++ == 0) first = what;
    }
    std::mutex mutex;
    long long quoteValues = 0, updates = 0, bars = 0, histories = 0;  // feed thread or test thread
    long long failures = 0;                                            // mutex
    std::string first;                                                 // mutex
};

// One value of the feed's record at `index`; false when it has none.
bool feedBarValue(TRecordSet* set, long index, const char* field, double& value) {
    return set->GetRecDouble(index, set->GetFieldIx(field), &value);
}

bool sameBar(TRecordSet* set, long index, const BarRead& bar) {
    const double read[] = {bar.open, bar.high, bar.low, bar.close, bar.volume};
    for (int i = 0; i < 5; ++i) {
        double value = 0;
        if (!feedBarValue(set, index, kBarFields[i], value) || value != read[i]) return false;
    }
    return true;
}

class QuoteChecker : public data::TickConsumer {
public:
    QuoteChecker(WatchingClient& feed, Tally& tally, std::string symbol) : feed(feed), tally(tally), symbol(symbol) {}
    // Runs on the feed thread inside its callback, so the set's values stand still.
    void ticksChanged(data::TickSupplier* supplier) override {
        SnapshotSet* set = feed.snapshot(symbol);
        for (const auto& [name, id] : kQuoteFields) {
            double expected = 0;
            if (!set->GetDouble(id, &expected)) continue;
            ++tally.quoteValues;
            if (supplier->getValue(name) != expected) tally.fail(symbol + " " + name + " differs from the feed");
        }
    }
    WatchingClient& feed;
    Tally& tally;
    const std::string symbol;
};

class UpdateChecker : public data::TickConsumer {
public:
    UpdateChecker(WatchingClient& feed, Tally& tally, std::string symbol)
        : feed(feed), tally(tally), symbol(symbol), query(std::string(symbol) + ",m1") {}
    void ticksChanged(data::TickSupplier* supplier) override {
        const BarRead bar = readBar(supplier);
        const long long start = secondsOf(bar.time);
        TRecordSet* set = feed.recordSet(query);
        ++tally.updates;
        // The feed thread is the set's only writer and is inside this call.
        if (set->hasRecords == 0 || !sameBar(set, set->lastRecord - set->recordBase, bar))
            tally.fail(symbol + " update differs from the feed's newest bar");
        if (seen && start == lastStart) {
            if (bar.open != last.open || bar.high < last.high || bar.low > last.low || bar.volume < last.volume)
                tally.fail(symbol + " bar moved backwards at " + std::to_string(start));
        } else {
            if (seen && start != lastStart + 60) tally.fail(symbol + " bar skipped after " + std::to_string(lastStart));
            ++tally.bars;
        }
        seen = true;
        lastStart = start;
        last = bar;
    }
    WatchingClient& feed;
    Tally& tally;
    const std::string symbol, query;
    bool seen = false;  // feed thread only, like the rest below
    long long lastStart = 0;
    BarRead last{};
};

// A minute history of `symbol`, checked against the feed's set once ready.
void checkHistory(data::DataInterface& iface, QuietContext& context, WatchingClient& feed, Tally& tally,
                  const char* symbol) {
    FakeRequest request(symbol);
    request.type = 1;
    request.number = 1;
    request.records = kHistoryBars;
    request.names.names = {"O", "H", "L", "C", "V"};
    HistoryWalker consumer;
    std::unique_ptr<data::HistorySupplier> supplier(iface.createHistorySupplier(&request, &consumer, &context));
    if (!supplier || !consumer.waitFor([&] { return consumer.calls > 0; }))
        return tally.fail(std::string("no history for ") + symbol);
    ++tally.histories;
    // Copied out first: the consumer's lock is taken inside the set's read
    // lock when it is told, so it must not be held while taking that one.
    std::vector<BarRead> forward, reverse;
    {
        std::lock_guard<std::mutex> lock(consumer.mutex);
        forward = consumer.forward;
        reverse = consumer.reverse;
    }
    TRecordSet* set = feed.recordSet(std::string(symbol) + ",1");
    set->EnterRead();
    const long first = set->firstRecord - set->recordBase;
    for (std::size_t i = 0; i < forward.size(); ++i) {
        const auto& bar = forward[i];
        if (i > 0 && secondsOf(bar.time) != secondsOf(forward[i - 1].time) + 60)
            tally.fail(std::string(symbol) + " history not contiguous at " + std::to_string(i));
        if (!sameBar(set, first + static_cast<long>(i), bar)) tally.fail(std::string(symbol) + " history differs");
    }
    set->LeaveRead();
    if (forward.size() != static_cast<std::size_t>(kHistoryBars) + 1 || reverse.size() != forward.size())
        tally.fail(std::string(symbol) + " history of " + std::to_string(forward.size()) + " bars");
}

int soakSeconds() {
    const char* text = std::getenv("TELLIVAR_SOAK_SECONDS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 20;
}

}  // namespace

TEST(Soak, ShouldMatchTheFeedInEveryNotificationThroughDropsAndReconnects) {
    // As a host does in production: no debug records at thousands of updates a second.
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->priority_mask(log->priority_mask(ACE_Log_Msg::PROCESS) & ~LM_DEBUG, ACE_Log_Msg::PROCESS);
    simfeed_reset();
    simfeed_set_clock(pTellivarClient->MakeTime(2024, 3, 5, 14, 0, 0), 30);  // a minute bar every 2 s
    simfeed_set_update_rate(2000);
    simfeed_set_reconnect_delay_ms(50);
    WatchingClient feed(pTellivarClient);
    pTellivarClient = &feed;
    Tally tally;
    long long drops = 0;
    long rssStart = 0;
    {
        LoadedPlugin plugin{TELLIVAR_PLUGIN_PATH};
        ASSERT_NE(plugin.init, nullptr) << dlerror();
        data::DataInterfaceFactory* factory = plugin.init();
        factory->setSetting("Username", "demo");
        factory->setSetting("Password", "demo");
        RecordingListener listener;
        factory->ability()->addListener(&listener);
        QuietContext context;  // keeps no lines: the resident memory is the plug-in's and the feed's
        std::unique_ptr<data::DataInterface> iface(factory->createDataInterface(&context));
        auto online = [&] { return !listener.seen.empty() && listener.seen.back(); };
        factory->connectionControl(&context, true);
        ASSERT_TRUE(listener.waitFor(online));

        std::deque<QuoteChecker> quoteCheckers;  // deques: the suppliers keep their addresses
        std::deque<UpdateChecker> updateCheckers;
        std::vector<std::unique_ptr<data::TickSupplier>> suppliers;
        for (const char* symbol : kSymbols) {
            FakeRequest quotes(symbol);
            for (const auto& field : kQuoteFields) quotes.names.names.push_back(field.first);
            quoteCheckers.emplace_back(feed, tally, symbol);
            suppliers.emplace_back(iface->createTickSupplier(&quotes, &quoteCheckers.back(), &context));
            FakeRequest minutes(symbol);
            minutes.letter = 'm';
            updateCheckers.emplace_back(feed, tally, symbol);
            suppliers.emplace_back(iface->createUpdateSupplier(&minutes, &updateCheckers.back(), &context));
        }
        for (const auto& supplier : suppliers) ASSERT_NE(supplier, nullptr);
        rssStart = residentKb();

        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(soakSeconds());
        for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kDropEveryMs));
            simfeed_drop_connection();
            ++drops;
            ASSERT_TRUE(listener.waitFor([&] { return !listener.seen.back(); }));
            ASSERT_TRUE(listener.waitFor(online)) << "no reconnect after drop " << drops;
            checkHistory(*iface, context, feed, tally, kSymbols[round % 4]);
        }
        suppliers.clear();  // host order: suppliers, interface, factory
        iface.reset();
        factory->release();
    }
    pTellivarClient = feed.real;
    const long rssEnd = residentKb();
    std::printf("soak: %d s, %lld quote values, %lld update notifications over %lld bars, %lld histories, "
                "%lld drops; resident memory %ld kB at start, %ld kB at end (%+ld kB)\n",
                soakSeconds(), tally.quoteValues, tally.updates, tally.bars, tally.histories, drops, rssStart,
                rssEnd, rssEnd - rssStart);
    EXPECT_EQ(tally.failures, 0) << "first: " << tally.first;
    EXPECT_GT(tally.quoteValues, 0);
    EXPECT_GT(tally.bars, 1) << "the stream crossed a bar boundary";
    EXPECT_EQ(tally.histories, drops);
}
