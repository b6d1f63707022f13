// Feed-time arithmetic shared by every feed client of this tree: seconds since
// 1970-01-01 00:00:00 UTC in 32 bits, built and split with integer calendar
// arithmetic (simfeed/calendar.h), never with the C library's time zone code.
// Pure functions; any thread.
#pragma once

#include "feed/TellivarClient.h"

namespace feedtime {

// Full year, month 1-12; values outside their ranges carry over like mktime.
// Results before 1970 or after 2106-02-07 06:28:15 are clamped to the range.
FeedTime make(int year, int month, int day, int hour, int minute, int second);
// Splits a feed time; null outputs are skipped.
void splitDate(FeedTime time, int* year, int* month, int* day);
void splitClock(FeedTime time, int* hour, int* minute, int* second);

}  // namespace feedtime
