#include "console.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "stop_signal.h"

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool stderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

std::string formatCalendar(const data::CalendarRecord& time) {
    return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", time.tm_year + 1900, time.tm_mon + 1,
                       time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
}

std::string formatClock(const data::CalendarRecord& time) {
    return fmt::format("{:02d}:{:02d}:{:02d}", time.tm_hour, time.tm_min, time.tm_sec);
}

std::string formatValue(const std::optional<double>& value) {
    if (!value) return "-";
    const double v = *value;
    if (!std::isfinite(v)) return fmt::format("{}", v);
    if (v == std::floor(v) && std::fabs(v) < 1e15) return fmt::format("{:.0f}", v);
    std::string text = fmt::format("{:.4f}", v);
    // Keep at least two decimals: 101.2500 -> 101.25, 0.1234 stays.
    while (text.size() > 3 && text.back() == '0' && text[text.size() - 3] != '.') text.pop_back();
    return text;
}

bool flushOutput() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    requestStop();
    return false;
}

void LogPrinter::note(const std::string& text) {
    fmt::print(stderr, "host: {}\n", text);
    ++lines_;
}

void LogPrinter::print(const LogEvent& event) {
    switch (event.kind) {
        case LogEvent::Kind::Status:
            fmt::print(stderr, "plug-in status: {} (code {})\n", event.text, event.code);
            break;
        case LogEvent::Kind::Error:
            fmt::print(stderr, "plug-in error: {}\n", event.text);
            break;
        case LogEvent::Kind::Info:
            if (!verbose_ && !seenInfo_.insert(event.text).second) return;
            fmt::print(stderr, "plug-in info: {}\n", event.text);
            break;
    }
    ++lines_;
}

void LogPrinter::print(const OnlineEvent& event) {
    if (!verbose_ && lastOnline_ == event.online) return;  // listeners hear every change, online or not
    lastOnline_ = event.online;
    fmt::print(stderr, "online: {} is {}\n", event.provider, event.online ? "online" : "offline");
    ++lines_;
}

void printError(const std::string& text) { fmt::print(stderr, "tellivar-host: error: {}\n", text); }
