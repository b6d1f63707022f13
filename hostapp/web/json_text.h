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
// {"time":..,"open":..,"high":..,"low":..,"close":..,"volume":..}, the time in
// seconds since 1970 UTC.
std::string jsonBar(const Bar& bar);
// {"error":"<text>"}
std::string jsonError(const std::string& text);
