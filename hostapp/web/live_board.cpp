#include "live_board.h"

#include <fmt/format.h>

#include <cmath>
#include <ctime>

namespace {

// A number, or null when missing or not finite.
Json jsonNumber(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value)) return nullptr;
    return *value;
}

std::string frame(const char* event, const Json& json) {
    return fmt::format("event: {}\ndata: {}\n\n", event, dumpJson(json));
}

}  // namespace

std::string dumpJson(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json jsonBar(const Bar& bar) {
    return {{"time", secondsOf(bar.time)}, {"open", jsonNumber(bar.open)},   {"high", jsonNumber(bar.high)},
            {"low", jsonNumber(bar.low)},  {"close", jsonNumber(bar.close)}, {"volume", jsonNumber(bar.volume)}};
}

std::string jsonError(const std::string& text) { return dumpJson({{"error", text}}); }

const char* stateName(ConnectionState state) {
    constexpr const char* kNames[] = {"connecting", "online", "offline", "rejected"};  // in the enum's order
    return kNames[static_cast<int>(state)];
}

LiveBoard::LiveBoard(std::vector<std::string> symbols, std::vector<std::string> fields)
    : symbols_(std::move(symbols)), fields_(std::move(fields)), quotes_(symbols_.size()) {}

void LiveBoard::onQuote(std::size_t row, const data::CalendarRecord& time, std::vector<std::optional<double>> values) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row >= quotes_.size()) return;
    Quote& quote = quotes_[row];
    quote.time = time;
    quote.values = std::move(values);
    ++quote.version;
}

void LiveBoard::onBar(const std::string& chartKey, const Bar& bar) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = charts_.find(chartKey);
    if (found == charts_.end()) return;
    Chart& chart = found->second;
    // A bar with a later start closes the forming one: its last state is kept
    // for every stream, never overwritten.
    if (chart.forming && secondsOf(bar.time) > secondsOf(chart.forming->time)) {
        chart.closed.emplace_back(chart.nextClosed++, *chart.forming);
        if (chart.closed.size() > kClosedBarsKept) chart.closed.pop_front();
    }
    chart.forming = bar;
    ++chart.formingVersion;
}

void LiveBoard::onEvent(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto* online = std::get_if<OnlineEvent>(&event)) {
        loggedOn_ = loggedOn_ || online->online;
        // Going offline without a logon is settled by the log-off report that follows.
        if (online->online || loggedOn_) setState(online->online ? ConnectionState::Online : ConnectionState::Offline);
        return;
    }
    const auto* log = std::get_if<LogEvent>(&event);
    if (log == nullptr) return;
    if (log->kind == LogEvent::Kind::Status && log->text == kLogonStatus) loggedOn_ = true;
    if (log->kind == LogEvent::Kind::Status && log->text == kLogOffStatus) {
        // A log-off with no logon before it: the feed refused the logon,
        // whatever words its message used.
        setState(loggedOn_ ? ConnectionState::Offline : ConnectionState::Rejected);
        loggedOn_ = false;
    }
    // What the plug-in logs for one page's request (a query, a refused
    // symbol) stays off the panel that every page shares.
    if (log->fromPage && log->kind != LogEvent::Kind::Status) return;
    if (log->kind == LogEvent::Kind::Info && !infoFilter_.firstTime(log->text)) return;
    constexpr const char* kKinds[] = {"status", "info", "error"};  // in LogEvent::Kind's order
    const std::string text =
        log->kind == LogEvent::Kind::Status ? fmt::format("{} (code {})", log->text, log->code) : log->text;
    // Now, as ISO 8601 in UTC like the other times of the stream.
    const std::string now = formatIsoSeconds(static_cast<double>(std::time(nullptr)));
    messages_.emplace_back(nextMessage_++,
                           Json{{"time", now}, {"kind", kKinds[static_cast<int>(log->kind)]}, {"text", text}});
    if (messages_.size() > kMessagesKept) messages_.pop_front();
}

void LiveBoard::setState(ConnectionState state) {
    if (state == state_) return;
    state_ = state;
    ++stateVersion_;
}

ConnectionState LiveBoard::state() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void LiveBoard::openChart(const std::string& chartKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    charts_.try_emplace(chartKey);
}

void LiveBoard::closeChart(const std::string& chartKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    charts_.erase(chartKey);
}

std::string LiveBoard::takeChanges(StreamCursor& cursor) {
    // Copied under the lock, formatted after it.
    std::optional<ConnectionState> state;
    std::vector<Json> messages;
    std::vector<std::pair<std::size_t, Quote>> quotes;
    std::vector<Bar> closed;
    std::optional<Bar> forming;
    bool reload = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cursor.started) cursor.quoteVersions.assign(quotes_.size(), 0);
        if (cursor.stateVersion != stateVersion_) state = state_;
        cursor.stateVersion = stateVersion_;
        for (const auto& [sequence, message] : messages_) {
            if (sequence >= cursor.nextMessage) messages.push_back(message);
        }
        cursor.nextMessage = nextMessage_;
        for (std::size_t row = 0; row < quotes_.size(); ++row) {
            if (quotes_[row].version == cursor.quoteVersions[row]) continue;
            quotes.emplace_back(row, quotes_[row]);
            cursor.quoteVersions[row] = quotes_[row].version;
        }
        const auto chart = charts_.find(cursor.chartKey);
        if (chart != charts_.end()) {
            const Chart& c = chart->second;
            if (!cursor.started) cursor.nextClosed = c.nextClosed;
            reload = !c.closed.empty() && cursor.nextClosed < c.closed.front().first;
            for (const auto& [sequence, bar] : c.closed) {
                if (!reload && sequence >= cursor.nextClosed) closed.push_back(bar);
            }
            cursor.nextClosed = c.nextClosed;
            if (c.formingVersion != cursor.formingVersion) forming = c.forming;
            cursor.formingVersion = c.formingVersion;
        }
        cursor.started = true;
    }
    std::string out;
    if (state) out += frame("state", {{"state", stateName(*state)}, {"online", *state == ConnectionState::Online}});
    for (const Json& message : messages) out += frame("log", message);
    for (const auto& [row, quote] : quotes) {
        Json values = Json::array();
        for (const auto& value : quote.values) values.push_back(jsonNumber(value));
        out += frame("quote", {{"row", row}, {"symbol", symbols_[row]}, {"time", formatIsoCalendar(quote.time)},
                               {"values", values}});
    }
    if (reload) out += frame("reload", Json::object());
    for (const Bar& bar : closed) out += frame("bar", {{"closed", true}, {"bar", jsonBar(bar)}});
    if (forming) out += frame("bar", {{"closed", false}, {"bar", jsonBar(*forming)}});
    return out;
}

Json LiveBoard::status() {
    std::lock_guard<std::mutex> lock(mutex_);
    Json messages = Json::array();
    for (const auto& [sequence, message] : messages_) messages.push_back(message);
    return {{"state", stateName(state_)}, {"online", state_ == ConnectionState::Online}, {"messages", messages}};
}
