// The --interval option: how its text maps onto a request's interval fields,
// checked against what the plug-in's ability record offers.
//
//   "5"        type 1 (minutes by number), number 5
//   "m15"      type 2, letter 'm' (minutes), multiple 15
//   "D", "D1"  type 2, letter 'D', multiple 1 (likewise "W<n>", "M<n>")
//
// Minute counts (plain numbers and "m<n>") must be the first number of one of
// the interval table's pairs; a letter must be one of the ability letters.
// Letters are case-sensitive: 'M' is months, 'm' minutes. Text of another
// shape is a syntax error; both kinds of error hint at what a near miss
// ("d1", "1h", "5min") most likely meant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host_objects.h"

// Largest multiple accepted with a day, week or month letter.
constexpr unsigned int kMaxCalendarMultiple = 999;

// The minute counts of an interval table: the first number of each pair, up
// to the closing (0, 0) pair (and at most 64 pairs, should it be missing).
std::vector<int> offeredMinutes(const std::int32_t* table);

// The request fields for `text`, or nullopt with a message in `error`.
std::optional<IntervalSpec> parseInterval(const std::string& text, const std::vector<int>& minutes,
                                          const std::string& letters, std::string& error);

// A one-line list of the accepted forms, for messages and `info`.
std::string describeIntervals(const std::vector<int>& minutes, const std::string& letters);

// Short label of a request's interval, the way --interval spells it.
std::string intervalLabel(const IntervalSpec& parsed);
// The interval in words: "1 minute", "5 minutes", "1 day", "2 weeks".
std::string intervalWords(const IntervalSpec& parsed);

// The length of one bar: `intervalMultiple` units.
enum class IntervalUnit { Minutes, Days, Weeks, Months };
IntervalUnit intervalUnit(const IntervalSpec& parsed);
unsigned int intervalMultiple(const IntervalSpec& parsed);
