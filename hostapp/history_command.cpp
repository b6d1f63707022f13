#include <fmt/format.h>

#include <chrono>

#include "chart.h"
#include "commands.h"
#include "end_time.h"
#include "exit_codes.h"
#include "interval.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shows that the host is waiting: a spinner on a terminal, else a dot a second.
class Progress {
public:
    Progress(std::string what, double timeout) : what_(std::move(what)), timeout_(timeout), terminal_(stderrIsTerminal()) {
        if (!terminal_) fmt::print(stderr, "host: {} (timeout {} s)", what_, timeout_);
    }

    void tick() {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        if (terminal_) {
            static constexpr char kSpinner[] = "|/-\\";
            fmt::print(stderr, "\r{} {} ({:.1f} s of {} s)\x1b[K", kSpinner[ticks_++ % 4], what_, elapsed, timeout_);
        } else if (elapsed >= dots_ + 1) {
            ++dots_;
            fmt::print(stderr, ".");
        }
    }

    void finish(const std::string& outcome) {
        if (terminal_) {
            fmt::print(stderr, "\r\x1b[K");
        } else {
            fmt::print(stderr, " {}\n", outcome);
        }
    }

private:
    std::string what_;
    double timeout_;
    bool terminal_;
    Clock::time_point start_ = Clock::now();
    unsigned ticks_ = 0;
    int dots_ = 0;
};

void printBarsTable(const std::vector<Bar>& bars, std::size_t maxRows) {
    const std::size_t shown = maxRows == 0 ? bars.size() : std::min(maxRows, bars.size());
    fmt::print("{:<19} {:>12} {:>12} {:>12} {:>12} {:>14}\n", "Time", "Open", "High", "Low", "Close", "Volume");
    // A limited table shows the newest bars, wherever they lie in the walk.
    const bool newestLast = bars.size() < 2 || formatCalendar(bars.front().time) <= formatCalendar(bars.back().time);
    const std::size_t first = newestLast ? bars.size() - shown : 0;
    for (std::size_t i = first; i < first + shown; ++i) {
        const Bar& bar = bars[i];
        fmt::print("{:<19} {:>12} {:>12} {:>12} {:>12} {:>14}\n", formatCalendar(bar.time), formatValue(bar.open),
                   formatValue(bar.high), formatValue(bar.low), formatValue(bar.close), formatValue(bar.volume));
    }
    if (shown < bars.size()) fmt::print("({} more bars not shown)\n", bars.size() - shown);
}

// Writes the files asked for; an exit code.
int writeOutputs(HostSession& session, const HistoryOptions& options, const std::vector<Bar>& bars) {
    std::string message;
    if (!options.csv.empty()) {
        if (!writeBarsCsv(options.csv, bars, message)) {
            printError(message);
            return exitcode::kFailure;
        }
        session.printer().note(fmt::format("wrote {} bars to {}", bars.size(), options.csv));
    }
    if (options.chart.empty()) return exitcode::kOk;
    const std::string title = fmt::format("{} {} ({} bars)", options.symbol, options.interval, bars.size());
    switch (writeCandlestickChart(options.chart, bars, title, message)) {
        case ChartResult::Written:
            session.printer().note("wrote chart " + options.chart);
            return exitcode::kOk;
        case ChartResult::NoGnuplot:
            session.printer().note(message + (options.csv.empty() ? "" : "; the CSV is written"));
            return exitcode::kOk;
        case ChartResult::Failed:
            break;
    }
    printError("chart not written: " + message);
    return exitcode::kFailure;
}

}  // namespace

std::optional<IntervalSpec> checkInterval(HostSession& session, const std::string& text) {
    data::ProviderAbility& ability = session.ability();
    std::string error;
    const std::optional<IntervalSpec> parsed = parseInterval(text, offeredMinutes(ability.intervalTable(0)),
                                                           ability.abilityLetters() != nullptr ? ability.abilityLetters() : "",
                                                           error);
    if (!parsed) printError(error);
    return parsed;
}

int runHistoryOn(HostSession& session, const HistoryOptions& options, const IntervalSpec& interval,
                 const data::CalendarRecord& endTime, std::size_t tableRows) {
    if (session.requestHistory(options.symbol, interval, options.count, endTime, options.reverse) == nullptr) {
        printError(fmt::format("symbol '{}' rejected: the plug-in returned no history supplier for interval {}",
                               options.symbol, intervalLabel(interval)));
        return exitcode::kSymbolRejected;
    }
    Progress progress(fmt::format("waiting for {} {} bars of {}", options.count, intervalLabel(interval), options.symbol),
                      options.timeout);
    std::vector<Bar> bars;
    const auto result = session.pump(
        deadlineAfter(options.timeout),
        [&bars](Event& event) {
            auto* history = std::get_if<HistoryEvent>(&event);
            if (history != nullptr) bars = std::move(history->bars);
            return history != nullptr;
        },
        [&progress] { progress.tick(); });
    progress.finish(result == HostSession::PumpResult::Done ? "done" : "stopped");
    if (result == HostSession::PumpResult::Stopped) return exitcode::kInterrupted;
    if (result == HostSession::PumpResult::TimedOut) {
        printError(fmt::format("history of '{}' not complete within {} s", options.symbol, options.timeout));
        return exitcode::kHistoryTimedOut;
    }
    printBarsTable(bars, tableRows);
    flushOutput();
    return writeOutputs(session, options, bars);
}

int runHistory(const HostOptions& host, const HistoryOptions& options) {
    std::string error;
    std::optional<data::CalendarRecord> endTime = noEndTime();
    if (!options.end.empty()) endTime = parseEndTime(options.end, error);
    if (!endTime) {
        printError(error);
        return exitcode::kBadArguments;
    }
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    const std::optional<IntervalSpec> interval = checkInterval(session, options.interval);
    if (!interval) return exitcode::kBadArguments;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    return runHistoryOn(session, options, *interval, *endTime, 0);
}
