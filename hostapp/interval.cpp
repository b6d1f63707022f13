#include "interval.h"
#include "options.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
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

// What a mistyped interval most likely meant, in the option's own forms:
// "1h" and "H1" are 60 minutes, "5min" is 5, "d1" and "1d" are D1.
std::optional<std::string> intervalHint(const std::string& text, const std::vector<int>& minutes,
                                        const std::string& letters) {
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
        return std::nullopt;
    }
    const unsigned int n = parseCount(count).value_or(0);
    const std::string word = lowered(unit);
    unsigned int totalMinutes = 0;
    char letter = 0;
    if (unit == "m" || word == "min" || word == "mins" || word == "minute" || word == "minutes") {
        totalMinutes = n;
    } else if (word == "h" || word == "hr" || word == "hour" || word == "hours") {
        totalMinutes = n * 60;
    } else if (word == "d" || word == "day" || word == "days") {
        letter = 'D';
    } else if (word == "w" || word == "wk" || word == "week" || word == "weeks") {
        letter = 'W';
    } else if (unit == "M" || word == "mo" || word == "mon" || word == "month" || word == "months") {
        letter = 'M';
    } else {
        return std::nullopt;
    }
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
    if (hint.empty() || hint == text) return std::nullopt;
    return hint;
}

std::string hintText(const std::string& text, const std::vector<int>& minutes, const std::string& letters) {
    const std::optional<std::string> hint = intervalHint(text, minutes, letters);
    return hint ? fmt::format(" (did you mean '{}'?)", *hint) : std::string{};
}

std::string notOffered(const std::string& text, const std::vector<int>& minutes, const std::string& letters) {
    return fmt::format("interval '{}' is not offered by the plug-in{}; use {}", text,
                       hintText(text, minutes, letters), describeIntervals(minutes, letters));
}

std::string badSyntax(const std::string& text, const std::vector<int>& minutes, const std::string& letters) {
    return fmt::format("interval '{}' is not written as an interval{}: write minutes as a number (5) or "
                       "m<minutes> (m5), days, weeks or months as D<n>, W<n>, M<n>; offered: {}",
                       text, hintText(text, minutes, letters), describeIntervals(minutes, letters));
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
    static const std::regex syntax(R"(\d+|[A-Za-z]\d*)");
    if (!std::regex_match(text, syntax)) {
        error = badSyntax(text, minutes, letters);
        return std::nullopt;
    }
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
    if (!ok) {
        error = notOffered(text, minutes, letters);
        return std::nullopt;
    }
    return parsed;
}

std::string describeIntervals(const std::vector<int>& minutes, const std::string& letters) {
    std::string numbers;
    for (int count : minutes) numbers += (numbers.empty() ? "" : "|") + std::to_string(count);
    std::string out = fmt::format("minutes {} (or m<minutes>)", numbers);
    for (char letter : letters) {
        if (letter == 'm') continue;
        out += fmt::format(", {}<n>", letter);
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
