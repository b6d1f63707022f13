// The NATS feed client's bus: one libnats connection at a time, its options,
// its subscriptions and publications, its close, and the library's callbacks,
// which it hands to a BusEvents. The only part of natsfeed/ that sees the
// NATS library.
//
// Threads and locks: the owner (NatsClient) calls every member under its
// `mu_`, except connect() and the destruction of a Connection, which take no
// lock (a connect or a close can take seconds and never needs the owner's
// state). The library's callbacks run on its threads and call the events only.
#pragma once

#include <nats/nats.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "natsfeed/bus_events.h"
#include "wire/nats_config.h"

namespace natsfeed {

class Bus {
    struct ClosedSignal;

public:
    // A connection open and not yet adopted. Destroying it closes it, waits
    // for its callbacks and frees it (no lock needed).
    class Connection {
    public:
        ~Connection();
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;

    private:
        friend class Bus;
        Connection() = default;
        natsConnection* nats_ = nullptr;
        std::unique_ptr<ClosedSignal> closed_;
    };
    struct Opened {
        std::unique_ptr<Connection> connection;  // null when the connect failed
        bool rejected = false;                   // the server refused the user name or password
        bool unusable = false;                   // the settings made no options (a CA file libnats cannot load...)
        std::string error;                       // the library's text for a failure
    };

    explicit Bus(BusEvents& events) : events_(events) {}
    ~Bus() { close(); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Connects with `settings`, the callbacks added. No lock, any thread:
    // touches nothing of this object but the events it passes to libnats.
    Opened connect(const natsconfig::Settings& settings);
    // Makes `connection` the bus's, opened with `user` and `password` (mu_).
    void adopt(std::unique_ptr<Connection> connection, std::string user, std::string password);
    // Closes the connection, waits for its callbacks, frees it and its
    // subscriptions (mu_; also with none open).
    void close();

    // mu_ held.
    bool isOpen() const { return nats_ != nullptr; }
    // Open with these credentials and connected to a server now.
    bool usableFor(const std::string& user, const std::string& password) const;
    // `id` names the connection open now; connected() says whether it is on a server.
    bool isCurrent(BusConnectionId id) const { return nats_ != nullptr && id == nats_; }
    bool connected() const;
    // Subscribes for the connection's life (heartbeats, the gateway's
    // messages, the inbox).
    void subscribeFixed(const std::string& subject);
    // Subscribes to `subject` unless it is already.
    void watch(const std::string& subject);
    // Ends the subscription to `subject`, if any.
    void unwatch(const std::string& subject);
    // Publishes `bytes` on `subject`, with `reply` when not empty; nothing when closed.
    void publish(const std::string& subject, const std::vector<std::uint8_t>& bytes, const std::string& reply);

private:
    // One connection's end, the closure of its closed callback and of its
    // subscriptions' completion callbacks: whoever closes that connection
    // waits for all of them before freeing the connection and this, so that
    // no callback of the connection reaches a freed client. The closed
    // callback (on libnats's callback thread) does not wait for a message
    // callback still running on the delivery thread: each subscription's
    // completion does.
    struct ClosedSignal {
        std::mutex mu;
        std::condition_variable changed;
        bool seen = false;      // mu: written by the NATS library's callback thread
        int subscriptions = 0;  // mu: whose message callback may still run (feed thread, delivery thread)
        // Waits (bounded) for the closed callback and every subscription's
        // completion; true when they came.
        bool wait();
    };

    static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    static void onDisconnected(natsConnection* nats, void* closure);
    static void onReconnected(natsConnection* nats, void* closure);
    static void onError(natsConnection* nats, natsSubscription* sub, natsStatus status, void* closure);
    static void onClosed(natsConnection*, void* closure);
    // A subscription is closed and its message callback returned for the last time.
    static void onSubscriptionDone(void* closure);
    // Subscribes nats_ to `subject`, counted in closed_ until libnats is done
    // with its callback; null when that failed.
    natsSubscription* subscribe(const std::string& subject);

    BusEvents& events_;
    // The connection: adopted by the feed thread (logOn) under mu_; closed
    // under mu_ by the feed thread, or by a host thread (Shutdown, the
    // client's destructor) once the feed thread stopped.
    natsConnection* nats_ = nullptr;
    std::unique_ptr<ClosedSignal> closed_;  // mu_: of nats_
    // The credentials nats_ was opened with: feed thread (logOn), under mu_.
    std::string user_, password_;
    // Subscriptions by subject: host threads (Init, Delete) and the feed
    // thread, under mu_; emptied with nats_'s close.
    std::map<std::string, natsSubscription*> watched_;
    std::vector<natsSubscription*> fixed_;  // feed thread (logOn), under mu_; emptied with the close
    // Unsubscribed, freed when the connection closes: as watched_.
    std::vector<natsSubscription*> unwatched_;
};

}  // namespace natsfeed
