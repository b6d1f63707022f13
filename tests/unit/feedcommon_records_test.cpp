// The record and snapshot accessors both feed clients serve their sets with,
// over both kinds of bar they hold: the stand-in's (64-bit times) and the
// wire's (32-bit times).
#include "feedcommon/records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace {

struct WideBar {  // the stand-in's
    std::int64_t start = 0, end = 0;
    double open = 0, high = 0, low = 0, close = 0, volume = 0;
};
struct NarrowBar {  // the wire's
    std::uint32_t start = 0, end = 0;
    double open = 0, high = 0, low = 0, close = 0, volume = 0;
};

// Two bars with indexes 40 and 41 (`origin` 40); fields read by name.
template <class Bar>
void checkBars() {
    const std::vector<Bar> bars = {{100, 160, 1, 4, 0.5, 2, 10}, {160, 220, 2, 3, 1.5, 2.5, 20}};
    const std::int64_t origin = 40;
    struct Case {
        long record;
        const char* field;
        bool found;
        double value;
    };
    const Case cases[] = {
        {40, "Open", true, 1},    {40, "High", true, 4},   {40, "Low", true, 0.5}, {40, "Close", true, 2},
        {41, "Volume", true, 20}, {41, "Close", true, 2.5}, {39, "Open", false, 0}, {42, "Open", false, 0},
        {40, "Bid", false, 0},    {40, nullptr, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.record) + " " + (c.field ? c.field : "(null)"));
        double value = -1;
        const short ix = feedcommon::recordFieldIndex(c.field);
        EXPECT_EQ(feedcommon::recordDouble(bars, origin, c.record, ix, &value), c.found);
        EXPECT_EQ(value, c.found ? c.value : -1) << "nothing written when not found";
    }
    FeedTime time = 0;
    EXPECT_TRUE(feedcommon::recordTime(bars, origin, 41, 1, &time));
    EXPECT_EQ(time, 160u);
    EXPECT_TRUE(feedcommon::recordTime(bars, origin, 41, 2, &time));
    EXPECT_EQ(time, 220u);
    EXPECT_FALSE(feedcommon::recordTime(bars, origin, 41, 3, &time)) << "kinds are 1 (start) and 2 (end)";
    EXPECT_FALSE(feedcommon::recordTime(bars, origin, 42, 1, &time));
    EXPECT_FALSE(feedcommon::recordDouble(bars, origin, 40, feedcommon::kOpen, nullptr));
}

TEST(FeedRecords, ShouldReadBarsByOffsetIndexAndFieldName) {
    checkBars<WideBar>();
    checkBars<NarrowBar>();
}

TEST(FeedRecords, ShouldClampBarTimesToTheFeedTimeRange) {
    const std::vector<WideBar> bars = {{-5, std::int64_t{1} << 40}};
    FeedTime time = 7;
    ASSERT_TRUE(feedcommon::recordTime(bars, 0, 0, 1, &time));
    EXPECT_EQ(time, 0u);
    ASSERT_TRUE(feedcommon::recordTime(bars, 0, 0, 2, &time));
    EXPECT_EQ(time, std::numeric_limits<FeedTime>::max());
}

TEST(FeedRecords, ShouldReadTheTradeTimeAsAFeedTimeAndOtherFieldsAsValues) {
    double value[101] = {};
    bool has[101] = {};
    value[3] = 101.25;  // a trade price
    has[3] = has[feedcommon::kTradeTimeId] = true;
    value[feedcommon::kTradeTimeId] = 1.0;  // not what GetDWord gives for the trade time
    value[50] = -3;
    has[50] = true;
    double number = 0;
    FeedTime time = 0;
    EXPECT_TRUE(feedcommon::snapshotDouble(value, has, 3, &number));
    EXPECT_EQ(number, 101.25);
    EXPECT_TRUE(feedcommon::snapshotTime(value, has, 1700000000u, feedcommon::kTradeTimeId, &time));
    EXPECT_EQ(time, 1700000000u);
    EXPECT_TRUE(feedcommon::snapshotTime(value, has, 1700000000u, 50, &time));
    EXPECT_EQ(time, 0u) << "a negative value is clamped";
    for (const short id : {short{4}, short{-1}, short{101}}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(feedcommon::snapshotDouble(value, has, id, &number));
        EXPECT_FALSE(feedcommon::snapshotTime(value, has, 0u, id, &time));
    }
}

}  // namespace
