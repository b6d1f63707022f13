#include <fmt/format.h>

#include <chrono>

#include "commands.h"
#include "exit_codes.h"
#include "interval.h"

namespace {

// The demo's stream shows a new bar with this many updates, unless the
// updates stop coming.
constexpr std::size_t kNewBarUpdates = 2;
constexpr auto kQuiet = std::chrono::seconds(3);

bool sameTime(const data::CalendarRecord& a, const data::CalendarRecord& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

}  // namespace

int runStreamOn(HostSession& session, const std::string& symbol, const IntervalSpec& interval, double seconds,
                bool untilNewBar) {
    if (session.subscribeUpdates(symbol, interval) == nullptr) {
        return reportRefusal(session, "update stream at " + intervalLabel(interval), symbol);
    }
    std::optional<data::CalendarRecord> lastBar;
    std::size_t updates = 0;
    std::size_t newBarUpdates = 0;  // updates since a new bar opened, that one included
    auto lastUpdate = std::chrono::steady_clock::now();
    LiveSpan span{seconds, 0, {}};
    if (untilNewBar) {
        span.extraSeconds = kNewBarWait;
        span.keepGoing = [&] {
            return newBarUpdates < kNewBarUpdates && std::chrono::steady_clock::now() - lastUpdate < kQuiet;
        };
    }
    const auto result = pumpFor(session, span, [&](Event& event) {
        const auto* update = std::get_if<UpdateEvent>(&event);
        if (update == nullptr) return false;
        const Bar& bar = update->bar;
        // The newest bar's time moves on when a new bar opens.
        const bool opened = lastBar && !sameTime(*lastBar, bar.time);
        const char* mark = !lastBar ? " first-bar" : (opened ? " new-bar" : "");
        if (opened) newBarUpdates = 0;
        if (opened || newBarUpdates > 0) ++newBarUpdates;
        lastBar = bar.time;
        lastUpdate = std::chrono::steady_clock::now();
        ++updates;
        printOut("{} {} O={} H={} L={} C={} V={}{}\n", formatIsoCalendar(bar.time), symbol, formatPrice(bar.open),
                   formatPrice(bar.high), formatPrice(bar.low), formatPrice(bar.close), formatValue(bar.volume), mark);
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
