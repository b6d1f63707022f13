// Feed times for the benchmarks' feed fakes: seconds since 1970-01-01 UTC,
// made and split with integer calendar arithmetic (no gmtime_r, which takes a
// process-wide lock). Inline, so a fake's time calls cost what they did.
#pragma once

#include <cstdint>

#include "feed/TellivarClient.h"

constexpr std::int64_t kFeedSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
inline std::int64_t daysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

inline void civilFromDays(std::int64_t days, int* year, int* month, int* day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

inline FeedTime makeFeedTime(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<FeedTime>(daysFromCivil(year, month, day) * kFeedSecondsPerDay + hour * 3600 + minute * 60 + second);
}

inline void splitFeedDate(FeedTime time, int* year, int* month, int* day) {
    civilFromDays(static_cast<std::int64_t>(time) / kFeedSecondsPerDay, year, month, day);
}

inline void splitFeedClock(FeedTime time, int* hour, int* minute, int* second) {
    const auto inDay = static_cast<int>(time % kFeedSecondsPerDay);
    *hour = inDay / 3600;
    *minute = inDay / 60 % 60;
    *second = inDay % 60;
}
