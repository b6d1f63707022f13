// The stand-in's market recomputed on the receiving side: given what a host's
// consumer was told (a quote with its trade time, or an update stream's newest
// bar with its start), says whether the feed could have sent exactly that.
//
// The stand-in trades at fractional feed times, and a consumer learns the trade
// time in whole seconds only: a value is accepted when it lies within the values
// the model gives at the two ends of that second. Every such value is monotone
// over one second (the price is linear within a minute, the day's high, volume
// and traded value only grow, its low only falls), so the bounds are exact:
// nothing outside them can come from a trade within the second.
//
// Threads: one Oracle per thread (it caches one model instrument per symbol).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "simfeed/model.h"

namespace soak {

// Snapshot fields a soak client subscribes to, by their long names.
inline const std::vector<std::string>& quoteFieldNames() {
    static const std::vector<std::string> names = {"Trade", "TradeTime", "Open",  "Yest",
                                                   "High",  "Low",       "Volume", "Net",
                                                   "MarketCapitalization", "Beta"};
    return names;
}

// What a consumer read in one notification: values by long name (absent
// fields are left out).
struct QuoteRead {
    std::int64_t tradeTime = 0;  // getTime, in feed seconds
    std::map<std::string, double> values;
};

struct BarRead {
    std::int64_t start = 0;  // getTime, in feed seconds
    double open = 0, high = 0, low = 0, close = 0, volume = 0;
};

class Oracle {
public:
    // `alwaysOpen`: the market trades every day (the stand-in's 24/7 market).
    explicit Oracle(bool alwaysOpen);
    ~Oracle();
    Oracle(const Oracle&) = delete;
    Oracle& operator=(const Oracle&) = delete;

    // Names of the fields of `read` that no trade of `symbol` within the second
    // starting at read.tradeTime gives, each with the accepted range; empty when
    // all agree. A subscribed field missing from `read` is a mismatch too.
    std::vector<std::string> checkQuote(const std::string& symbol, const QuoteRead& read);

    // The same for the newest bar of an update stream of `seconds`-long bars:
    // empty when one second between the bar's start and min(its end, `latest`)
    // gives every value of `bar`; otherwise what disagrees at the closest second.
    std::vector<std::string> checkBar(const std::string& symbol, int seconds, std::int64_t latest,
                                      const BarRead& bar);

private:
    struct Symbol;
    Symbol& symbolOf(const std::string& symbol);

    std::map<std::string, std::unique_ptr<Symbol>> symbols_;
};

// Feed seconds of a calendar record (the plug-in's getTime).
std::int64_t feedSecondsOf(int year, int month, int day, int hour, int minute, int second);

}  // namespace soak
