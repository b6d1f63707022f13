#include "replay/config.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "replay/iso.h"
#include "wire/record.h"
#include "wire/wire.h"

namespace replay {
namespace {

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

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const std::set<std::string>& knownKeys() {
    static const std::set<std::string> keys = {"servers", "tls-ca",    "tls-cert", "tls-key", "tls-server-name",
                                               "credentials", "name",  "recording", "from",   "speed",
                                               "paused",      "control-subject"};
    return keys;
}

// A control subject: NATS tokens of A-Z a-z 0-9 - _, separated by dots.
bool isValidSubject(const std::string& subject) {
    if (subject.empty() || subject.size() > 200 || subject.front() == '.' || subject.back() == '.') return false;
    char before = 0;
    for (const char c : subject) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        if (!ok || (c == '.' && before == '.')) return false;
        before = c;
    }
    return true;
}

// One key's value into `config`; "" or what is wrong.
std::string setKey(const std::string& key, const std::string& value, const std::string& folder, Config* config) {
    if (key == "servers") {
        config->nats.servers = natsconfig::parseServers(value);
        for (const std::string& server : config->nats.servers)
            if (const std::string wrong = natsconfig::checkServer(server); !wrong.empty())
                return "bad server URL " + natsconfig::redactServer(server) + ": " + wrong;
        return {};
    }
    if (key == "recording") {
        if (!wire::isValidRecordingName(value)) return "bad recording name " + value + " (1 to 32 of A-Z a-z 0-9 - _)";
        config->recording = value;
        return {};
    }
    if (key == "from") {
        const auto ns = parseIso(value);
        if (!ns) return "bad time " + value + " (ISO 8601 in UTC, like 2026-12-08T10:31:00Z)";
        config->fromNs = ns;
        return {};
    }
    if (key == "speed") {
        const auto speed = parseSpeed(value);
        if (!speed) return "bad speed " + value + " (0.25 to 64, or max)";
        config->speed = *speed;
        return {};
    }
    if (key == "paused") {
        if (value != "true" && value != "false") return "bad paused " + value + " (true or false)";
        config->paused = value == "true";
        return {};
    }
    if (key == "control-subject") {
        if (!isValidSubject(value)) return "bad control subject " + value;
        config->controlSubject = value;
        return {};
    }
    if (key == "name") {
        config->nats.name = value;
        return {};
    }
    if (key == "tls-server-name") {
        config->nats.tlsServerName = value;
        return {};
    }
    const std::string path = value.front() == '/' ? value : folder + value;
    if (access(path.c_str(), R_OK) != 0) return "cannot read the " + key + " file " + path + ": " + std::strerror(errno);
    if (key == "tls-ca") config->nats.tlsCa = path;
    else if (key == "tls-cert") config->nats.tlsCert = path;
    else if (key == "tls-key") config->nats.tlsKey = path;
    else config->nats.credentialsFile = path;
    return {};
}

bool readFile(const std::string& path, Config* config, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = path + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    std::map<std::string, int> seen;
    int number = 0;
    for (std::string raw; std::getline(file, raw);) {
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::string line = trimmed(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            *error = where + "not a key = value line";
            return false;
        }
        const std::string key = unquoted(trimmed(line.substr(0, equals)));
        const std::string value = unquoted(trimmed(line.substr(equals + 1)));
        if (knownKeys().count(key) == 0) {
            *error = where + "unknown key " + key +
                     " (known: servers, tls-ca, tls-cert, tls-key, tls-server-name, credentials, name, recording, "
                     "from, speed, paused, control-subject)";
            return false;
        }
        if (const auto before = seen.find(key); before != seen.end()) {
            *error = where + key + " is given twice (first on line " + std::to_string(before->second) + ")";
            return false;
        }
        seen[key] = number;
        if (value.empty()) {
            *error = where + key + " has no value";
            return false;
        }
        if (const std::string wrong = setKey(key, value, folderOf(path), config); !wrong.empty()) {
            *error = where + wrong;
            return false;
        }
    }
    return true;
}

}  // namespace

std::string findConfigFile(const Getenv& getenv, bool* named, const std::string& systemFile) {
    *named = false;
    const char* variable = getenv(kConfigVariable);
    if (variable != nullptr && *variable != '\0') {
        *named = true;
        return variable;
    }
    std::string user;
    const char* xdg = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (xdg != nullptr && *xdg != '\0') user = std::string(xdg) + "/tellivar/replay.conf";
    else if (home != nullptr && *home != '\0') user = std::string(home) + "/.config/tellivar/replay.conf";
    if (!user.empty() && exists(user)) return user;
    if (!systemFile.empty() && exists(systemFile)) return systemFile;
    return {};
}

bool loadConfig(const Getenv& getenv, Config* config, std::string* error, const std::string& systemFile) {
    bool named = false;
    const std::string path = findConfigFile(getenv, &named, systemFile);
    if (!path.empty() && !readFile(path, config, error)) return false;
    const std::pair<const char*, const char*> overrides[] = {{"TELLIVAR_REPLAY_RECORDING", "recording"},
                                                            {"TELLIVAR_REPLAY_FROM", "from"},
                                                            {"TELLIVAR_REPLAY_SPEED", "speed"},
                                                            {"TELLIVAR_REPLAY_PAUSED", "paused"},
                                                            {"TELLIVAR_NATS_URL", "servers"}};
    for (const auto& [variable, key] : overrides) {
        const char* value = getenv(variable);
        if (value == nullptr || *value == '\0') continue;
        if (const std::string wrong = setKey(key, value, "", config); !wrong.empty()) {
            *error = std::string(variable) + ": " + wrong;
            return false;
        }
    }
    if (config->nats.servers.empty()) config->nats.servers = natsconfig::parseServers("");
    if (config->recording.empty()) {
        *error = "no recording named (the configuration's recording, or TELLIVAR_REPLAY_RECORDING)";
        return false;
    }
    if (const std::string wrong = natsconfig::checkSettings(config->nats); !wrong.empty()) {
        *error = (path.empty() ? std::string() : path + ": ") + wrong;
        return false;
    }
    return true;
}

}  // namespace replay
