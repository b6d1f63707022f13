// The receiving side's copy of the stand-in's market (soak_oracle.h).
#include "nats/soak_oracle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "simfeed/calendar.h"

namespace soak {
namespace {

// Any moment opens a live quote that holds the instrument's constants.
constexpr double kAnyTime = 1.7e9;

std::string describe(const char* name, double value, double low, double high) {
    char text[160];
    if (low == high)
        std::snprintf(text, sizeof text, "%s %.17g (expected %.17g)", name, value, low);
    else
        std::snprintf(text, sizeof text, "%s %.17g (expected %.17g to %.17g)", name, value, low, high);
    return text;
}

// Adds a description of `name` to `wrong` unless low <= value <= high.
void expectWithin(std::vector<std::string>& wrong, const char* name, double value, double a, double b) {
    const double low = std::min(a, b), high = std::max(a, b);
    if (!(value >= low && value <= high)) wrong.push_back(describe(name, value, low, high));
}

}  // namespace

struct Oracle::Symbol {
    explicit Symbol(const std::string& name) : instrument(name) {
        instrument.startLive(kAnyTime);
        const simfeed::Quote& quote = instrument.quote();
        beta = quote.value[simfeed::field::Beta];
        shares = quote.value[simfeed::field::SharesOutstanding];
    }
    simfeed::Instrument instrument;
    double beta = 0, shares = 0;
};

Oracle::Oracle(bool alwaysOpen) { simfeed::alwaysOpenMarket.store(alwaysOpen); }
Oracle::~Oracle() = default;

Oracle::Symbol& Oracle::symbolOf(const std::string& symbol) {
    auto& slot = symbols_[symbol];
    if (!slot) slot = std::make_unique<Symbol>(symbol);
    return *slot;
}

std::vector<std::string> Oracle::checkQuote(const std::string& symbol, const QuoteRead& read) {
    std::vector<std::string> wrong;
    for (const std::string& name : quoteFieldNames())
        if (read.values.count(name) == 0) wrong.push_back(name + " missing");
    if (!wrong.empty()) return wrong;
    Symbol& s = symbolOf(symbol);
    const auto day = simfeed::floorDiv(read.tradeTime, simfeed::kSecondsPerDay) * simfeed::kSecondsPerDay;
    const auto t = static_cast<double>(read.tradeTime);
    // The day so far at both ends of the trade's second.
    const simfeed::Bar a = s.instrument.makeBar(day, day + simfeed::kSecondsPerDay, t);
    const simfeed::Bar b = s.instrument.makeBar(day, day + simfeed::kSecondsPerDay, t + 1);
    const auto& v = read.values;
    const double trade = v.at("Trade"), open = v.at("Open");
    expectWithin(wrong, "Trade", trade, a.close, b.close);
    expectWithin(wrong, "TradeTime", v.at("TradeTime"), t, t);
    expectWithin(wrong, "Open", open, a.open, a.open);
    expectWithin(wrong, "Yest", v.at("Yest"), a.open, a.open);
    expectWithin(wrong, "High", v.at("High"), a.high, b.high);
    expectWithin(wrong, "Low", v.at("Low"), a.low, b.low);
    expectWithin(wrong, "Volume", v.at("Volume"), a.volume, b.volume);
    // Derived from the trade and the day's open as the feed derives them.
    const double net = std::round((trade - open) * 100.0) / 100.0;
    expectWithin(wrong, "Net", v.at("Net"), net, net);
    const double cap = std::round(trade * s.shares);
    expectWithin(wrong, "MarketCapitalization", v.at("MarketCapitalization"), cap, cap);
    expectWithin(wrong, "Beta", v.at("Beta"), s.beta, s.beta);
    return wrong;
}

std::vector<std::string> Oracle::checkBar(const std::string& symbol, int seconds, std::int64_t latest,
                                          const BarRead& bar) {
    Symbol& s = symbolOf(symbol);
    const std::int64_t end = bar.start + seconds;
    const std::int64_t last = std::min(end - 1, latest);
    if (last < bar.start) return {"a bar starting after the latest possible trade"};
    std::vector<std::string> atLast;
    // Newest second first: a live bar is usually a moment old.
    simfeed::Bar after = s.instrument.makeBar(bar.start, end, static_cast<double>(last + 1));
    for (std::int64_t second = last; second >= bar.start; --second) {
        const simfeed::Bar before = s.instrument.makeBar(bar.start, end, static_cast<double>(second));
        std::vector<std::string> wrong;
        expectWithin(wrong, "Open", bar.open, before.open, before.open);
        expectWithin(wrong, "High", bar.high, before.high, after.high);
        expectWithin(wrong, "Low", bar.low, before.low, after.low);
        expectWithin(wrong, "Close", bar.close, before.close, after.close);
        expectWithin(wrong, "Volume", bar.volume, before.volume, after.volume);
        if (wrong.empty()) return wrong;
        if (second == last) atLast = std::move(wrong);
        after = before;
    }
    return atLast;
}

std::int64_t feedSecondsOf(int year, int month, int day, int hour, int minute, int second) {
    return simfeed::secondsFromCivil(year, month, day, hour, minute, second);
}

}  // namespace soak
