// The replay client's configuration: its file and the environment, read at
// each logon (the feed thread, no lock held).
//
// The file: TELLIVAR_REPLAY_CONFIG, else $XDG_CONFIG_HOME/tellivar/replay.conf
// ($HOME/.config when XDG_CONFIG_HOME is unset), else /etc/tellivar/replay.conf,
// else none. Lines `key = value` (a value may be quoted), `#` comments. Keys:
// servers (comma-separated), tls-ca, tls-cert, tls-key, tls-server-name,
// credentials, name (as the NATS client's nats.conf), recording, from (ISO
// 8601 UTC), speed (0.25 to 64, or max), paused (true or false: the replay
// logs on paused at its start), control-subject. A key not known,
// given twice or without a value fails the logon with the file and line.
// The environment overrides the file: TELLIVAR_REPLAY_RECORDING,
// TELLIVAR_REPLAY_FROM, TELLIVAR_REPLAY_SPEED, TELLIVAR_REPLAY_PAUSED, and
// TELLIVAR_NATS_URL for the servers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "wire/nats_config.h"

namespace replay {

inline const char kConfigVariable[] = "TELLIVAR_REPLAY_CONFIG";
inline const char kSystemConfigFile[] = "/etc/tellivar/replay.conf";

struct Config {
    natsconfig::Settings nats;
    std::string recording;
    std::optional<std::int64_t> fromNs;  // none: the recording's start
    double speed = 1.0;                  // 0: as fast as possible
    bool paused = false;                 // logs on paused at the start
    std::string controlSubject;          // empty: none
};

using Getenv = std::function<const char*(const char*)>;

// The file to read, or "" for none; `named` is set when the variable named it
// (it must then exist).
std::string findConfigFile(const Getenv& getenv, bool* named, const std::string& systemFile = kSystemConfigFile);
// The configuration: the file (if any), then the environment. False with
// `error` saying what is wrong ("PATH:LINE: ...", or which variable).
bool loadConfig(const Getenv& getenv, Config* config, std::string* error,
                const std::string& systemFile = kSystemConfigFile);

}  // namespace replay
