#include "web_server.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "interval.h"
#include "options.h"
#include "web_assets.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kStreamBlock = 8 * 1024;  // taken from the connection's buffer
constexpr int kListenBacklog = 128;
// How long stop() lets the engine send the histories it cancelled.
constexpr auto kCancelledSendLimit = std::chrono::seconds(1);

using Headers = std::vector<std::pair<std::string, std::string>>;

// Queues `response` (null: out of memory) with the headers every answer
// carries, and lets go of it. Feed texts reach the page as JSON and are set
// as text; the policy forbids any script but the page's own.
MHD_Result queue(MHD_Connection* connection, unsigned status, MHD_Response* response, const std::string& type,
                 const Headers& headers) {
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", type.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'self'; style-src 'self' 'unsafe-inline'");
    for (const auto& [name, value] : headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// Sent from the program's own copy, never copied per request.
MHD_Result answerAsset(MHD_Connection* connection, const WebAsset& asset, const Headers& headers = {}) {
    return queue(connection, 200,
                 MHD_create_response_from_buffer(asset.size, const_cast<unsigned char*>(asset.data),
                                                 MHD_RESPMEM_PERSISTENT),
                 std::string(asset.type) + "; charset=utf-8", headers);
}

MHD_Result answerJson(MHD_Connection* connection, unsigned status, const std::string& json, Headers headers = {}) {
    headers.emplace_back("Cache-Control", "no-store");
    return queue(connection, status,
                 MHD_create_response_from_buffer(json.size(), const_cast<char*>(json.data()), MHD_RESPMEM_MUST_COPY),
                 "application/json", headers);
}

MHD_Result refuse(MHD_Connection* connection, unsigned status, const std::string& text, Headers headers = {}) {
    return answerJson(connection, status, jsonError(text), std::move(headers));
}

std::string header(MHD_Connection* connection, MHD_ValueKind kind, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, kind, name);
    return value != nullptr ? value : "";
}

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& given, const std::string& secret) {
    if (given.size() != secret.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < secret.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return difference == 0;
}

bool isAddressLiteral(const std::string& name) {
    unsigned char buffer[sizeof(in6_addr)];
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), buffer) == 1;
    }
    return inet_pton(AF_INET, name.c_str(), buffer) == 1;
}

// A query's parameters, each known and given at most once (`token` aside:
// the access check reads it); nullopt with the reason in `error` otherwise.
std::optional<std::map<std::string, std::string>> parameters(MHD_Connection* connection,
                                                             const std::set<std::string>& known, std::string& error) {
    using Query = std::vector<std::pair<std::string, std::string>>;
    Query query;
    auto collect = [](void* out, MHD_ValueKind, const char* key, std::size_t keySize, const char* value,
                      std::size_t valueSize) {
        static_cast<Query*>(out)->emplace_back(std::string(key, keySize),
                                               value != nullptr ? std::string(value, valueSize) : "");
        return MHD_YES;
    };
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, collect, &query);
    std::map<std::string, std::string> out;
    for (const auto& [key, value] : query) {
        if (key == "token") continue;
        if (known.count(key) == 0) {
            error = known.empty() ? fmt::format("unknown parameter '{}'; this takes none", key)
                                  : fmt::format("unknown parameter '{}'; this takes: {}", key, fmt::join(known, ", "));
            return std::nullopt;
        }
        if (!out.emplace(key, value).second) {
            error = fmt::format("parameter '{}' given more than once", key);
            return std::nullopt;
        }
    }
    return out;
}

// The bar count: digits only, 1 to `max`.
std::optional<int> parseCount(const std::string& text, int max) {
    int count = 0;
    const bool digits = text.find_first_not_of("0123456789") == std::string::npos && readNumber(text, count);
    return digits && count >= 1 && count <= max ? std::optional(count) : std::nullopt;
}

// symbol and interval of a request into a chart choice; nullopt with the
// reason in `error`.
std::optional<ChartChoice> chartOf(const std::map<std::string, std::string>& params, const WebInfo& info,
                                   const std::string& defaultInterval, std::string& error) {
    const auto symbol = params.find("symbol");
    if (symbol == params.end() || !plausibleSymbol(symbol->second)) {
        error = fmt::format("symbol must be 1 to {} printable characters without blanks", kMaxSymbolLength);
        return std::nullopt;
    }
    const auto given = params.find("interval");
    const std::string text = given != params.end() ? given->second : defaultInterval;
    const std::optional<IntervalSpec> interval = parseInterval(text, info.minutes, info.letters, error);
    if (!interval) return std::nullopt;
    return ChartChoice{symbol->second, *interval, text};
}

const char* notOnlineReason(ConnectionState state) {
    switch (state) {
        case ConnectionState::Rejected: return "the feed rejected the logon";
        case ConnectionState::Offline: return "the connection to the feed is down";
        case ConnectionState::Connecting:
        case ConnectionState::Online: break;
    }
    return "still connecting to the feed";
}

constexpr char kReplayPrefix[] = "/api/replay/";

// The replay's state for /api/replay and the event stream's `replay` event;
// times in milliseconds since 1970 UTC (exact in a page's numbers) and as ISO text.
Json replayJson(const tellivar_replay_status& status) {
    const auto millis = [](std::int64_t ns) { return ns / 1000000; };
    return {{"clock", formatIsoNanos(status.clock_ns)},
            {"clockMs", millis(status.clock_ns)},
            {"first", formatIsoNanos(status.first_ns)},
            {"firstMs", millis(status.first_ns)},
            {"last", formatIsoNanos(status.last_ns)},
            {"lastMs", millis(status.last_ns)},
            {"speed", status.speed},
            {"speedText", replaySpeedText(status.speed)},
            {"playing", status.playing != 0},
            {"ended", status.ended != 0},
            {"connected", status.connected != 0},
            {"recording", std::string(status.recording)},
            {"error", std::string(status.error)}};
}

// The record onConnection made for `connection`; polling thread only.
WebServer::Connection* socketOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<WebServer::Connection*>(info->socket_context) : nullptr;
}

}  // namespace

bool plausibleSymbol(const std::string& symbol) {
    return !symbol.empty() && symbol.size() <= kMaxSymbolLength &&
           std::all_of(symbol.begin(), symbol.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The engine's socket state of a connection. Made and freed on the polling
// thread; the housekeeper reads it under mutex_, and it leaves
// connections_ before the engine closes its socket.
struct WebServer::Connection {
    int fd = -1;
    // Since when a whole request is awaited; nullopt while one is answered.
    std::optional<Clock::time_point> waitingSince = Clock::now();
    bool cut = false;  // shut down by the housekeeper
    Stream* stream = nullptr;
};

// An open page's event stream; owned by its response, freed by onStreamEnd.
struct WebServer::Stream {
    WebServer* server = nullptr;
    MHD_Connection* connection = nullptr;
    Connection* socket = nullptr;  // guarded by mutex_; null once the socket went
    StreamCursor cursor;           // polling thread only
    std::string replaySent;        // polling thread only: the replay state last sent
    std::string pending;           // polling thread only: taken, not yet handed to the engine
    Clock::time_point nextFlush;   // guarded by mutex_: not written to before this
    bool suspended = false;        // guarded by mutex_
};

// A request's state, from its headers to its answer; made and freed on the
// polling thread. A history request answered while its supplier is made is
// answered at once; otherwise it waits suspended, so it is not freed before
// one of historyReady, the housekeeper and stop() answered it.
struct WebServer::Request {
    bool routed = false;
    MHD_Connection* connection = nullptr;
    Clock::time_point deadline;  // a history not complete by then gets 504
    bool done = false;           // guarded by mutex_: the answer is ready
    bool cancelled = false;      // guarded by mutex_: answered by stop()
    bool suspended = false;      // guarded by mutex_: a history waiting for its resume
    // The answer: written by answer(), under mutex_, by whoever answers; read once `done` was seen.
    unsigned status = 500;
    std::string body;
    // Declared last, so the supplier goes first: its historyReady writes the above.
    std::unique_ptr<Subscription> history;  // polling thread only

    void answer(unsigned code, std::string text) { status = code, body = std::move(text), done = true; }
};

WebServer::WebServer(LiveBoard& board, WebFeed& feed, WebInfo info, WebLimits limits, WebAccess access,
                     const ReplayControls* replay)
    : board_(board), feed_(feed), info_(std::move(info)), limits_(limits), access_(std::move(access)),
      replay_(replay), retry_{{"Retry-After", std::to_string(limits.retryAfterSeconds)}} {}

// Bound here rather than by the engine so that a port another program
// listens on is refused (no SO_REUSEPORT) and the address may be a name.
int WebServer::listenOn(const std::string& address, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        error = fmt::format("cannot listen on {}:{} (not an address of this machine)", address, port);
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int yes = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, kListenBacklog) != 0) {
        if (fd >= 0) close(fd);
        fd = -1;
        error = fmt::format("cannot listen on {}:{} (address in use, or not an address of this machine)", address,
                            port);
    }
    freeaddrinfo(found);
    return fd;
}

bool WebServer::start(int fd, std::string& error) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    auto access = [](void* self, MHD_Connection* connection, const char* url, const char* method,
                     const char* version, const char*, std::size_t* uploadSize, void** state) {
        return static_cast<WebServer*>(self)->onRequest(connection, url, method, version, uploadSize, state);
    };
    auto completed = [](void* self, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
        static_cast<WebServer*>(self)->onRequestDone(connection, static_cast<Request*>(*state));
        *state = nullptr;
    };
    auto connected = [](void* self, MHD_Connection* connection, void** socketState,
                        MHD_ConnectionNotificationCode code) {
        static_cast<WebServer*>(self)->onConnection(connection, socketState, code);
    };
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, static_cast<MHD_AccessHandlerCallback>(access), this,
        MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, limits_.maxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.maxPerAddress,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.connectionMemory,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits_.requestDeadline.count()),
        MHD_OPTION_NOTIFY_COMPLETED, static_cast<MHD_RequestCompletedCallback>(completed), this,
        MHD_OPTION_NOTIFY_CONNECTION, static_cast<MHD_NotifyConnectionCallback>(connected), this,
        MHD_OPTION_END);
    if (daemon_ == nullptr) {
        close(fd);
        error = fmt::format("cannot start the web server on port {}", port_);
        return false;
    }
    housekeeper_ = std::thread([this] { housekeep(); });
    return true;
}

void WebServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;  // from here no stream or history is suspended again
    }
    wake_.notify_all();
    if (housekeeper_.joinable()) housekeeper_.join();
    std::vector<MHD_Connection*> suspended;
    std::unique_lock<std::mutex> lock(mutex_);
    for (Request* request : histories_) {
        request->answer(503, jsonError("the server is stopping"));
        request->cancelled = true;
        if (request->suspended) suspended.push_back(request->connection);
    }
    cancelled_ = static_cast<int>(std::exchange(histories_, {}).size());
    for (Stream* stream : streams_) {
        if (std::exchange(stream->suspended, false)) suspended.push_back(stream->connection);
    }
    // A history answered on the feed thread is resumed there: the engine must outlive that.
    wake_.wait(lock, [this] { return resuming_ == 0; });
    lock.unlock();
    for (MHD_Connection* connection : suspended) MHD_resume_connection(connection);
    // The cancelled histories are told so before the engine closes their connections.
    lock.lock();
    wake_.wait_for(lock, kCancelledSendLimit, [this] { return cancelled_ == 0; });
    lock.unlock();
    // Closes every connection; the streams' ends release their suppliers.
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void WebServer::onConnection(MHD_Connection* connection, void** socketState, MHD_ConnectionNotificationCode code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* record = new Connection;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        record->fd = info != nullptr ? info->connect_fd : -1;
        connections_.insert(record);
        *socketState = record;
        return;
    }
    auto* record = static_cast<Connection*>(*socketState);
    if (record == nullptr) return;
    if (record->stream != nullptr) record->stream->socket = nullptr;
    connections_.erase(record);
    delete record;
    *socketState = nullptr;
}

MHD_Result WebServer::onRequest(MHD_Connection* connection, const char* url, const char* method, const char*,
                                std::size_t* uploadSize, void** state) {
    if (*state == nullptr) {
        // The request line and headers are in: the deadline is met.
        *state = new Request;
        if (Connection* record = socketOf(connection)) {
            std::lock_guard<std::mutex> lock(mutex_);
            record->waitingSince.reset();
        }
        // Refused at once, so the engine closes the connection without reading a body.
        // Only the replay's controls take POST (they change what every page sees).
        const bool control = std::strncmp(url, kReplayPrefix, sizeof kReplayPrefix - 1) == 0;
        const char* allowed = control ? "POST" : "GET";
        if (std::strcmp(method, allowed) != 0) {
            return refuse(connection, 405,
                          fmt::format("method {} not allowed: {} takes {}", method,
                                      control ? "a replay control" : "this address", allowed),
                          {{"Allow", allowed}});
        }
        const std::string length = header(connection, MHD_HEADER_KIND, "Content-Length");
        if ((!length.empty() && length != "0") ||
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr) {
            return refuse(connection, 413, "requests here carry no body");
        }
        // Answered on the next call: one queued in the first call closes the connection.
        return MHD_YES;
    }
    *uploadSize = 0;
    auto* request = static_cast<Request*>(*state);
    if (!request->routed) {
        request->routed = true;
        if (auto refused = checkAccess(connection, url)) return *refused;
        return route(connection, url, *request);
    }
    return answerHistory(connection, *request);  // called again after a history was resumed
}

MHD_Result WebServer::answerHistory(MHD_Connection* connection, Request& request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!std::exchange(request.done, false)) return MHD_YES;  // not answered yet, or answered once already
    }
    return answerJson(connection, request.status, request.body, request.status == 503 ? retry_ : Headers{});
}

void WebServer::onRequestDone(MHD_Connection* connection, Request* request) {
    Connection* record = socketOf(connection);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (request != nullptr && request->cancelled && --cancelled_ == 0) wake_.notify_all();
        if (record != nullptr) record->waitingSince = Clock::now();  // the next request's deadline starts now
    }
    delete request;  // its supplier first
}

std::optional<MHD_Result> WebServer::checkAccess(MHD_Connection* connection, const std::string& url) {
    // The Host names this server: a page from another site that had its name
    // resolve here (DNS rebinding) gives its own name.
    const std::string host = lowered(header(connection, MHD_HEADER_KIND, "Host"));
    // A port follows the last ':' that no ']' follows (an IPv6 address's own colons stand inside brackets).
    const std::size_t colon = host.rfind(':');
    const bool withPort = colon != std::string::npos && host.find(']', colon) == std::string::npos;
    const std::string name = withPort ? host.substr(0, colon) : host;
    const std::string portText = withPort ? host.substr(colon + 1) : "";
    const bool portMatches = portText.empty() ? port_ == 80 : portText == std::to_string(port_);
    const bool nameMatches =
        std::find(access_.hostNames.begin(), access_.hostNames.end(), name) != access_.hostNames.end() ||
        (access_.anyAddressLiteral && isAddressLiteral(name));
    if (!portMatches || !nameMatches) {
        return refuse(connection, 403,
                      fmt::format("Host '{}' is not this server's name; `serve --allow-host NAME` adds one", host));
    }
    // A page of another origin may send requests here, but not as this page.
    const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    if (origin != nullptr && lowered(origin) != "http://" + host) {
        return refuse(connection, 403, fmt::format("requests from pages of '{}' are not served", origin));
    }
    if (access_.token.empty()) return std::nullopt;
    const std::string cookie = fmt::format("tellivar_token_{}", port_);
    if (sameSecret(header(connection, MHD_COOKIE_KIND, cookie.c_str()), access_.token)) return std::nullopt;
    if (!sameSecret(header(connection, MHD_GET_ARGUMENT_KIND, "token"), access_.token)) {
        return refuse(connection, 403, "this server needs its token: open the address it printed, with ?token=...");
    }
    if (url != "/") return std::nullopt;
    // The page's own requests carry the token as a cookie from here on.
    return answerAsset(connection, webAssets().front(),
                       {{"Set-Cookie", fmt::format("{}={}; Path=/; HttpOnly; SameSite=Strict", cookie, access_.token)},
                        {"Cache-Control", "no-store"}});
}

MHD_Result WebServer::route(MHD_Connection* connection, const std::string& url, Request& request) {
    for (const WebAsset& asset : webAssets()) {
        if (url == asset.path || (url == "/" && asset.path == std::string("/index.html"))) {
            return answerAsset(connection, asset);
        }
    }
    if (url == "/api/info") {
        const Json info = {{"provider", info_.provider},
                           {"symbols", board_.symbols()},
                           {"fields", board_.fields()},
                           {"intervals", info_.intervalChoices},
                           {"maxCount", limits_.maxCount},
                           {"maxStreams", limits_.maxStreams},
                           {"replay", replay_ != nullptr},
                           {"eventsPerSymbolPerSecond", 1000 / std::max<long>(1, limits_.flushPeriod.count())}};
        return answerJson(connection, 200, dumpJson(info));
    }
    if (url == "/api/status") {
        Json status = board_.status();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status["pages"] = streams_.size();
        }
        status["suppliers"] = feed_.liveSuppliers();
        return answerJson(connection, 200, dumpJson(status));
    }
    if (url == "/api/replay" || url.rfind(kReplayPrefix, 0) == 0) {
        return onReplay(connection, url, url != "/api/replay");
    }
    if (url == "/api/history") return onHistory(connection, request);
    if (url == "/events") return onEvents(connection);
    return refuse(connection, 404, "no such page");
}

MHD_Result WebServer::onHistory(MHD_Connection* connection, Request& request) {
    std::string error;
    const auto params = parameters(connection, {"symbol", "interval", "count"}, error);
    const auto chart = params ? chartOf(*params, info_, "D1", error) : std::nullopt;
    if (!chart) return refuse(connection, 400, error);
    const auto countText = params->find("count");
    const auto count = countText == params->end() ? std::optional(100) : parseCount(countText->second, limits_.maxCount);
    if (!count) {
        return refuse(connection, 400, fmt::format("count must be a whole number from 1 to {}", limits_.maxCount));
    }
    // Not online, the plug-in would hold the request until the feed is back
    // or the timeout: the page is told at once and asks again once online.
    if (const ConnectionState state = board_.state(); state != ConnectionState::Online) {
        return refuse(connection, 503, fmt::format("not online: {}", notOnlineReason(state)), retry_);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return refuse(connection, 503, "the server is stopping", retry_);
        if (histories_.size() >= static_cast<std::size_t>(limits_.maxHistories)) {
            return refuse(connection, 503,
                          fmt::format("too many histories asked at once: at most {}", limits_.maxHistories), retry_);
        }
        request.connection = connection;
        request.deadline = Clock::now() + limits_.historyTimeout;
        histories_.insert(&request);
    }
    // Made only once counted and known not to be cancelled; historyReady may come inside.
    request.history = feed_.history(*chart, *count, [this, &request, chart = *chart](std::vector<Bar> bars) {
        Json history = {{"symbol", chart.symbol}, {"interval", chart.intervalText}, {"bars", Json::array()}};
        for (const Bar& bar : bars) history["bars"].push_back(jsonBar(bar));
        finishHistory(request, 200, dumpJson(history));
    });
    if (!request.history) {
        finishHistory(request, 404, jsonError(fmt::format("symbol '{}' rejected: the plug-in made no history at "
                                                          "interval {}", chart->symbol, chart->intervalText)));
    }
    {
        // Answered while the supplier was made (inside the creation, on the feed thread, by stop()): answered now,
        // as the engine loses a resume made before this call returns. Else suspended under mutex_: resumed after.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!request.done) {
            request.suspended = true;
            MHD_suspend_connection(connection);
            return MHD_YES;
        }
    }
    return answerHistory(connection, request);
}

MHD_Result WebServer::onReplay(MHD_Connection* connection, const std::string& url, bool post) {
    if (replay_ == nullptr) return refuse(connection, 404, "not a replay: the feed client has no replay controls");
    std::string error;
    if (!post) {
        if (!parameters(connection, {}, error)) return refuse(connection, 400, error);
    } else {
        // A page of another site cannot get past the Origin check; a browser
        // that sends no Origin still says where the request came from.
        const std::string site = header(connection, MHD_HEADER_KIND, "Sec-Fetch-Site");
        if (!site.empty() && site != "same-origin" && site != "none") {
            return refuse(connection, 403, fmt::format("replay controls from a {} page are not served", site));
        }
        const std::string control = url.substr(sizeof kReplayPrefix - 1);
        std::string refused;
        if (control == "play" || control == "pause") {
            if (!parameters(connection, {}, error)) return refuse(connection, 400, error);
            refused = control == "play" ? replay_->play() : replay_->pause();
        } else if (control == "speed") {
            const auto params = parameters(connection, {"speed"}, error);
            const auto given = params ? params->find("speed") : std::map<std::string, std::string>::const_iterator{};
            if (params && given == params->end()) error = "speed is missing: give 0.25 to 64, or max";
            const std::optional<double> speed =
                params && given != params->end() ? replaySpeedValue(given->second, error) : std::nullopt;
            if (!speed) return refuse(connection, 400, error);
            refused = replay_->setSpeed(*speed);
        } else if (control == "step") {
            // One bar of the page's chart interval, or a number of seconds.
            const auto params = parameters(connection, {"interval", "seconds"}, error);
            if (!params) return refuse(connection, 400, error);
            const auto interval = params->find("interval");
            const auto secondsText = params->find("seconds");
            std::optional<std::uint32_t> seconds;
            if ((interval == params->end()) == (secondsText == params->end())) {
                error = "give either interval (one bar of it) or seconds";
            } else if (secondsText != params->end()) {
                std::uint32_t value = 0;
                const bool digits = secondsText->second.find_first_not_of("0123456789") == std::string::npos;
                if (digits && readNumber(secondsText->second, value) && value > 0) seconds = value;
                if (!seconds) error = fmt::format("seconds must be a whole number from 1 to {}", UINT32_MAX);
            } else if (const auto parsed = parseInterval(interval->second, info_.minutes, info_.letters, error)) {
                const std::optional<tellivar_replay_status> status = replay_->status();
                seconds = barSeconds(*parsed, status ? status->clock_ns : 0);
                if (!seconds) error = "that interval's bar is too long for a step";
            }
            if (!seconds) return refuse(connection, 400, error);
            refused = replay_->step(*seconds);
        } else if (control == "seek") {
            const auto params = parameters(connection, {"time"}, error);
            const auto given = params ? params->find("time") : std::map<std::string, std::string>::const_iterator{};
            if (params && given == params->end()) error = "time is missing: give it as 2026-12-08T10:31:00Z";
            const std::optional<std::int64_t> time =
                params && given != params->end() ? parseReplayTime(given->second, error) : std::nullopt;
            if (!time) return refuse(connection, 400, "time " + error);
            refused = replay_->seek(*time);
        } else {
            return refuse(connection, 404, "no such replay control: play, pause, speed, step and seek are");
        }
        // The replay client's own refusal: a time outside the recording, the end reached, ...
        if (!refused.empty()) return refuse(connection, 409, refused);
    }
    const std::optional<tellivar_replay_status> status = replay_->status();
    if (!status) return refuse(connection, 503, "the replay holds no client yet", retry_);
    return answerJson(connection, 200, dumpJson(replayJson(*status)));
}

void WebServer::finishHistory(Request& request, unsigned status, std::string body) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (histories_.erase(&request) == 0) return;
        request.answer(status, std::move(body));
        if (!request.suspended) return;  // onHistory() answers it
        ++resuming_;
    }
    // Still suspended, so neither the connection nor the request is gone; stop() waits for this.
    MHD_resume_connection(request.connection);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--resuming_ == 0) wake_.notify_all();
}

MHD_Result WebServer::onEvents(MHD_Connection* connection) {
    std::string error;
    const auto params = parameters(connection, {"symbol", "interval"}, error);
    if (!params) return refuse(connection, 400, error);
    std::optional<ChartChoice> chart;
    if (params->count("symbol") != 0 || params->count("interval") != 0) {
        chart = chartOf(*params, info_, "1", error);
        if (!chart) return refuse(connection, 400, error);
    }
    {
        // Streams are opened and counted only here, on the polling thread.
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return refuse(connection, 503, "the server is stopping", retry_);
        if (streams_.size() >= static_cast<std::size_t>(limits_.maxStreams)) {
            return refuse(connection, 503, fmt::format("too many pages open: at most {}", limits_.maxStreams), retry_);
        }
    }
    const std::optional<std::string> key = feed_.openStream(chart, error);
    if (!key) return refuse(connection, 404, error);
    auto* stream = new Stream;
    stream->server = this;
    stream->connection = connection;
    stream->cursor.chartKey = *key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stream->socket = socketOf(connection);
        if (stream->socket != nullptr) stream->socket->stream = stream;
        streams_.insert(stream);
    }
    auto read = [](void* self, std::uint64_t, char* buffer, std::size_t max) -> ssize_t {
        auto* s = static_cast<Stream*>(self);
        return s->server->onStreamRead(*s, buffer, max);
    };
    auto end = [](void* self) { static_cast<Stream*>(self)->server->onStreamEnd(static_cast<Stream*>(self)); };
    // Unknown size: chunked for HTTP/1.1; HTTP/1.0 gets the bare stream, ended by closing.
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, read, stream, end);
    if (response == nullptr) {
        onStreamEnd(stream);
        return MHD_NO;
    }
    return queue(connection, 200, response, "text/event-stream", {{"Cache-Control", "no-store"}});
}

ssize_t WebServer::onStreamRead(Stream& stream, char* buffer, std::size_t max) {
    if (stream.pending.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // A stream whose socket the housekeeper cut (unsent data, a closed page) ends.
            if (stopping_ || (stream.socket != nullptr && stream.socket->cut)) return MHD_CONTENT_READER_END_WITH_ERROR;
            if (Clock::now() < stream.nextFlush) {
                // Until the housekeeper's next flush; suspended under mutex_ so
                // that its resume cannot come first.
                stream.suspended = true;
                MHD_suspend_connection(stream.connection);
                return 0;
            }
            stream.nextFlush = Clock::now() + limits_.flushPeriod;
        }
        // The first write goes out at once; later ones once per flush period.
        std::string text = stream.cursor.started ? "" : "retry: 2000\n\n";
        text += board_.takeChanges(stream.cursor);
        if (replay_ != nullptr) {
            // The replay clock moves while the board may not: its own event, when it changed.
            const std::optional<tellivar_replay_status> status = replay_->status();
            std::string replay = status ? dumpJson(replayJson(*status)) : "";
            if (!replay.empty() && replay != stream.replaySent) {
                text += "event: replay\ndata: " + replay + "\n\n";
                stream.replaySent = std::move(replay);
            }
        }
        // A comment when nothing changed: a vanished page shows up as a failed write.
        stream.pending = text.empty() ? ":\n\n" : std::move(text);
    }
    const std::size_t size = std::min(max, stream.pending.size());
    std::memcpy(buffer, stream.pending.data(), size);
    stream.pending.erase(0, size);
    return static_cast<ssize_t>(size);
}

void WebServer::onStreamEnd(Stream* stream) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stream->socket != nullptr) stream->socket->stream = nullptr;
        streams_.erase(stream);
    }
    feed_.closeStream(stream->cursor.chartKey);
    delete stream;
}

void WebServer::housekeep() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A fifth of the flush period: each stream is resumed within that much
    // of its own next flush, never before it.
    const auto tick = std::max(limits_.flushPeriod / 5, std::chrono::milliseconds(1));
    while (!wake_.wait_for(lock, tick, [this] { return stopping_; })) {
        const Clock::time_point now = Clock::now();
        for (Connection* connection : connections_) {
            if (connection->cut || connection->fd < 0) continue;
            bool cut = connection->waitingSince && now - *connection->waitingSince > limits_.requestDeadline;
            if (connection->stream != nullptr) {
                // What the kernel holds for a page that does not read; the
                // page's own buffers are full by then.
                int unsent = 0;
                if (ioctl(connection->fd, SIOCOUTQ, &unsent) == 0 && unsent > limits_.maxUnsentBytes) cut = true;
                // A closed page: the engine does not watch a suspended
                // stream's socket, so its slot is freed from here.
                pollfd hangup{connection->fd, POLLRDHUP, 0};
                if (poll(&hangup, 1, 0) == 1 && (hangup.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) cut = true;
            }
            if (cut) {
                // The engine sees the socket end and closes the connection.
                shutdown(connection->fd, SHUT_RDWR);
                connection->cut = true;
            }
        }
        std::vector<MHD_Connection*> resume;
        for (Request* request : std::set<Request*>(histories_)) {
            if (now < request->deadline) continue;
            histories_.erase(request);
            request->answer(504, jsonError(fmt::format("history not complete within {} s",
                                                       limits_.historyTimeout.count() / 1000)));
            if (request->suspended) resume.push_back(request->connection);
        }
        for (Stream* stream : streams_) {
            if (now < stream->nextFlush) continue;
            if (std::exchange(stream->suspended, false)) resume.push_back(stream->connection);
        }
        // A suspended connection stays until resumed, so these are alive.
        lock.unlock();
        for (MHD_Connection* connection : resume) MHD_resume_connection(connection);
        lock.lock();
    }
}
