#include "interval.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr std::size_t kMaxPairs = 64;
constexpr int kRequestTypeMinutes = 1;
constexpr int kRequestTypeLetter = 2;

// Digits only, no sign, at most 6 of them.
std::optional<unsigned int> parseCount(const std::string& digits) {
    if (digits.empty() || digits.size() > 6) return std::nullopt;
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    return static_cast<unsigned int>(std::stoul(digits));
}

bool offers(const std::vector<int>& minutes, unsigned int count) {
    return std::find(minutes.begin(), minutes.end(), static_cast<int>(count)) != minutes.end();
}

std::string notOffered(const std::string& text, const std::vector<int>& minutes, const std::string& letters) {
    return fmt::format("interval '{}' is not offered by the plug-in; use {}", text,
                       describeIntervals(minutes, letters));
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
    if (text.empty()) {
        error = notOffered(text, minutes, letters);
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
