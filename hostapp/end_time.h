// The --end option of `history`: DATE or DATETHH:MM.
#pragma once

#include <optional>
#include <string>

#include "host/data.h"

// Parses "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM" into the end-time record of a
// history request. The record holds the full year and the month 1-12 (not
// C's offsets): the plug-in hands both to the feed as they are. Years from
// 1801 on; the date must exist. Nullopt with a message in `error` otherwise.
std::optional<data::CalendarRecord> parseEndTime(const std::string& text, std::string& error);

// The record of a request without an end time: all zeros.
data::CalendarRecord noEndTime();
