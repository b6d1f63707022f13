#include "gateway/standby.h"

#include <algorithm>
#include <ctime>

namespace gateway {

int waitForStop(const sigset_t& signals, std::chrono::milliseconds timeout) {
    const timespec wait{static_cast<time_t>(timeout.count() / 1000), static_cast<long>(timeout.count() % 1000) * 1000000};
    const int signal = sigtimedwait(&signals, nullptr, &wait);
    return signal > 0 ? signal : 0;
}

StandbyEnd waitAsStandby(ActiveLease& lease, const std::string& bucket, const sigset_t& stopSignals,
                         std::chrono::milliseconds takeover, const std::function<void(const std::string&)>& log,
                         std::string* error, const StandbyReport& report) {
    auto say = [&log](const std::string& line) {
        if (log) log(line);
    };
    const auto capped = [&report](std::chrono::milliseconds wait) {
        return report.every.count() > 0 ? std::min(wait, report.every) : wait;
    };
    const auto tell = [](const std::function<void()>& what) {
        if (what) what();
    };
    bool timedOut = false, toldWaiting = false;
    while (!lease.open(error, &timedOut)) {
        if (!timedOut) return StandbyEnd::Failed;
        // JetStream is there but busy (a cluster electing the bucket's
        // leader after losing a server): a standby waits it out.
        if (!toldWaiting) say(*error + "; trying again");
        toldWaiting = true;
        tell(report.alive);
        if (waitForStop(stopSignals, capped(takeover / 4)) != 0) return StandbyEnd::Stopped;
    }
    say("standby: waiting for the lease in the bucket " + bucket);
    while (!lease.tryAcquire()) {
        tell(report.waiting);
        if (waitForStop(stopSignals, capped(takeover / 8)) != 0) return StandbyEnd::Stopped;
    }
    say("active: holds the lease in the bucket " + bucket);
    return StandbyEnd::Active;
}

int serveWhileActive(ActiveLease& lease, Gateway& gateway, const sigset_t& stopSignals,
                     std::chrono::milliseconds takeover) {
    int signal = 0;
    // A renewal that fails is retried until the lease's time is up.
    while ((signal = waitForStop(stopSignals, takeover / 4)) == 0) {
        if (lease.renew()) gateway.holdUntil(lease.validUntil());
        if (std::chrono::steady_clock::now() >= lease.validUntil()) return 0;
    }
    return signal;
}

}  // namespace gateway
