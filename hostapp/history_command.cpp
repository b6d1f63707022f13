#include <date/date.h>
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "chart.h"
#include "commands.h"
#include "interval.h"
#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shows that the host is waiting: a spinner on a terminal, else a dot a
// second; nothing when quiet.
class Progress {
public:
    Progress(std::string what, double timeout) : what_(std::move(what)), timeout_(timeout) {
        if (mode_ == Mode::Dots) printErr("host: {} (timeout {} s)", what_, timeout_);
    }

    void tick() {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        if (mode_ == Mode::Spinner) {
            static constexpr char kSpinner[] = "|/-\\";
            printErr("\r{} {} ({:.1f} s of {} s)\x1b[K", kSpinner[ticks_++ % 4], what_, elapsed, timeout_);
        } else if (mode_ == Mode::Dots && elapsed >= dots_ + 1) {
            ++dots_;
            writeErr(".");
        }
    }

    void finish(const std::string& outcome) {
        if (mode_ == Mode::Spinner) writeErr("\r\x1b[K");
        if (mode_ == Mode::Dots) printErr(" {}\n", outcome);
    }

private:
    enum class Mode { Quiet, Spinner, Dots };
    const Mode mode_ = quiet() ? Mode::Quiet : (isatty(STDERR_FILENO) != 0 ? Mode::Spinner : Mode::Dots);
    const std::string what_;
    const double timeout_;
    const Clock::time_point start_ = Clock::now();
    unsigned ticks_ = 0;
    int dots_ = 0;
};

// The start of the bar after one starting at `start` (seconds since 1970).
long long nextBarStart(long long start, const IntervalSpec& interval) {
    const long long multiple = intervalMultiple(interval);
    switch (intervalUnit(interval)) {
        case IntervalUnit::Minutes: return start + 60 * multiple;
        case IntervalUnit::Days: return start + 86400 * multiple;
        case IntervalUnit::Weeks: return start + 7 * 86400 * multiple;
        case IntervalUnit::Months: break;
    }
    const auto moment = date::sys_seconds{std::chrono::seconds{start}};
    const auto day = date::floor<date::days>(moment);
    const date::year_month_day ymd{day};
    const date::year_month next = ymd.year() / ymd.month() + date::months{multiple};
    return (date::sys_days{next / 1} + (moment - day)).time_since_epoch().count();
}

// The newest `count` bars of the walk: the plug-in hands over one more than
// asked (its completion rule), oldest first, or newest first when reversed.
std::vector<Bar> newestBars(std::vector<Bar> bars, std::size_t count, bool reverse) {
    if (bars.size() <= count) return bars;
    const auto kept = static_cast<std::ptrdiff_t>(count);
    if (reverse) return std::vector<Bar>(bars.begin(), bars.begin() + kept);  // newest first
    return std::vector<Bar>(bars.end() - kept, bars.end());
}

// The bar that has not ended by the host's clock, if any: the newest one.
std::optional<std::size_t> formingBar(const std::vector<Bar>& bars, const IntervalSpec& interval, bool reverse) {
    if (bars.empty()) return std::nullopt;
    const std::size_t newest = reverse ? 0 : bars.size() - 1;
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    if (nextBarStart(secondsOf(bars[newest].time), interval) > now) return newest;
    return std::nullopt;
}

// The table, newest `maxRows` bars only (0: all); the hidden ones are older,
// so their count goes on the side of the older bars.
void printBarsTable(const std::vector<Bar>& bars, std::size_t maxRows, bool reverse,
                    std::optional<std::size_t> forming) {
    const std::size_t shown = maxRows == 0 ? bars.size() : std::min(maxRows, bars.size());
    const std::size_t hidden = bars.size() - shown;
    const std::string hiddenLine = hidden == 0 ? "" : fmt::format("({} older bar{} not shown)\n", hidden,
                                                                  hidden == 1 ? "" : "s");
    printOut("{:<19} {:>12} {:>12} {:>12} {:>12} {:>14}\n", "Time (UTC)", "Open", "High", "Low", "Close", "Volume");
    if (!reverse) writeOut(hiddenLine);
    const std::size_t first = reverse ? 0 : hidden;
    for (std::size_t i = first; i < first + shown; ++i) {
        const Bar& bar = bars[i];
        printOut("{:<19} {:>12} {:>12} {:>12} {:>12} {:>14}{}\n", formatCalendar(bar.time), formatPrice(bar.open),
                 formatPrice(bar.high), formatPrice(bar.low), formatPrice(bar.close), formatValue(bar.volume),
                 forming == i ? "  forming" : "");
    }
    if (reverse) writeOut(hiddenLine);
}

// Writes the files asked for, whatever became of stdout; an exit code.
int writeOutputs(HostSession& session, const HistoryOptions& options, const std::vector<Bar>& bars,
                 const ChartTitle& title) {
    std::string message;
    if (!options.csv.empty()) {
        if (!writeBarsCsv(options.csv, bars, message)) {
            printError(message);
            return exitcode::kFailure;
        }
        session.printer().note(fmt::format("wrote {} bars to {}", bars.size(), options.csv));
    }
    if (options.chart.empty()) return exitcode::kOk;
    switch (writeCandlestickChart(options.chart, bars, title, message)) {
        case ChartResult::Written:
            session.printer().note(fmt::format("wrote the chart of {} bars to {}", bars.size(), options.chart));
            return exitcode::kOk;
        case ChartResult::NoGnuplot:
            session.printer().note(message + (options.csv.empty() ? "" : "; the CSV is written"));
            return exitcode::kOk;
        case ChartResult::Failed:
            break;
    }
    printError("chart '" + options.chart + "' not written: " + message);
    return exitcode::kFailure;
}

}  // namespace


bool checkOutputFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::string error;
        if (!path.empty() && !checkWritable(path, error)) {
            printError(error);
            return false;
        }
    }
    return true;
}

int runHistoryOn(HostSession& session, const HistoryOptions& options, const IntervalSpec& interval,
                 const data::CalendarRecord& endTime, std::size_t tableRows) {
    const std::string label = intervalLabel(interval);
    if (session.requestHistory(options.symbol, interval, options.count, endTime, options.reverse) == nullptr) {
        return reportRefusal(session, "history at " + label, options.symbol);
    }
    Progress progress(fmt::format("waiting for {} {} bars of {}", options.count, label, options.symbol),
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
    bars = newestBars(std::move(bars), static_cast<std::size_t>(options.count), options.reverse);
    if (bars.size() < static_cast<std::size_t>(options.count)) {
        session.printer().note(fmt::format("the feed has {} {} bars of {} up to then, fewer than the {} asked for",
                                           bars.size(), label, options.symbol, options.count));
    }
    const std::optional<std::size_t> forming = formingBar(bars, interval, options.reverse);
    printBarsTable(bars, tableRows, options.reverse, forming);
    flushOutput();
    return writeOutputs(session, options, bars, ChartTitle{options.symbol, intervalWords(interval), forming.has_value()});
}

int runHistory(const HostOptions& host, const HistoryOptions& options) {
    std::string error;
    std::optional<data::CalendarRecord> endTime = noEndTime();
    if (!options.end.empty()) endTime = parseEndTime(options.end, error);
    if (!endTime) {
        printError(error);
        return exitcode::kBadArguments;
    }
    if (!checkOutputFiles({options.csv, options.chart})) return exitcode::kBadArguments;
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    const std::optional<IntervalSpec> interval = checkInterval(session, options.interval);
    if (!interval) return exitcode::kBadArguments;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    return runHistoryOn(session, options, *interval, *endTime, 0);
}
