#include "gateway/service.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

namespace gateway {
namespace {

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string statusText(const Health& health) {
    std::string text = "active";
    if (!health.feedUp) text += ", feed down";
    if (!health.natsConnected) text += ", NATS down";
    if (health.feedStalled) text += ", feed thread stuck in a callback";
    return text + ", " + counted(health.clients, "client", "clients") + ", " +
           counted(health.symbols, "symbol", "symbols");
}

ServiceNotifier::ServiceNotifier(Send send, std::chrono::microseconds watchdog)
    : send_(std::move(send)), watchdog_(watchdog) {}

ServiceNotifier ServiceNotifier::fromEnvironment() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') return ServiceNotifier(nullptr, {});
    std::uint64_t usec = 0;
    // Keeps the variables: a gateway that steps down to standby execs itself
    // and reports again.
    if (sd_watchdog_enabled(0, &usec) <= 0) usec = 0;
    return ServiceNotifier([](const std::string& message) { sd_notify(0, message.c_str()); },
                           std::chrono::microseconds(usec));
}

std::chrono::milliseconds ServiceNotifier::reportEvery() const {
    const auto third = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 3);
    if (watchdog_.count() == 0) return std::chrono::seconds(1);
    return std::clamp(third, std::chrono::milliseconds(1), std::chrono::milliseconds(1000));
}

std::chrono::milliseconds ServiceNotifier::stallLimit() const {
    if (watchdog_.count() == 0) return std::chrono::seconds(10);
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 2),
                    std::chrono::milliseconds(1));
}

void ServiceNotifier::sendLocked(const std::string& message) {
    if (send_ && !message.empty()) send_(message);
}

void ServiceNotifier::report(const Health& health) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string message;
    if (!ready_ && health.feedUp && health.natsConnected) {
        ready_ = true;
        message += "READY=1\n";
    }
    const std::string status = statusText(health);
    if (status != status_) {
        status_ = status;
        message += "STATUS=" + status + "\n";
    }
    if (watchdog_.count() > 0 && !health.feedStalled) message += "WATCHDOG=1\n";
    sendLocked(message);
}

void ServiceNotifier::standby() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string message;
    if (!ready_) message += "READY=1\n";
    ready_ = true;
    if (status_ != "standby") message += "STATUS=standby\n";
    status_ = "standby";
    if (watchdog_.count() > 0) message += "WATCHDOG=1\n";
    sendLocked(message);
}

void ServiceNotifier::keepAlive() {
    std::lock_guard<std::mutex> lock(mu_);
    if (watchdog_.count() > 0) sendLocked("WATCHDOG=1\n");
}

void ServiceNotifier::stopping(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu_);
    status_ = why;
    sendLocked("STOPPING=1\nSTATUS=" + why + "\n");
}

}  // namespace gateway
