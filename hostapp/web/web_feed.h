// The suppliers behind the web pages, all made through the session's one
// data interface: the live quotes of the served symbols while at least one
// page is open, one update stream per (symbol, interval) that a page charts,
// and a history supplier per history request, released once answered.
//
// Threads: the server's polling thread calls every member but releaseAll(),
// which the main thread calls after the server has stopped. registryMutex_
// is held while the pages' suppliers are made and deleted; the consumers take
// only the board's lock, so deleting a supplier whose callback is in progress
// cannot deadlock. Suppliers are never deleted inside a notification.
//
// Ownership: each Subscription owns its request, consumer and supplier, and
// deletes the supplier first; no notification reaches a consumer once its
// supplier's deletion has returned. A history's subscription is its caller's.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/data.h"
#include "host_objects.h"
#include "live_board.h"
#include "session.h"

// What a page asks for: a chart of `symbol` at `interval`.
struct ChartChoice {
    std::string symbol;
    IntervalSpec interval;
    std::string intervalText;  // as the page spelled it, for keys and messages
};

class WebFeed {
public:
    // `context`: the one the pages' suppliers are made with (its log lines
    // are marked as a page's).
    WebFeed(LiveBoard& board, data::DataInterface* dataInterface, data::RequestContext* context);
    ~WebFeed() { releaseAll(); }
    WebFeed(const WebFeed&) = delete;
    WebFeed& operator=(const WebFeed&) = delete;

    // A page's event stream opens: the first one makes the live-quote
    // suppliers; a chart, if given, gets its update supplier (shared by the
    // pages that chart the same thing). The chart's key, or nullopt with the
    // reason in `error` when the plug-in refused it.
    std::optional<std::string> openStream(const std::optional<ChartChoice>& chart, std::string& error);
    // The page's stream closed: its chart's supplier goes when no page shows
    // it any more, the quote suppliers with the last page.
    void closeStream(const std::string& chartKey);

    // Asks for the newest `count` bars of `chart`; `ready` gets them, oldest
    // first, once complete: on the feed thread, or inside this call. Null when
    // the plug-in made no supplier; deleting the subscription ends the wait.
    using BarsReady = std::function<void(std::vector<Bar>)>;
    std::unique_ptr<Subscription> history(const ChartChoice& chart, int count, BarsReady ready);

    // Deletes every supplier. Main thread, after the server stopped.
    void releaseAll();

    // Suppliers alive now (quotes and charts), for the tests and /api/status.
    std::size_t liveSuppliers();

private:
    void openQuotes();  // registryMutex_ held

    LiveBoard& board_;
    data::DataInterface* const dataInterface_;  // the session's; outlives this
    data::RequestContext* const context_;       // the session's; outlives this

    std::mutex registryMutex_;
    int streams_ = 0;                                          // guarded by registryMutex_
    std::vector<std::unique_ptr<Subscription>> quotes_;        // guarded by registryMutex_
    std::map<std::string, std::unique_ptr<Subscription>> charts_;  // guarded by registryMutex_
};
