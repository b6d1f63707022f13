#include "feedtime/feed_time.h"

#include <algorithm>
#include <cstdint>

#include "simfeed/calendar.h"

namespace feedtime {

FeedTime make(int year, int month, int day, int hour, int minute, int second) {
    const std::int64_t seconds = simfeed::secondsFromCivil(year, month, day, hour, minute, second);
    return static_cast<FeedTime>(std::clamp<std::int64_t>(seconds, 0, 4294967295LL));
}

void splitDate(FeedTime time, int* year, int* month, int* day) {
    const simfeed::CivilDate date = simfeed::civilFromDays(static_cast<std::int64_t>(time) / simfeed::kSecondsPerDay);
    if (year != nullptr) *year = date.year;
    if (month != nullptr) *month = date.month;
    if (day != nullptr) *day = date.day;
}

void splitClock(FeedTime time, int* hour, int* minute, int* second) {
    const auto intoDay = static_cast<int>(static_cast<std::int64_t>(time) % simfeed::kSecondsPerDay);
    if (hour != nullptr) *hour = intoDay / 3600;
    if (minute != nullptr) *minute = intoDay / 60 % 60;
    if (second != nullptr) *second = intoDay % 60;
}

}  // namespace feedtime
