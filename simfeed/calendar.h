// Civil-date arithmetic of the stand-in feed, and its market's trading days:
// feed times are seconds since 1970-01-01 00:00:00 UTC, split and built here
// without the C library's time zone machinery (no gmtime/timegm), so results
// never depend on the process's locale or TZ. Proleptic Gregorian calendar,
// full years, months 1-12.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace simfeed {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a civil date. Months outside 1-12 and days outside
// the month are carried into the neighbouring months, as C's mktime does.
constexpr std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    // Fold the month into 1-12 first, carrying whole years.
    std::int64_t monthIndex = year * 12 + (month - 1);
    std::int64_t y = monthIndex >= 0 ? monthIndex / 12 : (monthIndex - 11) / 12;
    const std::int64_t m = monthIndex - y * 12 + 1;
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468 + (day - 1);
}

struct CivilDate {
    int year;
    int month;  // 1-12
    int day;    // 1-31
};

// The civil date of a count of days since 1970-01-01.
constexpr CivilDate civilFromDays(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return CivilDate{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
}

// Seconds since 1970 of a civil date and time, normalised like mktime.
constexpr std::int64_t secondsFromCivil(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                                        std::int64_t minute, std::int64_t second) {
    return daysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

// Floor division for day and bar arithmetic on possibly negative times.
constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// ---- The market's trading days ----------------------------------------------
// By default the market trades Monday to Friday, around the clock (UTC), and
// not at all on Saturdays and Sundays. The 24/7 market (simfeed_set_market_24x7,
// SIMFEED_MARKET=24x7) trades every day. Any thread.
inline std::atomic<bool> alwaysOpenMarket{false};
inline bool marketAlwaysOpen() { return alwaysOpenMarket.load(std::memory_order_relaxed); }
inline void setMarketAlwaysOpen(bool on) { alwaysOpenMarket.store(on, std::memory_order_relaxed); }

// Day of the week of a count of days since 1970-01-01 (a Thursday): 0 Monday to 6 Sunday.
constexpr int weekdayOf(std::int64_t day) { return static_cast<int>(day + 3 - floorDiv(day + 3, 7) * 7); }

inline bool isTradingDay(std::int64_t day) { return marketAlwaysOpen() || weekdayOf(day) < 5; }

// Trading days counted on their own: in the weekday market from Monday
// 1969-12-29 (index 0), so that every Monday's index is a multiple of 5; in
// the 24/7 market the day itself. A Saturday or Sunday gets the index of the
// Friday before.
inline std::int64_t tradingIndex(std::int64_t day) {
    if (marketAlwaysOpen()) return day;
    const std::int64_t week = floorDiv(day + 3, 7);
    return week * 5 + std::min(weekdayOf(day), 4);
}

// The day of a trading index.
inline std::int64_t dayOfTradingIndex(std::int64_t index) {
    if (marketAlwaysOpen()) return index;
    const std::int64_t week = floorDiv(index, 5);
    return week * 7 + (index - week * 5) - 3;
}

}  // namespace simfeed
