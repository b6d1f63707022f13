#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>

#include "commands.h"
#include "fields.h"
#include "replay_controls.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHighlightFor = std::chrono::milliseconds(1500);
constexpr std::size_t kMinColumn = 10;
constexpr std::size_t kTimeColumn = 20;  // "2026-12-07T22:14:05Z"

// The latest quote of every symbol. Plain mode prints a line per quote
// ('*' after a value that changed); live mode redraws a table in place,
// changed cells highlighted for a moment (green up, red down, bold
// otherwise; without colour, a '*' after the value). During a replay the
// table's first line is the REPLAY line with the replay clock, redrawn at
// every tick, and `keys` names the keys that control it.
class QuoteBoard {
public:
    QuoteBoard(const std::vector<std::string>& symbols, const std::vector<std::string>& fields, bool live,
               const LogPrinter& printer, const ReplayControls* replay, bool keys)
        : symbols_(symbols), fields_(fields), live_(live), colour_(colourAllowed()), printer_(printer),
          replay_(replay), keys_(keys), rows_(symbols.size()) {
        for (Row& row : rows_) row.cells.resize(fields.size());
    }

    void apply(const QuoteEvent& quote) {
        if (quote.row >= rows_.size()) return;
        Row& row = rows_[quote.row];
        row.time = quote.time;
        std::string line = fmt::format("{} {}", formatIsoCalendar(quote.time), symbols_[quote.row]);
        for (std::size_t i = 0; i < fields_.size() && i < quote.values.size(); ++i) {
            const bool changed = updateCell(row.cells[i], quote.values[i]);
            line += fmt::format(" {}={}{}", fields_[i], formatFieldValue(fields_[i], quote.values[i]),
                                changed ? "*" : "");
        }
        ++quotes_;
        dirty_ = true;
        if (!live_) {
            printOut("{}\n", line);
            flushOutput();
        }
    }

    void redraw() {
        if (!live_ || (!dirty_ && replay_ == nullptr)) return;
        if (drawnLines_ > 0 && printer_.linesPrinted() == linesAtDraw_) printOut("\x1b[{}A", drawnLines_);
        fading_ = false;
        std::vector<std::string> lines;
        if (replay_ != nullptr) lines.push_back(replayText());
        lines.push_back(header());
        for (std::size_t r = 0; r < rows_.size(); ++r) lines.push_back(rowText(r));
        for (const std::string& line : lines) printOut("\r\x1b[2K{}\n", line);
        drawnLines_ = lines.size();
        linesAtDraw_ = printer_.linesPrinted();
        dirty_ = fading_;  // keep redrawing until highlights fade
        flushOutput();
    }

    std::size_t quotes() const { return quotes_; }

private:
    struct Cell {
        std::optional<double> value;
        int direction = 0;  // +1 up, -1 down, 0 same or new
        Clock::time_point changedAt{};
    };
    struct Row {
        std::optional<data::CalendarRecord> time;  // of the latest quote
        std::vector<Cell> cells;
    };

    bool updateCell(Cell& cell, const std::optional<double>& value) {
        if (cell.value == value) return false;
        cell.direction = cell.value && value ? (*value > *cell.value ? 1 : (*value < *cell.value ? -1 : 0)) : 0;
        cell.value = value;
        cell.changedAt = Clock::now();
        return true;
    }

    std::size_t width(std::size_t field) const {
        const std::size_t value = fieldKind(fields_[field]) == FieldKind::Time ? kTimeColumn : kMinColumn;
        return std::max(value, fields_[field].size());
    }

    // The REPLAY line, its word set off in colour (or between bars without).
    std::string replayText() const {
        const std::optional<tellivar_replay_status> status = replay_->status();
        std::string text = status ? replayLine(*status) : "REPLAY  no replay client";
        if (keys_) text += "    [space] pause/play  [+][-] speed";
        const std::string word = "REPLAY";
        return colour_ ? "\x1b[1;30;43m" + word + "\x1b[0m" + text.substr(word.size())
                       : "|" + word + "|" + text.substr(word.size());
    }

    std::string header() const {
        std::string text = fmt::format("{:<10} {:>10}", "Symbol", "Time (UTC)");
        // Without colour every cell has one more column, for its change mark.
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            text += fmt::format(" {:>{}}{}", fields_[i], width(i), colour_ ? "" : " ");
        }
        return text;
    }

    std::string rowText(std::size_t r) {
        const Row& row = rows_[r];
        std::string text = fmt::format("{:<10} {:>10}", symbols_[r], row.time ? formatClock(*row.time) : "-");
        const auto now = Clock::now();
        for (std::size_t i = 0; i < row.cells.size(); ++i) {
            const Cell& cell = row.cells[i];
            const std::string value = fmt::format("{:>{}}", formatFieldValue(fields_[i], cell.value), width(i));
            const bool fresh = cell.value && now - cell.changedAt < kHighlightFor;
            fading_ = fading_ || fresh;
            if (!colour_) {
                text += fmt::format(" {}{}", value, fresh ? "*" : " ");
            } else if (!fresh) {
                text += " " + value;
            } else {
                const char* colour = cell.direction > 0 ? "\x1b[1;32m" : cell.direction < 0 ? "\x1b[1;31m" : "\x1b[1m";
                text += fmt::format(" {}{}\x1b[0m", colour, value);
            }
        }
        return text;
    }

    const std::vector<std::string>& symbols_;
    const std::vector<std::string>& fields_;
    const bool live_;
    const bool colour_;
    const LogPrinter& printer_;
    const ReplayControls* const replay_;  // the session's; null when not a replay
    const bool keys_;
    std::vector<Row> rows_;
    bool fading_ = false;  // a cell drawn highlighted in the last redraw
    std::size_t drawnLines_ = 0;
    std::size_t linesAtDraw_ = 0;
    std::size_t quotes_ = 0;
    bool dirty_ = true;
};

}  // namespace

HostSession::PumpResult pumpFor(HostSession& session, const LiveSpan& span, const std::function<bool(Event&)>& handler,
                                const std::function<void()>& tick) {
    auto result = session.pump(deadlineAfter(span.seconds), handler, tick);
    const auto limit = deadlineAfter(span.extraSeconds);
    while (span.seconds > 0 && result == HostSession::PumpResult::TimedOut && span.keepGoing && span.keepGoing() &&
           Clock::now() < limit) {
        result = session.pump(std::min(limit, Clock::now() + std::chrono::milliseconds(100)), handler, tick);
    }
    return result;
}

void FeedClock::saw(const data::CalendarRecord& time) {
    time_ = static_cast<double>(secondsOf(time));
    seenAt_ = Clock::now();
}

std::optional<double> FeedClock::now() const {
    const double since = std::chrono::duration<double>(Clock::now() - seenAt_).count();
    if (!time_ || since > 2.0) return std::nullopt;
    return *time_ + since;
}

int runQuotesOn(HostSession& session, const std::vector<std::string>& symbols, const std::vector<std::string>& fields,
                const LiveSpan& span, bool plain, FeedClock* clock) {
    for (std::size_t row = 0; row < symbols.size(); ++row) {
        if (session.subscribeQuotes(symbols[row], fields, row) == nullptr) {
            return reportRefusal(session, "live quotes", symbols[row]);
        }
    }
    const bool live = !plain && stdoutTakesEscapes();
    const ReplayControls* replay = session.replay();
    // Keys only for a live table of a replay: otherwise stdin stays as it is.
    std::optional<TerminalKeys> keys;
    if (live && replay != nullptr) keys.emplace();
    QuoteBoard board(symbols, fields, live, session.printer(), replay, keys && keys->active());
    ReplayAnnouncer announcer;
    const auto tick = [&] {
        if (replay != nullptr && !live) announcer.tick(*replay);
        for (const char key : keys ? keys->take() : std::string()) {
            const std::optional<std::string> refused = replayKey(*replay, key);
            if (refused && !refused->empty()) session.printer().note(*refused);
        }
        board.redraw();
    };
    tick();  // the REPLAY line before the first quote
    const auto result = pumpFor(
        session, span,
        [&board, clock](Event& event) {
            if (const auto* quote = std::get_if<QuoteEvent>(&event)) {
                board.apply(*quote);
                if (clock != nullptr) clock->saw(quote->time);
            }
            return false;
        },
        tick);
    board.redraw();
    if (board.quotes() == 0 && result == HostSession::PumpResult::TimedOut) {
        session.printer().note("no quote arrived in that time");
    }
    // Ctrl-C or a closed pipe is the normal way to end an open-ended table.
    return exitcode::kOk;
}

int runQuotes(const HostOptions& host, const QuotesOptions& options) {
    const std::vector<std::string> texts = fieldsOfKind(options.fields, FieldKind::Text);
    if (texts.size() == options.fields.size()) {
        printError(fmt::format("--fields {}: text fields only, and the plug-in's quotes carry numbers only, so no "
                               "quote could ever arrive; add a numeric field such as Trade",
                               fmt::join(texts, ",")));
        return exitcode::kBadArguments;
    }
    HostSession session(host);
    if (!texts.empty()) {
        session.printer().note(fmt::format("{} {} text, which the plug-in's quotes cannot deliver: shown as '-'",
                                           fmt::join(texts, ","), texts.size() == 1 ? "holds" : "hold"));
    }
    if (const int code = session.open(); code != exitcode::kOk) return code;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    return runQuotesOn(session, options.symbols, options.fields, LiveSpan{options.seconds, 0, {}}, options.plain);
}
