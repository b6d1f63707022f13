#include "end_time.h"

#include <cstdio>

namespace {

constexpr int kFirstYear = 1801;  // the plug-in ignores an end time of year 1800 or less
constexpr int kLastYear = 9999;

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

bool inRange(int value, int low, int high) { return value >= low && value <= high; }

}  // namespace

data::CalendarRecord noEndTime() { return data::CalendarRecord{}; }

std::optional<data::CalendarRecord> parseEndTime(const std::string& text, std::string& error) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    char tail = 0;
    int consumed = 0;
    const bool dateOnly = text.size() == 10 &&
                          std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &consumed) == 3 &&
                          consumed == 10;
    const bool withTime = !dateOnly && text.size() == 16 &&
                          std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &year, &month, &day, &tail, &hour,
                                      &minute, &consumed) == 6 &&
                          tail == 'T' && consumed == 16;
    const bool valid = (dateOnly || withTime) && inRange(year, kFirstYear, kLastYear) && inRange(month, 1, 12) &&
                       inRange(day, 1, daysInMonth(year, month)) && inRange(hour, 0, 23) && inRange(minute, 0, 59);
    if (!valid) {
        error = "end time '" + text + "' is not a date YYYY-MM-DD or YYYY-MM-DDTHH:MM (year 1801 or later)";
        return std::nullopt;
    }
    data::CalendarRecord record{};
    record.tm_year = year;
    record.tm_mon = month;
    record.tm_mday = day;
    record.tm_hour = hour;
    record.tm_min = minute;
    return record;
}
