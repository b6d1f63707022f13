// `info`, `stream` and `demo`, and what the commands share: the interval
// check against the plug-in's ability record, the report of a refused
// supplier, and the provider's description that `info` and the demo print.
// `quotes` and `history` have files of their own, `serve` its folder (web/).
#include <fmt/ranges.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <string>

#include "commands.h"
#include "console.h"
#include "fields.h"
#include "interval.h"
#include "options.h"
#include "xrc.h"

std::optional<IntervalSpec> checkInterval(HostSession& session, const std::string& text) {
    std::string error;
    const std::optional<IntervalSpec> parsed =
        parseInterval(text, offeredMinutes(session.ability().intervalTable(0)), session.abilityLetters(), error);
    if (!parsed) printError(error);
    return parsed;
}

int reportRefusal(const HostSession& session, const std::string& what, const std::string& symbol) {
    const std::string& reason = session.refusalReason();
    std::string upper = symbol;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string hint = upper != symbol ? fmt::format("; symbols are upper case: did you mean '{}'?", upper) : "";
    const bool error = reason.rfind("plug-in error: ", 0) == 0;
    printError(fmt::format("no {} of '{}': the plug-in made no supplier{}{}{}", what, symbol,
                           reason.empty() ? " and gave no reason" : " (" + reason + ")",
                           error ? "" : "; the feed may not know the symbol", hint));
    return exitcode::kNoSupplier;
}

namespace {

const char* letterMeaning(char letter) {
    static const std::map<char, const char*> kMeanings = {
        {'M', "months"}, {'W', "weeks"}, {'D', "days"}, {'m', "minutes"}};
    const auto found = kMeanings.find(letter);
    return found != kMeanings.end() ? found->second : "?";
}

void printPanel(const char* xrc) {
    std::string error;
    const std::optional<SettingsPanel> panel = parseSettingsPanel(xrc != nullptr ? xrc : "", error);
    if (!panel) {
        printOut("Settings panel:   (unreadable) {}\n", error);
        return;
    }
    printOut("Settings panel:   {} '{}', {} controls\n", panel->className, panel->name, panel->controls.size());
    for (const PanelControl& control : panel->controls) {
        std::string details;
        if (!control.label.empty()) details += fmt::format(" label \"{}\"", control.label);
        if (!control.value.empty()) details += fmt::format(" value \"{}\"", control.value);
        if (!control.size.empty()) details += fmt::format(" size {}", control.size);
        printOut("  {:<14} {:<22}{}{}\n", control.className, control.name, details,
                   control.isInput() ? "   <- input, setting key" : "");
    }
}

// Names joined by blanks into lines of at most kFieldLine characters, indented.
void printWrapped(const std::vector<std::string>& names) {
    constexpr std::size_t kFieldLine = 100;
    std::string line;
    for (const std::string& name : names) {
        if (!line.empty() && line.size() + 1 + name.size() > kFieldLine) {
            printOut("                  {}\n", line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + name;
    }
    if (!line.empty()) printOut("                  {}\n", line);
}

// The names `quotes --fields` takes, from the host's copy of the plug-in's dictionary.
void printQuoteFields() {
    const std::vector<std::string>& names = longFieldNames();
    printOut("Quote fields:     {} names for quotes --fields (case-sensitive); times, shown in UTC: {};\n"
             "                  text, which the plug-in's quotes cannot carry: {}\n",
             names.size(), fmt::join(fieldsOfKind(names, FieldKind::Time), ", "),
             fmt::join(fieldsOfKind(names, FieldKind::Text), ", "));
    printWrapped(names);
}

// What `info` shows about a loaded plug-in; the demo leaves out the fields and the panel.
void printProviderInfo(HostSession& session, bool withPanel) {
    data::DataInterfaceFactory& factory = session.factory();
    data::ProviderAbility& ability = session.ability();
    const std::string letters = session.abilityLetters();
    printOut("Plug-in:          {}\n", session.options().pluginPath);
    printOut("Display name:     {}\n", factory.displayName() != nullptr ? factory.displayName() : "");
    std::vector<std::string> meanings;
    for (char letter : letters) meanings.push_back(fmt::format("{} {}", letter, letterMeaning(letter)));
    printOut("Ability letters:  {} ({})\n", letters, fmt::join(meanings, ", "));
    const bool flags[] = {ability.capabilityFlag1(), ability.capabilityFlag2(), ability.capabilityFlag3(),
                          ability.capabilityFlag4(), ability.capabilityFlag5()};
    std::vector<std::string> flagTexts;
    for (std::size_t i = 0; i < 5; ++i) flagTexts.push_back(fmt::format("{}={}", i + 1, flags[i] ? "yes" : "no"));
    const auto set = std::count(std::begin(flags), std::end(flags), true);
    printOut("Capability flags: {}\n", fmt::join(flagTexts, " "));
    printOut("                  (the host framework's five flags, {} set; what they enable is the\n"
             "                  framework's business, and this host relies on none of them)\n",
             set == 5 ? "all" : std::to_string(set));
    const std::int32_t* table = ability.intervalTable(0);
    const std::vector<int> minutes = offeredMinutes(table);
    std::vector<std::string> pairs, numbers;
    for (std::size_t i = 0; i < minutes.size(); ++i) {
        pairs.push_back(fmt::format("({},{})", table[2 * i], table[2 * i + 1]));
        numbers.push_back(std::to_string(minutes[i]));
    }
    printOut("Interval table:   {}\n", fmt::join(pairs, " "));
    printOut("                  (pairs of a bar length in minutes and its number: minute bars of {}\n"
             "                  minutes; day, week and month bars come from the ability letters)\n",
             spokenList(numbers));
    printOut("--interval takes: {}\n", describeIntervals(minutes, letters));
    printOut("Online:           {}\n", ability.isOnline() ? "yes" : "no");
    if (!withPanel) return;
    printQuoteFields();
    printPanel(factory.settingsPanel());
}

}  // namespace

int runInfo(const HostOptions& host, const InfoOptions& options) {
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    printProviderInfo(session, true);
    if (!options.connect) return exitcode::kOk;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    const char* user = session.factory().getSetting(kUsernameKey);
    const char* password = session.factory().getSetting(kPasswordKey);
    printOut("Connected:        as '{}' ({}), online {}\n", user != nullptr ? user : "",
             password != nullptr && *password != '\0' ? "password set" : "no password",
             session.ability().isOnline() ? "yes" : "no");
    return exitcode::kOk;
}

namespace {

// The demo's stream shows a new bar with this many updates, unless the
// updates stop coming, waiting at most kNewBarWait s more for them.
constexpr std::size_t kNewBarUpdates = 2;
constexpr double kNewBarWait = 65;
constexpr auto kQuiet = std::chrono::seconds(3);

// With `untilNewBar`, after `seconds` it goes on until a new bar has opened
// and been updated, as long as updates keep coming.
int runStreamOn(HostSession& session, const std::string& symbol, const IntervalSpec& interval, double seconds,
                bool untilNewBar = false) {
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
    ReplayAnnouncer announcer;
    const auto tick = [&] {
        if (session.replay() != nullptr) announcer.tick(*session.replay());
    };
    tick();
    const auto result = pumpFor(session, span, [&](Event& event) {
        const auto* update = std::get_if<UpdateEvent>(&event);
        if (update == nullptr) return false;
        const Bar& bar = update->bar;
        // The newest bar's time moves on when a new bar opens.
        const bool opened = lastBar && secondsOf(*lastBar) != secondsOf(bar.time);
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
    }, tick);
    if (updates == 0 && result == HostSession::PumpResult::TimedOut) session.printer().note("no update arrived in that time");
    return exitcode::kOk;
}

}  // namespace

int runStream(const HostOptions& host, const StreamOptions& options) {
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    const std::optional<IntervalSpec> interval = checkInterval(session, options.interval);
    if (!interval) return exitcode::kBadArguments;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    return runStreamOn(session, options.symbol, *interval, options.seconds);
}

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
