// tellivar-host: loads the market-data plug-in with dlopen and drives it
// through the host contract, the way a charting host does. See docs/host.md.
#include <CLI/CLI.hpp>
#include <fmt/ranges.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "commands.h"
#include "console.h"
#include "options.h"
#include "plugin_library.h"
#include "replay_controls.h"

namespace {

constexpr const char kProgram[] = "tellivar-host";

// A line from the terminal, `hidden` without echo; nullopt without a terminal.
std::optional<std::string> askTerminal(const char* prompt, bool hidden) {
    termios saved{};
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
    writeErr(prompt);
    if (hidden) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    std::string line;
    std::getline(std::cin, line);
    if (hidden) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        writeErr("\n");
    }
    return line;
}

// Every command's --help ends with the global options, which may stand
// before or after the command.
class HostFormatter final : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        std::string text = CLI::Formatter::make_help(app, name, mode);
        const CLI::App* parent = app->get_parent();
        if (parent == nullptr || mode == CLI::AppFormatMode::Sub) return text;
        const auto globals = parent->get_options([parent](const CLI::Option* option) {
            return option != parent->get_help_ptr() && option != parent->get_help_all_ptr();
        });
        return text + make_group("Global options (before or after the command)", false, globals);
    }
};

// Everything the command line sets.
struct CommandLine {
    HostOptions host;
    std::string feedLibrary = kDefaultFeedLibrary;
    bool prompt = false;
    bool quiet = false;
    InfoOptions info;
    QuotesOptions quotes;
    HistoryOptions history;
    StreamOptions stream;
    DemoOptions demo;
    ServeOptions serve;
};

// "simfeed (the stand-in feed), system (...)", or the names alone.
std::string feedLibraryNamesText(bool withMeanings) {
    std::vector<std::string> names;
    for (const FeedLibraryName& entry : feedLibraryNames()) {
        names.push_back(withMeanings ? fmt::format("{} ({})", entry.name, entry.meaning) : entry.name);
    }
    return fmt::format("{}", fmt::join(names, ", "));
}

// An option of seconds to wait, from kMinTimeout to kMaxTimeout, its default shown.
void addWait(CLI::App& app, const std::string& name, double& seconds, const std::string& help) {
    app.add_option(name, seconds, help)->check(secondsOption(kMinTimeout, kMaxTimeout))->capture_default_str();
}

// --symbols: separated by commas, its default shown.
void addSymbols(CLI::App& app, std::vector<std::string>& symbols, const std::string& help) {
    app.add_option("--symbols", symbols, help)->delimiter(',')->check(symbolOption())->capture_default_str();
}

void addGlobalOptions(CLI::App& app, CommandLine& line) {
    app.add_option("--plugin", line.host.pluginPath, "Plug-in library to load (default: the built libtellivar.so)");
    app.add_option("--feed-library,--feed", line.feedLibrary,
                   "Feed client library to load before the plug-in: a path, or one of " + feedLibraryNamesText(true))
        ->check(CLI::Validator(
            [](std::string& text) {
                return resolveFeedLibrary(text) ? std::string{}
                                                : fmt::format("'{}' is neither a path (with a '/') nor one of {}",
                                                              text, feedLibraryNamesText(false));
            },
            "PATH|NAME"))
        ->capture_default_str();
    app.add_option("--user", line.host.user, "User name stored as the \"Username\" setting")
        ->envname("TELLIVAR_USER")
        ->check(CLI::Validator([](std::string& text) { return text.empty() ? "the user name is empty" : ""; }, "NAME"))
        ->capture_default_str();
    app.add_option("--password", line.host.password,
                   "Password stored as the \"Password\" setting; better from the environment, out of sight of ps")
        ->envname("TELLIVAR_PASSWORD");
    app.add_flag("--prompt", line.prompt, "Ask for user name and password on the terminal");
    app.add_flag("-v,--verbose", line.host.verbose, "Show ACE debug records and every repeated plug-in info line");
    app.add_flag("-q,--quiet", line.quiet, "Only data and errors: no status lines, remarks or progress");
    addWait(app, "--connect-timeout", line.host.connectTimeout, "Seconds to wait for the plug-in to go online");
    app.add_option("--replay-from", line.host.replayFrom,
                   "With --feed replay: where the replay starts, in UTC, such as 2026-12-08T10:31:00Z "
                   "(default: the recording's start)")
        ->check(CLI::Validator(
            [](std::string& text) {
                std::string error;
                return parseReplayTime(text, error) ? std::string{} : error;
            },
            "TIME"));
    app.add_option("--replay-speed", line.host.replaySpeed,
                   "With --feed replay: the replay's speed, 0.25 to 64 times the recorded pace, or max")
        ->transform(CLI::Validator(
            [](std::string& text) {
                std::string error;
                const std::optional<std::string> speed = parseReplaySpeed(text, error);
                if (speed) text = *speed;
                return speed ? std::string{} : error;
            },
            "X|max"));
}

CLI::App* addInfo(CLI::App& app, InfoOptions& info) {
    auto* cmd = app.add_subcommand("info", "Display name, abilities, interval table and settings panel");
    cmd->add_flag("--connect", info.connect, "Also connect and show the status reports");
    return cmd;
}

CLI::App* addQuotes(CLI::App& app, QuotesOptions& quotes) {
    auto* cmd = app.add_subcommand("quotes", "Live quotes: a table redrawn in place, or lines into a pipe (times UTC)");
    cmd->add_option("symbols", quotes.symbols, "Symbols, separated by blanks or commas")
        ->required()
        ->delimiter(',')
        ->check(symbolOption());
    addFieldsOption(*cmd, quotes.fields);
    cmd->add_option("--seconds", quotes.seconds, "Stop after this many seconds (0: at Ctrl-C)")
        ->check(secondsOption(kMinTimeout, kMaxRunSeconds, "until Ctrl-C"));
    cmd->add_flag("--plain", quotes.plain, "Plain lines even on a terminal");
    return cmd;
}

CLI::App* addHistory(CLI::App& app, HistoryOptions& history) {
    auto* cmd = app.add_subcommand("history", "Past bars: table, CSV and candlestick chart (times UTC)");
    cmd->add_option("symbol", history.symbol, "Symbol")->required()->check(symbolOption());
    cmd->add_option("--interval", history.interval, "Interval: minutes (5), m5, D1, W1, M1")->capture_default_str();
    cmd->add_option("--count", history.count, "Number of bars, the newest one included")
        ->transform(wholeNumberOption(1, kMaxCount))
        ->capture_default_str();
    cmd->add_option("--end", history.end,
                    "UTC time the newest bar holds: 2024-03-05, 2024-03-05T15:30 or 2024-03-05T15:30:00, "
                    "optionally with Z");
    cmd->add_flag("--reverse", history.reverse, "Newest bar first (the reverse iterator)");
    cmd->add_option("--csv", history.csv, "Write the bars to this CSV file (ISO-8601 UTC times)");
    cmd->add_option("--chart", history.chart, "Draw a candlestick chart into this PNG file (needs gnuplot)");
    addWait(*cmd, "--timeout", history.timeout, "Seconds to wait for the complete history");
    return cmd;
}

CLI::App* addStream(CLI::App& app, StreamOptions& stream) {
    auto* cmd = app.add_subcommand("stream", "Updates of the newest bar, one line each (times UTC)");
    cmd->add_option("symbol", stream.symbol, "Symbol")->required()->check(symbolOption());
    cmd->add_option("--interval", stream.interval, "Interval: minutes (5), m5, D1, W1, M1")->capture_default_str();
    cmd->add_option("--seconds", stream.seconds, "Stop after this many seconds (0: at Ctrl-C)")
        ->check(secondsOption(kMinTimeout, kMaxRunSeconds, "until Ctrl-C"));
    return cmd;
}

CLI::App* addDemo(CLI::App& app, DemoOptions& demo) {
    auto* cmd = app.add_subcommand("demo", "Guided tour: connect, quotes, history with chart, stream, shutdown");
    addSymbols(*cmd, demo.symbols, "Symbols for the quotes; the first also for history and stream");
    cmd->add_option("--out-dir", demo.outDir, "Directory for the CSV and the chart")
        ->check(CLI::ExistingDirectory)
        ->capture_default_str();
    addWait(*cmd, "--quote-seconds", demo.quoteSeconds, "Seconds of live quotes, at least");
    addWait(*cmd, "--stream-seconds", demo.streamSeconds, "Seconds of the update stream, at least");
    cmd->add_flag("--no-wait", demo.noWait,
                  "Quick tour: each live step lasts its seconds only, without waiting for the feed's next minute");
    return cmd;
}

CLI::App* addServe(CLI::App& app, ServeOptions& serve) {
    auto* cmd = app.add_subcommand("serve", "Live view in the browser: quote table and candlestick chart");
    cmd->add_option("--port", serve.port, "TCP port (0: any free one)")->transform(wholeNumberOption(0, 65535))->capture_default_str();
    cmd->add_option("--bind", serve.bind, "Address to listen on; other than loopback, with a warning")
        ->capture_default_str();
    addSymbols(*cmd, serve.symbols, "Symbols of the quote table");
    addFieldsOption(*cmd, serve.fields);
    cmd->add_option("--max-pages", serve.maxPages, "Pages open at once")->transform(wholeNumberOption(1, 64))->capture_default_str();
    cmd->add_option("--allow-host", serve.allowHosts, "Further name the pages may reach the server by")->delimiter(',');
    auto* token = cmd->add_option("--token", serve.token, "Token every request needs (default: made up when --bind "
                                                          "is not loopback, shown in the address)");
    cmd->add_flag("--no-token", serve.noToken, "Serve other addresses than loopback without a token")->excludes(token);
    return cmd;
}

std::string pluginPathOf(const HostOptions& host) {
    return host.pluginPath.empty() ? defaultPluginPath(TELLIVAR_DEFAULT_PLUGIN) : host.pluginPath;
}

// The host's version, the feed library and the display name of the plug-in
// it would load; the factory is made only to ask for the name, and never connects.
std::string versionText(const CommandLine& line) {
    const std::string feed = resolveFeedLibrary(line.feedLibrary).value_or("");
    const PluginLibrary library(pluginPathOf(line.host), feed);
    std::unique_ptr<data::DataInterfaceFactory> factory(library.makeFactory());
    const char* name = factory != nullptr ? factory->displayName() : nullptr;
    const std::string plugin = name != nullptr ? std::string(name) + " (" + library.path() + ")"
                                               : "not loaded: " + (library.loaded() ? "no factory" : library.error());
    return fmt::format("tellivar-host {}\nplug-in: {}\nfeed library: {}", TELLIVAR_VERSION, plugin,
                       feed.empty() ? "the one the plug-in finds (none loaded before it)" : feed);
}

// What CLI11 could not take, in the words of the command: unknown options
// (with the closest name), arguments too many.
std::string extrasText(const CLI::App& command, const std::vector<std::string>& extras) {
    std::vector<std::string> names;
    for (const CLI::App* app = &command; app != nullptr; app = app->get_parent()) {
        for (const CLI::Option* option : app->get_options()) {
            for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        }
    }
    std::vector<std::string> parts;
    for (const std::string& extra : extras) {
        parts.push_back(extra.rfind('-', 0) == 0 ? fmt::format("unknown option '{}'{}", extra, didYouMean(extra, names))
                                                 : fmt::format("unexpected argument '{}'", extra));
    }
    return fmt::format("{}", fmt::join(parts, "; "));
}

// CLI11's error about `app`'s command line in the program's words.
std::string parseErrorText(const CLI::App& app, const CLI::Error& error) {
    const std::vector<CLI::App*> chosen = app.get_subcommands();
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
    const std::vector<std::string> extras = app.remaining();
    if (chosen.empty()) {
        for (const std::string& extra : extras) {
            if (extra.rfind('-', 0) == 0) continue;
            return fmt::format("unknown command '{}'{}; commands are: {}", extra, didYouMean(extra, commands),
                               fmt::join(commands, ", "));
        }
        if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
            return "a command is required: " + spokenList(commands, "or");
        }
    }
    const CLI::App& command = chosen.empty() ? app : *chosen.front();
    const std::string help = fmt::format("; see '{} {}--help'", kProgram, chosen.empty() ? "" : command.get_name() + " ");
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !extras.empty()) {
        return extrasText(command, extras) + help;
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        for (const CLI::Option* option : command.get_options()) {
            if (!option->get_required() || option->count() > 0) continue;
            const std::string& name = option->get_name();
            return fmt::format("'{}' needs {}{}; for example '{} {} ACME'", command.get_name(),
                               name == "symbol" ? "a " : "", name, kProgram, command.get_name());
        }
    }
    const std::string text = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        return fmt::format("{} needs a value{}", text.substr(0, text.find(':')), help);
    }
    return text + help;
}

// Sets `app` up to parse into `line`: the global options and the commands,
// each paired with what runs it.
std::vector<std::pair<CLI::App*, std::function<int()>>> describeCommandLine(CLI::App& app, CommandLine& line) {
    app.name(kProgram);
    app.formatter(std::make_shared<HostFormatter>());
    app.require_subcommand(1);
    app.fallthrough();  // global options may follow the command too
    addGlobalOptions(app, line);
    std::vector<std::pair<CLI::App*, std::function<int()>>> commands = {
        {addInfo(app, line.info), [&line] { return runInfo(line.host, line.info); }},
        {addQuotes(app, line.quotes), [&line] { return runQuotes(line.host, line.quotes); }},
        {addHistory(app, line.history), [&line] { return runHistory(line.host, line.history); }},
        {addStream(app, line.stream), [&line] { return runStream(line.host, line.stream); }},
        {addDemo(app, line.demo), [&line] { return runDemo(line.host, line.demo); }},
        {addServe(app, line.serve), [&line] { return runServe(line.host, line.serve); }},
    };
    // After the global options, so --plugin is set when the text is made.
    app.set_version_flag("--version", [&line] { return versionText(line); });
    app.failure_message([](const CLI::App* top, const CLI::Error& error) {
        return fmt::format("{}: error: {}\n", kProgram, parseErrorText(*top, error));
    });
    return commands;
}

// The credentials: asked for with --prompt, else from the options and the
// environment. Why they are unusable, or "".
std::string settleCredentials(CommandLine& line, const CLI::App& app) {
    // CLI11 passes over an empty variable; an empty name is no reason to log on as the demo account.
    const char* envUser = std::getenv("TELLIVAR_USER");
    if (envUser != nullptr && *envUser == '\0' && app.get_option("--user")->count() == 0) {
        return "TELLIVAR_USER is set but empty; give a user name, or unset it for the demo account";
    }
    if (!line.prompt) return {};
    const std::optional<std::string> user = askTerminal("user name: ", false);
    if (!user) return "--prompt needs a terminal to ask on; give --user and TELLIVAR_PASSWORD instead";
    if (user->empty()) return "the user name is empty";
    line.host.user = *user;
    line.host.password = askTerminal("password: ", true).value_or("");
    return {};
}

// The replay options with a feed library known not to be the replay client:
// why that cannot work, or "". A path is checked once loaded (HostSession::open).
std::string checkReplayChoice(const CommandLine& line) {
    const bool given = !line.host.replayFrom.empty() || !line.host.replaySpeed.empty();
    if (!given || line.feedLibrary.find('/') != std::string::npos || line.feedLibrary == kReplayFeedLibrary) return {};
    return fmt::format("{} only works with the replay feed client (--feed replay), not with the feed '{}'",
                       line.host.replayFrom.empty() ? "--replay-speed" : "--replay-from", line.feedLibrary);
}

int run(int argc, char** argv) {
    CLI::App app{"Command-line host for the Tellivar market-data plug-in: loads it with dlopen and shows live data. "
                 "Every time it reads or shows is UTC."};
    CommandLine line;
    const auto commands = describeCommandLine(app, line);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {  // help, version, or an error
        std::ostringstream out, err;
        const int code = app.exit(error, out, err);
        writeOut(out.str());
        writeErr(err.str());
        return code == 0 ? exitcode::kOk : exitcode::kBadArguments;
    }
    const auto chosen =
        std::find_if(commands.begin(), commands.end(), [](const auto& command) { return command.first->parsed(); });
    if (chosen == commands.end()) return exitcode::kBadArguments;
    setQuiet(line.quiet);
    if (const std::string problem = settleCredentials(line, app); !problem.empty()) {
        printError(problem);
        return exitcode::kBadArguments;
    }
    if (const std::string problem = checkReplayChoice(line); !problem.empty()) {
        printError(problem);
        return exitcode::kBadArguments;
    }
    line.host.pluginPath = pluginPathOf(line.host);
    line.host.feedLibrary = resolveFeedLibrary(line.feedLibrary).value_or("");
    if (line.feedLibrary == kReplayFeedLibrary && line.host.feedLibrary.empty()) {
        printError("the replay feed client is not installed: no lib/tellivar/replay/libTellivarClient.so.1 beside "
                   "the program; give its path with --feed");
        return exitcode::kPluginNotLoaded;
    }
    routeAceRecords(line.host.verbose);
    installStopHandlers();
    return chosen->second();
}

// The last guard: whatever escapes is reported, never an abort. Written with
// write(2), since the streams may be what failed.
int reportEscaped(const char* what) {
    const std::string text = fmt::format("{}: error: {}\n", kProgram, what);
    const ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
    return exitcode::kFailure;
}

}  // namespace

int main(int argc, char** argv) {
    guardStandardDescriptors();
    try {
        return finishOutput(run(argc, argv));
    } catch (const std::exception& error) {
        return reportEscaped(error.what());
    } catch (...) {
        return reportEscaped("unexpected failure");
    }
}
