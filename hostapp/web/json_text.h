// JSON pieces for the web server's answers and events. Feed texts are
// escaped here and set as text by the page, never as HTML.
#pragma once

#include <optional>
#include <string>

#include "events.h"

// `text` as a JSON string literal, quotes included. Control characters are
// escaped; other bytes pass as they are.
std::string jsonString(const std::string& text);
// A number, or null when missing or not finite.
std::string jsonNumber(const std::optional<double>& value);
// Seconds since 1970-01-01 UTC of a record in C's tm layout (years since
// 1900, month 0-11), the time the feed gave.
long long epochSeconds(const data::CalendarRecord& time);
// {"time":..,"open":..,"high":..,"low":..,"close":..,"volume":..}
std::string jsonBar(const Bar& bar);
// {"error":"<text>"}
std::string jsonError(const std::string& text);
