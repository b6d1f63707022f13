// tellivar-host: loads the market-data plug-in with dlopen and drives it
// through the host contract, the way a charting host does. See docs/host.md.
#include <CLI/CLI.hpp>
#include <ace/Log_Msg.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <vector>

#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "hints.h"
#include "options.h"
#include "plugin_library.h"
#include "stop_signal.h"

namespace {

constexpr const char kProgram[] = "tellivar-host";
const std::vector<std::string> kCommands = {"info", "quotes", "history", "stream", "demo", "serve"};
// Options of the top level that take a value, to find the command word.
const std::vector<std::string> kValueOptions = {"--plugin", "--user", "--password", "--connect-timeout"};

bool contains(const std::vector<std::string>& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// The first word that is not an option or an option's value: the command.
std::string commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
        if (arg.rfind("-", 0) != 0) return arg;
        if (contains(kValueOptions, arg)) ++i;  // skip its value
    }
    return {};
}

// ACE debug records (the plug-in's "ENTER"/"LEAVE" traces and the like) are
// noise unless asked for; errors still show.
void configureAceLogging(bool verbose) {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    u_long mask = log->priority_mask(ACE_Log_Msg::PROCESS);
    mask = verbose ? (mask | LM_DEBUG | LM_TRACE) : (mask & ~static_cast<u_long>(LM_DEBUG | LM_TRACE));
    log->priority_mask(mask, ACE_Log_Msg::PROCESS);
}

std::string readLine(const char* prompt, bool hidden) {
    writeErr(prompt);
    termios saved{};
    const bool terminal = hidden && isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        writeErr("\n");
    }
    return line;
}

// A CLI11 check from one of options.h's.
template <typename Check>
CLI::Validator validator(const std::string& description, Check check) {
    return CLI::Validator([check](std::string& text) { return check(text); }, description);
}

CLI::Validator runSeconds() {
    return validator("SECONDS", [](const std::string& text) {
        return checkSeconds(text, kMinTimeout, kMaxRunSeconds, "until Ctrl-C");
    });
}

CLI::Validator timeoutSeconds() {
    return validator("SECONDS", [](const std::string& text) { return checkSeconds(text, kMinTimeout, kMaxTimeout); });
}

CLI::Validator symbolText() { return validator("", [](const std::string& text) { return checkSymbol(text); }); }

// Everything the command line sets.
struct CommandLine {
    HostOptions host;
    bool prompt = false;
    bool quiet = false;
    InfoOptions info;
    QuotesOptions quotes;
    std::string fields;  // quotes --fields, when given
    CLI::Option* fieldsOption = nullptr;
    HistoryOptions history;
    StreamOptions stream;
    DemoOptions demo;
    ServeOptions serve;
};

void addGlobalOptions(CLI::App& app, CommandLine& line) {
    app.add_option("--plugin", line.host.pluginPath, "Plug-in library to load (default: the built libtellivar.so)");
    app.add_option("--user", line.host.user, "User name stored as the \"Username\" setting")
        ->envname("TELLIVAR_USER")
        ->capture_default_str();
    app.add_option("--password", line.host.password,
                   "Password stored as the \"Password\" setting; better from the environment, out of sight of ps")
        ->envname("TELLIVAR_PASSWORD");
    app.add_flag("--prompt", line.prompt, "Ask for user name and password on the terminal");
    app.add_flag("-v,--verbose", line.host.verbose, "Show ACE debug records and every repeated plug-in info line");
    app.add_flag("-q,--quiet", line.quiet, "Only data and errors: no status lines, remarks or progress");
    app.add_option("--connect-timeout", line.host.connectTimeout, "Seconds to wait for the plug-in to go online")
        ->check(timeoutSeconds())
        ->capture_default_str();
}

void addInfo(CLI::App& app, InfoOptions& info) {
    auto* cmd = app.add_subcommand("info", "Display name, abilities, interval table and settings panel");
    cmd->add_flag("--connect", info.connect, "Also connect and show the status reports");
}

void addQuotes(CLI::App& app, CommandLine& line) {
    QuotesOptions& quotes = line.quotes;
    auto* cmd = app.add_subcommand("quotes", "Live quotes: a table redrawn in place, or lines into a pipe (times UTC)");
    cmd->add_option("symbols", quotes.symbols, "Symbols, separated by blanks or commas")
        ->required()
        ->delimiter(',')
        ->check(symbolText());
    line.fieldsOption = cmd->add_option("--fields", line.fields,
                                        "Comma-separated long field names (default Trade,Bid,Ask,Net,Volume)");
    cmd->add_option("--seconds", quotes.seconds, "Stop after this many seconds (0: at Ctrl-C)")->check(runSeconds());
    cmd->add_flag("--plain", quotes.plain, "Plain lines even on a terminal");
}

void addHistory(CLI::App& app, HistoryOptions& history) {
    auto* cmd = app.add_subcommand("history", "Past bars: table, CSV and candlestick chart (times UTC)");
    cmd->add_option("symbol", history.symbol, "Symbol")->required()->check(symbolText());
    cmd->add_option("--interval", history.interval, "Interval: minutes (5), m5, D1, W1, M1")->capture_default_str();
    cmd->add_option("--count", history.count, "Number of bars, the newest one included")
        ->check(validator("1-100000", [](const std::string& text) { return checkCount(text, 1, kMaxCount); }))
        ->capture_default_str();
    cmd->add_option("--end", history.end,
                    "UTC time the newest bar holds: 2024-03-05, 2024-03-05T15:30 or 2024-03-05T15:30:00, "
                    "optionally with Z");
    cmd->add_flag("--reverse", history.reverse, "Newest bar first (the reverse iterator)");
    cmd->add_option("--csv", history.csv, "Write the bars to this CSV file (ISO-8601 UTC times)");
    cmd->add_option("--chart", history.chart, "Draw a candlestick chart into this PNG file (needs gnuplot)");
    cmd->add_option("--timeout", history.timeout, "Seconds to wait for the complete history")
        ->check(timeoutSeconds())
        ->capture_default_str();
}

void addStream(CLI::App& app, StreamOptions& stream) {
    auto* cmd = app.add_subcommand("stream", "Updates of the newest bar, one line each (times UTC)");
    cmd->add_option("symbol", stream.symbol, "Symbol")->required()->check(symbolText());
    cmd->add_option("--interval", stream.interval, "Interval: minutes (5), m5, D1, W1, M1")->capture_default_str();
    cmd->add_option("--seconds", stream.seconds, "Stop after this many seconds (0: at Ctrl-C)")->check(runSeconds());
}

void addDemo(CLI::App& app, DemoOptions& demo) {
    demo.symbols = {"ACME", "GLOBEX", "INITECH"};
    auto* cmd = app.add_subcommand("demo", "Guided tour: connect, quotes, history with chart, stream, shutdown");
    cmd->add_option("--symbols", demo.symbols, "Symbols for the quotes; the first also for history and stream")
        ->delimiter(',')
        ->check(symbolText())
        ->capture_default_str();
    cmd->add_option("--out-dir", demo.outDir, "Directory for the CSV and the chart")
        ->check(CLI::ExistingDirectory)
        ->capture_default_str();
    const auto stepSeconds = validator("SECONDS", [](const std::string& text) {
        return checkSeconds(text, kMinTimeout, kMaxTimeout);
    });
    cmd->add_option("--quote-seconds", demo.quoteSeconds, "Seconds of live quotes, at least")
        ->check(stepSeconds)
        ->capture_default_str();
    cmd->add_option("--stream-seconds", demo.streamSeconds, "Seconds of the update stream, at least")
        ->check(stepSeconds)
        ->capture_default_str();
}

void addServe(CLI::App& app, ServeOptions& serve) {
    serve.symbols = {"ACME", "GLOBEX", "INITECH"};
    auto* cmd = app.add_subcommand("serve", "Live view in the browser: quote table and candlestick chart");
    cmd->add_option("--port", serve.port, "TCP port (0: any free one)")->check(CLI::Range(0, 65535))->capture_default_str();
    cmd->add_option("--bind", serve.bind, "Address to listen on; other than loopback, with a warning")
        ->capture_default_str();
    cmd->add_option("--symbols", serve.symbols, "Symbols of the quote table")->delimiter(',')->capture_default_str();
    cmd->add_option("--fields", serve.fields, "Comma-separated long field names (default Trade,Bid,Ask,Net,Volume)");
    cmd->add_option("--max-pages", serve.maxPages, "Pages open at once")->check(CLI::Range(1, 64))->capture_default_str();
    cmd->add_option("--allow-host", serve.allowHosts, "Further name the pages may reach the server by")->delimiter(',');
    auto* token = cmd->add_option("--token", serve.token, "Token every request needs (default: made up when --bind "
                                                          "is not loopback, shown in the address)");
    cmd->add_flag("--no-token", serve.noToken, "Serve other addresses than loopback without a token")->excludes(token);
}

std::string pluginPathOf(const HostOptions& host) {
    return host.pluginPath.empty() ? defaultPluginPath(TELLIVAR_DEFAULT_PLUGIN) : host.pluginPath;
}

// The host's version and the display name of the plug-in it would load; the
// factory is made only to ask for the name, and never connects.
std::string versionText(const HostOptions& host) {
    const PluginLibrary library(pluginPathOf(host));
    std::unique_ptr<data::DataInterfaceFactory> factory(library.makeFactory());
    const char* name = factory != nullptr ? factory->displayName() : nullptr;
    const std::string plugin = name != nullptr ? std::string(name) + " (" + library.path() + ")"
                                               : "not loaded: " + (library.loaded() ? "no factory" : library.error());
    return std::string("tellivar-host ") + TELLIVAR_VERSION + "\nplug-in: " + plugin;
}

int runCommand(const CLI::App& app, const CommandLine& line) {
    if (app.got_subcommand("info")) return runInfo(line.host, line.info);
    if (app.got_subcommand("quotes")) return runQuotes(line.host, line.quotes);
    if (app.got_subcommand("history")) return runHistory(line.host, line.history);
    if (app.got_subcommand("stream")) return runStream(line.host, line.stream);
    if (app.got_subcommand("serve")) return runServe(line.host, line.serve);
    return runDemo(line.host, line.demo);
}

// CLI11's parse errors in the program's one error style, with a pointer to help.
int reportParseError(const CLI::ParseError& error, const std::string& command) {
    std::string text = error.what();
    if (command.empty() && dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        text = "a command is required: info, quotes, history, stream or demo";
    }
    printError(fmt::format("{}; see '{} {}--help'", text, kProgram, command.empty() ? "" : command + " "));
    return exitcode::kBadArguments;
}

int run(int argc, char** argv) {
    CLI::App app{"Command-line host for the Tellivar market-data plug-in: loads it with dlopen and shows live data. "
                 "Every time it reads or shows is UTC."};
    app.name(kProgram);
    app.require_subcommand(1);
    app.fallthrough();  // top-level options may follow the command too
    CommandLine line;
    addGlobalOptions(app, line);
    addInfo(app, line.info);
    addQuotes(app, line);
    addHistory(app, line.history);
    addStream(app, line.stream);
    addDemo(app, line.demo);
    addServe(app, line.serve);
    // After the global options, so --plugin is set when the text is made.
    app.set_version_flag("--version", [&line] { return versionText(line.host); });

    const std::string word = commandWord(argc, argv);
    if (!word.empty() && !contains(kCommands, word)) {
        printError(fmt::format("unknown command '{}'{}; commands are: info, quotes, history, stream, demo, serve (see --help)",
                               word, didYouMean(word, kCommands)));
        return exitcode::kBadArguments;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        writeOut(app.help());
        return exitcode::kOk;
    } catch (const CLI::CallForAllHelp&) {
        writeOut(app.help("", CLI::AppFormatMode::All));
        return exitcode::kOk;
    } catch (const CLI::CallForVersion& version) {
        writeOut(std::string(version.what()) + "\n");
        return exitcode::kOk;
    } catch (const CLI::ParseError& error) {
        return reportParseError(error, word);
    }
    setQuiet(line.quiet);
    if (line.fieldsOption->count() > 0) line.quotes.fields = line.fields;
    if (line.prompt) {
        line.host.user = readLine("user name: ", false);
        line.host.password = readLine("password: ", true);
    }
    line.host.pluginPath = pluginPathOf(line.host);
    configureAceLogging(line.host.verbose);
    installStopHandlers();
    return runCommand(app, line);
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
