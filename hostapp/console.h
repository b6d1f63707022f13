// Terminal output of the host: time and number formats, and the printer of
// the plug-in's log lines and online changes (stderr, main thread only).
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>

#include "events.h"

bool stdoutIsTerminal();
bool stderrIsTerminal();

// "YYYY-MM-DD HH:MM:SS" of a record in C's tm layout (years since 1900, month 0-11).
std::string formatCalendar(const data::CalendarRecord& time);
// "HH:MM:SS" of the same.
std::string formatClock(const data::CalendarRecord& time);
// A value for tables: integers without decimals, others with 2 to 4 decimals; "-" when missing.
std::string formatValue(const std::optional<double>& value);

// Flushes stdout; on a failed write (a closed pipe) asks the event loop to
// stop and returns false.
bool flushOutput();

// Prints LogEvents and OnlineEvents to stderr. Status and error lines are
// always shown; an info text is shown the first time only, unless verbose
// (the plug-in logs some of them on every update).
class LogPrinter {
public:
    explicit LogPrinter(bool verbose) : verbose_(verbose) {}
    void print(const LogEvent& event);
    void print(const OnlineEvent& event);
    // Lines written so far; the live quote table redraws from scratch when it grew.
    std::size_t linesPrinted() const { return lines_; }
    // Prints a host line ("host: ...") to stderr.
    void note(const std::string& text);

private:
    bool verbose_;
    std::set<std::string> seenInfo_;
    std::size_t lines_ = 0;
    std::optional<bool> lastOnline_;
};

// "tellivar-host: error: <text>" on stderr.
void printError(const std::string& text);
