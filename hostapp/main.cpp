// tellivar-host: loads the market-data plug-in with dlopen and drives it
// through the host contract, the way a charting host does. See docs/host.md.
#include <CLI/CLI.hpp>
#include <ace/Log_Msg.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <set>

#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "plugin_library.h"
#include "stop_signal.h"

namespace {

const std::set<std::string> kCommands = {"info", "quotes", "history", "stream", "demo", "serve"};
// Options of the top level that take a value, to find the command word.
const std::set<std::string> kValueOptions = {"--plugin", "--user", "--password", "--connect-timeout"};

// The first word that is not an option or an option's value: the command.
std::string commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
        if (arg.rfind("-", 0) != 0) return arg;
        if (kValueOptions.count(arg) != 0) ++i;  // skip its value
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
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool terminal = hidden && isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << '\n';
    }
    return line;
}

// Everything the command line sets.
struct CommandLine {
    HostOptions host;
    bool prompt = false;
    InfoOptions info;
    QuotesOptions quotes;
    HistoryOptions history;
    StreamOptions stream;
    DemoOptions demo;
    ServeOptions serve;
};

void addGlobalOptions(CLI::App& app, CommandLine& line) {
    app.add_option("--plugin", line.host.pluginPath, "Plug-in library to load (default: the built libtellivar.so)");
    app.add_option("--user", line.host.user, "User name stored as the \"Username\" setting")->capture_default_str();
    app.add_option("--password", line.host.password, "Password stored as the \"Password\" setting")
        ->capture_default_str();
    app.add_flag("--prompt", line.prompt, "Ask for user name and password on the terminal");
    app.add_flag("-v,--verbose", line.host.verbose, "Show ACE debug records and every repeated plug-in info line");
    app.add_option("--connect-timeout", line.host.connectTimeout, "Seconds to wait for the plug-in to go online")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
}

void addInfo(CLI::App& app, InfoOptions& info) {
    auto* cmd = app.add_subcommand("info", "Display name, abilities, interval table and settings panel");
    cmd->add_flag("--connect", info.connect, "Also connect and show the status reports");
}

void addQuotes(CLI::App& app, QuotesOptions& quotes) {
    auto* cmd = app.add_subcommand("quotes", "Live quotes: a table redrawn in place, or lines into a pipe");
    cmd->add_option("symbols", quotes.symbols, "Symbols")->required();
    cmd->add_option("--fields", quotes.fields, "Comma-separated long field names (default Trade,Bid,Ask,Net,Volume)");
    cmd->add_option("--seconds", quotes.seconds, "Stop after this many seconds (0: at Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_flag("--plain", quotes.plain, "Plain lines even on a terminal");
}

void addHistory(CLI::App& app, HistoryOptions& history) {
    auto* cmd = app.add_subcommand("history", "Past bars: table, CSV and candlestick chart");
    cmd->add_option("symbol", history.symbol, "Symbol")->required();
    cmd->add_option("--interval", history.interval, "Interval: minutes (5), m5, D1, W1, M1")->capture_default_str();
    cmd->add_option("--count", history.count, "Number of bars")->check(CLI::Range(1, 100000))->capture_default_str();
    cmd->add_option("--end", history.end, "Last bar's time: YYYY-MM-DD or YYYY-MM-DDTHH:MM");
    cmd->add_flag("--reverse", history.reverse, "Newest bar first (the reverse iterator)");
    cmd->add_option("--csv", history.csv, "Write the bars to this CSV file");
    cmd->add_option("--chart", history.chart, "Draw a candlestick chart into this PNG file (needs gnuplot)");
    cmd->add_option("--timeout", history.timeout, "Seconds to wait for the complete history")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
}

void addStream(CLI::App& app, StreamOptions& stream) {
    auto* cmd = app.add_subcommand("stream", "Updates of the newest bar, one line each");
    cmd->add_option("symbol", stream.symbol, "Symbol")->required();
    cmd->add_option("--interval", stream.interval, "Interval: minutes (5), m5, D1, W1, M1")->capture_default_str();
    cmd->add_option("--seconds", stream.seconds, "Stop after this many seconds (0: at Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
}

void addDemo(CLI::App& app, DemoOptions& demo) {
    demo.symbols = {"ACME", "GLOBEX", "INITECH"};
    auto* cmd = app.add_subcommand("demo", "Guided tour: connect, quotes, history with chart, stream, shutdown");
    cmd->add_option("--symbols", demo.symbols, "Symbols for the quotes; the first also for history and stream")
        ->delimiter(',')
        ->capture_default_str();
    cmd->add_option("--out-dir", demo.outDir, "Directory for the CSV and the chart")
        ->check(CLI::ExistingDirectory)
        ->capture_default_str();
    cmd->add_option("--quote-seconds", demo.quoteSeconds, "Seconds of live quotes")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    cmd->add_option("--stream-seconds", demo.streamSeconds, "Seconds of the update stream")
        ->check(CLI::PositiveNumber)
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Command-line host for the Tellivar market-data plug-in: loads it with dlopen and shows live data."};
    app.name("tellivar-host");
    app.require_subcommand(1);
    app.fallthrough();  // top-level options may follow the command too
    CommandLine line;
    addGlobalOptions(app, line);
    addInfo(app, line.info);
    addQuotes(app, line.quotes);
    addHistory(app, line.history);
    addStream(app, line.stream);
    addDemo(app, line.demo);
    addServe(app, line.serve);
    // After the global options, so --plugin is set when the text is made.
    app.set_version_flag("--version", [&line] { return versionText(line.host); });

    const std::string word = commandWord(argc, argv);
    if (!word.empty() && kCommands.count(word) == 0) {
        printError("unknown command '" + word + "'; commands are: info, quotes, history, stream, demo, serve (see --help)");
        return exitcode::kBadArguments;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? exitcode::kOk : exitcode::kBadArguments;
    }
    if (line.prompt) {
        line.host.user = readLine("user name: ", false);
        line.host.password = readLine("password: ", true);
    }
    line.host.pluginPath = pluginPathOf(line.host);
    configureAceLogging(line.host.verbose);
    installStopHandlers();
    return runCommand(app, line);
}
