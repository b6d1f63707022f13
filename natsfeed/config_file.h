// The NATS feed client's configuration file: where it is, and what it says.
//
// The file is read at each logon that opens a bus connection (the feed
// thread, no lock held). Its format is the gateway's (`key = value`, TOML or
// INI as CLI11 reads them, `#` comments): servers, tls-ca, tls-cert,
// tls-key, tls-server-name, credentials, name. A file that is wrong in any
// way fails the logon with its name and the line; nothing is guessed.
#pragma once

#include <functional>
#include <string>

#include "wire/nats_config.h"

namespace natsfeed {

inline const char kConfigVariable[] = "TELLIVAR_NATS_CONFIG";
inline const char kSystemConfigFile[] = "/etc/tellivar/nats.conf";

struct ConfigFile {
    std::string path;           // empty: no file (the settings as without one)
    bool namedByVariable = false;  // must then exist: a missing file is an error
};

// The file to read: the one TELLIVAR_NATS_CONFIG names, else
// $XDG_CONFIG_HOME/tellivar/nats.conf (XDG_CONFIG_HOME unset or empty:
// $HOME/.config) when it exists, else `systemFile` when it exists, else
// none. `getenv` reads the environment (tests pass their own).
ConfigFile findConfigFile(const std::function<const char*(const char*)>& getenv,
                          const std::string& systemFile = kSystemConfigFile);

// Reads the file at `path` into `settings` (servers, TLS, credentials file,
// name; what it does not mention is left as it is). Relative paths in it
// are relative to the file's folder; the files it names must be readable.
// False with `error` set to "PATH:LINE: what is wrong" (or "PATH: ..." when
// the file itself cannot be read); `settings` may then be half filled.
bool readConfigFile(const std::string& path, natsconfig::Settings* settings, std::string* error);

}  // namespace natsfeed
