// The simulated market of the stand-in feed: one deterministic instrument per
// symbol, seeded from the symbol text, so that every run sees the same prices
// at the same simulated time.
//
// The model is a pure function of time. Each trading day (UTC; Monday to
// Friday, or every day in the 24/7 market, calendar.h) has a closing price
// from a mean-reverting random walk over trading days; inside a trading day
// the price moves minute by minute on a random bridge from the previous close
// to the day's close, and is linear between minute points. Minute volumes are
// random too. On a day without trading the price stays at the last close and
// nothing trades. Bars (history and the forming bar alike) and live trades all
// sample this one path, so history and live data agree: a trade's price always
// lies within the high and low of the bar that holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "simfeed/query.h"

namespace simfeed {

// Snapshot field ids, as numbered by the plug-in's field dictionary.
namespace field {
enum : std::uint8_t {
    Open = 0, High = 1, Low = 2, Trade = 3, Yest = 4, Bid = 6, Ask = 7, BBid = 8, BAsk = 9, Volume = 10,
    OpenInt = 11, TradeSize = 12, BidSize = 13, AskSize = 14, BBidSize = 15, BAskSize = 16, TradeExg = 17,
    BidExg = 18, AskExg = 19, BBidExg = 20, BAskExg = 21, Trade2 = 22, Trade3 = 23, Trade4 = 24, Trade5 = 25,
    TickVol = 26, TradeTime = 27, YearHi = 28, YearLo = 29, AvgVol65 = 31, Title = 32, Symbol = 33, Tick = 34,
    Net = 35, NetPct = 36, TradeInRangePct = 37, BlockVolume = 38, BlockTrades = 39, VolAtAsk = 40,
    VolAtBid = 41,  // the dictionary row of id 41 has no long name
    TickVolAtAsk = 42, TickVolAtBid = 43, TickMagnitude = 44, TradeInYearlyRange = 45, ValueAtAsk = 46,
    ValueAtBid = 47, TradingIndc = 48, DayValue = 49, MoneyFlow = 50, VWAP = 51, UpTickVol = 53, UpTicks = 54,
    UpTickValue = 55, DnTickVol = 56, DnTicks = 57, DnTickValue = 58, Settle = 59, BidAskSpread = 61,
    FinancialsDate = 64, Beta = 65, SharesOutstanding = 66, Float = 67, Dividend = 68, EarningsPerSh = 88,
    MarketCapitalization = 98, PERatio = 99, DividendYield = 100,
};
}  // namespace field

constexpr int kFieldCount = 101;  // ids 0 to 100

// One snapshot image: a numeric value per field id, where the field has one.
struct Quote {
    double value[kFieldCount] = {};
    bool has[kFieldCount] = {};
    std::uint32_t tradeTime = 0;
};

// One bar over [start, end); `open`..`volume` cover the part up to the time
// the bar was last extended to.
struct Bar {
    std::int64_t start = 0;
    std::int64_t end = 0;
    double open = 0, high = 0, low = 0, close = 0, volume = 0;
};

class Instrument {
public:
    explicit Instrument(std::string symbol);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // ---- The model: any thread (caches guarded by cacheLock_) ----
    // Price at a simulated time (seconds since 1970), rounded to a cent.
    double priceAt(double time);
    // A bar of [start, end) holding the model up to min(end, upTo).
    Bar makeBar(std::int64_t start, std::int64_t end, double upTo);
    // Merges the model from `from` (already in the bar) up to `to` into `bar`.
    void extendBar(Bar& bar, double from, double to);
    // The starts of up to `count` bars, oldest first, the newest holding `time`.
    std::vector<std::int64_t> barStarts(const Interval& interval, double time, int count);

    // ---- The live quote: feed thread only ----
    bool isLive() const { return live_.active; }
    void stopLive() { live_.active = false; }
    // Opens the live quote at `time`; the quote then holds every field.
    void startLive(double time);
    // Trades at `time`. False when nothing traded (the clock did not move, or
    // not a whole share traded since the last trade or in this minute).
    // Otherwise `changed` receives the ids whose value changed.
    bool trade(double time, std::vector<std::uint8_t>& changed);
    const Quote& quote() const { return live_.quote; }

private:
    struct DayPath;
    struct DaySummary {
        double high, low, volume;
    };
    struct LiveState {
        bool active = false;
        double lastTime = 0;
        std::int64_t day = -1;
        double trades[5] = {};
        double dayOpen = 0, high = 0, low = 0, yearHigh = 0, yearLow = 0, dayVolume = 0, dayValue = 0;
        double tradeSize = 0, bid = 0, ask = 0, bidSize = 0, askSize = 0;
        int tick = 0;
        double exchange[5] = {};
        double tickCount = 0, upTicks = 0, dnTicks = 0, upVolume = 0, dnVolume = 0, upValue = 0, dnValue = 0;
        double blockVolume = 0, blockTrades = 0;
        Quote quote;
    };

    // All below: cacheLock_ held. Days of the model are trading days, by
    // their trading index (calendar.h).
    double logClose(std::int64_t index);
    const DayPath& dayPath(std::int64_t index);
    const DaySummary& daySummary(std::int64_t index);
    void extendLocked(Bar& bar, double from, double to);
    // A moment on its day's path: the path, the minute it falls in and how
    // far into it; nullopt on a day without trading.
    struct PathPoint {
        const DayPath* path;
        int minute;
        double fraction;
    };
    std::optional<PathPoint> pointAt(double time);
    double priceLocked(double time);
    double volumeLocked(double time);  // volume of the day up to `time`
    double valueLocked(double time);   // traded value of the day up to `time`

    void openDay(double time);
    void fillQuote(Quote& quote) const;  // in quote.cpp
    void fillFundamentals();

    const std::uint64_t seed_;
    const double basePrice_;
    const double dailySigma_;
    const double dailyVolume_;

    std::mutex cacheLock_;
    std::vector<double> logCloses_;                               // cacheLock_; by trading index
    std::vector<std::pair<std::int64_t, std::unique_ptr<DayPath>>> paths_;  // cacheLock_; a few recent days
    std::unordered_map<std::int64_t, DaySummary> summaries_;      // cacheLock_; whole days only

    Quote fundamentals_;  // set in the constructor, constant
    LiveState live_;      // feed thread only
};

// Hash of a symbol text (FNV-1a, 64 bits): the instrument's seed.
std::uint64_t symbolSeed(const std::string& symbol);

}  // namespace simfeed
