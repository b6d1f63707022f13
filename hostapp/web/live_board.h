// The live state that the page's event streams read: the latest quote of
// every symbol, the forming and the recently closed bars of every open chart,
// the connection state and the plug-in's recent messages.
//
// Threads: the feed thread writes quotes and bars (through the consumers of
// WebFeed), the main thread writes the state and the messages, and the web
// server's polling thread takes, for each event stream, what changed since its
// cursor. Every member holds
// mutex_ only to copy, so a writer never waits on a browser, and a quote that
// a stream has not taken yet is simply overwritten by the next one.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "host_objects.h"

// JSON for the web server's answers and events. Feed texts are set as text by
// the page, never as HTML.
using Json = nlohmann::ordered_json;  // keeps the fields in the order written

// `json` as compact text. Bytes that are not UTF-8 become U+FFFD rather than
// an exception: feed texts may carry any bytes.
std::string dumpJson(const Json& json);
// {"time":..,"open":..,"high":..,"low":..,"close":..,"volume":..}, the time in
// seconds since 1970 UTC.
Json jsonBar(const Bar& bar);
// {"error":"<text>"} as text.
std::string jsonError(const std::string& text);

enum class ConnectionState { Connecting, Online, Offline, Rejected };
const char* stateName(ConnectionState state);

// How far an event stream has read. Owned by the server's polling thread.
struct StreamCursor {
    std::string chartKey;                     // "" when the page shows no chart
    bool started = false;                     // the first take sends everything
    std::vector<std::uint64_t> quoteVersions; // per symbol row
    std::uint64_t formingVersion = 0;
    std::uint64_t nextClosed = 0;             // sequence number of the next closed bar to send
    std::uint64_t nextMessage = 0;
    std::uint64_t stateVersion = 0;
};

class LiveBoard {
public:
    // Closed bars kept per chart for streams that fell behind; one further
    // behind is told to reload the history instead of losing a bar close.
    static constexpr std::size_t kClosedBarsKept = 64;
    // Messages kept for pages that open later.
    static constexpr std::size_t kMessagesKept = 50;

    LiveBoard(std::vector<std::string> symbols, std::vector<std::string> fields);

    // Feed thread.
    void onQuote(std::size_t row, const data::CalendarRecord& time, std::vector<std::optional<double>> values);
    void onBar(const std::string& chartKey, const Bar& bar);

    // Main thread: the session's log lines and online changes. Info and error
    // lines logged for a page's supplier are left out. A log-off reported with
    // no logon (or online change) before it makes the state Rejected.
    void onEvent(const Event& event);

    // WebFeed, when a chart's update supplier is made or released.
    void openChart(const std::string& chartKey);
    void closeChart(const std::string& chartKey);

    // The server's polling thread: an event stream's server-sent-event frames of everything
    // newer than `cursor` (all of it on the first call), and moves the cursor.
    std::string takeChanges(StreamCursor& cursor);

    // {"state":..,"online":..,"messages":[..]}
    Json status();
    // Any thread.
    ConnectionState state();
    const std::vector<std::string>& symbols() const { return symbols_; }
    const std::vector<std::string>& fields() const { return fields_; }

private:
    struct Quote {
        data::CalendarRecord time{};
        std::vector<std::optional<double>> values;
        std::uint64_t version = 0;  // 0: none yet
    };
    struct Chart {
        std::optional<Bar> forming;
        std::uint64_t formingVersion = 0;
        std::deque<std::pair<std::uint64_t, Bar>> closed;  // (sequence, bar), oldest first
        std::uint64_t nextClosed = 1;
    };

    void setState(ConnectionState state);  // mutex_ held

    const std::vector<std::string> symbols_;
    const std::vector<std::string> fields_;

    std::mutex mutex_;
    std::vector<Quote> quotes_;             // guarded by mutex_, one per symbol
    std::map<std::string, Chart> charts_;   // guarded by mutex_
    ConnectionState state_ = ConnectionState::Connecting;  // guarded by mutex_
    std::uint64_t stateVersion_ = 1;        // guarded by mutex_
    bool loggedOn_ = false;                 // guarded by mutex_; online or logged on since the last log-off
    // Guarded by mutex_: (sequence, {"time":..,"kind":..,"text":..}), the time
    // when the host saw it, the kind status, info or error.
    std::deque<std::pair<std::uint64_t, Json>> messages_;
    std::uint64_t nextMessage_ = 1;         // guarded by mutex_
    RepeatFilter infoFilter_;               // guarded by mutex_
};
