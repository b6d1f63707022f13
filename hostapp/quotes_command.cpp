#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "commands.h"
#include "exit_codes.h"
#include "fields.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHighlightFor = std::chrono::milliseconds(1500);
constexpr std::size_t kMinColumn = 10;

// The latest quote of every symbol. Plain mode prints a line per quote
// ('*' after a value that changed); live mode redraws a table in place,
// changed cells highlighted (green up, red down) for a moment.
class QuoteBoard {
public:
    QuoteBoard(const std::vector<std::string>& symbols, const std::vector<std::string>& fields, bool live,
               const LogPrinter& printer)
        : symbols_(symbols), fields_(fields), live_(live), printer_(printer), rows_(symbols.size()) {
        for (Row& row : rows_) row.cells.resize(fields.size());
    }

    void apply(const QuoteEvent& quote) {
        if (quote.row >= rows_.size()) return;
        Row& row = rows_[quote.row];
        row.time = quote.time;
        row.seen = true;
        std::string line = fmt::format("{} {}", formatClock(quote.time), symbols_[quote.row]);
        for (std::size_t i = 0; i < fields_.size() && i < quote.values.size(); ++i) {
            const bool changed = updateCell(row.cells[i], quote.values[i]);
            line += fmt::format(" {}={}{}", fields_[i], formatValue(quote.values[i]), changed ? "*" : "");
        }
        ++quotes_;
        dirty_ = true;
        if (!live_) {
            fmt::print("{}\n", line);
            flushOutput();
        }
    }

    void redraw() {
        if (!live_ || !dirty_) return;
        if (drawnLines_ > 0 && printer_.linesPrinted() == linesAtDraw_) fmt::print("\x1b[{}A", drawnLines_);
        highlighted_.clear();
        std::vector<std::string> lines{header()};
        for (std::size_t r = 0; r < rows_.size(); ++r) lines.push_back(rowText(r));
        for (const std::string& line : lines) fmt::print("\r\x1b[2K{}\n", line);
        drawnLines_ = lines.size();
        linesAtDraw_ = printer_.linesPrinted();
        dirty_ = !highlighted_.empty();  // keep redrawing until highlights fade
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
        data::CalendarRecord time{};
        bool seen = false;
        std::vector<Cell> cells;
    };

    bool updateCell(Cell& cell, const std::optional<double>& value) {
        if (cell.value == value) return false;
        cell.direction = cell.value && value ? (*value > *cell.value ? 1 : (*value < *cell.value ? -1 : 0)) : 0;
        cell.value = value;
        cell.changedAt = Clock::now();
        return true;
    }

    std::size_t width(std::size_t field) const { return std::max(kMinColumn, fields_[field].size()); }

    std::string header() const {
        std::string text = fmt::format("{:<10} {:>8}", "Symbol", "Time");
        for (std::size_t i = 0; i < fields_.size(); ++i) text += fmt::format(" {:>{}}", fields_[i], width(i));
        return text;
    }

    std::string rowText(std::size_t r) {
        const Row& row = rows_[r];
        std::string text = fmt::format("{:<10} {:>8}", symbols_[r], row.seen ? formatClock(row.time) : "-");
        const auto now = Clock::now();
        for (std::size_t i = 0; i < row.cells.size(); ++i) {
            const Cell& cell = row.cells[i];
            const std::string value = fmt::format("{:>{}}", formatValue(cell.value), width(i));
            const bool fresh = cell.value && now - cell.changedAt < kHighlightFor;
            if (!fresh) {
                text += " " + value;
                continue;
            }
            highlighted_.push_back(i);
            const char* colour = cell.direction > 0 ? "\x1b[1;32m" : (cell.direction < 0 ? "\x1b[1;31m" : "\x1b[1m");
            text += fmt::format(" {}{}\x1b[0m", colour, value);
        }
        return text;
    }

    const std::vector<std::string>& symbols_;
    const std::vector<std::string>& fields_;
    const bool live_;
    const LogPrinter& printer_;
    std::vector<Row> rows_;
    std::vector<std::size_t> highlighted_;
    std::size_t drawnLines_ = 0;
    std::size_t linesAtDraw_ = 0;
    std::size_t quotes_ = 0;
    bool dirty_ = true;
};

}  // namespace

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
    if (seconds <= 0) return Clock::now() + std::chrono::hours(24 * 365);
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

int runQuotesOn(HostSession& session, const std::vector<std::string>& symbols, const std::vector<std::string>& fields,
                double seconds, bool plain) {
    for (std::size_t row = 0; row < symbols.size(); ++row) {
        if (session.subscribeQuotes(symbols[row], fields, row) == nullptr) {
            printError(fmt::format("symbol '{}' rejected: the plug-in returned no live-quote supplier", symbols[row]));
            return exitcode::kSymbolRejected;
        }
    }
    QuoteBoard board(symbols, fields, !plain && stdoutIsTerminal(), session.printer());
    const auto result = session.pump(
        deadlineAfter(seconds),
        [&board](Event& event) {
            if (const auto* quote = std::get_if<QuoteEvent>(&event)) board.apply(*quote);
            return false;
        },
        [&board] { board.redraw(); });
    board.redraw();
    if (board.quotes() == 0 && result == HostSession::PumpResult::TimedOut) {
        session.printer().note("no quote arrived in that time");
    }
    // Ctrl-C or a closed pipe is the normal way to end an open-ended table.
    return exitcode::kOk;
}

int runQuotes(const HostOptions& host, const QuotesOptions& options) {
    std::string error;
    const auto fields = options.fields.empty() ? std::optional(defaultQuoteFields()) : parseFieldList(options.fields, error);
    if (!fields) {
        printError(error);
        return exitcode::kBadArguments;
    }
    HostSession session(host);
    if (const int code = session.open(); code != exitcode::kOk) return code;
    if (const int code = session.connect(); code != exitcode::kOk) return code;
    return runQuotesOn(session, options.symbols, *fields, options.seconds, options.plain);
}
