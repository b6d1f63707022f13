// The HTTP side of `tellivar-host serve`: the page and its assets, JSON for
// info, status and history, and one server-sent-event stream per open page,
// on GNU libmicrohttpd.
//
// Threads: the engine's one polling thread (epoll) reads every request and
// writes every answer, so an idle or slow client costs a socket and a bounded
// buffer, never a thread. An event stream is suspended between its flushes;
// the housekeeping thread resumes the streams every flush period and ends
// connections that overstay (a request not received in time, a stream whose
// socket holds too much unsent data). A history request waits suspended,
// with no thread of its own, until historyReady (feed thread, or inside the
// supplier's creation) resumes it with the bars, or the housekeeper's timeout
// or stop() with a refusal. stop() may be called from any other thread.
//
// Locks: mutex_ guards the connection, stream and history records; it is never
// held while calling into the engine from another thread than the engine's
// own, so the engine's internal locks and mutex_ never wait on each other.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "live_board.h"
#include "replay_controls.h"
#include "web_feed.h"

struct WebLimits {
    int maxStreams = 16;          // pages open at once; more get 503
    int maxCount = 5000;          // bars per history request
    std::chrono::milliseconds historyTimeout{20000};
    std::chrono::milliseconds flushPeriod{250};  // so at most 4 quote events per symbol per second per page
    int maxHistories = 4;         // history requests waiting on the plug-in at once; more get 503
    unsigned maxConnections = 512;
    unsigned maxPerAddress = 64;  // connections from one client address
    // Each connection's buffer for the request line, the headers and the
    // answer being written; a request that does not fit gets 431.
    std::size_t connectionMemory = 32 * 1024;
    // From a connection's start, or the end of its previous answer, until a
    // whole request has arrived; then the connection is closed.
    std::chrono::seconds requestDeadline{10};
    // An event stream whose socket holds more unsent bytes is ended.
    int maxUnsentBytes = 32 * 1024;
    int retryAfterSeconds = 5;    // told with every 503
};

// A symbol a page or --symbols may give: 1 to kMaxSymbolLength printable
// characters without blanks.
constexpr std::size_t kMaxSymbolLength = 32;
bool plausibleSymbol(const std::string& symbol);

// Who may ask. Checked on every request before anything else is done.
struct WebAccess {
    // Names (lower case, IPv6 addresses in brackets) the Host header may give.
    std::vector<std::string> hostNames;
    // Listening on every address: any IP address literal is a valid Host too.
    bool anyAddressLiteral = false;
    // Required on every request, as a cookie or a `token` parameter; empty:
    // none needed.
    std::string token;
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
    // `replay`: the replay client's controls, which the page's control bar and
    // /api/replay reach (any thread may call them); null when the feed is no
    // replay, and then nothing of a replay is served.
    WebServer(LiveBoard& board, WebFeed& feed, WebInfo info, WebLimits limits, WebAccess access,
              const ReplayControls* replay = nullptr);
    ~WebServer() { stop(); }
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // A listening socket on `address`:`port` (0: any free port); -1 with the
    // reason in `error`. Made before logging on, so that a busy port or an
    // unknown address is told first.
    static int listenOn(const std::string& address, int port, std::string& error);
    // Serves on `fd`, a socket from listenOn(), which it owns from here on
    // (closed on failure too). False with the reason in `error`.
    bool start(int fd, std::string& error);
    int port() const { return port_; }
    // Ends the event streams, answers the waiting histories (503) and closes
    // every connection. Idempotent; returns once no engine thread runs.
    void stop();

    // Per connection and per request state; defined in web_server.cpp.
    struct Connection;
    struct Stream;
    struct Request;

private:
    // Engine callbacks, on the polling thread (onStreamEnd also in stop()).
    MHD_Result onRequest(MHD_Connection* connection, const char* url, const char* method, const char* version,
                         std::size_t* uploadSize, void** requestState);
    void onRequestDone(MHD_Connection* connection, Request* request);
    void onConnection(MHD_Connection* connection, void** socketState, MHD_ConnectionNotificationCode code);
    ssize_t onStreamRead(Stream& stream, char* buffer, std::size_t max);
    void onStreamEnd(Stream* stream);

    // Nullopt when the request may go on; otherwise the refusal was queued.
    std::optional<MHD_Result> checkAccess(MHD_Connection* connection, const std::string& url);
    MHD_Result route(MHD_Connection* connection, const std::string& url, Request& request);
    MHD_Result onHistory(MHD_Connection* connection, Request& request);
    MHD_Result answerHistory(MHD_Connection* connection, Request& request);  // once answered
    MHD_Result onEvents(MHD_Connection* connection);
    // GET /api/replay, and the POSTed controls under /api/replay/.
    MHD_Result onReplay(MHD_Connection* connection, const std::string& url, bool post);
    // Answers a waiting history and resumes it, unless the housekeeper or
    // stop() answered it first. Any thread not holding mutex_.
    void finishHistory(Request& request, unsigned status, std::string body);

    void housekeep();  // the housekeeping thread's loop

    LiveBoard& board_;
    WebFeed& feed_;
    const WebInfo info_;
    const WebLimits limits_;
    const WebAccess access_;
    const ReplayControls* const replay_;  // the session's; null without a replay
    const std::vector<std::pair<std::string, std::string>> retry_;  // the Retry-After header that every 503 carries
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
    std::thread housekeeper_;

    std::mutex mutex_;
    std::condition_variable wake_;           // the housekeeper, and stop() while histories end
    bool stopping_ = false;                  // guarded by mutex_
    std::set<Connection*> connections_;      // guarded by mutex_; owned by the engine's socket state
    std::set<Stream*> streams_;              // guarded by mutex_; owned by their responses
    std::set<Request*> histories_;           // guarded by mutex_: waiting, suspended; owned by the engine
    int resuming_ = 0;                       // guarded by mutex_: finishHistory() calls resuming now
    int cancelled_ = 0;                      // guarded by mutex_: answered by stop(), not yet sent
};
