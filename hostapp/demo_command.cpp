#include <fmt/format.h>

#include "commands.h"
#include "end_time.h"
#include "exit_codes.h"
#include "fields.h"
#include "stop_signal.h"

namespace {

constexpr int kSteps = 6;
constexpr int kDemoHistoryBars = 60;
constexpr std::size_t kDemoTableRows = 10;

void heading(int step, const std::string& title) {
    fmt::print("\n== {}/{} {} ==\n", step, kSteps, title);
    flushOutput();
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// Steps 3 to 5; an exit code.
int demoData(HostSession& session, const DemoOptions& options) {
    heading(3, fmt::format("Live quotes of {} for {} s", joined(options.symbols), options.quoteSeconds));
    int code = runQuotesOn(session, options.symbols, defaultQuoteFields(), options.quoteSeconds, false);
    if (code != exitcode::kOk || stopRequested()) return code != exitcode::kOk ? code : exitcode::kInterrupted;

    HistoryOptions history;
    history.symbol = options.symbols.front();
    history.interval = "D1";
    history.count = kDemoHistoryBars;
    history.csv = options.outDir + "/tellivar-demo-history.csv";
    history.chart = options.outDir + "/tellivar-demo-history.png";
    heading(4, fmt::format("Daily history of {}: {} bars, CSV and chart", history.symbol, history.count));
    const std::optional<IntervalSpec> daily = checkInterval(session, history.interval);
    if (!daily) return exitcode::kBadArguments;
    code = runHistoryOn(session, history, *daily, noEndTime(), kDemoTableRows);
    if (code != exitcode::kOk) return code;

    heading(5, fmt::format("Update stream of {} at 1 minute for {} s", history.symbol, options.streamSeconds));
    const std::optional<IntervalSpec> minute = checkInterval(session, "1");
    if (!minute) return exitcode::kBadArguments;
    code = runStreamOn(session, history.symbol, *minute, options.streamSeconds);
    if (code != exitcode::kOk || stopRequested()) return code != exitcode::kOk ? code : exitcode::kInterrupted;
    return exitcode::kOk;
}

}  // namespace

int runDemo(const HostOptions& host, const DemoOptions& options) {
    HostSession session(host);
    session.announceTeardown(true);
    heading(1, "Loading the plug-in");
    if (const int code = session.open(); code != exitcode::kOk) return code;
    printProviderInfo(session, false);

    heading(2, fmt::format("Connecting as '{}' (status reports and the online flag on stderr)", host.user));
    int code = session.connect();
    if (code == exitcode::kOk) {
        fmt::print("online: {}\n", session.ability().isOnline() ? "yes" : "no");
        code = demoData(session, options);
    }
    heading(6, "Shutting down: suppliers, then the data interface, then the factory");
    session.shutdown();
    fmt::print("{}\n", code == exitcode::kOk ? "demo finished" : fmt::format("demo ended with exit code {}", code));
    flushOutput();
    return code;
}
