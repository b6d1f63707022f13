// The stand-in feed's connection: connect, logon, log-off, drops and the
// reconnect after them, as a state machine with an injected clock.
//
// Threads: none of its own, and no lock. The client calls every member with
// its `mu_` held: host threads queue requests (connect, sendLogon, ...), the
// feed thread handles them and runs the timers. The machine never calls a
// sink: it returns notices, which the feed thread delivers in order with the
// lock released. A sink may queue more requests meanwhile; they are handled
// at the next handleNext.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "feed/TellivarClient.h"

namespace simfeed {

// The account and the delays the connection works with.
struct ConnectionSettings {
    std::string user = "demo";
    std::string password = "demo";
    bool acceptAny = false;
    int reconnectMs = 200;
    int connectMs = 30;
    double dropEverySeconds = 0;  // 0: no periodic drop
};

// One call to a connection sink.
struct Notice {
    enum Kind { SendCredentials, Logon, Ready, Message, LogOff };
    Kind kind;
    EConnectStatus* sink;
    std::string text;              // Message
    std::uint64_t generation = 0;  // Ready: the attempt it belongs to

    void deliver() const;
};

enum class Link { Down, Connecting, AwaitingCredentials, Up, Reconnecting };

class Connection {
public:
    using Clock = std::chrono::steady_clock;
    using NowFunction = std::function<Clock::time_point()>;

    explicit Connection(NowFunction now) : now_(std::move(now)) {}

    // ---- Requests: queued, handled by the feed thread in order ----
    // A new attempt with `sink`; any attempt before it is superseded.
    void connect(EConnectStatus* sink);
    void sendLogon(std::string user, std::string password);
    // Cancels the attempt under way, or logs off the sink logged on now.
    void disconnect();
    // Drops a connection that is up; it reconnects after the reconnect delay.
    void drop();
    void sendMessage(std::string text);
    // Shutdown: the requests queued so far are handled before the feed
    // thread stops; those queued after wait for its next run.
    void markStop();

    // ---- Feed thread ----
    // A request is queued before the next stop mark.
    bool hasRequests() const { return !requests_.empty() && requests_.front().kind != Request::Stop; }
    // Handles the oldest request; nullopt when none is queued before the next stop mark.
    std::optional<std::vector<Notice>> handleNext(const ConnectionSettings& settings);
    // Whether `notice` still holds: a Ready is void once its attempt was
    // superseded or logged off by a sink reacting to the Logon before it.
    bool stillDue(const Notice& notice) const;
    // Timers; each returns true when it queued a request.
    bool reconnectIfDue();
    std::optional<Notice> askCredentialsIfDue();
    bool dropIfDue(const ConnectionSettings& settings);
    // The next moment a timer needs the feed thread (time_point::max if none).
    Clock::time_point nextDeadline(const ConnectionSettings& settings) const;
    // The feed thread stopped: the connection is gone, and the requests up
    // to the first stop mark (all of them if there is none) are forgotten.
    void stop();
    // Starts the periodic-drop period afresh (the settings changed).
    void restartDropTimer(const ConnectionSettings& settings);

    Link link() const { return link_; }
    bool isUp() const { return link_ == Link::Up; }

private:
    struct Request {
        enum Kind { Connect, Logon, Disconnect, Drop, Message, Stop } kind;
        std::uint64_t generation;
        std::string first, second;
        EConnectStatus* sink = nullptr;  // Disconnect: the sink logged on when it was asked
    };

    std::vector<Notice> onConnect(const Request& request, const ConnectionSettings& settings);
    std::vector<Notice> onLogon(const Request& request, const ConnectionSettings& settings);
    std::vector<Notice> onDisconnect(const Request& request);
    std::vector<Notice> onDrop(const ConnectionSettings& settings);
    std::vector<Notice> onMessage(const Request& request);

    const NowFunction now_;
    std::deque<Request> requests_;
    EConnectStatus* sink_ = nullptr;  // the sink of the latest connect
    std::uint64_t generation_ = 0;    // bumped by every connect and disconnect
    Link link_ = Link::Down;
    Clock::time_point connectAt_{};    // Connecting: when credentials are asked for
    Clock::time_point reconnectAt_{};  // Reconnecting: when the new attempt starts
    Clock::time_point nextDrop_{};     // the next periodic drop
};

}  // namespace simfeed
