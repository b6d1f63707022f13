// The NATS feed client's bus: libnats's options, connect, subscriptions,
// publications and close, and its callbacks handed to the owner's BusEvents.
#include "natsfeed/bus.h"

#include <chrono>
#include <utility>

namespace natsfeed {

void Bus::onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    // The server's own answer to a hello no gateway heard (none is up yet):
    // not a message of ours, and nothing to report.
    if (!natsMsg_IsNoResponders(msg)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
        static_cast<Bus*>(closure)->events_.onBusMessage(natsMsg_GetSubject(msg), data,
                                                         static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    }
    natsMsg_Destroy(msg);
}

// The server refused something: a permission it does not grant this user
// (a symbol the trader is not entitled to), or the NATS library dropped
// messages of a subscription that fell behind its pending limits.
void Bus::onError(natsConnection* nats, natsSubscription* sub, natsStatus status, void* closure) {
    BusEvents& events = static_cast<Bus*>(closure)->events_;
    if (status == NATS_SLOW_CONSUMER) {
        events.onBusSlowConsumer(sub != nullptr ? natsSubscription_GetSubject(sub) : nullptr);
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
        events.onBusPermissionRefused(std::move(subject), std::move(text));
        return;
    }
    events.onBusError(std::move(text));
}

// Also called when the owner closes a connection itself: the owner then
// finds another connection current, or none.
void Bus::onDisconnected(natsConnection* nats, void* closure) {
    static_cast<Bus*>(closure)->events_.onBusDisconnected(nats);
}

void Bus::onReconnected(natsConnection* nats, void* closure) {
    static_cast<Bus*>(closure)->events_.onBusReconnected(nats);
}

void Bus::onClosed(natsConnection*, void* closure) {
    auto* closed = static_cast<ClosedSignal*>(closure);
    // Notified with the lock held: the waiter may free the signal as soon as it has the lock.
    std::lock_guard<std::mutex> lock(closed->mu);
    closed->seen = true;
    closed->changed.notify_all();
}

// On the delivery thread, after the subscription's last message callback.
void Bus::onSubscriptionDone(void* closure) {
    auto* closed = static_cast<ClosedSignal*>(closure);
    // Notified with the lock held, as in onClosed.
    std::lock_guard<std::mutex> lock(closed->mu);
    --closed->subscriptions;
    closed->changed.notify_all();
}

bool Bus::ClosedSignal::wait() {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, std::chrono::seconds(5), [this] { return seen && subscriptions == 0; });
}

// libnats calls the connection's callbacks on a thread of its own, after
// Close returns; the closed one comes last. Waited for, so that none
// reaches a client that is gone. When it did not come, the signal is kept
// (a late callback finds it) rather than freed.
Bus::Connection::~Connection() {
    if (nats_ == nullptr) return;  // adopted
    natsConnection_Close(nats_);
    if (closed_ != nullptr && !closed_->wait()) closed_.release();
    natsConnection_Destroy(nats_);
}

Bus::Opened Bus::connect(const natsconfig::Settings& settings) {
    natsOptions* options = nullptr;
    natsConnection* nats = nullptr;
    auto closed = std::make_unique<ClosedSignal>();
    Opened opened;
    natsStatus s = natsconfig::makeOptions(settings, &options, &opened.error);
    if (s != NATS_OK) {
        opened.unusable = true;
        return opened;
    }
    s = natsOptions_SetDisconnectedCB(options, &Bus::onDisconnected, this);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(options, &Bus::onReconnected, this);
    if (s == NATS_OK) s = natsOptions_SetErrorHandler(options, &Bus::onError, this);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(options, &Bus::onClosed, closed.get());
    if (s == NATS_OK) s = natsConnection_Connect(&nats, options);
    // The thread's last error says more than the status (the TLS
    // verification's reason, say); read before anything else can set it.
    if (s != NATS_OK) opened.error = natsconfig::errorText(s);
    natsOptions_Destroy(options);
    if (s != NATS_OK) {
        opened.rejected = s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED;
        return opened;
    }
    opened.connection.reset(new Connection);
    opened.connection->nats_ = nats;
    opened.connection->closed_ = std::move(closed);
    return opened;
}

void Bus::adopt(std::unique_ptr<Connection> connection, std::string user, std::string password) {
    close();
    nats_ = std::exchange(connection->nats_, nullptr);
    closed_ = std::move(connection->closed_);
    user_ = std::move(user);
    password_ = std::move(password);
}

bool Bus::usableFor(const std::string& user, const std::string& password) const {
    return user == user_ && password == password_ && connected();
}

bool Bus::connected() const {
    return nats_ != nullptr && natsConnection_Status(nats_) == NATS_CONN_STATUS_CONNECTED;
}

// Counted before the completion callback is set: only this bus closes the
// connection (under mu_; libnats reconnects for ever), so the callback
// cannot come before the count.
natsSubscription* Bus::subscribe(const std::string& subject) {
    if (nats_ == nullptr || closed_ == nullptr) return nullptr;
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, nats_, subject.c_str(), &Bus::onMessage, this) != NATS_OK) return nullptr;
    {
        std::lock_guard<std::mutex> lock(closed_->mu);
        ++closed_->subscriptions;
    }
    if (natsSubscription_SetOnCompleteCB(sub, &Bus::onSubscriptionDone, closed_.get()) != NATS_OK) {
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

void Bus::subscribeFixed(const std::string& subject) {
    if (natsSubscription* sub = subscribe(subject)) fixed_.push_back(sub);
}

void Bus::watch(const std::string& subject) {
    if (watched_.count(subject) != 0) return;
    if (natsSubscription* sub = subscribe(subject)) watched_[subject] = sub;
}

void Bus::unwatch(const std::string& subject) {
    if (auto found = watched_.find(subject); found != watched_.end()) {
        // Freed only once the connection is closed: libnats's reader may
        // still be delivering to a subscription it just looked up.
        natsSubscription_Unsubscribe(found->second);
        unwatched_.push_back(found->second);
        watched_.erase(found);
    }
}

void Bus::publish(const std::string& subject, const std::vector<std::uint8_t>& bytes, const std::string& reply) {
    if (nats_ == nullptr) return;
    const int size = static_cast<int>(bytes.size());
    if (reply.empty()) {
        natsConnection_Publish(nats_, subject.c_str(), bytes.data(), size);
    } else {
        natsConnection_PublishRequest(nats_, subject.c_str(), reply.c_str(), bytes.data(), size);
    }
}

// The connection closes first, its subscriptions are freed after: freeing a
// subscription while the connection's reader delivers to it can hang the close.
// The wait covers the message callbacks too: the delivery thread may still be
// in one (copying a message into the queue) after the close returned.
void Bus::close() {
    if (nats_ != nullptr) {
        natsConnection_Close(nats_);
        if (!closed_->wait()) closed_.release();
    }
    for (auto& [subject, sub] : watched_) natsSubscription_Destroy(sub);
    watched_.clear();
    for (natsSubscription* sub : fixed_) natsSubscription_Destroy(sub);
    fixed_.clear();
    for (natsSubscription* sub : unwatched_) natsSubscription_Destroy(sub);
    unwatched_.clear();
    if (nats_ != nullptr) {
        natsConnection_Destroy(nats_);
        nats_ = nullptr;
        closed_.reset();
    }
}

}  // namespace natsfeed
