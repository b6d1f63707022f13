#include "web_server.h"

#include <fmt/format.h>
#include <sys/socket.h>

#include <algorithm>
#include <set>

#include "interval.h"
#include "json_text.h"
#include "web_assets.h"

namespace {

constexpr const char kJson[] = "application/json";
constexpr std::size_t kMaxSymbolLength = 32;
// Request threads beyond the event streams, so JSON requests are answered
// while every stream is taken.
constexpr int kSpareThreads = 8;

void answer(httplib::Response& res, int status, const std::string& json) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, kJson);
}

void refuse(httplib::Response& res, int status, const std::string& text) { answer(res, status, jsonError(text)); }

// A query's parameters, each known and given at most once; nullopt with the
// reason in `error` otherwise.
std::optional<std::map<std::string, std::string>> parameters(const httplib::Request& req,
                                                             const std::set<std::string>& known, std::string& error) {
    std::map<std::string, std::string> out;
    for (const auto& [key, value] : req.params) {
        if (known.count(key) == 0) {
            std::string names;
            for (const std::string& name : known) names += (names.empty() ? "" : ", ") + name;
            error = fmt::format("unknown parameter '{}'; this takes: {}", key, names);
            return std::nullopt;
        }
        if (!out.emplace(key, value).second) {
            error = fmt::format("parameter '{}' given more than once", key);
            return std::nullopt;
        }
    }
    return out;
}

bool plausibleSymbol(const std::string& symbol) {
    return !symbol.empty() && symbol.size() <= kMaxSymbolLength &&
           std::all_of(symbol.begin(), symbol.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The bar count: digits only, 1 to `max`.
std::optional<int> parseCount(const std::string& text, int max) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int count = std::stoi(text);
    return count >= 1 && count <= max ? std::optional(count) : std::nullopt;
}

std::string escapeForPattern(const std::string& path) {
    std::string out;
    for (const char c : path) out += (c == '.' ? std::string("\\.") : std::string(1, c));
    return out;
}

}  // namespace

WebServer::WebServer(LiveBoard& board, WebFeed& feed, WebInfo info, WebLimits limits)
    : board_(board), feed_(feed), info_(std::move(info)), limits_(limits) {
    const std::size_t threads = static_cast<std::size_t>(limits_.maxStreams + kSpareThreads);
    server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server_.set_keep_alive_timeout(2);
    // The library's default also sets SO_REUSEPORT, which would let a second
    // server share a port another one listens on; a port in use must fail.
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_payload_max_length(64 * 1024);
    // Feed texts reach the page as JSON and are set as text; this forbids any
    // script but the page's own.
    server_.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                 {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'"}});
    addRoutes();
}

void WebServer::addRoutes() {
    for (const WebAsset& asset : webAssets()) {
        const std::string pattern = asset.path == std::string("/index.html") ? "/" : escapeForPattern(asset.path);
        const std::string type = std::string(asset.type) + "; charset=utf-8";
        server_.Get(pattern, [&asset, type](const httplib::Request&, httplib::Response& res) {
            res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, type);
        });
    }
    server_.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) { onInfo(res); });
    server_.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        std::string status = board_.statusJson();
        status.pop_back();  // the closing brace: the server's own counts follow
        answer(res, 200, fmt::format(R"({},"pages":{},"suppliers":{}}})", status, streams_.load(),
                                     feed_.liveSuppliers()));
    });
    server_.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) { onHistory(req, res); });
    server_.Get("/events", [this](const httplib::Request& req, httplib::Response& res) { onEvents(req, res); });
    server_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) refuse(res, res.status, res.status == 404 ? "no such page" : "request refused");
    });
    server_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        refuse(res, 500, "internal error");
    });
}

void WebServer::onInfo(httplib::Response& res) const {
    auto list = [](const std::vector<std::string>& items) {
        std::string out;
        for (const std::string& item : items) out += (out.empty() ? "" : ",") + jsonString(item);
        return "[" + out + "]";
    };
    answer(res, 200,
           fmt::format(R"({{"provider":{},"symbols":{},"fields":{},"intervals":{},"maxCount":{},)"
                       R"("maxStreams":{},"eventsPerSymbolPerSecond":{}}})",
                       jsonString(info_.provider), list(board_.symbols()), list(board_.fields()),
                       list(info_.intervalChoices), limits_.maxCount, limits_.maxStreams,
                       1000 / std::max<long>(1, limits_.flushPeriod.count())));
}

namespace {

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

}  // namespace

void WebServer::onHistory(const httplib::Request& req, httplib::Response& res) {
    std::string error;
    const auto params = parameters(req, {"symbol", "interval", "count"}, error);
    const auto chart = params ? chartOf(*params, info_, "D1", error) : std::nullopt;
    if (!chart) return refuse(res, 400, error);
    const auto countText = params->find("count");
    const auto count = countText == params->end() ? std::optional(100) : parseCount(countText->second, limits_.maxCount);
    if (!count) return refuse(res, 400, fmt::format("count must be a whole number from 1 to {}", limits_.maxCount));

    std::vector<Bar> bars;
    switch (feed_.history(*chart, *count, limits_.historyTimeout, bars)) {
        case WebFeed::HistoryOutcome::Rejected:
            return refuse(res, 404, fmt::format("symbol '{}' rejected: the plug-in made no history at interval {}",
                                                chart->symbol, chart->intervalText));
        case WebFeed::HistoryOutcome::TimedOut:
            return refuse(res, 504, fmt::format("history not complete within {} s",
                                                limits_.historyTimeout.count() / 1000));
        case WebFeed::HistoryOutcome::Done: break;
    }
    std::string body = fmt::format(R"({{"symbol":{},"interval":{},"bars":[)", jsonString(chart->symbol),
                                   jsonString(chart->intervalText));
    for (std::size_t i = 0; i < bars.size(); ++i) body += (i == 0 ? "" : ",") + jsonBar(bars[i]);
    answer(res, 200, body + "]}");
}

void WebServer::onEvents(const httplib::Request& req, httplib::Response& res) {
    std::string error;
    const auto params = parameters(req, {"symbol", "interval"}, error);
    if (!params) return refuse(res, 400, error);
    std::optional<ChartChoice> chart;
    if (params->count("symbol") != 0 || params->count("interval") != 0) {
        chart = chartOf(*params, info_, "1", error);
        if (!chart) return refuse(res, 400, error);
    }
    if (streams_.fetch_add(1) >= limits_.maxStreams) {
        --streams_;
        return refuse(res, 503, fmt::format("too many pages open: at most {}", limits_.maxStreams));
    }
    const std::optional<std::string> key = feed_.openStream(chart, error);
    if (!key) {
        --streams_;
        return refuse(res, 404, error);
    }
    auto cursor = std::make_shared<StreamCursor>();
    cursor->chartKey = *key;
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](std::size_t, httplib::DataSink& sink) {
            // The first write goes out at once; later ones once per flush period.
            std::string text = cursor->started ? "" : "retry: 2000\n\n";
            if (cursor->started && waitFlush()) return false;
            text += board_.takeChanges(*cursor);
            // A comment when nothing changed: a vanished page shows up as a failed write.
            if (text.empty()) text = ":\n\n";
            return sink.write(text.data(), text.size());
        },
        [this, key = *key](bool) {
            feed_.closeStream(key);
            --streams_;
        });
}

bool WebServer::waitFlush() {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return stopped_.wait_for(lock, limits_.flushPeriod, [this] { return stopping_; });
}

bool WebServer::start(const std::string& address, int port, std::string& error) {
    const bool bound = port == 0 ? (port_ = server_.bind_to_any_port(address)) > 0 : server_.bind_to_port(address, port);
    if (!bound) {
        error = fmt::format("cannot listen on {}:{} (address in use, or not an address of this machine)", address, port);
        return false;
    }
    if (port != 0) port_ = port;
    listener_ = std::thread([this] { server_.listen_after_bind(); });
    return true;
}

void WebServer::stop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    stopped_.notify_all();
    server_.stop();
    if (listener_.joinable()) listener_.join();
}
