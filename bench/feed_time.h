// Feed times for the benchmarks' feed fakes: seconds since 1970-01-01 UTC,
// made and split with the stand-in's integer calendar arithmetic (no gmtime_r,
// which takes a process-wide lock). Inline, so a fake's time calls cost what they did.
#pragma once

#include <cstdint>

#include "feed/TellivarClient.h"
#include "simfeed/calendar.h"

constexpr std::int64_t kFeedSecondsPerDay = simfeed::kSecondsPerDay;

inline FeedTime makeFeedTime(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<FeedTime>(simfeed::secondsFromCivil(year, month, day, hour, minute, second));
}

inline void splitFeedDate(FeedTime time, int* year, int* month, int* day) {
    const simfeed::CivilDate date = simfeed::civilFromDays(static_cast<std::int64_t>(time) / kFeedSecondsPerDay);
    *year = date.year;
    *month = date.month;
    *day = date.day;
}

inline void splitFeedClock(FeedTime time, int* hour, int* minute, int* second) {
    const auto inDay = static_cast<int>(time % kFeedSecondsPerDay);
    *hour = inDay / 3600;
    *minute = inDay / 60 % 60;
    *second = inDay % 60;
}
