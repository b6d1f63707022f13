// The gateway's feed sets: what it keeps of each quote, stream and history
// set, and the sink through which the feed reports to it. Internal to the
// gateway's files.
//
// A sink forwards each callback to the gateway, noting first when it began
// (retired_sinks.h): a deleted set's sink lives on until no callback can
// reach it, so a callback never touches its sink after the gateway's call.
// The fields are the gateway's state: all under its `mu_`.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "feed/TellivarClient.h"
#include "gateway/gateway.h"
#include "wire/record.h"
#include "wire/wire.h"

namespace gateway {

constexpr int kEventLoaded = 1;
constexpr int kEventUpdate = 3;
constexpr short kTradeTimeId = 27;
constexpr int kFieldIds = wire::kMaxFieldId + 1;

// A client id as the log shows it: 16 hex digits, as in its inbox.
std::string clientName(std::uint64_t client);

// The gateway's lock held for its whole life: ends a feed callback that began
// at `began`, freeing the sinks it proves unreachable (retired_sinks.h).
struct Gateway::CallbackEnd {
    CallbackEnd(RetiredSinks& sinks, FeedWatch& watch, std::uint64_t began) : sinks(sinks), watch(watch), began(began) {}
    ~CallbackEnd() {
        sinks.callbackEnded(began);
        watch.left();
    }
    CallbackEnd(const CallbackEnd&) = delete;
    CallbackEnd& operator=(const CallbackEnd&) = delete;
    RetiredSinks& sinks;
    FeedWatch& watch;
    const std::uint64_t began;
};

// The bars of a record set between EnterRead and LeaveRead: all of them, or
// the newest alone. `origin` receives the oldest one's index. The gateway's
// lock held (the set is one of its own).
std::vector<wire::Bar> readBars(TRecordSet* set, bool all, std::int64_t* origin);

// Written by request handlers (made, clients added and dropped), the
// housekeeping thread (clients dropped, deleted) and the feed thread (its
// values), all under the gateway's mu_.
struct Gateway::QuoteFeed final : ISSSetSink {
    QuoteFeed(Gateway* g, std::string s)
        : gateway(g),
          symbol(std::move(s)),
          subject(wire::quoteSubject(symbol)),
          recordSubject(g->recorder_ ? wire::recordQuoteSubject(g->recorder_->options().name, symbol) : "") {}
    void onSnapshotUpdate(SnapshotSet*, std::uint8_t count, const std::uint8_t* ids) override {
        Gateway* const g = gateway;  // this sink may be freed by the end of the call
        g->onQuote(this, count, ids, g->feedCallbackBegan());
    }
    Gateway* const gateway;
    const std::string symbol, subject;
    const std::string recordSubject;  // with a recording
    SnapshotSet* set = nullptr;   // set once, by its maker
    bool deleted = false;         // whoever deleted the set
    bool kept = false;            // in the recorded universe: never deleted while the gateway runs
    std::uint64_t seq = 0;        // feed thread: the last update published
    std::uint32_t tradeTime = 0;  // feed thread
    double value[kFieldIds] = {};  // feed thread: the image a Subscribe is answered with
    bool has[kFieldIds] = {};      // feed thread
    std::set<std::uint64_t> clients;  // request handlers and the housekeeping thread
};

// As QuoteFeed: every field under the gateway's mu_.
struct Gateway::StreamFeed final : ITRecSetSink {
    StreamFeed(Gateway* g, std::string q)
        : gateway(g),
          query(std::move(q)),
          subject(wire::streamSubject(query)),
          recordSubject(g->recorder_ ? wire::recordStreamSubject(g->recorder_->options().name, query) : "") {}
    void onRecordSetEvent(TRecordSet*, int event, long first, long second) override {
        Gateway* const g = gateway;  // this sink may be freed by the end of the call
        g->onStreamEvent(this, event, first, second, g->feedCallbackBegan());
    }
    Gateway* const gateway;
    const std::string query, subject;
    const std::string recordSubject;  // with a recording
    TRecordSet* set = nullptr;  // set once, by its maker
    bool deleted = false;       // whoever deleted the set
    bool kept = false;          // in the recorded universe: never deleted while the gateway runs
    bool loaded = false;        // feed thread: `window` holds the set's bars
    std::uint64_t seq = 0;      // feed thread
    std::int64_t origin = 0;    // feed thread: the oldest bar's index
    std::vector<wire::Bar> window;    // feed thread: the window a Subscribe is answered with
    std::set<std::uint64_t> clients;  // request handlers and the housekeeping thread
};

// One feed record set loading a history for everyone who asked for the same
// query and count meanwhile. Every field under the gateway's mu_.
struct Gateway::HistoryLoad final : ITRecSetSink {
    HistoryLoad(Gateway* g, std::string k) : gateway(g), key(std::move(k)) {}
    void onRecordSetEvent(TRecordSet*, int event, long, long) override {
        Gateway* const g = gateway;  // this sink may be freed by the end of the call
        g->onHistoryEvent(this, event, g->feedCallbackBegan());
    }
    Gateway* const gateway;
    const std::string key;      // the query and the record count
    TRecordSet* set = nullptr;  // set once, by its maker
    bool deleted = false;       // whoever deleted the set
    struct Waiter {
        std::string reply;
        std::uint64_t id;
        std::uint64_t client;  // 0: not known (its waiter never lapses)
        std::string inbox;     // whose history allowance it counts against
    };
    // Request handlers add; the housekeeping thread drops those of clients gone.
    std::vector<Waiter> waiters;
};

}  // namespace gateway
