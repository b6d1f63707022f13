#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cmath>

#include "commands.h"
#include "end_time.h"
#include "exit_codes.h"
#include "fields.h"
#include "stop_signal.h"

namespace {

constexpr int kSteps = 6;
constexpr int kDemoHistoryBars = 60;
constexpr std::size_t kDemoTableRows = 10;
// The quotes go on until the feed's clock reaches this second of its minute,
// so that the one-minute stream that follows soon sees a new bar open.
constexpr double kQuotesEndSecond = 53;
constexpr double kQuotesExtraSeconds = 60;

void heading(int step, const std::string& title) {
    printOut("\n== {}/{} {} ==\n", step, kSteps, title);
    flushOutput();
}

std::string historyFile(const DemoOptions& options, const char* extension) {
    return options.outDir + "/tellivar-demo-history." + extension;
}

// A step ended early: its own code, or 130 for a stop (which the end of the
// run turns into 0 when a closed stdout asked for it).
bool endedEarly(int code) { return code != exitcode::kOk || stopRequested(); }
int earlyCode(int code) { return code != exitcode::kOk ? code : exitcode::kInterrupted; }

// Steps 3 to 5; an exit code.
int demoData(HostSession& session, const DemoOptions& options) {
    heading(3, fmt::format("Live quotes of {} for {} s{}", fmt::join(options.symbols, ", "), options.quoteSeconds,
                           options.noWait ? ""
                                          : fmt::format(", then until second {} of the feed's minute (at most {} s "
                                                        "more), so that the stream soon sees a new bar",
                                                        kQuotesEndSecond, kQuotesExtraSeconds)));
    FeedClock clock;
    LiveSpan quoteSpan{options.quoteSeconds, 0, {}};
    if (!options.noWait) {
        quoteSpan.extraSeconds = kQuotesExtraSeconds;
        quoteSpan.keepGoing = [&clock] {
            const std::optional<double> now = clock.now();
            return now && std::fmod(*now, 60.0) < kQuotesEndSecond;
        };
    }
    int code = runQuotesOn(session, options.symbols, defaultQuoteFields(), quoteSpan, false, &clock);
    if (endedEarly(code)) return earlyCode(code);

    HistoryOptions history;
    history.symbol = options.symbols.front();
    history.interval = "D1";
    history.count = kDemoHistoryBars;
    history.csv = historyFile(options, "csv");
    history.chart = historyFile(options, "png");
    heading(4, fmt::format("Daily history of {}: {} bars, CSV and chart", history.symbol, history.count));
    const std::optional<IntervalSpec> daily = checkInterval(session, history.interval);
    if (!daily) return exitcode::kBadArguments;
    code = runHistoryOn(session, history, *daily, noEndTime(), kDemoTableRows);
    if (endedEarly(code)) return earlyCode(code);

    heading(5, fmt::format("Update stream of {} at 1 minute for {} s{}", history.symbol, options.streamSeconds,
                           options.noWait ? "" : fmt::format(", then until a new bar opens and updates (at most {} s more)",
                                                             kNewBarWait)));
    const std::optional<IntervalSpec> minute = checkInterval(session, "1");
    if (!minute) return exitcode::kBadArguments;
    code = runStreamOn(session, history.symbol, *minute, options.streamSeconds, !options.noWait);
    return endedEarly(code) ? earlyCode(code) : exitcode::kOk;
}

}  // namespace

int runDemo(const HostOptions& host, const DemoOptions& options) {
    if (!checkOutputFiles({historyFile(options, "csv"), historyFile(options, "png")})) return exitcode::kBadArguments;
    HostSession session(host);
    session.announceTeardown(true);
    heading(1, "Loading the plug-in");
    if (const int code = session.open(); code != exitcode::kOk) return code;
    printProviderInfo(session, false);

    heading(2, fmt::format("Connecting as '{}' (status reports and the online flag on stderr)", host.user));
    int code = session.connect();
    if (code == exitcode::kOk) {
        printOut("online: {}\n", session.ability().isOnline() ? "yes" : "no");
        code = demoData(session, options);
    }
    heading(6, "Shutting down: suppliers, then the data interface, then the factory");
    session.shutdown();
    printOut("{}\n", code == exitcode::kOk ? "demo finished" : fmt::format("demo ended with exit code {}", code));
    flushOutput();
    return code;
}
