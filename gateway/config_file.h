// The gateway program's configuration: its command-line options read also
// from the environment and from a configuration file, through CLI11's own
// configuration-file support (TOML-style `key = value`, one option a line,
// named as the long option without its dashes).
//
// Precedence: a flag on the command line, else the option's environment
// variable (PREFIX + the name in capitals, '-' as '_': --feed-library ->
// TELLIVAR_GATEWAY_FEED_LIBRARY), else the file, else the default. CLI11
// itself applies a file's value before the environment's, so the file is read
// through EnvironmentFirst, which leaves out the keys the environment sets.
//
// A file is checked before a run, key by key, so that every fault is told
// with its line: each key is parsed alone by an App of its own, made by the
// program's `define` function.
//
// Threads: the program's main thread, before any other starts (getenv).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace gateway::config {

// Adds the program's options to `app`, bound to variables the caller owns
// (for a check: scratch variables that outlive the app).
using Define = std::function<void(CLI::App&)>;

// "TELLIVAR_GATEWAY_" and "--feed-library" -> "TELLIVAR_GATEWAY_FEED_LIBRARY".
std::string environmentName(const std::string& prefix, const std::string& longName);

// Gives every long option of `app` its environment variable, but the ones
// named in `except` (such as "--config" and "--help").
void useEnvironment(CLI::App& app, const std::string& prefix, const std::vector<std::string>& except);

// CLI11's TOML reader, leaving out the keys whose environment variable is set
// and not empty: those come from the environment (CLI11 reads it after the
// file, and only for options the file did not set).
class EnvironmentFirst : public CLI::ConfigTOML {
public:
    explicit EnvironmentFirst(std::string prefix) : prefix_(std::move(prefix)) {}
    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;

private:
    std::string prefix_;
};

// One key of a file as CLI11's reader gives it, and the line it is on (1 up).
struct Located {
    int line = 0;
    CLI::ConfigItem item;
};

// Reads `text` with CLI11's TOML reader and finds each key's line. Section
// ends (CLI11's "--" items) are left out.
std::vector<Located> readLocated(const std::string& text);

// A fault of a configuration file: its line (0: the file as a whole) and what is wrong.
struct Problem {
    int line = 0;
    std::string text;
};

// Checks the file at `path`: readable, every key known, every value right
// for its option, no key set twice, no value cut short by a '#' (a comment
// starts there, quoted or not). Empty: the file is good.
std::vector<Problem> checkFile(const std::string& path, const Define& define);

// The same checks on a file's text.
std::vector<Problem> checkText(const std::string& text, const Define& define);

// "PATH:LINE: TEXT" a line each (PATH: TEXT for the whole file).
std::string describe(const std::string& path, const std::vector<Problem>& problems);

// How a program's options are read.
struct Setup {
    std::string prefix;       // of the environment variables
    std::string defaultFile;  // read when present and no --config is given
    Define define;            // adds the options, bound to the caller's variables
    Define scratch;           // adds the same options bound to throwaway variables (the file's check)
};

// The end of reading a program's options: go on (run), or exit with `status`
// after printing `output` (to stdout when status is 0, else stderr).
struct Outcome {
    bool run = false;
    int status = 0;
    std::string output;
};

// Defines the options on `app` (with --config FILE and --check-config), checks
// the configuration file (the one given, or the default when present), then
// parses flags, environment and file. --check-config: 0 when all is good,
// else 2, never a run. A bad file or a bad value: 2, told with its line.
Outcome parseProgram(CLI::App& app, int argc, const char* const* argv, const Setup& setup);

}  // namespace gateway::config
