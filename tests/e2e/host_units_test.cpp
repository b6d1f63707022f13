// The host program's own parts: option parsers, the settings panel reader,
// the log format expansion and what the consumers copy out of a notification.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <cstdlib>
#include <map>
#include <thread>
#include <tuple>

#include <CLI/CLI.hpp>

#include "chart.h"
#include "console.h"
#include "fields.h"
#include "host_objects.h"
#include "interval.h"
#include "options.h"
#include "xrc.h"

namespace {

constexpr std::int32_t kTable[] = {1, 1, 2, 2, 3, 3, 5, 5, 10, 10, 15, 15, 30, 30, 60, 60, 0, 0};
const std::string kLetters = "MWDm";

std::optional<IntervalSpec> interval(const std::string& text) {
    std::string error;
    return parseInterval(text, offeredMinutes(kTable), kLetters, error);
}

TEST(IntervalOption, ShouldReadTheMinuteCountsUpToTheClosingPair) {
    EXPECT_EQ(offeredMinutes(kTable), (std::vector<int>{1, 2, 3, 5, 10, 15, 30, 60}));
    EXPECT_TRUE(offeredMinutes(nullptr).empty());
}

TEST(IntervalOption, ShouldMapNumbersToMinutesByNumber) {
    const auto parsed = interval("15");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->type, 1);
    EXPECT_EQ(parsed->number, 15u);
    EXPECT_EQ(intervalLabel(*parsed), "15");
}

TEST(IntervalOption, ShouldMapLettersToTheLetterForm) {
    const auto minutes = interval("m30");
    ASSERT_TRUE(minutes);
    EXPECT_NE(minutes->type, 1);
    EXPECT_EQ(minutes->letter, 'm');
    EXPECT_EQ(minutes->multiple, 30u);
    const auto days = interval("D");
    ASSERT_TRUE(days);
    EXPECT_EQ(days->letter, 'D');
    EXPECT_EQ(days->multiple, 1u);
    const auto months = interval("M3");
    ASSERT_TRUE(months);
    EXPECT_EQ(months->letter, 'M');
    EXPECT_EQ(intervalLabel(*months), "M3");
    // A chart's title says the interval in words.
    const std::vector<std::pair<std::string, std::string>> words = {
        {"1", "1 minute"}, {"m15", "15 minutes"}, {"D", "1 day"}, {"W2", "2 weeks"}, {"M3", "3 months"}};
    for (const auto& [text, expected] : words) EXPECT_EQ(intervalWords(*interval(text)), expected) << text;
}

TEST(IntervalOption, ShouldRejectWhatTheAbilityRecordDoesNotOffer) {
    for (const char* text : {"4", "m4", "0", "D0", "Y1", "D1000", "1234567", "m0"}) {
        std::string error;
        EXPECT_FALSE(parseInterval(text, offeredMinutes(kTable), kLetters, error)) << text;
        EXPECT_NE(error.find("is not offered by the plug-in; use minutes 1|2|3|5"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(parseInterval("W1", offeredMinutes(kTable), "Dm", error)) << "W is not among the letters";
}

TEST(IntervalOption, ShouldCallOtherShapesSyntaxErrorsAndHintAtNearMisses) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1h", "is not written as an interval (did you mean '60'?)"},
        {"5m", "is not written as an interval (did you mean '5'?)"},
        {"5min", "(did you mean '5'?)"},
        {"1d", "(did you mean 'D1'?)"},
        {"24h", "(did you mean 'D1'?)"},
        {"2 weeks", "(did you mean 'W2'?)"},
        {"-5", "is not written as an interval: write minutes"},
        {"", "is not written as an interval: write minutes"},
        {"d1", "is not offered by the plug-in (did you mean 'D1'?)"},
        {"w2", "(did you mean 'W2'?)"},
        {"H1", "(did you mean '60'?)"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parseInterval(text, offeredMinutes(kTable), kLetters, error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << text << ": " << error;
    }
}

TEST(EndTimeOption, ShouldKeepTheFullYearAndTheMonthFromOne) {
    std::string error;
    const auto end = parseEndTime("2024-02-29T09:30", error);
    ASSERT_TRUE(end) << error;
    EXPECT_EQ(end->tm_year, 2024);
    EXPECT_EQ(end->tm_mon, 2);
    EXPECT_EQ(end->tm_mday, 29);
    EXPECT_EQ(end->tm_hour, 9);
    EXPECT_EQ(end->tm_min, 30);
    EXPECT_EQ(end->tm_sec, 0);
    const auto day = parseEndTime("1970-01-01", error);
    ASSERT_TRUE(day);
    EXPECT_EQ(day->tm_hour, 0);
    EXPECT_EQ(noEndTime().tm_year, 0);
}

TEST(EndTimeOption, ShouldReadTheIsoFormsWithSecondsAndZone) {
    for (const char* text : {"2024-03-05T15:30:45", "2024-03-05T15:30:45Z"}) {
        std::string error;
        const auto end = parseEndTime(text, error);
        ASSERT_TRUE(end) << text << ": " << error;
        EXPECT_EQ(end->tm_hour, 15);
        EXPECT_EQ(end->tm_min, 30);
        EXPECT_EQ(end->tm_sec, 45);
    }
    std::string error;
    EXPECT_TRUE(parseEndTime("2024-03-05T15:30Z", error)) << error;
    EXPECT_TRUE(parseEndTime("1970-01-01T00:00:00Z", error)) << error;
    EXPECT_TRUE(parseEndTime("2106-02-07T06:28:15", error)) << error;
}

TEST(EndTimeOption, ShouldRejectTimesThatDoNotExistSayingWhy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2023-02-29", "February 2023 has 28 days"},
        {"2024-02-30", "February 2024 has 29 days"},
        {"2024-04-31", "April 2024 has 30 days"},
        {"2024-13-01", "there is no month 13"},
        {"2024-00-10", "there is no month 00"},
        {"2024-01-01T24:00", "there is no hour 24"},
        {"2024-01-01T10:60", "there is no minute 60"},
        {"2024-01-01T10:00:60", "there is no second 60"},
        {"2024-01-01 10:00", "put a T between the date and the time"},
        {"2024-01-01T10:00+02:00", "times are UTC: leave out the offset '+02:00'"},
        {"2024-01-01T10:00:00.5Z", "give whole seconds"},
        {"1800-06-01", "1970-01-01T00:00:00Z to 2106-02-07T06:28:15Z"},
        {"1969-12-31T23:59:59", "outside the times the feed can represent"},
        {"2106-02-07T06:28:16", "outside the times the feed can represent"},
        {"2024-1-01", "write YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS"},
        {"20240101", "write YYYY-MM-DD"},
        {"", "write YYYY-MM-DD"},
        {"2024-01-01T10:00x", "write YYYY-MM-DD"},
    };
    for (const auto& [text, why] : cases) {
        std::string error;
        EXPECT_FALSE(parseEndTime(text, error)) << text;
        EXPECT_NE(error.find("--end '" + text + "': " ), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    }
}

TEST(DurationOption, ShouldAcceptFiniteSecondsWithinTheRangeOnly) {
    EXPECT_EQ(secondsOption(0.1, 86400)("2.5"), "");
    EXPECT_EQ(secondsOption(0.1, 86400)("1e3"), "");
    EXPECT_EQ(secondsOption(0.1, 86400, "until Ctrl-C")("0"), "");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1e10", "1e10 s is out of range; give a number of seconds from 0.1 to 86400"},
        {"1e300", "out of range"},
        {"1e400", "out of range"},
        {"-1", "out of range"},
        {"0", "out of range"},
        {"0.01", "out of range"},
        {"nan", "'nan' is not a number of seconds; give one from 0.1 to 86400"},
        {"inf", "is not a number of seconds"},
        {"0x10", "is not a number of seconds"},
        {"", "is not a number of seconds"},
        {"5s", "is not a number of seconds"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string error = secondsOption(0.1, 86400)(text);
        EXPECT_NE(error.find(expected), std::string::npos) << text << ": " << error;
    }
    EXPECT_NE(secondsOption(0.1, 10, "until Ctrl-C")("nan").find("or 0 (until Ctrl-C)"), std::string::npos);
}

TEST(CountOption, ShouldSayWhatIsWrongAsARange) {
    EXPECT_EQ(wholeNumberOption(1, 100000)("30"), "");
    // CLI11 alone would read "010" as octal 8; the option hands on plain decimal digits.
    std::string leadingZero = "010";
    EXPECT_EQ(wholeNumberOption(1, 100000)(leadingZero), "");
    EXPECT_EQ(leadingZero, "10");
    EXPECT_EQ(wholeNumberOption(1, 100000)("abc"), "'abc' is not a whole number; give one from 1 to 100000");
    EXPECT_EQ(wholeNumberOption(1, 100000)("2.5"), "'2.5' is not a whole number; give one from 1 to 100000");
    for (const char* text : {"0", "-3", "100001", "99999999999999999999"}) {
        EXPECT_NE(wholeNumberOption(1, 100000)(text).find("is out of range; give a whole number from 1 to 100000"),
                  std::string::npos)
            << text;
    }
}

TEST(Hints, ShouldNameTheCloseNameOnlyWhenOneIsClose) {
    const std::vector<std::string> commands = {"info", "quotes", "history", "stream", "demo"};
    EXPECT_EQ(closestName("histroy", commands), "history");
    EXPECT_EQ(closestName("HISTORY", commands), "history");
    EXPECT_EQ(closestName("qoutes", commands), "quotes");
    EXPECT_EQ(closestName("chart", commands), std::nullopt);
    EXPECT_EQ(closestName("x", commands), std::nullopt);
    EXPECT_EQ(closestName("trade", longFieldNames()), "Trade");
    EXPECT_EQ(closestName("Trdae", longFieldNames()), "Trade");
    EXPECT_EQ(closestName("vwap", longFieldNames()), "VWAP");
}

// --fields as a command takes it: the names it keeps, or CLI11's error.
std::pair<std::vector<std::string>, std::string> parseFields(std::vector<std::string> args) {
    CLI::App app;
    std::vector<std::string> fields{"Trade"};
    addFieldsOption(app, fields);
    try {
        std::reverse(args.begin(), args.end());  // CLI11 takes them last first
        app.parse(args);
    } catch (const CLI::ParseError& error) {
        return {{}, error.what()};
    }
    return {fields, ""};
}

TEST(FieldList, ShouldKnowEveryNamedFieldOfTheDictionary) {
    const auto& names = longFieldNames();
    EXPECT_EQ(names.size(), 94u);  // 95 rows, one of them nameless
    std::map<std::string, int> seen;
    for (const auto& name : names) EXPECT_EQ(++seen[name], 1) << "duplicate " << name;
    EXPECT_EQ(names.front(), "TradeTime");
    EXPECT_EQ(names.back(), "BidAskSpread");
    EXPECT_EQ(parseFields({"--fields", "TickVolAtAsk,LTDebtEquityRationQtr,65DayAvgVol"}).first.size(), 3u);
}

TEST(FieldList, ShouldTrimSkipEmptyPiecesAndDropRepeatsKeepingOrder) {
    const auto [fields, error] = parseFields({"--fields", " Bid ,,Ask,Bid, Trade"});
    EXPECT_EQ(fields, (std::vector<std::string>{"Bid", "Ask", "Trade"})) << error;
    EXPECT_EQ(parseFields({}).first, std::vector<std::string>{"Trade"});  // not given: the defaults stay
}

TEST(FieldList, ShouldRejectUnknownAndEmptyNamesWithAHintOrTheValidNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"O", "--fields: unknown field 'O'; valid fields (case-sensitive): TradeTime Open"},
        {"Close", "unknown field 'Close'; valid fields"},
        {"Bid,bid", "unknown field 'bid' (did you mean 'Bid'?); names are case-sensitive"},
        {"", "--fields: a field name is empty"},
        {"  ", "--fields: a field name is empty"},
        {",", "--fields"},
    };
    for (const auto& [list, expected] : cases) {
        const auto [fields, error] = parseFields({"--fields", list});
        EXPECT_TRUE(fields.empty()) << list;
        EXPECT_NE(error.find(expected), std::string::npos) << list << ": " << error;
    }
}

TEST(FieldList, ShouldKnowWhichFieldsHoldTimesAndText) {
    EXPECT_EQ(fieldKind("TradeTime"), FieldKind::Time);
    EXPECT_EQ(fieldKind("FinancialsDate"), FieldKind::Time);
    EXPECT_EQ(fieldKind("Title"), FieldKind::Text);
    EXPECT_EQ(fieldKind("Trade"), FieldKind::Price);
    EXPECT_EQ(fieldKind("Volume"), FieldKind::Number);
    EXPECT_EQ(fieldsOfKind({"Trade", "Title", "Symbol"}, FieldKind::Text), (std::vector<std::string>{"Title", "Symbol"}));
    EXPECT_EQ(formatFieldValue("TradeTime", 1796681645.0), "2026-12-07T22:14:05Z");
    EXPECT_EQ(formatFieldValue("FinancialsDate", 1767139200.0), "2025-12-31T00:00:00Z");
    EXPECT_EQ(formatFieldValue("Trade", 10.5), "10.50");
    EXPECT_EQ(formatFieldValue("TradeTime", std::nullopt), "-");
}

// Prices keep the instrument's cents, whole prices included; counts stay whole.
TEST(FieldList, ShouldShowPricesWithTheirDecimalsAndCountsWithout) {
    const std::vector<std::tuple<std::string, double, std::string>> cases = {
        {"Trade", 19.0, "19.00"}, {"Bid", 18.9, "18.90"}, {"Ask", 1.23456, "1.23456"}, {"Net", -0.5, "-0.50"},
        {"Volume", 1200.0, "1200"}, {"TradeSize", 300.0, "300"}, {"NetPct", 1.25, "1.25"}};
    for (const auto& [name, value, expected] : cases) EXPECT_EQ(formatFieldValue(name, value), expected) << name;
    EXPECT_EQ(formatPrice(std::nullopt, ""), "");
}

// A flood from four feed threads while the main thread takes nothing: the
// queue keeps its limit of quotes and counts the rest; what ends or answers
// a wait still gets in, up to the reserve.
TEST(EventQueueBound, ShouldHoldItsLimitUnderAFloodAndCountWhatItDropped) {
    constexpr std::size_t kLimit = EventQueue::kLimit, kPerThread = 20000;
    EventQueue queue;
    std::vector<std::thread> feeds;
    for (int t = 0; t < 4; ++t) {
        feeds.emplace_back([&queue] {
            for (std::size_t i = 0; i < kPerThread; ++i) queue.push(QuoteEvent{i, {}, {}});
        });
    }
    for (std::thread& feed : feeds) feed.join();
    queue.push(HistoryEvent{});
    for (std::size_t i = 0; i < EventQueue::kReserve; ++i) queue.push(LogEvent{LogEvent::Kind::Info, "line"});
    queue.push(UpdateEvent{});
    std::vector<std::size_t> kinds(std::variant_size_v<Event>);
    while (std::optional<Event> event = queue.popUntil(std::chrono::steady_clock::now())) ++kinds[event->index()];
    EXPECT_EQ(kinds, (std::vector<std::size_t>{EventQueue::kReserve - 1, 0, kLimit, 1, 0}));
    EXPECT_EQ(queue.takeDropped(), 4 * kPerThread - kLimit + 2);  // the last log line and the update
    EXPECT_EQ(queue.takeDropped(), 0u);  // told once
    queue.push(QuoteEvent{});            // room again once taken
    EXPECT_TRUE(queue.popUntil(std::chrono::steady_clock::now()).has_value());
}

// runGnuplot against stand-ins for gnuplot on PATH, waiting on the process's
// descriptor and without one (as on a kernel that has none).
TEST(GnuplotRun, ShouldKeepItsTimeLimitWithAndWithoutAProcessDescriptor) {
    const std::string dir = testing::TempDir() + "gnuplot-standins";
    const std::string savedPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    struct Case {
        const char* script;
        ChartResult result;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"cat >/dev/null", ChartResult::Written, ""},
        {"echo 'line 1: skipped'; echo 'line 9: unknown command' >&2; exit 1", ChartResult::Failed,
         "gnuplot failed: line 9: unknown command"},
        {"exec sleep 30", ChartResult::Failed, "gnuplot did not finish in 0.3 s"},
    };
    for (const bool descriptor : {true, false}) {
        for (const Case& c : cases) {
            std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
            std::ofstream(dir + "/gnuplot") << "#!/bin/sh\n" << c.script << "\n";
            chmod((dir + "/gnuplot").c_str(), 0755);
            setenv("PATH", (dir + ":" + savedPath).c_str(), 1);
            std::string message;
            const ChartResult result =
                runGnuplot("plot 1\n", message, std::chrono::milliseconds(300), descriptor);
            setenv("PATH", savedPath.c_str(), 1);
            EXPECT_EQ(result, c.result) << c.script << (descriptor ? " (pidfd)" : " (no pidfd)");
            EXPECT_EQ(message, c.message) << c.script << (descriptor ? " (pidfd)" : " (no pidfd)");
        }
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

// The price axis of a chart: whole steps, never finer than a cent, and
// room for every price.
TEST(ChartAxis, ShouldStepInWholeCentsOrCoarserAroundEveryPrice) {
    auto bar = [](double low, double high) {
        Bar b{};
        b.open = low;
        b.high = high;
        b.low = low;
        b.close = high;
        return b;
    };
    const std::vector<std::pair<std::vector<Bar>, double>> cases = {
        {{bar(18.30, 18.30), bar(18.30, 18.31), bar(18.30, 18.30)}, 0.01},
        {{bar(18.29, 18.35)}, 0.01},
        {{bar(10, 110)}, 20},
        {{bar(95.5, 101.25)}, 1}};
    for (const auto& [bars, step] : cases) {
        const PriceAxis axis = priceAxis(bars);
        EXPECT_DOUBLE_EQ(axis.step, step) << axis.low << ".." << axis.high;
        EXPECT_LT(axis.low, *bars.front().low);
        EXPECT_GT(axis.high, *bars.back().high);
        EXPECT_LE((axis.high - axis.low) / axis.step, 12.01) << "about six steps, a margin on each side";
    }
}

TEST(SettingsPanel, ShouldListControlsInDocumentOrderSkippingSizers) {
    const std::string xrc =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><resource><object class=\"wxPanel\" name=\"P\">"
        "<object class=\"wxBoxSizer\"><orient>wxVERTICAL</orient>"
        "<object class=\"sizeritem\"><flag>wxALL</flag><object class=\"wxStaticText\" name=\"ID_A\">"
        "<label>a &amp; b &lt;c&gt;</label></object></object>"
        "<!-- comment --><object class=\"sizeritem\"><object class=\"ovkTextCtrl\" name='Username'>"
        "<size>200,-1</size><value>login name</value></object></object>"
        "<object class=\"spacer\"/>"
        "</object></object></resource>";
    std::string error;
    const auto panel = parseSettingsPanel(xrc, error);
    ASSERT_TRUE(panel) << error;
    EXPECT_EQ(panel->className, "wxPanel");
    EXPECT_EQ(panel->name, "P");
    ASSERT_EQ(panel->controls.size(), 2u);
    EXPECT_EQ(panel->controls[0].label, "a & b <c>");
    EXPECT_FALSE(panel->controls[0].isInput());
    EXPECT_EQ(panel->controls[1].name, "Username");
    EXPECT_EQ(panel->controls[1].value, "login name");
    EXPECT_EQ(panel->controls[1].size, "200,-1");
    EXPECT_TRUE(panel->controls[1].isInput());
}

TEST(SettingsPanel, ShouldRefuseDeepNestingCleanlyWithoutRecursing) {
    std::string xrc = "<resource><object class=\"wxPanel\">";
    for (int i = 0; i < 100000; ++i) xrc += "<object class=\"wxBoxSizer\">";
    for (int i = 0; i < 100000; ++i) xrc += "</object>";
    xrc += "</object></resource>";
    std::string error;
    EXPECT_FALSE(parseSettingsPanel(xrc, error));
    EXPECT_EQ(error, "settings panel is not valid XRC: elements nest deeper than 256 levels");
    // Unclosed, too: a clean parse error.
    std::string open;
    for (int i = 0; i < 100000; ++i) open += "<object>";
    EXPECT_FALSE(parseSettingsPanel(open, error));
    EXPECT_NE(error.find("settings panel is not valid XRC: "), std::string::npos);
}

TEST(SettingsPanel, ShouldRejectTextsThatAreNotAPanel) {
    for (const char* xrc : {"", "<resource>", "<resource><object class=\"wxPanel\"></resource>",
                            "<other><object class=\"wxPanel\"/></other>", "<resource></resource>",
                            "<resource><object class=wxPanel/></resource>", "<resource/><x/>"}) {
        std::string error;
        EXPECT_FALSE(parseSettingsPanel(xrc, error)) << xrc;
        EXPECT_NE(error.find("settings panel is not valid XRC"), std::string::npos);
    }
}

TEST(LogFormat, ShouldPutTheTextAtPercentSOnly) {
    EXPECT_EQ(expandLogFormat("TELLIVAR: Query is - %s", "ACME,D1"), "TELLIVAR: Query is - ACME,D1");
    EXPECT_EQ(expandLogFormat("TELLIVAR: Exception - %s \n", "CreateTRecordSet failed"),
              "TELLIVAR: Exception - CreateTRecordSet failed");
    EXPECT_EQ(expandLogFormat("100%% %d %s", nullptr), "100% %d");
    EXPECT_EQ(expandLogFormat("trailing %", "x"), "trailing %");
    EXPECT_EQ(expandLogFormat(nullptr, "x"), "");
}

// A value source that fails the test when getValue is asked for a missing
// name: that call would add a 0.0 entry to the supplier.
class StrictValues : public data::TickIterator {
public:
    std::vector<std::map<std::string, double>> records;
    std::vector<data::CalendarRecord> times;
    int position = 0;
    int step = 1;

    data::CalendarRecord* getTime() override { return &times[static_cast<std::size_t>(position)]; }
    double getValue(const char* name) override {
        const auto& record = records[static_cast<std::size_t>(position)];
        const auto it = record.find(name);
        EXPECT_NE(it, record.end()) << "getValue of a missing " << name;
        return it == record.end() ? 0.0 : it->second;
    }
    bool hasValue(const char* name) override { return records[static_cast<std::size_t>(position)].count(name) != 0; }
    int isValid() override { return position >= 0 && position < static_cast<int>(records.size()) ? 1 : 0; }
    void setOption(int) override {}
    void next() override { position += step; }
};

class FakeHistory : public data::HistorySupplier {
public:
    StrictValues values;
    data::TickIterator* makeIterator() override {
        values.position = 0;
        values.step = 1;
        return &values;
    }
    data::TickIterator* makeReverseIterator() override {
        values.position = static_cast<int>(values.records.size()) - 1;
        values.step = -1;
        return &values;
    }
};

data::CalendarRecord day(int mday) {
    data::CalendarRecord time{};
    time.tm_year = 124;
    time.tm_mon = 5;
    time.tm_mday = mday;
    return time;
}

FakeHistory threeBars() {
    FakeHistory history;
    history.values.records = {{{"O", 1}, {"H", 2}, {"L", 0.5}, {"C", 1.5}, {"V", 100}},
                              {{"O", 1.5}, {"C", 1.7}},
                              {{"O", 1.7}, {"H", 3}, {"L", 1}, {"C", 2.5}, {"V", 300}}};
    history.values.times = {day(3), day(4), day(5)};
    return history;
}

std::vector<Bar> walk(data::HistorySupplier* supplier, bool reverse) {
    EventQueue queue;
    BarsConsumer consumer(queue, reverse);
    consumer.historyReady(supplier);
    auto event = queue.popUntil(std::chrono::steady_clock::now());
    EXPECT_TRUE(event && std::holds_alternative<HistoryEvent>(*event));
    return event ? std::get<HistoryEvent>(*event).bars : std::vector<Bar>{};
}

TEST(HistoryConsumer, ShouldCopyEveryBarForwardWithMissingValuesLeftEmpty) {
    FakeHistory history = threeBars();
    const auto bars = walk(&history, false);
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(bars[0].time.tm_mday, 3);
    EXPECT_EQ(bars[2].time.tm_mday, 5);
    EXPECT_EQ(bars[0].low, 0.5);
    EXPECT_EQ(bars[1].close, 1.7);
    EXPECT_FALSE(bars[1].high.has_value());
    EXPECT_FALSE(bars[1].volume.has_value());
}

TEST(HistoryConsumer, ShouldWalkNewestFirstWithTheReverseIterator) {
    FakeHistory history = threeBars();
    const auto bars = walk(&history, true);
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(bars[0].time.tm_mday, 5);
    EXPECT_EQ(bars[2].time.tm_mday, 3);
    EXPECT_EQ(bars[0].volume, 300);
}

TEST(HistoryConsumer, ShouldReportAnEmptyHistoryForNullSupplierOrIterator) {
    EXPECT_TRUE(walk(nullptr, false).empty());
    FakeHistory empty;
    EXPECT_TRUE(walk(&empty, true).empty());
}

TEST(QuoteConsumer, ShouldCopyRequestedFieldsWithTheirRow) {
    StrictValues snapshot;
    snapshot.records = {{{"Bid", 10.5}, {"Ask", 10.75}}};
    snapshot.times = {day(7)};
    EventQueue queue;
    const auto consumer = quoteConsumer(queue, 2, {"Bid", "Trade", "Ask"});
    consumer->ticksChanged(&snapshot);
    auto event = queue.popUntil(std::chrono::steady_clock::now());
    ASSERT_TRUE(event && std::holds_alternative<QuoteEvent>(*event));
    const QuoteEvent& quote = std::get<QuoteEvent>(*event);
    EXPECT_EQ(quote.row, 2u);
    EXPECT_EQ(quote.time.tm_mday, 7);
    ASSERT_EQ(quote.values.size(), 3u);
    EXPECT_EQ(quote.values[0], 10.5);
    EXPECT_FALSE(quote.values[1].has_value());
    EXPECT_EQ(quote.values[2], 10.75);
    EXPECT_FALSE(queue.popUntil(std::chrono::steady_clock::now())) << "one event per notification";
}

TEST(HostRequest, ShouldAnswerTheContractSlotsFromItsFields) {
    data::CalendarRecord end{};
    end.tm_year = 2024;
    HostRequest request("ACME", IntervalSpec{2, 1, 'D', 1}, 60, {"O", "C"}, end);
    data::SupplierRequest& asHost = request;
    EXPECT_STREQ(asHost.symbol(), "ACME");
    EXPECT_EQ(asHost.intervalType(), 2);
    EXPECT_EQ(asHost.intervalLetter(), 'D');
    EXPECT_EQ(asHost.intervalMultiple(), 1u);
    EXPECT_EQ(asHost.recordCount(), 60);
    EXPECT_EQ(asHost.endTime()->tm_year, 2024);
    ASSERT_EQ(asHost.fieldNames()->count(), 2u);
    EXPECT_STREQ(asHost.fieldNames()->at(1), "C");
    EXPECT_EQ(asHost.fieldNames()->at(2), nullptr);
}

}  // namespace
