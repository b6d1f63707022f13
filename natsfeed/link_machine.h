// The NATS feed client's link to the gateway as one transition table: down,
// awaiting the host's credentials, connecting to the bus, waiting for the
// gateway and its feed (silent once the host was told so), up; and, while
// up, the gateway's silence (no heartbeat) told from the process's own stall.
//
// Threads: none of its own, and no lock. The client calls every member with
// its `mu_` held: the feed thread feeds it events, host threads only read
// state(). The machine calls nothing: each event returns the actions the
// feed thread performs, in order, releasing `mu_` around the host's sinks.
// Time is passed in with every event that needs it, so that it is driven by
// hand in tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace natsfeed {

enum class LinkState { Down, AwaitingCredentials, Connecting, WaitingForFeed, Up };

struct LinkAction {
    enum Kind {
        AskCredentials,  // the latest Connect's sink: onSendCredentials
        OpenBus,         // open a new bus connection with the credentials, then busOpened or busFailed
        SendHello,       // ask the gateway for its state (it answers with a heartbeat)
        LogOn,           // the host: onLogon and onReady; then every live set subscribes afresh
        Leave,           // tell the gateway this client leaves (its interest goes at once)
        LogOff,          // the host logged on now: `text` (logged too) if any, then onLogOff
        TellWaiting,     // the latest Connect's sink: `text`
        Log,             // the log: `text`
        Resubscribe,     // every live set subscribes afresh and asks for full images
        SendLease,       // renew the lease
        AskAgain,        // ask again for images, windows and histories whose answer is late
    };
    Kind kind;
    const char* text = nullptr;  // a constant of this file, or null

    bool operator==(const LinkAction& other) const;
};

class LinkMachine {
public:
    using Clock = std::chrono::steady_clock;
    using Actions = std::vector<LinkAction>;

    // Silence of the gateway's heartbeat that counts as the gateway gone: two
    // and a half of its one-second beats, so that one late beat (a busy or
    // instrumented gateway) is not taken for a dead one.
    static constexpr std::chrono::milliseconds kHeartbeatTimeout{2500};
    // How often the lease is renewed while up.
    static constexpr std::chrono::milliseconds kLeasePeriod{3000};
    // After a tick that came later than kHeartbeatTimeout the process itself
    // was not running (stopped, or starved of CPU): the heartbeats, or the
    // news of a cut connection, may still wait unread, so the gateway's
    // silence counts only once this grace is over.
    static constexpr std::chrono::milliseconds kStallGrace{1000};

    static constexpr const char kFeedDownText[] = "The gateway's feed is down";
    static constexpr const char kSilentText[] = "The gateway stopped sending its heartbeat";
    static constexpr const char kBusLostText[] = "Lost the connection to the message bus; reconnecting";
    static constexpr const char kWaitingText[] = "Waiting for the gateway and its feed";
    static constexpr const char kRestartedText[] = "the gateway restarted; subscribing afresh";

    LinkState state() const { return state_; }
    bool isUp() const { return state_ == LinkState::Up; }

    // The host's Connect (the latest one): its credentials are asked for;
    // from any state, a link that was up is left without a log-off.
    Actions connect();
    // The host's credentials came. `busUsable`: the bus connection open now
    // was opened with these credentials and is connected, so it is kept.
    // Ignored (no actions) unless the credentials were asked for.
    Actions logOn(Clock::time_point now, bool busUsable);
    // The bus connection OpenBus asked for is open (Connecting only).
    Actions busOpened(Clock::time_point now);
    // It could not be opened: the client tells the host why and logs it off.
    Actions busFailed();
    // The host's Disconnect: the bus connection stays for the next logon.
    Actions disconnect();
    // A heartbeat of the gateway: `epoch` tells a restarted gateway, `feedUp` its feed.
    Actions heartbeat(Clock::time_point now, std::uint64_t epoch, bool feedUp);
    // The bus connection was lost (the library reconnects by itself).
    Actions busLost(Clock::time_point now);
    // The bus connection is back, perhaps on another server.
    Actions busBack(Clock::time_point now);
    // The feed thread's timer. `heartbeatSeen`: when the bus last delivered a
    // heartbeat, whether or not the feed thread has read it yet.
    Actions tick(Clock::time_point now, Clock::time_point heartbeatSeen);

private:
    Actions goDown(Clock::time_point now, const char* text);
    Actions goUp(Clock::time_point now);

    LinkState state_ = LinkState::Down;
    std::uint64_t gatewayEpoch_ = 0;         // of the last heartbeat; 0: none yet
    bool gatewayFeedUp_ = false;             // as the last heartbeat said
    Clock::time_point lastHeartbeat_{};      // when the feed thread last read one
    Clock::time_point waitingSince_{};       // WaitingForFeed: since when
    bool toldWaiting_ = false;               // WaitingForFeed: the host was told (or told of the loss)
    Clock::time_point nextLease_{};          // Up: when the lease is renewed
    Clock::time_point lastTick_{};           // the last tick; none yet: the epoch
    Clock::time_point stallGraceUntil_{};    // no silence counts before this
};

}  // namespace natsfeed
