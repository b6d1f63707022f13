#include "end_time.h"

#include <date/date.h>
#include <fmt/format.h>

#include <regex>

#include "options.h"

namespace {

constexpr const char* kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                       "July",    "August",   "September", "October", "November", "December"};
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

data::CalendarRecord noEndTime() { return data::CalendarRecord{}; }

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
        return fail(fmt::format("{} {} has {} days", kMonthNames[month - 1], year, days));
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
    data::CalendarRecord record{};
    record.tm_year = year;
    record.tm_mon = month;
    record.tm_mday = day;
    record.tm_hour = hour;
    record.tm_min = minute;
    record.tm_sec = second;
    return record;
}
