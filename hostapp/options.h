// Checks of option values that CLI11 runs on the text before converting it:
// numbers of seconds and whole numbers within ranges, and symbols. Each check
// returns "" when the text is fine, else the reason, which reads as a range.
// Every number the host reads goes through readNumber(). Also the --end time
// of `history`, and the "did you mean" hints for mistyped names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/data.h"

namespace CLI {
class Validator;
}

// Seconds since launch that a run may last, and a timeout may wait.
constexpr double kMaxRunSeconds = 31536000;  // a year
constexpr double kMinTimeout = 0.1;
constexpr double kMaxTimeout = 86400;         // a day
constexpr int kMaxCount = 100000;

// Reads all of `text` as a decimal number (an optional '+' or '-', no blanks,
// no hexadecimal): false when it is not one, with `outOfRange` set when it is
// a number too large for T.
template <typename T>
bool readNumber(std::string_view text, T& value, bool* outOfRange = nullptr);

// `text` in lower case (ASCII).
std::string lowered(std::string text);

// A decimal number of seconds, finite, from `low` to `high`. `zeroMeaning`,
// when not empty, also allows 0 and says what it means ("until Ctrl-C").
CLI::Validator secondsOption(double low, double high, const std::string& zeroMeaning = "");

// A whole number from `low` to `high`, digits only.
CLI::Validator wholeNumberOption(int low, int high);

// A symbol: not empty, no blanks or commas inside.
CLI::Validator symbolOption();

// The --end option of `history`: an ISO-8601 time in UTC.
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

// "Did you mean ...?" for names the user mistyped: commands, field names.
// The name of `names` that `word` most likely meant: the one that differs only
// in case, else the single closest one within two edits (a letter added,
// dropped, changed, or two neighbours swapped). Nullopt when none is close.
std::optional<std::string> closestName(const std::string& word, const std::vector<std::string>& names);

// " (did you mean 'NAME'?)" for a closest name, else "".
std::string didYouMean(const std::string& word, const std::vector<std::string>& names);

// "a, b and c", or "a, b or c" with the conjunction "or".
std::string spokenList(const std::vector<std::string>& items, const char* conjunction = "and");
