// Symbol and query syntax of the stand-in feed, and the bar calendar.
#include "simfeed/query.h"

#include <algorithm>

#include "simfeed/calendar.h"

namespace simfeed {
namespace {

constexpr std::size_t kMaxSymbolLength = 12;
constexpr int kMaxMinutes = 1440;
constexpr int kMaxMultiple = 999;
constexpr std::string_view kEndTimeKey = ",&EndETime=";

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A run of 1-10 decimal digits no larger than `limit`.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t limit) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > limit) return std::nullopt;
    return value;
}

std::optional<Interval> parseInterval(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (isDigit(text.front())) {
        auto minutes = parseNumber(text, kMaxMinutes);
        if (!minutes || *minutes == 0) return std::nullopt;
        return Interval{BarUnit::Minute, static_cast<int>(*minutes)};
    }
    BarUnit unit;
    std::uint64_t limit = kMaxMultiple;
    switch (text.front()) {
        case 'm': unit = BarUnit::Minute; limit = kMaxMinutes; break;
        case 'D': unit = BarUnit::Day; break;
        case 'W': unit = BarUnit::Week; break;
        case 'M': unit = BarUnit::Month; break;
        default: return std::nullopt;
    }
    auto multiple = parseNumber(text.substr(1), limit);
    if (!multiple || *multiple == 0) return std::nullopt;
    return Interval{unit, static_cast<int>(*multiple)};
}

}  // namespace

bool isValidSymbol(std::string_view text) {
    if (text.empty() || text.size() > kMaxSymbolLength || !isUpper(text.front())) return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return isUpper(c) || isDigit(c) || c == '.' || c == '-'; });
}

std::optional<Query> parseQuery(std::string_view text) {
    const auto comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    Query query;
    query.symbol = std::string(text.substr(0, comma));
    if (!isValidSymbol(query.symbol)) return std::nullopt;
    std::string_view rest = text.substr(comma + 1);
    const auto end = rest.find(kEndTimeKey);
    if (end != std::string_view::npos) {
        auto time = parseNumber(rest.substr(end + kEndTimeKey.size()), UINT32_MAX);
        if (!time) return std::nullopt;
        query.endTime = static_cast<std::uint32_t>(*time);
        rest = rest.substr(0, end);
    }
    auto interval = parseInterval(rest);
    if (!interval) return std::nullopt;
    query.interval = *interval;
    return query;
}

std::int64_t barStart(const Interval& interval, std::int64_t time) {
    std::int64_t day = floorDiv(time, kSecondsPerDay);
    const std::int64_t k = interval.multiple;
    switch (interval.unit) {
        case BarUnit::Minute: {
            // On a day without trading, the last bar of the trading day before.
            if (!isTradingDay(day)) {
                day = dayOfTradingIndex(tradingIndex(day));
                time = (day + 1) * kSecondsPerDay - 1;
            }
            const std::int64_t length = k * 60;
            const std::int64_t intoDay = time - day * kSecondsPerDay;
            return day * kSecondsPerDay + (intoDay / length) * length;
        }
        case BarUnit::Day:
            // Groups of k trading days; a day without trading belongs to the group before.
            return dayOfTradingIndex(floorDiv(tradingIndex(day), k) * k) * kSecondsPerDay;
        case BarUnit::Week: {
            // 1970-01-01 was a Thursday: day 4 is the first Monday.
            const std::int64_t week = floorDiv(day + 3, 7);
            return (floorDiv(week, k) * k * 7 - 3) * kSecondsPerDay;
        }
        case BarUnit::Month: {
            const CivilDate date = civilFromDays(day);
            const std::int64_t month = static_cast<std::int64_t>(date.year) * 12 + (date.month - 1);
            const std::int64_t group = floorDiv(month, k) * k;
            return daysFromCivil(0, group + 1, 1) * kSecondsPerDay;
        }
    }
    return time;
}

std::int64_t barEnd(const Interval& interval, std::int64_t start) {
    const std::int64_t k = interval.multiple;
    const std::int64_t day = floorDiv(start, kSecondsPerDay);
    switch (interval.unit) {
        case BarUnit::Minute: {
            // The day's last bar ends when the next trading day begins.
            if (start + k * 60 < (day + 1) * kSecondsPerDay) return start + k * 60;
            return dayOfTradingIndex(tradingIndex(day) + 1) * kSecondsPerDay;
        }
        case BarUnit::Day: return dayOfTradingIndex(tradingIndex(day) + k) * kSecondsPerDay;
        case BarUnit::Week: return start + k * 7 * kSecondsPerDay;
        case BarUnit::Month: {
            const CivilDate date = civilFromDays(day);
            return daysFromCivil(date.year, date.month + k, 1) * kSecondsPerDay;
        }
    }
    return start;
}

bool isLongInterval(const Interval& interval) { return interval.unit != BarUnit::Minute; }

}  // namespace simfeed
