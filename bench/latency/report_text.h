// How the latency tools write their figures: microseconds from nanoseconds
// with three significant digits or so, counts with thousands separators, the
// machine's load average.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace latency {

inline std::string micros(std::uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, ns < 10'000 ? "%.2f" : ns < 100'000 ? "%.1f" : "%.0f", static_cast<double>(ns) / 1e3);
    return text;
}

inline std::string count(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    std::string digits = text;
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

// "1.23x", "12.3x", "123x".
inline std::string times(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.2fx" : value < 100 ? "%.1fx" : "%.0fx", value);
    return text;
}

// The 1, 5 and 15 minute load averages.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace latency
