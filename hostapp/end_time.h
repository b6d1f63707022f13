// The --end option of `history`: an ISO-8601 time in UTC.
#pragma once

#include <optional>
#include <string>

#include "host/data.h"

// The times a feed time can hold: unsigned 32-bit seconds since 1970 (the
// feed contract's MakeTime), 1970-01-01T00:00:00Z to 2106-02-07T06:28:15Z.
constexpr long long kFirstFeedTime = 0;
constexpr long long kLastFeedTime = 4294967295LL;

// Parses "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS", each
// optionally ending in "Z" (every time is UTC), into the end-time record of a
// history request. The record holds the full year and the month 1-12 (not
// C's offsets): the plug-in hands both to the feed as they are. The date must
// exist and lie within the feed's range. Nullopt with a message that says why
// in `error` otherwise.
std::optional<data::CalendarRecord> parseEndTime(const std::string& text, std::string& error);

// The record of a request without an end time: all zeros.
data::CalendarRecord noEndTime();
