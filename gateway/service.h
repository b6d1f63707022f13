// What the gateway program tells its service manager (systemd, through
// sd_notify on $NOTIFY_SOCKET): READY once it serves (the feed logged on and
// NATS connected, or waiting as a standby), the watchdog's keep-alive from the
// gateway's housekeeping while no feed callback is stuck, a STATUS line
// ("active, 12 clients, 340 symbols", "standby") and STOPPING on a stop.
// Without $NOTIFY_SOCKET every call does nothing.
//
// Threads: any; one lock of its own, never held while calling out but for
// the send itself (a datagram).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "gateway/health.h"

namespace gateway {

// "active, 12 clients, 340 symbols"; what is not well comes after "active".
std::string statusText(const Health& health);

class ServiceNotifier {
public:
    using Send = std::function<void(const std::string&)>;

    // Sends through `send` (null: nothing); `watchdog` is WatchdogSec (0: none).
    ServiceNotifier(Send send, std::chrono::microseconds watchdog);
    // From $NOTIFY_SOCKET and $WATCHDOG_USEC (sd_notify, sd_watchdog_enabled).
    static ServiceNotifier fromEnvironment();

    bool enabled() const { return static_cast<bool>(send_); }
    std::chrono::microseconds watchdog() const { return watchdog_; }
    // How often the housekeeping reports: a third of the watchdog's time
    // (systemd wants a keep-alive within half), at most a second.
    std::chrono::milliseconds reportEvery() const;
    // How long a feed callback may run before the keep-alive stops: half the
    // watchdog's time (10 s without a watchdog: the status says it).
    std::chrono::milliseconds stallLimit() const;

    // The housekeeping's report: READY the first time it serves, STATUS when
    // it changed, WATCHDOG unless the feed thread is stuck.
    void report(const Health& health);
    // Waiting as a standby: READY (the first time), STATUS "standby", WATCHDOG.
    void standby();
    // WATCHDOG alone (the standby's loop).
    void keepAlive();
    // STOPPING, with the status saying why.
    void stopping(const std::string& why);

private:
    void sendLocked(const std::string& message);

    const Send send_;
    const std::chrono::microseconds watchdog_;
    std::mutex mu_;
    bool ready_ = false;  // mu_
    std::string status_;  // mu_: the last STATUS sent
};

}  // namespace gateway
