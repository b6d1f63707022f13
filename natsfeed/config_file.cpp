// The NATS feed client's configuration file. CLI11's configuration parser
// (the gateway's, so both files read alike) turns the text into items;
// CLI11 keeps no line numbers, so a scan of the same text finds each key's
// line (and checks the keys: known, each once).
#include "natsfeed/config_file.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace natsfeed {
namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string unquoted(std::string text) {
    if (text.size() > 1 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    return text;
}

// A key = value line's key (its section's name and a dot before it) and its
// line number, in file order; or the first line that is no such thing.
struct KeyLine {
    std::string key;
    int line = 0;
};

bool scanLines(const std::string& content, std::vector<KeyLine>* keys, int* badLine) {
    std::istringstream in(content);
    std::string section;
    int number = 0;
    bool inArray = false;  // a value "[ ..." continued on the lines below
    for (std::string raw; std::getline(in, raw);) {
        ++number;
        const std::string line = trimmed(raw);
        if (inArray) {
            inArray = line.empty() || line.back() != ']';
            continue;
        }
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = unquoted(trimmed(line.substr(1, line.size() - 2)));
            if (section.size() > 1 && section.front() == '[' && section.back() == ']')
                section = section.substr(1, section.size() - 2);
            for (char& c : section) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (section == "default") section.clear();
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            *badLine = number;
            return false;
        }
        const std::string key = unquoted(trimmed(line.substr(0, equals)));
        const std::string value = trimmed(line.substr(equals + 1));
        inArray = value.size() > 1 && value.front() == '[' && value.back() != ']';
        keys->push_back({section.empty() ? key : section + "." + key, number});
    }
    return true;
}

std::string itemKey(const CLI::ConfigItem& item) {
    std::string key;
    for (const std::string& parent : item.parents) key += parent + ".";
    return key + item.name;
}

// The keys a file may have, and the setting each fills.
enum class Key { Servers, Ca, Cert, Key, ServerName, Credentials, Name };
const std::map<std::string, Key>& knownKeys() {
    static const std::map<std::string, Key> keys = {
        {"servers", Key::Servers}, {"tls-ca", Key::Ca},         {"tls-cert", Key::Cert},
        {"tls-key", Key::Key},     {"tls-server-name", Key::ServerName},
        {"credentials", Key::Credentials}, {"name", Key::Name}};
    return keys;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

ConfigFile findConfigFile(const std::function<const char*(const char*)>& getenv, const std::string& systemFile) {
    const char* named = getenv(kConfigVariable);
    if (named != nullptr && *named != '\0') return {named, true};
    std::string user;
    const char* xdg = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (xdg != nullptr && *xdg != '\0') user = std::string(xdg) + "/tellivar/nats.conf";
    else if (home != nullptr && *home != '\0') user = std::string(home) + "/.config/tellivar/nats.conf";
    if (!user.empty() && exists(user)) return {user, false};
    if (!systemFile.empty() && exists(systemFile)) return {systemFile, false};
    return {};
}

bool readConfigFile(const std::string& path, natsconfig::Settings* settings, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = path + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    std::stringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        *error = path + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    std::vector<KeyLine> lines;
    int badLine = 0;
    if (!scanLines(content.str(), &lines, &badLine)) {
        *error = path + ":" + std::to_string(badLine) + ": not a key = value line";
        return false;
    }
    // Every key known and given once, checked on the lines themselves: CLI11
    // merges a key repeated on the next line into one item, and skips lines
    // shorter than three characters.
    std::map<std::string, int> seen;  // key -> its line
    for (const KeyLine& line : lines) {
        const std::string where = path + ":" + std::to_string(line.line) + ": ";
        if (knownKeys().count(line.key) == 0) {
            *error = where + "unknown key " + line.key +
                     " (known: servers, tls-ca, tls-cert, tls-key, tls-server-name, credentials, name)";
            return false;
        }
        if (const auto before = seen.find(line.key); before != seen.end()) {
            *error = where + line.key + " is given twice (first on line " + std::to_string(before->second) + ")";
            return false;
        }
        seen[line.key] = line.line;
    }
    std::istringstream text(content.str());
    std::vector<CLI::ConfigItem> items;
    try {
        items = CLI::ConfigTOML().from_config(text);
    } catch (const CLI::Error& e) {
        *error = path + ": " + e.what();
        return false;
    }

    const std::string folder = folderOf(path);
    for (const CLI::ConfigItem& item : items) {
        if (item.name == "--" || item.name == "++") continue;  // section marks
        const std::string key = itemKey(item);
        const auto found = seen.find(key);
        const int line = found != seen.end() ? found->second : 0;
        const std::string where = path + ":" + std::to_string(line) + ": ";
        const auto known = knownKeys().find(key);
        if (known == knownKeys().end()) {  // the scan knows every key: not expected
            *error = where + "unknown key " + key;
            return false;
        }
        std::vector<std::string> values;
        for (const std::string& value : item.inputs)
            if (!trimmed(value).empty()) values.push_back(trimmed(value));
        if (values.empty()) {
            *error = where + key + " has no value";
            return false;
        }
        if (known->second == Key::Servers) {
            for (const std::string& server : values) {
                if (const std::string wrong = natsconfig::checkServer(server); !wrong.empty()) {
                    *error = where + "bad server URL " + natsconfig::redactServer(server) + ": " + wrong;
                    return false;
                }
            }
            settings->servers = values;
            continue;
        }
        if (values.size() != 1) {
            *error = where + key + " takes one value, not " + std::to_string(values.size()) +
                     " (quote a value with spaces)";
            return false;
        }
        std::string value = values.front();
        switch (known->second) {
            case Key::ServerName: settings->tlsServerName = value; continue;
            case Key::Name: settings->name = value; continue;
            default: break;
        }
        // A file: relative to this file's folder, and readable now.
        if (value.front() != '/') value = folder + value;
        if (access(value.c_str(), R_OK) != 0) {
            *error = where + "cannot read the " + key + " file " + value + ": " + std::strerror(errno);
            return false;
        }
        switch (known->second) {
            case Key::Ca: settings->tlsCa = value; break;
            case Key::Cert: settings->tlsCert = value; break;
            case Key::Key: settings->tlsKey = value; break;
            case Key::Credentials: settings->credentialsFile = value; break;
            default: break;
        }
    }
    if (const std::string wrong = natsconfig::checkSettings(*settings); !wrong.empty()) {
        // Told at the line of the key that is there (a key without its
        // certificate: the key's line).
        int line = 0;
        for (const char* key : {"tls-key", "tls-cert", "tls-server-name"})
            if (line == 0 && seen.count(key) != 0 && wrong.compare(0, std::strlen(key), key) == 0) line = seen[key];
        *error = path + ":" + std::to_string(line) + ": " + wrong;
        return false;
    }
    return true;
}

}  // namespace natsfeed
