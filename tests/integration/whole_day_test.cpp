// A whole day of use: the real plug-in, loaded with dlopen, against the
// stand-in feed, driven only through host/data.h. The simulated clock runs a
// minute per real second so that bars close within the test's bounds.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "feed/TellivarClient.h"
#include "support/host_fakes.h"
#include "simfeed/control.h"

namespace {

constexpr const char kBadCredentials[] = "Logon rejected: user name or password not accepted";
constexpr const char kHistoryFailure[] = "TELLIVAR: Exception - %s \n";

int minuteOf(const data::CalendarRecord& t) { return t.tm_hour * 60 + t.tm_min; }

long long secondsOf(const data::CalendarRecord& t) {
    return static_cast<long long>(pTellivarClient->MakeTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                                                            t.tm_min, t.tm_sec));
}

class WholeDay : public ::testing::Test {
protected:
    void SetUp() override {
        simfeed_reset();
        simfeed_set_clock(pTellivarClient->MakeTime(2024, 3, 5, 14, 0, 0), 60);
        simfeed_set_update_rate(20);
        simfeed_set_reconnect_delay_ms(50);
        baseline = simfeed_live_sets();
        ASSERT_NE(plugin.init, nullptr) << dlerror();
        factory = plugin.init();
        ASSERT_NE(factory, nullptr);
        factory->setSetting("Username", "demo");
        factory->setSetting("Password", "demo");
        factory->ability()->addListener(&listener);
        iface = factory->createDataInterface(&context);
        ASSERT_NE(iface, nullptr);
    }
    void TearDown() override {
        // Host order: suppliers, then interfaces, then the factory.
        ticks.clear();
        history.clear();
        delete iface;
        if (factory != nullptr) factory->release();
        EXPECT_EQ(simfeed_live_sets(), baseline) << "the plug-in deleted every set it made";
        simfeed_reset();
    }

    void logOn() {
        factory->connectionControl(&context, true);
        ASSERT_TRUE(listener.waitFor([&] { return !listener.seen.empty() && listener.seen.back(); }));
        ASSERT_TRUE(factory->ability()->isOnline());
    }
    data::TickSupplier* quotes(const char* symbol, TickReader& consumer) {
        FakeRequest request(symbol);
        request.names.names = {"Trade", "Bid", "Ask", "Volume"};
        data::TickSupplier* supplier = iface->createTickSupplier(&request, &consumer, &context);
        if (supplier != nullptr) ticks.emplace_back(supplier);
        return supplier;
    }

    LoadedPlugin plugin{TELLIVAR_PLUGIN_PATH};
    FakeContext context;
    RecordingListener listener;
    data::DataInterfaceFactory* factory = nullptr;
    data::DataInterface* iface = nullptr;
    int baseline = 0;
    // Consumers outlive the suppliers that call them (TearDown deletes those).
    std::vector<std::unique_ptr<TickReader>> tickConsumers;
    HistoryWalker daily, intraday;
    std::vector<std::unique_ptr<data::TickSupplier>> ticks;
    std::vector<std::unique_ptr<data::HistorySupplier>> history;
};

TEST_F(WholeDay, ShouldLogOnAndReportEachStep) {
    logOn();
    EXPECT_TRUE(context.log.waitFor([&] { return context.log.countLocked("status", "Ready") == 1; }));
    EXPECT_EQ(context.log.count("status", "Connect"), 1u);
    EXPECT_EQ(context.log.count("status", "Logon"), 1u);
    EXPECT_EQ(context.log.count("info", "Tellivar Client - sending credentials"), 1u);
}

TEST_F(WholeDay, ShouldPassTheFeedsRejectionToTheHost) {
    factory->setSetting("Password", "wrong");
    factory->connectionControl(&context, true);
    ASSERT_TRUE(context.log.waitFor([&] { return context.log.countLocked("status", "LogOff") == 1; }));
    EXPECT_EQ(context.log.count("info", kBadCredentials), 1u);
    EXPECT_EQ(context.log.count("status", "Logon"), 0u);
    EXPECT_FALSE(factory->ability()->isOnline());
}

TEST_F(WholeDay, ShouldGoThroughADayOfQuotesHistoryUpdatesAndAnOutage) {
    logOn();

    // Quotes on several symbols, values changing.
    auto& quoteConsumers = tickConsumers;
    for (const char* symbol : {"ACME", "BRK.B", "ZED-1"}) {
        quoteConsumers.push_back(
            std::make_unique<TickReader>(std::vector<std::string>{"Trade", "Bid", "Ask", "Volume"}));
        ASSERT_NE(quotes(symbol, *quoteConsumers.back()), nullptr) << "tick supplier for " << symbol;
    }
    for (auto& consumer : quoteConsumers) {
        ASSERT_TRUE(consumer->waitFor([&] { return consumer->history.size() >= 4; }));
        std::lock_guard<std::mutex> lock(consumer->mutex);
        std::set<double> trades, volumes;
        for (const auto& values : consumer->history) {
            trades.insert(values[0]);
            volumes.insert(values[3]);
            EXPECT_LT(values[1], values[2]) << "bid below ask";
        }
        EXPECT_GT(volumes.size(), 1u) << "volume grows with every trade";
        EXPECT_EQ(consumer->times.back().tm_year, 124);
        EXPECT_EQ(consumer->times.back().tm_mon, 2);
    }

    // Daily history: complete at once, inside the creation call.
    FakeRequest dailyRequest("ACME");
    dailyRequest.records = 60;
    dailyRequest.names.names = {"O", "H", "L", "C", "V"};
    data::HistorySupplier* dailySupplier = iface->createHistorySupplier(&dailyRequest, &daily, &context);
    ASSERT_NE(dailySupplier, nullptr) << "history supplier";
    history.emplace_back(dailySupplier);
    {
        std::lock_guard<std::mutex> lock(daily.mutex);
        ASSERT_EQ(daily.calls, 1) << "told before the creation returned";
        EXPECT_EQ(daily.thread, std::this_thread::get_id());
        ASSERT_EQ(daily.forward.size(), 61u) << "the records asked for, and the one forming";
        ASSERT_EQ(daily.reverse.size(), daily.forward.size());
        for (std::size_t i = 0; i < daily.forward.size(); ++i) {
            const BarRead& bar = daily.forward[i];
            EXPECT_EQ(bar.close, daily.reverse[daily.forward.size() - 1 - i].close);
            EXPECT_LE(bar.low, std::min(bar.open, bar.close));
            EXPECT_GE(bar.high, std::max(bar.open, bar.close));
            if (i > 0) {
                // Weekdays only: Friday's next bar is Monday's.
                const bool friday = (secondsOf(daily.forward[i - 1].time) / 86400 + 3) % 7 == 4;
                EXPECT_EQ(secondsOf(bar.time) - secondsOf(daily.forward[i - 1].time), friday ? 3 * 86400 : 86400);
            }
        }
        EXPECT_EQ(daily.forward.back().time.tm_mday, 5);
    }

    // Long intraday history: completed later on the feed thread.
    FakeRequest intradayRequest("ACME");
    intradayRequest.type = 1;
    intradayRequest.number = 1;
    intradayRequest.records = 3000;
    // As the host fills it; a Wednesday, so that the 3000 minutes stay within the week.
    intradayRequest.end = data::CalendarRecord{0, 0, 12, 7, 2, 2024, 0, 0, 0};
    data::HistorySupplier* intradaySupplier = iface->createHistorySupplier(&intradayRequest, &intraday, &context);
    ASSERT_NE(intradaySupplier, nullptr);
    history.emplace_back(intradaySupplier);
    ASSERT_TRUE(intraday.waitFor([&] { return intraday.calls == 1; }));
    {
        std::lock_guard<std::mutex> lock(intraday.mutex);
        EXPECT_NE(intraday.thread, std::this_thread::get_id());
        ASSERT_EQ(intraday.forward.size(), 3001u);
        for (std::size_t i = 1; i < intraday.forward.size(); ++i)
            ASSERT_EQ(secondsOf(intraday.forward[i].time) - secondsOf(intraday.forward[i - 1].time), 60) << i;
        // The end time's full year and month reach MakeTime exactly as the host filled them.
        EXPECT_EQ(secondsOf(intraday.reverse.front().time), pTellivarClient->MakeTime(2024, 2, 7, 12, 0, 0));
    }

    // Update stream across a bar boundary (a simulated minute is a second).
    tickConsumers.push_back(
        std::make_unique<TickReader>(std::vector<std::string>{"O", "H", "L", "C", "V"}));
    TickReader& updates = *tickConsumers.back();
    FakeRequest updateRequest("ACME");
    updateRequest.letter = 'm';
    data::TickSupplier* updateSupplier = iface->createUpdateSupplier(&updateRequest, &updates, &context);
    ASSERT_NE(updateSupplier, nullptr) << "update supplier";
    ticks.emplace_back(updateSupplier);
    ASSERT_TRUE(updates.waitFor([&] {
        return updates.times.size() > 1 && minuteOf(updates.times.back()) != minuteOf(updates.times.front());
    }));
    {
        std::lock_guard<std::mutex> lock(updates.mutex);
        for (const auto& bar : updates.history) {
            EXPECT_LE(bar[2], std::min(bar[0], bar[3]));
            EXPECT_GE(bar[1], std::max(bar[0], bar[3]));
        }
    }

    // An outage: online follows the feed, and the subscriptions resume.
    const std::size_t before = quoteConsumers.front()->count();
    const std::size_t logOffs = context.log.count("status", "LogOff");
    const std::size_t logons = context.log.count("status", "Logon");
    const std::size_t seenBefore = [&] {
        std::lock_guard<std::mutex> lock(listener.mutex);
        return listener.seen.size();
    }();
    simfeed_drop_connection();
    ASSERT_TRUE(context.log.waitFor([&] { return context.log.countLocked("status", "LogOff") == logOffs + 1; }));
    ASSERT_TRUE(listener.waitFor([&] { return listener.seen.size() >= seenBefore + 2 && listener.seen.back(); }));
    {
        std::lock_guard<std::mutex> lock(listener.mutex);
        EXPECT_FALSE(listener.seen[seenBefore]) << "offline first";
    }
    // The status follows the listeners' notification on the feed thread.
    EXPECT_TRUE(context.log.waitFor([&] { return context.log.countLocked("status", "Logon") == logons + 1; }));
    ASSERT_TRUE(quoteConsumers.front()->waitFor(
        [&] { return quoteConsumers.front()->history.size() > before + 2; }));

    // Everything is deleted in host order while the feed still fires (TearDown).
    simfeed_set_update_rate(500);
}

TEST_F(WholeDay, ShouldReportFeedFailuresThroughTheHost) {
    logOn();
    TickReader consumer;
    FakeRequest bad("not a symbol");
    EXPECT_EQ(iface->createTickSupplier(&bad, &consumer, &context), nullptr);

    HistoryWalker never;
    FakeRequest request("ACME");
    simfeed_fail_next_history_init(1);
    data::HistorySupplier* failed = iface->createHistorySupplier(&request, &never, &context);
    if (failed != nullptr) history.emplace_back(failed);
    EXPECT_EQ(failed, nullptr);
    const auto lines = context.log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const LogLine& l) {
        return l.kind == "error" && l.format == kHistoryFailure && l.text == "Recordset initialization failure";
    }));
    EXPECT_EQ(never.calls, 0);
}

}  // namespace
