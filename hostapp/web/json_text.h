// JSON for the web server's answers and events, through nlohmann-json. Feed
// texts are set as text by the page, never as HTML.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "events.h"

using Json = nlohmann::ordered_json;  // keeps the fields in the order written

// `json` as compact text. Bytes that are not UTF-8 become U+FFFD rather than
// an exception: feed texts may carry any bytes.
std::string dumpJson(const Json& json);
// A number, or null when missing or not finite.
Json jsonNumber(const std::optional<double>& value);
// {"time":..,"open":..,"high":..,"low":..,"close":..,"volume":..}, the time in
// seconds since 1970 UTC.
Json jsonBar(const Bar& bar);
// {"error":"<text>"} as text.
std::string jsonError(const std::string& text);
