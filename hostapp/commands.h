// The subcommands of tellivar-host. Each returns an exit code (exit_codes.h).
// The run*On functions work on a session that is already connected; `demo`
// strings them together.
#pragma once

#include <string>
#include <vector>

#include "session.h"

struct InfoOptions {
    bool connect = false;  // also connect and show the status reports
};

struct QuotesOptions {
    std::vector<std::string> symbols;
    std::string fields;      // comma-separated long names; empty: the defaults
    double seconds = 0;      // 0: until Ctrl-C
    bool plain = false;      // plain lines even on a terminal
};

struct HistoryOptions {
    std::string symbol;
    std::string interval = "D1";
    int count = 30;
    std::string end;         // "" or DATE[THH:MM]
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
    std::vector<std::string> symbols;  // quotes; the first one also for history and stream
    std::string outDir = ".";
    double quoteSeconds = 8;
    double streamSeconds = 6;
};

struct ServeOptions {
    int port = 8765;                   // 0: any free port
    std::string bind = "127.0.0.1";    // other addresses get a warning
    std::vector<std::string> symbols;  // the quote table's rows
    std::string fields;                // comma-separated long names; empty: the defaults
    int maxPages = 16;                 // event streams at once
};

int runInfo(const HostOptions& host, const InfoOptions& options);
int runQuotes(const HostOptions& host, const QuotesOptions& options);
int runHistory(const HostOptions& host, const HistoryOptions& options);
int runStream(const HostOptions& host, const StreamOptions& options);
int runDemo(const HostOptions& host, const DemoOptions& options);
int runServe(const HostOptions& host, const ServeOptions& options);  // hostapp/web/serve_command.cpp

// Parts shared with the demo.
int runQuotesOn(HostSession& session, const std::vector<std::string>& symbols, const std::vector<std::string>& fields,
                double seconds, bool plain);
// `tableRows` limits the printed table to the newest rows (0: all).
int runHistoryOn(HostSession& session, const HistoryOptions& options, const IntervalSpec& interval,
                 const data::CalendarRecord& endTime, std::size_t tableRows);
int runStreamOn(HostSession& session, const std::string& symbol, const IntervalSpec& interval, double seconds);
// Checks --interval against the plug-in's ability record; prints the error.
std::optional<IntervalSpec> checkInterval(HostSession& session, const std::string& text);
// Prints what `info` shows about a loaded plug-in.
void printProviderInfo(HostSession& session, bool withPanel);
// A deadline `seconds` from now, or far away for 0.
std::chrono::steady_clock::time_point deadlineAfter(double seconds);
