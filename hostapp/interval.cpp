#include "interval.h"
#include "options.h"

#include <fmt/ranges.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>

namespace {

constexpr std::size_t kMaxPairs = 64;
constexpr int kRequestTypeMinutes = 1;
constexpr int kRequestTypeLetter = 2;

// Digits (the callers matched them), at most 6 of them.
std::optional<unsigned int> parseCount(const std::string& digits) {
    unsigned int count = 0;
    return digits.size() <= 6 && readNumber(digits, count) ? std::optional(count) : std::nullopt;
}

bool offers(const std::vector<int>& minutes, unsigned int count) {
    return std::find(minutes.begin(), minutes.end(), static_cast<int>(count)) != minutes.end();
}

// " (did you mean ...?)" with what a mistyped interval most likely meant, in
// the option's own forms: "1h" and "H1" are 60 minutes, "5min" is 5, "d1" and
// "1d" are D1. "" when nothing comes close.
std::string hintText(const std::string& text, const std::vector<int>& minutes, const std::string& letters) {
    static const std::regex numberFirst(R"(\s*(\d{1,6})\s*([A-Za-z]+)\s*)");
    static const std::regex unitFirst(R"(\s*([A-Za-z]+)\s*(\d{0,6})\s*)");
    std::smatch m;
    std::string count, unit;
    if (std::regex_match(text, m, numberFirst)) {
        count = m[1].str();
        unit = m[2].str();
    } else if (std::regex_match(text, m, unitFirst)) {
        unit = m[1].str();
        count = m[2].matched && m[2].length() > 0 ? m[2].str() : "1";
    } else {
        return {};
    }
    const unsigned int n = parseCount(count).value_or(0);
    // Unit words: minutes in one unit, or the letter; lower case but for "M"
    // (months), kept apart from "m" (minutes).
    static const std::map<std::string, std::pair<unsigned int, char>> kUnits = {
        {"m", {1, 0}},   {"min", {1, 0}}, {"mins", {1, 0}}, {"minute", {1, 0}}, {"minutes", {1, 0}},
        {"h", {60, 0}},  {"hr", {60, 0}},  {"hour", {60, 0}}, {"hours", {60, 0}},
        {"d", {0, 'D'}}, {"day", {0, 'D'}}, {"days", {0, 'D'}},
        {"w", {0, 'W'}}, {"wk", {0, 'W'}}, {"week", {0, 'W'}}, {"weeks", {0, 'W'}},
        {"M", {0, 'M'}}, {"mo", {0, 'M'}}, {"mon", {0, 'M'}}, {"month", {0, 'M'}}, {"months", {0, 'M'}}};
    const auto found = kUnits.find(unit == "M" ? unit : lowered(unit));
    if (found == kUnits.end()) return {};
    unsigned int totalMinutes = n * found->second.first;
    char letter = found->second.second;
    if (letter == 0 && totalMinutes > 0 && totalMinutes % 1440 == 0) {
        letter = 'D';
        totalMinutes /= 1440;
    }
    std::string hint;
    if (letter == 0 && offers(minutes, totalMinutes)) hint = std::to_string(totalMinutes);
    const unsigned int multiple = letter == 'D' && totalMinutes > 0 ? totalMinutes : n;
    if (letter != 0 && letters.find(letter) != std::string::npos && multiple >= 1 && multiple <= kMaxCalendarMultiple) {
        hint = fmt::format("{}{}", letter, multiple);
    }
    return hint.empty() || hint == text ? std::string{} : fmt::format(" (did you mean '{}'?)", hint);
}

}  // namespace

std::vector<int> offeredMinutes(const std::int32_t* table) {
    std::vector<int> minutes;
    for (std::size_t pair = 0; table != nullptr && pair < kMaxPairs; ++pair) {
        const std::int32_t first = table[2 * pair];
        if (first == 0 && table[2 * pair + 1] == 0) break;
        minutes.push_back(first);
    }
    return minutes;
}

std::optional<IntervalSpec> parseInterval(const std::string& text, const std::vector<int>& minutes,
                                          const std::string& letters, std::string& error) {
    // Refused: not written as an interval at all (`unwritten`), or not offered by the plug-in.
    const auto fail = [&](bool unwritten) {
        error = fmt::format(unwritten ? "interval '{}' is not written as an interval{}: write minutes as a number "
                                        "(5) or m<minutes> (m5), days, weeks or months as D<n>, W<n>, M<n>; offered: {}"
                                      : "interval '{}' is not offered by the plug-in{}; use {}",
                            text, hintText(text, minutes, letters), describeIntervals(minutes, letters));
        return std::nullopt;
    };
    static const std::regex syntax(R"(\d+|[A-Za-z]\d*)");
    if (!std::regex_match(text, syntax)) return fail(true);
    const bool letterForm = std::isalpha(static_cast<unsigned char>(text[0])) != 0;
    const std::string digits = letterForm ? text.substr(1) : text;
    // A bare letter means a multiple of one ("D" is "D1").
    const std::optional<unsigned int> count = letterForm && digits.empty() ? 1u : parseCount(digits);
    IntervalSpec parsed;
    bool ok = count.has_value() && *count > 0;
    if (ok && !letterForm) {
        ok = offers(minutes, *count);
        parsed = IntervalSpec{kRequestTypeMinutes, *count, 'm', *count};
    } else if (ok) {
        const char letter = text[0];
        ok = letters.find(letter) != std::string::npos &&
             (letter == 'm' ? offers(minutes, *count) : *count <= kMaxCalendarMultiple);
        parsed = IntervalSpec{kRequestTypeLetter, *count, letter, *count};
    }
    if (!ok) return fail(false);
    return parsed;
}

std::string describeIntervals(const std::vector<int>& minutes, const std::string& letters) {
    std::string out = fmt::format("minutes {} (or m<minutes>)", fmt::join(minutes, "|"));
    for (char letter : letters) {
        if (letter != 'm') out += fmt::format(", {}<n>", letter);
    }
    out += fmt::format(" with n from 1 to {} (letters: {})", kMaxCalendarMultiple, letters);
    return out;
}

std::string intervalLabel(const IntervalSpec& parsed) {
    if (parsed.type == kRequestTypeMinutes) return std::to_string(parsed.number);
    return fmt::format("{}{}", parsed.letter, parsed.multiple);
}

std::string intervalWords(const IntervalSpec& parsed) {
    static const char* const kUnits[] = {"minute", "day", "week", "month"};
    const unsigned int count = intervalMultiple(parsed);
    return fmt::format("{} {}{}", count, kUnits[static_cast<int>(intervalUnit(parsed))], count == 1 ? "" : "s");
}

IntervalUnit intervalUnit(const IntervalSpec& parsed) {
    if (parsed.type == kRequestTypeMinutes) return IntervalUnit::Minutes;
    switch (parsed.letter) {
        case 'D': return IntervalUnit::Days;
        case 'W': return IntervalUnit::Weeks;
        case 'M': return IntervalUnit::Months;
        default: return IntervalUnit::Minutes;
    }
}

unsigned int intervalMultiple(const IntervalSpec& parsed) {
    return parsed.type == kRequestTypeMinutes ? parsed.number : parsed.multiple;
}
