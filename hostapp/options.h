// Checks of option values that CLI11 runs on the text before converting it:
// numbers of seconds and counts within ranges, and symbols. Each returns ""
// when the text is fine, else the reason, which reads as a range.
#pragma once

#include <string>

// Seconds since launch that a run may last, and a timeout may wait.
constexpr double kMaxRunSeconds = 31536000;  // a year
constexpr double kMinTimeout = 0.1;
constexpr double kMaxTimeout = 86400;         // a day
constexpr int kMaxCount = 100000;

// A decimal number of seconds, finite, from `low` to `high`. `zeroMeaning`,
// when not empty, also allows 0 and says what it means ("until Ctrl-C").
std::string checkSeconds(const std::string& text, double low, double high, const std::string& zeroMeaning = "");

// A whole number from `low` to `high`, digits only.
std::string checkCount(const std::string& text, int low, int high);

// A symbol: not empty, no blanks or commas inside.
std::string checkSymbol(const std::string& text);
