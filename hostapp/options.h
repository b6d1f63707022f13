// Checks of option values that CLI11 runs on the text before converting it:
// numbers of seconds and whole numbers within ranges, and symbols. Each check
// returns "" when the text is fine, else the reason, which reads as a range.
// Every number the host reads goes through readNumber().
#pragma once

#include <string>
#include <string_view>

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

// A decimal number of seconds, finite, from `low` to `high`. `zeroMeaning`,
// when not empty, also allows 0 and says what it means ("until Ctrl-C").
std::string checkSeconds(const std::string& text, double low, double high, const std::string& zeroMeaning = "");

// A whole number from `low` to `high`, digits only.
std::string checkCount(const std::string& text, int low, int high);

// A symbol: not empty, no blanks or commas inside.
std::string checkSymbol(const std::string& text);

// The checks above as CLI11 validators.
CLI::Validator secondsOption(double low, double high, const std::string& zeroMeaning = "");
CLI::Validator wholeNumberOption(int low, int high);
CLI::Validator symbolOption();
