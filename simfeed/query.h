// Texts the stand-in feed accepts: symbols, record-set queries, and the bar
// intervals they name. Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace simfeed {

// A symbol is 1 to 12 characters of A-Z, 0-9, '.' and '-', starting with a
// letter A-Z. Anything else (lower case, blanks, empty text) is rejected.
bool isValidSymbol(std::string_view text);

enum class BarUnit { Minute, Day, Week, Month };

// The length of one bar: `multiple` units.
struct Interval {
    BarUnit unit = BarUnit::Minute;
    int multiple = 1;
};

// A parsed record-set query.
struct Query {
    std::string symbol;
    Interval interval;
    std::optional<std::uint32_t> endTime;  // from ",&EndETime=<digits>"
};

// Grammar (no blanks anywhere):
//   query    := symbol "," interval [ ",&EndETime=" digits ]
//   interval := minutes | letter multiple
// `minutes` is a number of minutes 1-1440; `letter` is one of "m" (minutes,
// multiple 1-1440), "D" (days), "W" (weeks, starting Monday), "M" (calendar
// months), with multiple 1-999. The end time is a feed time (0 to 2^32-1).
std::optional<Query> parseQuery(std::string_view text);

// Bars are aligned to UTC: minute bars restart at every midnight (so the last
// bar of a day may be shorter), day bars group trading days (calendar.h)
// counted from Monday 1969-12-29 (so 5-day bars of the weekday market start on
// Mondays), week bars group Monday-based weeks, month bars group calendar
// months counted from year 0. A bar ends where the next one starts, so the
// last minute or day bar before a weekend holds the weekend's times too. Times
// are seconds since 1970-01-01 UTC.
std::int64_t barStart(const Interval& interval, std::int64_t time);
std::int64_t barEnd(const Interval& interval, std::int64_t start);
// True for the intervals whose history is answered at once (days and longer).
bool isLongInterval(const Interval& interval);

}  // namespace simfeed
