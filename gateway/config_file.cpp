#include "gateway/config_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace gateway::config {
namespace {

constexpr const char* kUnknownKeyLead = "INI was not able to parse ";

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string unquoted(std::string text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front())
        return text.substr(1, text.size() - 2);
    return text;
}

// A line of the file that names a key, as CLI11's TOML reader sees it: the
// key with its section ("section.key"), and the text after '=' before any
// comment was cut off.
struct KeyLine {
    int line = 0;
    std::string fullname;
    std::string rawValue;  // empty for a key alone (a flag)
    bool tooShort = false;  // fewer than 3 characters: CLI11 skips the line
};

// Mirrors the reader's line rules (trim, "[section]", comments, '=') only to
// find where each key is; CLI11 parses the values.
std::vector<KeyLine> scanKeys(const std::string& text) {
    std::vector<KeyLine> keys;
    std::istringstream input(text);
    std::string raw, section;
    for (int number = 1; std::getline(input, raw); ++number) {
        const std::string line = trimmed(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        KeyLine key;
        key.line = number;
        if (line.size() < 3) {
            key.tooShort = true;
            key.fullname = line;
            keys.push_back(key);
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            if (section.size() > 1 && section.front() == '[' && section.back() == ']')
                section = section.substr(1, section.size() - 2);
            std::string lower = section;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == "default") section.clear();
            continue;
        }
        const auto equals = line.find('=');
        std::string name = trimmed(line.substr(0, equals));
        if (equals != std::string::npos) {
            key.rawValue = trimmed(line.substr(equals + 1));
        } else {
            name = trimmed(name.substr(0, name.find('#')));
        }
        name = unquoted(name);
        key.fullname = section.empty() ? name : section + "." + name;
        keys.push_back(key);
    }
    return keys;
}

// True when the key on `line` is on the next key line too: CLI11's reader
// joins the two into one item.
bool joinedWithNext(const std::vector<KeyLine>& keys, int line) {
    for (std::size_t k = 0; k + 1 < keys.size(); ++k)
        if (keys[k].line == line) return !keys[k + 1].tooShort && keys[k + 1].fullname == keys[k].fullname;
    return false;
}

// The reader's view of one item: what `check` parses alone.
class OneItem : public CLI::ConfigTOML {
public:
    explicit OneItem(CLI::ConfigItem item) : item_(std::move(item)) {}
    std::vector<CLI::ConfigItem> from_config(std::istream&) const override { return {item_}; }

private:
    CLI::ConfigItem item_;
};

std::string what(const CLI::ConfigItem& item, std::string message) {
    const std::string key = item.fullname();
    if (message.rfind(kUnknownKeyLead, 0) == 0) return "unknown key '" + key + "'";
    const std::string flag = "--" + key + ": ";
    if (message.rfind(flag, 0) == 0) message.erase(0, flag.size());
    // CLI11's reader splits a value at commas and spaces outside quotes.
    if (item.inputs.size() > 1 && message.find("required but received") != std::string::npos)
        message += " (a value with commas or spaces goes in double quotes)";
    return key + ": " + message;
}

// Parses `item` alone into a fresh App; the fault CLI11 found, or empty.
// CLI11 opens the file it is given before the reader, which ignores it and
// hands over the item: any readable file does.
std::string parseAlone(const CLI::ConfigItem& item, const Define& define) {
    CLI::App app;
    define(app);
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_config("--config");
    app.config_formatter(std::make_shared<OneItem>(item));
    std::vector<std::string> args{"/dev/null", "--config"};  // CLI11 takes them last first
    try {
        app.parse(args);
    } catch (const CLI::Error& e) {
        return what(item, e.what());
    }
    return "";
}

bool readable(const std::string& path, std::string* text, std::string* error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = "is a directory, not a file";
        return false;
    }
    std::ifstream input(path);
    if (!input.is_open()) {
        *error = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    std::ostringstream all;
    all << input.rdbuf();
    if (input.bad()) {
        *error = "cannot read it";
        return false;
    }
    *text = all.str();
    return true;
}

}  // namespace

std::string environmentName(const std::string& prefix, const std::string& longName) {
    std::string name = prefix;
    const std::size_t start = std::min(longName.find_first_not_of('-'), longName.size());
    for (std::size_t i = start; i < longName.size(); ++i)
        name += longName[i] == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(longName[i])));
    return name;
}

void useEnvironment(CLI::App& app, const std::string& prefix, const std::vector<std::string>& except) {
    for (CLI::Option* option : app.get_options()) {
        const auto& names = option->get_lnames();
        if (names.empty()) continue;
        const std::string flag = "--" + names.front();
        if (std::find(except.begin(), except.end(), flag) != except.end()) continue;
        option->envname(environmentName(prefix, flag));
    }
}

std::vector<CLI::ConfigItem> EnvironmentFirst::from_config(std::istream& input) const {
    std::vector<CLI::ConfigItem> items = CLI::ConfigTOML::from_config(input);
    items.erase(std::remove_if(items.begin(), items.end(),
                               [this](const CLI::ConfigItem& item) {
                                   if (!item.parents.empty()) return false;
                                   const char* value = std::getenv(environmentName(prefix_, item.name).c_str());
                                   return value != nullptr && *value != '\0';
                               }),
                items.end());
    return items;
}

std::vector<Located> readLocated(const std::string& text) {
    std::istringstream input(text);
    const std::vector<CLI::ConfigItem> items = CLI::ConfigTOML().from_config(input);
    const std::vector<KeyLine> keys = scanKeys(text);
    std::vector<Located> located;
    std::size_t cursor = 0;
    for (const CLI::ConfigItem& item : items) {
        if (item.name == "--" || item.name == "++") continue;
        Located here;
        here.item = item;
        const std::string fullname = item.fullname();
        for (std::size_t k = cursor; k < keys.size(); ++k) {
            if (!keys[k].tooShort && keys[k].fullname == fullname) {
                here.line = keys[k].line;
                cursor = k + 1;
                break;
            }
        }
        located.push_back(std::move(here));
    }
    return located;
}

std::vector<Problem> checkFile(const std::string& path, const Define& define) {
    std::string text, error;
    if (!readable(path, &text, &error)) return {{0, error}};
    return checkText(text, define);
}

std::vector<Problem> checkText(const std::string& text, const Define& define) {
    std::vector<Problem> problems;
    const std::vector<KeyLine> keys = scanKeys(text);
    std::map<std::string, int> firstLine;
    std::map<std::string, int> times;
    for (const KeyLine& key : keys) {
        if (key.tooShort) {
            problems.push_back({key.line, "'" + key.fullname + "' is not a line of the form key = value"});
            continue;
        }
        if (++times[key.fullname] > 1) {
            problems.push_back({key.line, "'" + key.fullname + "' is set again (line " +
                                              std::to_string(firstLine[key.fullname]) + " sets it already)"});
            continue;
        }
        firstLine[key.fullname] = key.line;
        const std::string& value = key.rawValue;
        if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
            const std::string kept = trimmed(value.substr(0, value.find('#')));
            if (kept.size() < 2 || kept.back() != value.front())
                problems.push_back({key.line, key.fullname + ": the value is cut at '#', which starts a comment even "
                                                             "in quotes (give this value in the environment)"});
        }
    }
    std::map<std::string, bool> parsed;
    for (const Located& located : readLocated(text)) {
        // A key set again is told above; its first value is checked, unless
        // CLI11 joined it with the next line's (the same key on the next line).
        const std::string fullname = located.item.fullname();
        if (parsed[fullname]) continue;
        parsed[fullname] = true;
        if (times[fullname] > 1 && joinedWithNext(keys, located.line)) continue;
        const std::string fault = parseAlone(located.item, define);
        if (!fault.empty()) problems.push_back({located.line, fault});
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const Problem& a, const Problem& b) { return a.line < b.line; });
    return problems;
}

std::string describe(const std::string& path, const std::vector<Problem>& problems) {
    std::string text;
    for (const Problem& problem : problems)
        text += path + (problem.line > 0 ? ":" + std::to_string(problem.line) : std::string()) + ": " +
                problem.text + "\n";
    return text;
}

Outcome parseProgram(CLI::App& app, int argc, const char* const* argv, const Setup& setup) {
    // CLI11 reads the file inside the parse, where a fault has no line: the
    // file is found and checked first.
    std::string path = setup.defaultFile;
    bool given = false, check = false, help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--config" && i + 1 < argc) {
            path = argv[++i];
            given = true;
        } else if (arg.rfind("--config=", 0) == 0) {
            path = arg.substr(9);
            given = true;
        } else if (arg == "--check-config") {
            check = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;  // the help, whatever the file holds
        }
    }

    setup.define(app);
    app.set_config("--config", setup.defaultFile,
                   "Configuration file: every option as `name = value` (read when present)");
    app.config_formatter(std::make_shared<EnvironmentFirst>(setup.prefix));
    app.allow_config_extras(CLI::config_extras_mode::error);
    bool checkOnly = false;
    app.add_flag("--check-config", checkOnly,
                 "Check the configuration file, environment and flags, say what is wrong; exit 0 (good) or 2");
    useEnvironment(app, setup.prefix, {"--config", "--check-config", "--help"});

    if (help) {
        // CLI11 would read the file before it answers the help.
        if (argc > 0 && app.get_name().empty()) app.name(argv[0]);
        return {false, 0, app.help()};
    }
    if (given || access(path.c_str(), F_OK) == 0) {
        const std::vector<Problem> problems = checkFile(path, setup.scratch);
        if (!problems.empty()) return {false, 2, describe(path, problems)};
    } else if (check) {
        return {false, 2, path + ": no configuration file there\n"};
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        std::ostringstream out, err;
        return {false, app.exit(e, out, err), out.str() + err.str()};
    } catch (const CLI::ParseError& e) {
        const std::string lead = check ? "in the environment or on the command line: " : "";
        return {false, 2, lead + e.what() + "\n"};
    }
    if (checkOnly) return {false, 0, path + ": good\n"};
    return {true, 0, ""};
}

}  // namespace gateway::config
