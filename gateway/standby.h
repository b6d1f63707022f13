// The gateway program's standby loop: with a lease bucket (lease.h), wait as
// a standby until this gateway holds the lease, then serve while renewing it,
// and step down when a renewal has not come through in time. Stop signals
// (SIGINT, SIGTERM, blocked in every thread) end either wait.
//
// Threads: the program's main thread; the lease and the gateway as theirs.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <string>

#include "gateway/gateway.h"
#include "gateway/lease.h"

namespace gateway {

// Waits at most `timeout` for one of `signals`; the signal, or 0.
int waitForStop(const sigset_t& signals, std::chrono::milliseconds timeout);

enum class StandbyEnd { Active, Stopped, Failed };

// What a standby tells the service manager (service.h): `waiting` at every
// round of the wait for the lease (a standby that serves), `alive` at every
// round before (while the bucket cannot be opened yet); rounds come at least
// every `every` (0: as the takeover time gives them). Null: nothing.
struct StandbyReport {
    std::function<void()> waiting, alive;
    std::chrono::milliseconds every{0};
};

// Opens the bucket (trying again while JetStream is busy, as while a cluster
// elects the bucket's leader) and takes the lease once nobody holds it.
// Failed: `error` says why. `log` may be empty.
StandbyEnd waitAsStandby(ActiveLease& lease, const std::string& bucket, const sigset_t& stopSignals,
                         std::chrono::milliseconds takeover, const std::function<void(const std::string&)>& log,
                         std::string* error, const StandbyReport& report = {});

// Renews the lease four times a lease and moves the gateway's publishing
// deadline with it, until a stop signal (returned) or the lease's time is up
// without a renewal (0: the gateway must step down).
int serveWhileActive(ActiveLease& lease, Gateway& gateway, const sigset_t& stopSignals,
                     std::chrono::milliseconds takeover);

}  // namespace gateway
