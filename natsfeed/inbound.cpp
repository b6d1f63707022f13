// What the NATS feed client takes from its bus (bus.h): the messages, copied
// and queued for the feed thread (bounded), and the bus's errors and
// connection events, queued as tasks; and what it sends on the bus.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "natsfeed/bus.h"
#include "natsfeed/internal.h"
#include "wire/inbox.h"

namespace natsfeed {

// The bus's delivery thread.
void NatsClient::onBusMessage(std::string subject, const std::uint8_t* data, std::size_t size) {
    const bool heartbeat = subject == wire::kHeartbeatSubject;
    // The gateway's liveness is stamped on arrival, whatever the feed thread's backlog.
    if (heartbeat) heartbeatSeen_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    // Not copied when oversized: a server that allows large payloads must not
    // make the queue hold them; the log line is queued (and bounded) alone.
    const bool oversized = size > wire::kMaxMessage;
    const bool update = !oversized && isUpdateSubject(subject);
    const std::size_t kept = oversized ? 0 : size;
    feedcommon::MutexLock lock(queueMu_);
    ++backlogStats_.arrived;
    const bool full = queuedBytes_ + kept > kMaxBacklogBytes;
    if (update) {
        // Past the bound, or behind an update already dropped: dropped too,
        // as the fresh image asked for at the catch-up supersedes it.
        if (full || queuedUpdates_ >= backlogLimit_ || stale_.count(subject) != 0) {
            markStale(subject);
            ++missed_;
            return;
        }
        backlogPeak_ = std::max(backlogPeak_, ++queuedUpdates_);
    } else {
        if (full || queuedOthers_ >= backlogLimit_) {
            // A heartbeat was stamped already; an inbox answer may have been an
            // image, window or history: every set asks again at the catch-up.
            if (!heartbeat) {
                if (!oversized && subject != wire::kMessageSubject) markStale("");
                ++missed_;
                anyStale_.store(true, std::memory_order_relaxed);
            }
            return;
        }
        ++queuedOthers_;
    }
    queuedBytes_ += kept;
    BacklogStats& stats = backlogStats_;
    stats.peakMessages = std::max(stats.peakMessages, queuedUpdates_ + queuedOthers_);
    stats.peakBytes = std::max(stats.peakBytes, queuedBytes_);
    lock.unlock();
    // Copied outside queueMu_: a large message does not hold up the host's posts.
    std::function<void()> task;
    if (oversized) {
        task = [this, subject, size] {
            log("dropped a message on " + subject + ": oversized (" + std::to_string(size) + " bytes)");
        };
    } else {
        task = [this, subject, bytes = std::vector<std::uint8_t>(data, data + size)] {
            onInbound(subject, bytes);
        };
    }
    lock.lock();
    queue_.push_back({std::move(task), update ? std::move(subject) : std::string(), true, kept});
    lock.unlock();
    queued_.notify_one();
}

// Messages of a subscription that fell behind the NATS library's pending
// limits were dropped: missed updates like an overflowing backlog, fresh
// images at the catch-up.
void NatsClient::onBusSlowConsumer(const char* subject) {
    feedcommon::MutexLock lock(queueMu_);
    // An update subject re-images its sets; the inbox (lost answers) or an unknown one, every set.
    markStale(subject != nullptr && isUpdateSubject(subject) ? subject : "");
    ++missed_;
}

// A permission the server does not grant this user (a symbol the trader is
// not entitled to).
void NatsClient::onBusPermissionRefused(std::string subject, std::string text) {
    text = "Not entitled: " + text;
    post([this, subject = std::move(subject), text] { onPermissionRefused(subject, text); });
}

void NatsClient::onBusError(std::string text) {
    text = "Message bus error: " + text;
    post([this, text] {
        log(text);
        notifyConnection([&text](EConnectStatus* sink) { sink->onMessage(text.c_str()); });
    });
}

// Also called when this client closes a connection itself: the task then
// finds another connection current, or none, and does nothing.
void NatsClient::onBusDisconnected(BusConnectionId id) {
    post([this, id] {
        feedcommon::MutexLock lock(mu_);
        if (!bus_->isCurrent(id) || bus_->connected()) return;
        const auto now = Clock::now();
        perform(link_.busLost(now), now);
    });
}

// Back on a server (another of the list, after a failover): the link's
// table says what to ask afresh.
void NatsClient::onBusReconnected(BusConnectionId id) {
    post([this, id] {
        feedcommon::MutexLock lock(mu_);
        if (!bus_->isCurrent(id)) return;
        const auto now = Clock::now();
        perform(link_.busBack(now), now);
    });
}

bool NatsClient::isStale(const std::string& updateSubject) {
    if (!anyStale_.load(std::memory_order_relaxed)) return false;
    feedcommon::MutexLock lock(queueMu_);
    return staleAll_ || stale_.count(updateSubject) != 0;
}

void NatsClient::publishLocked(const std::string& subject, const wire::Message& message, const std::string& reply) {
    if (bus_->isOpen()) bus_->publish(subject, wire::encode(message), reply);
}

// mu_ held; `set` already left the registry.
void NatsClient::unwatchIfUnused(bool stream, const std::string& key, bool tellGateway) {
    const bool used =
        stream ? std::any_of(recordSets_.begin(), recordSets_.end(),
                             [&](const NatsRecordSet* s) { return s->streaming() && s->query == key; })
               : std::any_of(snapshots_.begin(), snapshots_.end(),
                             [&](const NatsSnapshotSet* s) { return s->following() && s->symbol == key; });
    if (used) return;
    const std::string subject = stream ? wire::streamSubject(key) : wire::quoteSubject(key);
    bus_->unwatch(subject);
    if (tellGateway) publishLocked(wire::kUnsubscribeSubject, wire::Unsubscribe{clientId_, stream, key}, inbox_);
}

// mu_ held. Closes the bus (waiting for its callbacks); a history asked for
// on it is asked again on the next connection.
void NatsClient::closeBus() {
    bus_->close();
    for (NatsRecordSet* set : recordSets_)
        if (set->load == NatsRecordSet::Load::Pending) set->requestSent = false;
}

}  // namespace natsfeed
