#include <fmt/format.h>

#include "commands.h"
#include "exit_codes.h"
#include "interval.h"

namespace {

bool sameTime(const data::CalendarRecord& a, const data::CalendarRecord& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

}  // namespace

int runStreamOn(HostSession& session, const std::string& symbol, const IntervalSpec& interval, double seconds) {
    if (session.subscribeUpdates(symbol, interval) == nullptr) {
        printError(fmt::format("symbol '{}' rejected: the plug-in returned no update supplier for interval {}", symbol,
                               intervalLabel(interval)));
        return exitcode::kSymbolRejected;
    }
    std::optional<data::CalendarRecord> lastBar;
    std::size_t updates = 0;
    const auto result = session.pump(deadlineAfter(seconds), [&](Event& event) {
        const auto* update = std::get_if<UpdateEvent>(&event);
        if (update == nullptr) return false;
        const Bar& bar = update->bar;
        // The newest bar's time moves on when a new bar opens.
        const char* mark = !lastBar ? " first-bar" : (sameTime(*lastBar, bar.time) ? "" : " new-bar");
        lastBar = bar.time;
        ++updates;
        fmt::print("{} {} O={} H={} L={} C={} V={}{}\n", formatCalendar(bar.time), symbol, formatValue(bar.open),
                   formatValue(bar.high), formatValue(bar.low), formatValue(bar.close), formatValue(bar.volume), mark);
        flushOutput();
        return false;
    });
    if (updates == 0 && result == HostSession::PumpResult::TimedOut) session.printer().note("no update arrived in that time");
    return exitcode::kOk;
}

int runStream(const HostOptions& host, const StreamOptions& options) {
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    const std::optional<IntervalSpec> interval = checkInterval(session, options.interval);
    if (!interval) return exitcode::kBadArguments;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    return runStreamOn(session, options.symbol, *interval, options.seconds);
}
