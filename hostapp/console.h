// Terminal output of the host: the only way it writes to stdout and stderr,
// time and number formats, the printer of the plug-in's log lines and online
// changes (stderr, main thread only), exit codes and Ctrl-C.
//
// Writes never throw. Data goes to stdout; when stdout's reader goes away (a
// closed pipe) the command is asked to stop and ends quietly; any other
// failure (a full disk) is remembered and reported once at the end by
// finishOutput(). A closed or full stderr loses the remarks and nothing else.
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host_objects.h"

// Exit codes of tellivar-host; docs/host.md lists them for users.
namespace exitcode {
constexpr int kOk = 0;
constexpr int kFailure = 1;           // anything not listed below (a write that failed, ...)
constexpr int kBadArguments = 2;      // unknown command or option, bad interval, field, date, output path, ...
constexpr int kPluginNotLoaded = 3;   // dlopen/dlsym failed or init_data_interface gave null
constexpr int kNoSupplier = 4;        // the plug-in made no supplier for the request
constexpr int kHistoryTimedOut = 5;   // history not complete within --timeout
constexpr int kNotConnected = 6;      // feed client missing, logon failed, or not online within --connect-timeout
constexpr int kInterrupted = 130;     // Ctrl-C while a result was still owed
}  // namespace exitcode

// Ctrl-C and SIGTERM: the handler only sets a flag that the main thread's
// event loop polls, so suppliers, interfaces and the factory are always
// deleted on the main thread, never inside a notification. A second Ctrl-C
// ends the process at once. SIGPIPE is ignored: a closed output pipe shows
// up as a failed write and ends the command cleanly.
void installStopHandlers();
// Ctrl-C, SIGTERM or a broken stdout: the event loop should stop.
bool stopRequested();

// The filter of repeated plug-in info lines that the console and the web view
// share: the plug-in logs some info texts on every update. Remembers up to kRemembered distinct texts, then starts afresh (a text may
// then pass once more), so its memory stays bounded. Not synchronised: one
// thread, or its owner's lock.
class RepeatFilter {
public:
    static constexpr std::size_t kRemembered = 1000;

    // True the first time `text` is offered.
    bool firstTime(const std::string& text) {
        if (seen_.size() >= kRemembered) seen_.clear();
        return seen_.insert(text).second;
    }

private:
    std::set<std::string> seen_;
};

// The keys typed on the terminal while a live view runs: stdin is put in
// key-by-key mode without echo for the object's life (Ctrl-C still signals)
// and restored after, also when a second Ctrl-C ends the process at once.
// Does nothing when stdin is not a terminal. Main thread; one at a time.
class TerminalKeys {
public:
    TerminalKeys();
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;
    bool active() const { return active_; }
    // The keys typed since the last call, without waiting; "" when none.
    std::string take();

private:
    bool active_ = false;
};

// Console settings from the command line and the environment.
void setQuiet(bool quiet);
// --quiet: only data and errors.
bool quiet();
// Escape codes on stdout: a terminal, other than TERM=dumb (which takes none).
bool stdoutTakesEscapes();
// Colour too: escape codes, and NO_COLOR unset.
bool colourAllowed();

// Standard descriptors 0-2 that are closed get /dev/null, so that no file the
// host opens takes their place (stdout's stand-in refuses writes, which is
// then reported).
void guardStandardDescriptors();

// Data on stdout.
void writeOut(std::string_view text);
template <typename... Args>
void printOut(fmt::format_string<Args...> format, Args&&... args) {
    writeOut(fmt::format(format, std::forward<Args>(args)...));
}
// Remarks and errors on stderr.
void writeErr(std::string_view text);
template <typename... Args>
void printErr(fmt::format_string<Args...> format, Args&&... args) {
    writeErr(fmt::format(format, std::forward<Args>(args)...));
}

// Flushes stdout; false (and a stop request) once stdout failed.
bool flushOutput();
// The end of every run: flushes stdout, reports a write failure other than a
// closed pipe, and returns the exit code to use. A closed pipe leaves `code`
// as it is, except that a command it cut short (130 without a Ctrl-C) ends
// with 0; any other failure turns 0 or such a 130 into 1.
int finishOutput(int code);

// "YYYY-MM-DD HH:MM:SS" of a record in C's tm layout (years since 1900, month 0-11).
std::string formatCalendar(const data::CalendarRecord& time);
// ISO 8601 in UTC, "YYYY-MM-DDTHH:MM:SSZ", of the same.
std::string formatIsoCalendar(const data::CalendarRecord& time);
// "HH:MM:SS" of the same.
std::string formatClock(const data::CalendarRecord& time);
// ISO 8601 in UTC of a count of seconds since 1970 (a feed time).
std::string formatIsoSeconds(double seconds);
// Seconds since 1970 of a record in C's tm layout.
long long secondsOf(const data::CalendarRecord& time);
// A value for tables and CSV files: integers without decimals, others with 2
// to 4 decimals; `missing` when there is none.
std::string formatValue(const std::optional<double>& value, std::string_view missing = "-");
// Decimals a price shows at least. Neither the feed contract nor the field
// dictionary says how many decimals an instrument has; the stand-in quotes in
// cents, and finer prices keep their further decimals (up to 6).
inline constexpr int kPriceDecimals = 2;
// A price for tables, lines and CSV files: 19.00, 18.89, 1.23456; `missing`
// when there is none.
std::string formatPrice(const std::optional<double>& value, std::string_view missing = "-");

// Prints LogEvents and OnlineEvents to stderr. Error lines are always shown;
// status lines and online changes unless quiet; an info text the first time
// only, unless verbose (the plug-in logs some of them on every update).
class LogPrinter {
public:
    explicit LogPrinter(bool verbose) : verbose_(verbose) {}
    void print(const LogEvent& event);
    void print(const OnlineEvent& event);
    // Lines written so far; the live quote table redraws from scratch when it grew.
    std::size_t linesPrinted() const { return lines_; }
    // Prints a host line ("host: ...") to stderr, unless quiet.
    void note(const std::string& text);

private:
    bool verbose_;
    RepeatFilter infoLines_;
    std::size_t lines_ = 0;
    std::optional<bool> lastOnline_;
};

// ACE's records go to stderr as lines (the plug-in writes them without a line
// feed): debug records only when `verbose`, the others always. Debug records
// stay enabled in ACE, so that AceCapture sees them. Call once, before the
// plug-in is loaded.
void routeAceRecords(bool verbose);

// The texts of the ACE records that the constructing thread writes while the
// capture lives, debug records included. One capture at a time.
class AceCapture {
public:
    AceCapture();
    ~AceCapture();
    AceCapture(const AceCapture&) = delete;
    AceCapture& operator=(const AceCapture&) = delete;
    std::vector<std::string> texts() const;
};

// "tellivar-host: error: <text>" on stderr.
void printError(const std::string& text);
