// The NATS feed client's side of the bus: the NATS library's callbacks, which
// copy and queue what arrives (bounded), and its subscriptions, publications
// and close.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "natsfeed/internal.h"
#include "wire/inbox.h"

namespace natsfeed {

void NatsClient::onNatsMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    // The server's own answer to a hello no gateway heard (none is up yet):
    // not a message of ours, and nothing to report.
    if (natsMsg_IsNoResponders(msg)) {
        natsMsg_Destroy(msg);
        return;
    }
    std::string subject = natsMsg_GetSubject(msg);
    const bool heartbeat = subject == wire::kHeartbeatSubject;
    // The gateway's liveness is stamped on arrival, whatever the feed thread's backlog.
    if (heartbeat) client->heartbeatSeen_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
    // Not copied when oversized: a server that allows large payloads must not
    // make the queue hold them; the log line is queued (and bounded) alone.
    const bool oversized = size > wire::kMaxMessage;
    const bool update = !oversized && isUpdateSubject(subject);
    const std::size_t kept = oversized ? 0 : size;
    std::unique_lock<std::mutex> lock(client->queueMu_);
    ++client->backlogStats_.arrived;
    const bool full = client->queuedBytes_ + kept > kMaxBacklogBytes;
    if (update) {
        // Past the bound, or behind an update already dropped: dropped too,
        // as the fresh image asked for at the catch-up supersedes it.
        if (full || client->queuedUpdates_ >= client->backlogLimit_ || client->stale_.count(subject) != 0) {
            lock.unlock();
            natsMsg_Destroy(msg);
            lock.lock();
            client->markStale(subject);
            ++client->missed_;
            return;
        }
        client->backlogPeak_ = std::max(client->backlogPeak_, ++client->queuedUpdates_);
    } else {
        if (full || client->queuedOthers_ >= client->backlogLimit_) {
            // A heartbeat was stamped already; an inbox answer may have been an
            // image, window or history: every set asks again at the catch-up.
            if (!heartbeat) {
                if (!oversized && subject != wire::kMessageSubject) client->markStale("");
                ++client->missed_;
                client->anyStale_.store(true, std::memory_order_relaxed);
            }
            lock.unlock();
            natsMsg_Destroy(msg);
            return;
        }
        ++client->queuedOthers_;
    }
    client->queuedBytes_ += kept;
    BacklogStats& stats = client->backlogStats_;
    stats.peakMessages = std::max(stats.peakMessages, client->queuedUpdates_ + client->queuedOthers_);
    stats.peakBytes = std::max(stats.peakBytes, client->queuedBytes_);
    lock.unlock();
    // Copied outside queueMu_: a large message does not hold up the host's posts.
    std::function<void()> task;
    if (oversized) {
        task = [client, subject, size] {
            client->log("dropped a message on " + subject + ": oversized (" + std::to_string(size) + " bytes)");
        };
    } else {
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
        task = [client, subject, bytes = std::vector<std::uint8_t>(data, data + size)] {
            client->onInbound(subject, bytes);
        };
    }
    natsMsg_Destroy(msg);
    lock.lock();
    client->queue_.push_back({std::move(task), update ? std::move(subject) : std::string(), true, kept});
    lock.unlock();
    client->queued_.notify_one();
}

// The server refused something: a permission it does not grant this user
// (a symbol the trader is not entitled to), or the NATS library dropped
// messages of a subscription that fell behind its pending limits; those are
// missed updates like an overflowing backlog: fresh images at the catch-up.
void NatsClient::onNatsError(natsConnection* nats, natsSubscription* sub, natsStatus status, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    if (status == NATS_SLOW_CONSUMER) {
        const char* subject = sub != nullptr ? natsSubscription_GetSubject(sub) : nullptr;
        std::lock_guard<std::mutex> lock(client->queueMu_);
        // An update subject re-images its sets; the inbox (lost answers) or an unknown one, every set.
        client->markStale(subject != nullptr && isUpdateSubject(subject) ? subject : "");
        ++client->missed_;
        return;
    }
    // The error's own text: the thread's last error in this callback; the
    // connection's may already be that of a later error.
    const char* detail = nats_GetLastError(nullptr);
    if (detail == nullptr || *detail == '\0') natsConnection_GetLastError(nats, &detail);
    std::string text = detail != nullptr && *detail != '\0' ? detail : natsStatus_GetText(status);
    if (text.find("Permissions Violation") != std::string::npos) {
        // '... for Subscription to "subject"' or '... for Publish to "subject"'.
        const std::size_t open = text.find('"'), close = text.rfind('"');
        std::string subject = open != std::string::npos && close > open ? text.substr(open + 1, close - open - 1) : "";
        text = "Not entitled: " + text;
        client->post([client, subject = std::move(subject), text] { client->onPermissionRefused(subject, text); });
        return;
    }
    text = "Message bus error: " + text;
    client->post([client, text] {
        client->log(text);
        client->notifyConnection([&text](EConnectStatus* sink) { sink->onMessage(text.c_str()); });
    });
}

void NatsClient::onNatsClosed(natsConnection*, void* closure) {
    auto* closed = static_cast<ClosedSignal*>(closure);
    // Notified with the lock held: the waiter may free the signal as soon as it has the lock.
    std::lock_guard<std::mutex> lock(closed->mu);
    closed->seen = true;
    closed->changed.notify_all();
}

// On the delivery thread, after the subscription's last message callback.
void NatsClient::onNatsSubscriptionDone(void* closure) {
    auto* closed = static_cast<ClosedSignal*>(closure);
    // Notified with the lock held, as in onNatsClosed.
    std::lock_guard<std::mutex> lock(closed->mu);
    --closed->subscriptions;
    closed->changed.notify_all();
}

bool NatsClient::ClosedSignal::wait() {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, std::chrono::seconds(5), [this] { return seen && subscriptions == 0; });
}

// libnats calls the connection's callbacks on a thread of its own, after
// Close returns; the closed one comes last. Waited for, so that none
// reaches a client that is gone. When it did not come, the signal is kept
// (a late callback finds it) rather than freed.
void NatsClient::closeConnection(natsConnection* nats, std::unique_ptr<ClosedSignal> closed) {
    natsConnection_Close(nats);
    if (closed != nullptr && !closed->wait()) closed.release();
    natsConnection_Destroy(nats);
}

// Also called when this client closes a connection itself: the task then
// finds another connection current, or none, and does nothing.
void NatsClient::onNatsDisconnected(natsConnection* nats, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    client->post([client, nats] {
        std::unique_lock<std::mutex> lock(client->mu_);
        if (client->nats_ != nats || natsConnection_Status(nats) == NATS_CONN_STATUS_CONNECTED) return;
        const auto now = Clock::now();
        client->perform(lock, client->link_.busLost(now), now);
    });
}

// Back on a server (another of the list, after a failover): the link's
// table says what to ask afresh.
void NatsClient::onNatsReconnected(natsConnection* nats, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    client->post([client, nats] {
        std::unique_lock<std::mutex> lock(client->mu_);
        if (client->nats_ != nats) return;
        const auto now = Clock::now();
        client->perform(lock, client->link_.busBack(now), now);
    });
}

bool NatsClient::isStale(const std::string& updateSubject) {
    if (!anyStale_.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(queueMu_);
    return staleAll_ || stale_.count(updateSubject) != 0;
}

void NatsClient::publishLocked(const std::string& subject, const wire::Message& message, const std::string& reply) {
    if (nats_ == nullptr) return;
    const std::vector<std::uint8_t> bytes = wire::encode(message);
    const int size = static_cast<int>(bytes.size());
    if (reply.empty()) {
        natsConnection_Publish(nats_, subject.c_str(), bytes.data(), size);
    } else {
        natsConnection_PublishRequest(nats_, subject.c_str(), reply.c_str(), bytes.data(), size);
    }
}

// mu_ held. Counted before the completion callback is set: only this client
// closes the connection (under mu_; libnats reconnects for ever), so the
// callback cannot come before the count.
natsSubscription* NatsClient::subscribeLocked(const std::string& subject) {
    if (nats_ == nullptr || closed_ == nullptr) return nullptr;
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, nats_, subject.c_str(), &NatsClient::onNatsMessage, this) != NATS_OK)
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(closed_->mu);
        ++closed_->subscriptions;
    }
    if (natsSubscription_SetOnCompleteCB(sub, &NatsClient::onNatsSubscriptionDone, closed_.get()) != NATS_OK) {
        // Already closed (the connection is closing): not kept.
        {
            std::lock_guard<std::mutex> lock(closed_->mu);
            --closed_->subscriptions;
        }
        natsSubscription_Destroy(sub);
        return nullptr;
    }
    return sub;
}

void NatsClient::watch(const std::string& subject) {
    if (watched_.count(subject) != 0) return;
    if (natsSubscription* sub = subscribeLocked(subject)) watched_[subject] = sub;
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
    if (auto found = watched_.find(subject); found != watched_.end()) {
        // Freed only once the connection is closed: libnats's reader may
        // still be delivering to a subscription it just looked up.
        natsSubscription_Unsubscribe(found->second);
        unwatched_.push_back(found->second);
        watched_.erase(found);
    }
    if (tellGateway) publishLocked(wire::kUnsubscribeSubject, wire::Unsubscribe{clientId_, stream, key}, inbox_);
}

// mu_ held.
// The connection closes first, its subscriptions are freed after: freeing a
// subscription while the connection's reader delivers to it can hang the close.
// The wait covers the message callbacks too: the delivery thread may still be
// in one (copying a message into the queue) after the close returned.
void NatsClient::closeNats() {
    if (nats_ != nullptr) {
        natsConnection_Close(nats_);
        if (!closed_->wait()) closed_.release();
    }
    for (auto& [subject, sub] : watched_) natsSubscription_Destroy(sub);
    watched_.clear();
    for (natsSubscription* sub : fixedSubscriptions_) natsSubscription_Destroy(sub);
    fixedSubscriptions_.clear();
    for (natsSubscription* sub : unwatched_) natsSubscription_Destroy(sub);
    unwatched_.clear();
    if (nats_ != nullptr) {
        natsConnection_Destroy(nats_);
        nats_ = nullptr;
        closed_.reset();
    }
    for (NatsRecordSet* set : recordSets_)
        if (set->load == NatsRecordSet::Load::Pending) set->requestSent = false;
}

}  // namespace natsfeed
