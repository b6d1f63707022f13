#include "replay/iso.h"

#include <cstdio>
#include <cstdlib>

#include "replay/clock.h"
#include "simfeed/calendar.h"

namespace replay {
namespace {

bool digits(const std::string& text, std::size_t at, std::size_t n, int* out) {
    if (at + n > text.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *out = v;
    return true;
}

}  // namespace

std::string formatIso(std::int64_t ns) {
    const std::int64_t sec = simfeed::floorDiv(ns, 1000000000);
    const std::int64_t ms = (ns - sec * 1000000000) / 1000000;
    const std::int64_t day = simfeed::floorDiv(sec, simfeed::kSecondsPerDay);
    const std::int64_t inDay = sec - day * simfeed::kSecondsPerDay;
    const simfeed::CivilDate date = simfeed::civilFromDays(day);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", date.year, date.month, date.day,
                  static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    std::string out = text;
    if (ms != 0) {
        std::snprintf(text, sizeof text, ".%03d", static_cast<int>(ms));
        out += text;
    }
    return out + "Z";
}

std::optional<std::int64_t> parseIso(const std::string& text) {
    int y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, &y) || text.size() < 20 || text[4] != '-' || !digits(text, 5, 2, &mo) || text[7] != '-' ||
        !digits(text, 8, 2, &d) || text[10] != 'T' || !digits(text, 11, 2, &h) || text[13] != ':' ||
        !digits(text, 14, 2, &mi) || text[16] != ':' || !digits(text, 17, 2, &s))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59) return std::nullopt;
    if (d > simfeed::civilFromDays(simfeed::daysFromCivil(y, mo + 1, 1) - 1).day) return std::nullopt;
    std::size_t at = 19;
    std::int64_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        std::int64_t scale = 100000000;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == first || at - first > 9) return std::nullopt;
    }
    const std::string zone = text.substr(at);
    if (zone != "Z" && zone != "+00:00") return std::nullopt;
    return simfeed::secondsFromCivil(y, mo, d, h, mi, s) * 1000000000 + fraction;
}

std::string formatSpeed(double speed) {
    if (speed == kAsFastAsPossible) return "max";
    char text[32];
    std::snprintf(text, sizeof text, "%g", speed);
    return text;
}

std::optional<double> parseSpeed(const std::string& text) {
    if (text == "max") return kAsFastAsPossible;
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    std::string rest = end;
    if (rest == "x") rest.clear();
    if (!rest.empty() || v == kAsFastAsPossible || !isValidSpeed(v)) return std::nullopt;
    return v;
}

}  // namespace replay
