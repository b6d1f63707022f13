// The HTTP side of `tellivar-host serve`: the page and its assets, JSON for
// info, status and history, and one server-sent-event stream per open page.
//
// Threads: listen() runs the accept loop on a thread of its own; each request
// runs on a thread of the server's pool, an event stream for as long as its
// page stays. stop() may be called from any other thread and returns once
// every request thread has finished.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "live_board.h"
#include "web_feed.h"

struct WebLimits {
    int maxStreams = 16;          // pages open at once; more get 503
    int maxCount = 5000;          // bars per history request
    std::chrono::milliseconds historyTimeout{20000};
    std::chrono::milliseconds flushPeriod{250};  // so at most 4 quote events per symbol per second per page
};

// What /api/info tells the page.
struct WebInfo {
    std::string provider;
    std::vector<int> minutes;  // offered minute intervals
    std::string letters;       // offered interval letters
    std::vector<std::string> intervalChoices;  // the page's interval menu
};

class WebServer {
public:
    WebServer(LiveBoard& board, WebFeed& feed, WebInfo info, WebLimits limits);
    ~WebServer() { stop(); }
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds `address`:`port` (0: any free port) and starts serving. False with
    // the reason in `error`.
    bool start(const std::string& address, int port, std::string& error);
    int port() const { return port_; }
    // Ends the event streams and stops serving. Idempotent.
    void stop();

private:
    void addRoutes();
    void onInfo(httplib::Response& res) const;
    void onHistory(const httplib::Request& req, httplib::Response& res);
    void onEvents(const httplib::Request& req, httplib::Response& res);
    // Waits one flush period, or less when the server stops. True: stopping.
    bool waitFlush();

    LiveBoard& board_;
    WebFeed& feed_;
    const WebInfo info_;
    const WebLimits limits_;
    httplib::Server server_;
    std::thread listener_;
    int port_ = 0;
    std::atomic<int> streams_{0};

    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;  // guarded by stopMutex_
};
