// The NATS connection settings the gateway and the NATS feed client share:
// the server list's text form and the libnats options both build from it.
// Each side adds what is its own (callbacks, a credentials file, its name).
// Pure functions, or libnats option objects owned by the caller; any thread.
#pragma once

#include <nats/nats.h>

#include <string>
#include <vector>

namespace natsconfig {

inline const char kDefaultServer[] = "nats://127.0.0.1:4222";

// The servers of a comma-separated list, in order, empty items skipped; the
// default server when none is left.
std::vector<std::string> parseServers(const std::string& text);
// The list again as text, comma-separated, for messages.
std::string joinServers(const std::vector<std::string>& servers);

struct Settings {
    std::vector<std::string> servers;  // tried in order; reconnects go to any of them
    std::string name;                  // the connection's name, as the server shows it
    std::string user, password;        // none when user is empty
    std::string credentialsFile;       // a .creds file; none when empty
    // Each publish is written at once rather than batched by libnats's
    // flusher for up to a millisecond.
    bool sendAsap = false;
    // One libnats delivery thread for every subscription instead of one each.
    bool globalDelivery = false;
    int reconnectWaitMs = 0;  // 0: libnats's default
    int connectTimeoutMs = 0;  // 0: libnats's default
};

// New libnats options from `settings`, reconnecting for ever; the caller adds
// callbacks, connects and destroys them. Not NATS_OK: nothing is left to free.
natsStatus makeOptions(const Settings& settings, natsOptions** out);

}  // namespace natsconfig
