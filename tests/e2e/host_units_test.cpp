// The host program's own parts: option parsers, the settings panel reader,
// the log format expansion and what the consumers copy out of a notification.
#include <gtest/gtest.h>

#include <map>

#include "end_time.h"
#include "fields.h"
#include "host_objects.h"
#include "interval.h"
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
}

TEST(IntervalOption, ShouldRejectWhatTheAbilityRecordDoesNotOffer) {
    for (const char* text : {"", "4", "m4", "0", "D0", "d1", "Y1", "5m", "-5", "+5", "D1000", "1234567", "m0"}) {
        std::string error;
        EXPECT_FALSE(parseInterval(text, offeredMinutes(kTable), kLetters, error)) << text;
        EXPECT_NE(error.find("is not offered by the plug-in"), std::string::npos) << text;
    }
    std::string error;
    EXPECT_FALSE(parseInterval("W1", offeredMinutes(kTable), "Dm", error)) << "W is not among the letters";
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
    const auto day = parseEndTime("1801-12-31", error);
    ASSERT_TRUE(day);
    EXPECT_EQ(day->tm_hour, 0);
    EXPECT_EQ(noEndTime().tm_year, 0);
}

TEST(EndTimeOption, ShouldRejectDatesThatDoNotExist) {
    for (const char* text : {"2023-02-29", "1800-06-01", "2024-13-01", "2024-00-10", "2024-04-31", "2024-01-01T24:00",
                             "2024-01-01T10:60", "2024-01-01 10:00", "2024-1-01", "20240101", "", "2024-01-01T10:00x"}) {
        std::string error;
        EXPECT_FALSE(parseEndTime(text, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

TEST(FieldList, ShouldKnowEveryNamedFieldOfTheDictionary) {
    const auto& names = longFieldNames();
    EXPECT_EQ(names.size(), 94u);  // 95 rows, one of them nameless
    std::map<std::string, int> seen;
    for (const auto& name : names) EXPECT_EQ(++seen[name], 1) << "duplicate " << name;
    EXPECT_EQ(names.front(), "TradeTime");
    EXPECT_EQ(names.back(), "BidAskSpread");
    std::string error;
    EXPECT_TRUE(parseFieldList("TickVolAtAsk,LTDebtEquityRationQtr,65DayAvgVol", error)) << error;
}

TEST(FieldList, ShouldTrimAndDropRepeatsKeepingOrder) {
    std::string error;
    const auto fields = parseFieldList(" Bid ,Ask,Bid, Trade", error);
    ASSERT_TRUE(fields) << error;
    EXPECT_EQ(*fields, (std::vector<std::string>{"Bid", "Ask", "Trade"}));
}

TEST(FieldList, ShouldRejectShortWrongCaseAndEmptyNames) {
    for (const char* list : {"O", "bid", "Close", "Bid,", "", "Bid,,Ask"}) {
        std::string error;
        EXPECT_FALSE(parseFieldList(list, error)) << list;
        EXPECT_NE(error.find("valid fields (case-sensitive): TradeTime"), std::string::npos);
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
    QuoteConsumer consumer(queue, 2, {"Bid", "Trade", "Ask"});
    consumer.ticksChanged(&snapshot);
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
