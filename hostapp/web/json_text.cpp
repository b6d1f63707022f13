#include "json_text.h"

#include <fmt/format.h>

#include <cmath>

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            out += fmt::format("\\u{:04x}", byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value)) return "null";
    return fmt::format("{}", *value);
}

long long epochSeconds(const data::CalendarRecord& time) {
    // Days from the civil date (proleptic Gregorian), counted from 1970-01-01.
    const long long year = time.tm_year + 1900LL - (time.tm_mon < 2 ? 1 : 0);
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long month = time.tm_mon + 1;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + time.tm_mday - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + time.tm_hour * 3600LL + time.tm_min * 60LL + time.tm_sec;
}

std::string jsonBar(const Bar& bar) {
    return fmt::format(R"({{"time":{},"open":{},"high":{},"low":{},"close":{},"volume":{}}})", epochSeconds(bar.time),
                       jsonNumber(bar.open), jsonNumber(bar.high), jsonNumber(bar.low), jsonNumber(bar.close),
                       jsonNumber(bar.volume));
}

std::string jsonError(const std::string& text) { return "{\"error\":" + jsonString(text) + "}"; }
