#include "options.h"

#include <CLI/CLI.hpp>
#include <date/date.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <regex>

template <typename T>
bool readNumber(std::string_view text, T& value, bool* outOfRange) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (outOfRange != nullptr) *outOfRange = error == std::errc::result_out_of_range && stop == end;
    return error == std::errc() && stop == end && !text.empty();
}
template bool readNumber<int>(std::string_view, int&, bool*);
template bool readNumber<long long>(std::string_view, long long&, bool*);
template bool readNumber<unsigned>(std::string_view, unsigned&, bool*);
template bool readNumber<double>(std::string_view, double&, bool*);

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

CLI::Validator secondsOption(double low, double high, const std::string& zeroMeaning) {
    const std::string range = zeroMeaning.empty() ? fmt::format("from {} to {}", low, high)
                                                  : fmt::format("from {} to {}, or 0 ({})", low, high, zeroMeaning);
    const auto check = [=](std::string& text) -> std::string {
        double value = 0;
        bool tooLarge = false;
        const bool number = readNumber(text, value, &tooLarge) && std::isfinite(value);
        if (!number && !tooLarge) return fmt::format("'{}' is not a number of seconds; give one {}", text, range);
        if (!tooLarge && value == 0 && !zeroMeaning.empty()) return {};
        if (tooLarge || value < low || value > high) {
            return fmt::format("{} s is out of range; give a number of seconds {}", text, range);
        }
        return {};
    };
    return CLI::Validator(check, "SECONDS");
}

// CLI11 converts whole numbers as C does (a leading 0 makes them octal), so
// it hands on the number in plain decimal digits: add it with transform(), as check() drops the change.
CLI::Validator wholeNumberOption(int low, int high) {
    const auto check = [=](std::string& text) -> std::string {
        long long value = 0;
        bool tooLarge = false;
        if (!readNumber(text, value, &tooLarge) && !tooLarge) {
            return fmt::format("'{}' is not a whole number; give one from {} to {}", text, low, high);
        }
        if (tooLarge || value < low || value > high) {
            return fmt::format("{} is out of range; give a whole number from {} to {}", text, low, high);
        }
        text = std::to_string(value);
        return {};
    };
    return CLI::Validator(check, fmt::format("{}-{}", low, high));
}

CLI::Validator symbolOption() {
    const auto check = [](std::string& text) -> std::string {
        if (text.empty()) return "a symbol is empty; give symbols such as ACME, separated by commas or blanks";
        if (text.find_first_of(" \t,") != std::string::npos) return "'" + text + "' is not one symbol";
        return {};
    };
    return CLI::Validator(check, "");
}

namespace {

constexpr const char kForms[] =
    "write YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, optionally ending in Z (times are UTC)";

std::string feedRange() {
    const auto first = date::sys_seconds{std::chrono::seconds{kFirstFeedTime}};
    const auto last = date::sys_seconds{std::chrono::seconds{kLastFeedTime}};
    return date::format("%FT%TZ", first) + " to " + date::format("%FT%TZ", last);
}

// Why a text that is not one of the accepted forms is refused.
std::string shapeProblem(const std::string& text) {
    static const std::regex spaced(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}(:\d{2})?Z?)");
    static const std::regex offset(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}(:\d{2})?([+-]\d{2}(:?\d{2})?))");
    static const std::regex fraction(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[.,]\d+Z?)");
    std::smatch match;
    if (std::regex_match(text, spaced)) return "put a T between the date and the time";
    if (std::regex_match(text, match, offset)) {
        return fmt::format("times are UTC: leave out the offset '{}' (or write Z)", match[2].str());
    }
    if (std::regex_match(text, fraction)) return "give whole seconds";
    return kForms;
}

}  // namespace

std::optional<data::CalendarRecord> parseEndTime(const std::string& text, std::string& error) {
    static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})(?:T(\d{2}):(\d{2})(?::(\d{2}))?)?Z?)");
    const auto fail = [&](const std::string& why) {
        error = fmt::format("--end '{}': {}", text, why);
        return std::nullopt;
    };
    std::smatch m;
    if (!std::regex_match(text, m, form)) return fail(shapeProblem(text));
    const auto number = [&m](std::size_t group) {
        int value = 0;
        return m[group].matched && readNumber(m[group].str(), value) ? value : 0;
    };
    const int year = number(1), month = number(2), day = number(3);
    const int hour = number(4), minute = number(5), second = number(6);

    const date::year y{year};
    const date::month mo{static_cast<unsigned>(month)};
    if (!mo.ok()) return fail(fmt::format("there is no month {:02d}", month));
    const date::year_month_day ymd = y / mo / date::day{static_cast<unsigned>(day)};
    if (!ymd.ok()) {
        const unsigned days = static_cast<unsigned>((y / mo / date::last).day());
        return fail(fmt::format("{} {} has {} days", date::format("%B", mo), year, days));
    }
    if (hour > 23) return fail(fmt::format("there is no hour {:02d} (00 to 23)", hour));
    if (minute > 59) return fail(fmt::format("there is no minute {:02d} (00 to 59)", minute));
    if (second > 59) return fail(fmt::format("there is no second {:02d} (00 to 59)", second));

    const auto moment = date::sys_days{ymd} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
                        std::chrono::seconds{second};
    const long long seconds = moment.time_since_epoch().count();
    if (seconds < kFirstFeedTime || seconds > kLastFeedTime) {
        return fail("outside the times the feed can represent, " + feedRange());
    }
    // In the record's order: seconds first; no weekday, day of the year or summer time.
    return data::CalendarRecord{second, minute, hour, day, month, year, 0, 0, 0};
}

namespace {

constexpr std::size_t kMaxEdits = 2;

// Optimal string alignment distance, case-insensitive.
std::size_t editDistance(const std::string& a, const std::string& b) {
    const std::string x = lowered(a), y = lowered(b);
    std::vector<std::vector<std::size_t>> d(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            const std::size_t cost = x[i - 1] == y[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[x.size()][y.size()];
}

}  // namespace

std::optional<std::string> closestName(const std::string& word, const std::vector<std::string>& names) {
    if (word.empty()) return std::nullopt;
    const std::string key = lowered(word);
    for (const std::string& name : names) {
        if (lowered(name) == key) return name;
    }
    // Short words are too close to too many names to guess.
    const std::size_t limit = std::min(kMaxEdits, word.size() / 3);
    std::optional<std::string> best;
    std::size_t bestDistance = limit + 1;
    bool tie = false;
    for (const std::string& name : names) {
        const std::size_t distance = editDistance(word, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
            tie = false;
        } else if (distance == bestDistance) {
            tie = true;
        }
    }
    return best && !tie ? best : std::nullopt;
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& names) {
    const std::optional<std::string> name = closestName(word, names);
    return name ? " (did you mean '" + *name + "'?)" : std::string{};
}

std::string spokenList(const std::vector<std::string>& items, const char* conjunction) {
    if (items.size() < 2) return items.empty() ? std::string{} : items.front();
    return fmt::format("{} {} {}", fmt::join(items.begin(), items.end() - 1, ", "), conjunction, items.back());
}
