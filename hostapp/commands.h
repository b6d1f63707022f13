// The subcommands of tellivar-host. Each returns an exit code (exitcode in console.h).
// The run*On functions work on a session that is already connected; `demo`
// strings them together.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fields.h"
#include "interval.h"
#include "session.h"

struct InfoOptions {
    bool connect = false;  // also connect and show the status reports
};

struct QuotesOptions {
    std::vector<std::string> symbols;
    std::vector<std::string> fields = defaultQuoteFields();  // long names, checked
    double seconds = 0;      // 0: until Ctrl-C
    bool plain = false;      // plain lines even on a terminal
};

struct HistoryOptions {
    std::string symbol;
    std::string interval = "D1";
    int count = 30;
    std::string end;         // "" or an ISO-8601 time in UTC (parseEndTime)
    bool reverse = false;
    std::string csv;
    std::string chart;
    double timeout = 30;     // seconds to wait for the complete history
};

struct StreamOptions {
    std::string symbol;
    std::string interval = "1";
    double seconds = 0;      // 0: until Ctrl-C
};

struct DemoOptions {
    std::vector<std::string> symbols{"ACME", "GLOBEX", "INITECH"};  // quotes; the first also for history and stream
    std::string outDir = ".";
    double quoteSeconds = 8;
    double streamSeconds = 6;
    bool noWait = false;  // each live step lasts its seconds only
};

struct ServeOptions {
    int port = 8765;                   // 0: any free port
    std::string bind = "127.0.0.1";    // other addresses get a warning
    std::vector<std::string> symbols{"ACME", "GLOBEX", "INITECH"};  // the quote table's rows
    std::vector<std::string> fields = defaultQuoteFields();  // long names, checked
    int maxPages = 16;                 // event streams at once
    std::vector<std::string> allowHosts;  // further names the Host header may give
    std::string token;                 // required on every request; empty: made up when needed
    bool noToken = false;              // serve other addresses than loopback without a token
};

// Checks --interval against the plug-in's ability record; prints the error.
std::optional<IntervalSpec> checkInterval(HostSession& session, const std::string& text);
// Prints why the plug-in made no supplier (its error lines, a hint for a
// symbol in lower case); returns exitcode::kNoSupplier. `what` names the
// request: "history at D1", "live quotes", ...
int reportRefusal(const HostSession& session, const std::string& what, const std::string& symbol);

int runInfo(const HostOptions& host, const InfoOptions& options);
int runQuotes(const HostOptions& host, const QuotesOptions& options);
int runHistory(const HostOptions& host, const HistoryOptions& options);
int runStream(const HostOptions& host, const StreamOptions& options);
int runDemo(const HostOptions& host, const DemoOptions& options);
int runServe(const HostOptions& host, const ServeOptions& options);  // hostapp/web/serve_command.cpp

// How long a live step runs: `seconds` (0: until Ctrl-C), then, while
// `keepGoing` (asked ten times a second) says so, up to `extraSeconds` more.
// The demo uses it to line its steps up with the feed's minutes.
struct LiveSpan {
    double seconds = 0;
    double extraSeconds = 0;
    std::function<bool()> keepGoing;
};
// Pumps events to `handler` (true: done) for the span. `tick` as in pump().
HostSession::PumpResult pumpFor(HostSession& session, const LiveSpan& span, const std::function<bool(Event&)>& handler,
                                const std::function<void()>& tick = {});

// The feed's clock as the live data shows it: the time of the newest quote
// and when it arrived.
class FeedClock {
public:
    void saw(const data::CalendarRecord& time);
    // Seconds since 1970 by the feed's clock; nullopt when no quote came in
    // the last two seconds (a closed market).
    std::optional<double> now() const;

private:
    std::optional<double> time_;
    std::chrono::steady_clock::time_point seenAt_{};
};

// Parts shared with the demo. `clock`, if given, follows the quotes' times.
int runQuotesOn(HostSession& session, const std::vector<std::string>& symbols, const std::vector<std::string>& fields,
                const LiveSpan& span, bool plain, FeedClock* clock = nullptr);
// `tableRows` limits the printed table to the newest rows (0: all).
int runHistoryOn(HostSession& session, const HistoryOptions& options, const IntervalSpec& interval,
                 const data::CalendarRecord& endTime, std::size_t tableRows);
// Checks, before anything connects, that every non-empty path can be
// written; prints the first problem.
bool checkOutputFiles(const std::vector<std::string>& paths);
