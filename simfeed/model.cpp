// The deterministic market model of the stand-in feed.
#include "simfeed/model.h"

#include <algorithm>
#include <cmath>

#include "simfeed/calendar.h"
#include "simfeed/price.h"

namespace simfeed {
namespace {

constexpr int kMinutes = 1440;
constexpr std::size_t kPathCacheSize = 4;
constexpr double kMeanReversion = 0.003;  // per day, towards the base price
constexpr double kBlockSize = 10000;
constexpr int kYearDays = 252;

// Salts that keep the random streams of one instrument apart.
enum Salt : std::uint64_t { kBase = 1, kSigma, kVolume, kDay, kMinute, kMinuteVolume, kQuote, kFundamental };

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t hashOf(std::uint64_t seed, std::uint64_t salt, std::int64_t a = 0, std::int64_t b = 0) {
    return mix(mix(mix(seed ^ salt) ^ static_cast<std::uint64_t>(a)) ^ static_cast<std::uint64_t>(b));
}

// Uniform in [0, 1).
double uniform(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// Roughly standard normal: the sum of four uniforms, rescaled.
double normal(std::uint64_t h) {
    double sum = 0;
    for (int i = 0; i < 4; ++i) {
        h = mix(h);
        sum += uniform(h);
    }
    return (sum - 2.0) * std::sqrt(3.0);
}

// Offset of `time` into its day split into the minute index (0-1439) and the
// fraction of that minute (0-1; 1 only at the day's end).
void splitMinute(double offset, int& minute, double& fraction) {
    minute = std::min(kMinutes - 1, std::max(0, static_cast<int>(offset / 60.0)));
    fraction = std::min(1.0, std::max(0.0, (offset - minute * 60.0) / 60.0));
}

// Fundamentals: constants drawn once per instrument from these ranges.
struct FundamentalRange {
    std::uint8_t id;
    double low, high;
    bool whole;  // rounded to an integer
};
constexpr FundamentalRange kFundamentals[] = {
    {field::Beta, 0.4, 1.8, false},          {field::SharesOutstanding, 2e7, 3e9, true},
    {field::Float, 1e7, 2.5e9, true},        {field::Dividend, 0.0, 3.0, false},
    {69, 0.5, 25.0, false},                   {70, 20.0, 90.0, false},
    {71, 1e5, 5e7, true},                     {72, 1e5, 5e7, true},
    {73, 0.5, 9.0, false},                    {74, 0.5, 12.0, false},
    {75, 2.0, 80.0, false},                   {76, -5.0, 40.0, false},
    {77, -2.0, 20.0, false},                  {78, 10.0, 70.0, false},
    {79, -5.0, 35.0, false},                  {80, -5.0, 30.0, false},
    {81, 100.0, 999.0, true},                 {84, 1.0, 20.0, false},
    {85, 0.2, 2.5, false},                    {86, 2.0, 15.0, false},
    {87, 1e5, 9e5, true},                     {field::EarningsPerSh, 0.2, 12.0, false},
    {89, -10.0, 30.0, false},                 {90, -20.0, 40.0, false},
    {91, 0.0, 2.5, false},                    {92, 0.0, 2.0, false},
    {93, 0.6, 3.5, false},                    {94, 0.3, 2.5, false},
    {95, 0.0, 5e5, true},                     {96, 0.0, 2e6, true},
    {97, 2.0, 60.0, false},
};
// Financial statements are dated at the end of 2025 for every instrument.
constexpr double kFinancialsDate = static_cast<double>(secondsFromCivil(2025, 12, 31, 0, 0, 0));

std::int64_t dayOf(double time) { return floorDiv(static_cast<std::int64_t>(std::floor(time)), kSecondsPerDay); }

// The trading index of the last close before `day` opens (or, on a day
// without trading, the close it keeps).
std::int64_t previousCloseIndex(std::int64_t day) { return tradingIndex(day) - (isTradingDay(day) ? 1 : 0); }

}  // namespace


struct Instrument::DayPath {
    double price[kMinutes + 1];       // at each minute boundary, cents
    double cumVolume[kMinutes + 1];   // volume traded since midnight
    double cumValue[kMinutes + 1];    // price times volume since midnight
};

std::uint64_t symbolSeed(const std::string& symbol) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : symbol) h = (h ^ c) * 0x100000001B3ull;
    return h;
}

Instrument::Instrument(std::string symbol)
    : seed_(symbolSeed(symbol)),
      basePrice_(5.0 + 295.0 * uniform(hashOf(seed_, kBase))),
      dailySigma_(0.008 + 0.017 * uniform(hashOf(seed_, kSigma))),
      dailyVolume_(std::round(3e5 + 8e6 * uniform(hashOf(seed_, kVolume)))) {
    fillFundamentals();
}

void Instrument::fillFundamentals() {
    for (const auto& range : kFundamentals) {
        double v = range.low + (range.high - range.low) * uniform(hashOf(seed_, kFundamental, range.id));
        v = range.whole ? std::round(v) : std::round(v * 100.0) / 100.0;
        fundamentals_.value[range.id] = v;
        fundamentals_.has[range.id] = true;
    }
    fundamentals_.value[field::FinancialsDate] = kFinancialsDate;
    fundamentals_.has[field::FinancialsDate] = true;
    fundamentals_.value[field::AvgVol65] = dailyVolume_;
    fundamentals_.has[field::AvgVol65] = true;
}

Instrument::~Instrument() = default;

// ---- The model ------------------------------------------------------------

double Instrument::logClose(std::int64_t index) {
    const double base = std::log(basePrice_);
    if (index < 0) return base;
    while (static_cast<std::int64_t>(logCloses_.size()) <= index) {
        const auto d = static_cast<std::int64_t>(logCloses_.size());
        const double previous = d == 0 ? base : logCloses_.back();
        const double step = dailySigma_ * normal(hashOf(seed_, kDay, d)) - kMeanReversion * (previous - base);
        logCloses_.push_back(previous + step);
    }
    return logCloses_[static_cast<std::size_t>(index)];
}

const Instrument::DayPath& Instrument::dayPath(std::int64_t index) {
    for (auto& entry : paths_)
        if (entry.first == index) return *entry.second;
    auto path = std::make_unique<DayPath>();
    const double open = logClose(index - 1);
    const double close = logClose(index);
    const double sigma = dailySigma_ / std::sqrt(static_cast<double>(kMinutes));
    std::vector<double> walk(kMinutes + 1, 0.0);
    for (int i = 1; i <= kMinutes; ++i) walk[i] = walk[i - 1] + sigma * normal(hashOf(seed_, kMinute, index, i));
    // A bridge: the walk, bent so that it ends exactly at the day's close.
    const double bend = walk[kMinutes] - (close - open);
    for (int i = 0; i <= kMinutes; ++i)
        path->price[i] = cents(std::exp(open + walk[i] - bend * i / kMinutes));
    path->price[0] = cents(std::exp(open));
    path->price[kMinutes] = cents(std::exp(close));
    path->cumVolume[0] = path->cumValue[0] = 0;
    for (int i = 0; i < kMinutes; ++i) {
        const double share = 0.25 + 1.5 * uniform(hashOf(seed_, kMinuteVolume, index, i));
        const double volume = std::floor(dailyVolume_ / kMinutes * share);
        path->cumVolume[i + 1] = path->cumVolume[i] + volume;
        path->cumValue[i + 1] = path->cumValue[i] + volume * (path->price[i] + path->price[i + 1]) / 2.0;
    }
    if (paths_.size() >= kPathCacheSize) paths_.erase(paths_.begin());
    paths_.emplace_back(index, std::move(path));
    return *paths_.back().second;
}

const Instrument::DaySummary& Instrument::daySummary(std::int64_t index) {
    auto found = summaries_.find(index);
    if (found != summaries_.end()) return found->second;
    const DayPath& path = dayPath(index);
    const auto [low, high] = std::minmax_element(std::begin(path.price), std::end(path.price));
    return summaries_.emplace(index, DaySummary{*high, *low, path.cumVolume[kMinutes]}).first->second;
}

std::optional<Instrument::PathPoint> Instrument::pointAt(double time) {
    const std::int64_t day = dayOf(time);
    if (!isTradingDay(day)) return std::nullopt;
    PathPoint point{&dayPath(tradingIndex(day)), 0, 0.0};
    splitMinute(time - static_cast<double>(day * kSecondsPerDay), point.minute, point.fraction);
    return point;
}

double Instrument::priceLocked(double time) {
    time = std::max(0.0, time);
    const std::optional<PathPoint> at = pointAt(time);
    // A day without trading keeps the last close.
    if (!at) return dayPath(tradingIndex(dayOf(time))).price[kMinutes];
    const double* price = at->path->price;
    return cents(price[at->minute] + at->fraction * (price[at->minute + 1] - price[at->minute]));
}

double Instrument::volumeLocked(double time) {
    const std::optional<PathPoint> at = pointAt(time);
    if (!at) return 0;
    const double* volume = at->path->cumVolume;
    return volume[at->minute] + std::floor(at->fraction * (volume[at->minute + 1] - volume[at->minute]));
}

double Instrument::valueLocked(double time) {
    const std::optional<PathPoint> at = pointAt(time);
    if (!at) return 0;
    const double* value = at->path->cumValue;
    return value[at->minute] + at->fraction * (value[at->minute + 1] - value[at->minute]);
}

double Instrument::priceAt(double time) {
    std::lock_guard<std::mutex> lock(cacheLock_);
    return priceLocked(time);
}

void Instrument::extendLocked(Bar& bar, double from, double to) {
    if (to <= from) return;
    const auto firstDay = floorDiv(static_cast<std::int64_t>(std::floor(from)), kSecondsPerDay);
    const auto lastDay = floorDiv(static_cast<std::int64_t>(std::ceil(to)) - 1, kSecondsPerDay);
    for (std::int64_t day = firstDay; day <= lastDay; ++day) {
        const double dayStart = static_cast<double>(day * kSecondsPerDay);
        const double begin = std::max(from, dayStart);
        const double end = std::min(to, dayStart + kSecondsPerDay);
        if (end <= begin || !isTradingDay(day)) continue;  // no trading: the price stays, nothing trades
        if (begin == dayStart && end == dayStart + kSecondsPerDay) {
            const DaySummary& summary = daySummary(tradingIndex(day));
            bar.high = std::max(bar.high, summary.high);
            bar.low = std::min(bar.low, summary.low);
            bar.volume += summary.volume;
            continue;
        }
        const DayPath& path = dayPath(tradingIndex(day));
        const int firstMinute = static_cast<int>(std::floor((begin - dayStart) / 60.0)) + 1;
        const int lastMinute = static_cast<int>(std::ceil((end - dayStart) / 60.0)) - 1;
        for (int i = firstMinute; i <= lastMinute; ++i) {
            bar.high = std::max(bar.high, path.price[i]);
            bar.low = std::min(bar.low, path.price[i]);
        }
        const double endPrice = priceLocked(end);
        bar.high = std::max(bar.high, endPrice);
        bar.low = std::min(bar.low, endPrice);
        // Volume up to the day's end is the whole day, not the next day's start.
        const double endVolume = end == dayStart + kSecondsPerDay ? path.cumVolume[kMinutes] : volumeLocked(end);
        bar.volume += endVolume - volumeLocked(begin);
    }
    bar.close = priceLocked(to);
}

void Instrument::extendBar(Bar& bar, double from, double to) {
    std::lock_guard<std::mutex> lock(cacheLock_);
    extendLocked(bar, from, to);
}

Bar Instrument::makeBar(std::int64_t start, std::int64_t end, double upTo) {
    std::lock_guard<std::mutex> lock(cacheLock_);
    Bar bar;
    bar.start = start;
    bar.end = end;
    bar.open = bar.high = bar.low = bar.close = priceLocked(static_cast<double>(start));
    extendLocked(bar, static_cast<double>(start), std::min(static_cast<double>(end), upTo));
    return bar;
}

std::vector<std::int64_t> Instrument::barStarts(const Interval& interval, double time, int count) {
    std::vector<std::int64_t> starts;
    std::int64_t start = std::max<std::int64_t>(0, barStart(interval, static_cast<std::int64_t>(std::floor(time))));
    while (static_cast<int>(starts.size()) < count) {
        starts.push_back(start);
        if (start <= 0) break;  // the model begins on 1970-01-01
        start = std::max<std::int64_t>(0, barStart(interval, start - 1));
    }
    std::reverse(starts.begin(), starts.end());
    return starts;
}

// ---- The live quote ---------------------------------------------------------

void Instrument::openDay(double time) {
    std::lock_guard<std::mutex> lock(cacheLock_);
    LiveState& s = live_;
    s.day = dayOf(time);
    const double dayStart = static_cast<double>(s.day * kSecondsPerDay);
    Bar today;
    today.open = today.high = today.low = priceLocked(dayStart);
    extendLocked(today, dayStart, time);
    s.dayOpen = today.open;
    s.high = today.high;
    s.low = today.low;
    s.dayVolume = volumeLocked(time);
    s.dayValue = valueLocked(time);
    // The last kYearDays closes, up to the one this day opens at.
    const std::int64_t lastClose = previousCloseIndex(s.day);
    s.yearHigh = s.yearLow = std::exp(logClose(lastClose));
    for (std::int64_t i = std::max<std::int64_t>(0, lastClose + 1 - kYearDays); i < lastClose; ++i) {
        s.yearHigh = std::max(s.yearHigh, std::exp(logClose(i)));
        s.yearLow = std::min(s.yearLow, std::exp(logClose(i)));
    }
    s.yearHigh = cents(s.yearHigh);
    s.yearLow = cents(s.yearLow);
    s.tickCount = s.upTicks = s.dnTicks = s.upVolume = s.dnVolume = s.upValue = s.dnValue = 0;
    s.blockVolume = s.blockTrades = 0;
}

void Instrument::startLive(double time) {
    LiveState& s = live_;
    openDay(time);
    const double price = priceAt(time);
    std::fill(std::begin(s.trades), std::end(s.trades), price);
    s.lastTime = time;
    s.tick = 0;
    s.tradeSize = 0;
    const std::uint64_t h = hashOf(seed_, kQuote, static_cast<std::int64_t>(time * 1000));
    s.bid = cents(price - 0.01);
    s.ask = cents(price + 0.01);
    s.bidSize = s.askSize = 100.0 * static_cast<double>(1 + h % 20);
    std::fill(std::begin(s.exchange), std::end(s.exchange), 1.0);
    s.active = true;
    fillQuote(s.quote);
}

bool Instrument::trade(double time, std::vector<std::uint8_t>& changed) {
    LiveState& s = live_;
    changed.clear();
    if (!s.active || time <= s.lastTime) return false;
    const auto day = dayOf(time);
    // A trade never spans a minute's start: the first one after it carries
    // the volume since then, so a bar opens with its first trade's volume.
    const double minuteStart = std::floor(time / 60.0) * 60.0;
    const bool newMinute = minuteStart > s.lastTime && time > minuteStart;
    double price, volume, value, volumeBefore = 0;
    {
        std::lock_guard<std::mutex> lock(cacheLock_);
        if (day == s.day) {
            Bar range;
            range.high = s.high;
            range.low = s.low;
            extendLocked(range, s.lastTime, time);
            s.high = range.high;
            s.low = range.low;
        }
        price = priceLocked(time);
        volume = volumeLocked(time);
        value = valueLocked(time);
        if (newMinute) volumeBefore = volumeLocked(minuteStart);
    }
    if (day != s.day) {
        openDay(time);
        s.dayVolume = 0;  // the day's first trade carries the volume since midnight
        s.dayValue = 0;
    }
    const double size = volume - std::max(s.dayVolume, volumeBefore);
    if (size <= 0) return false;  // too little time passed for a whole share
    s.lastTime = time;
    s.tick = price > s.trades[0] ? 1 : price < s.trades[0] ? -1 : s.tick;
    std::copy_backward(std::begin(s.trades), std::end(s.trades) - 1, std::end(s.trades));
    s.trades[0] = price;
    s.tradeSize = size;
    s.dayVolume = volume;
    s.dayValue = value;
    s.tickCount += 1;
    (s.tick >= 0 ? s.upTicks : s.dnTicks) += 1;
    (s.tick >= 0 ? s.upVolume : s.dnVolume) += size;
    (s.tick >= 0 ? s.upValue : s.dnValue) += size * price;
    if (size >= kBlockSize) {
        s.blockVolume += size;
        s.blockTrades += 1;
    }
    const std::uint64_t h = hashOf(seed_, kQuote, static_cast<std::int64_t>(time * 1000));
    const double spread = 0.01 * static_cast<double>(1 + h % 4);
    s.bid = cents(s.tick >= 0 ? price - spread : price);
    s.ask = cents(s.bid + spread);
    s.bidSize = 100.0 * static_cast<double>(1 + (h >> 8) % 50);
    s.askSize = 100.0 * static_cast<double>(1 + (h >> 16) % 50);
    s.exchange[0] = static_cast<double>(1 + (h >> 24) % 9);
    s.exchange[(h >> 32) % 4 + 1] = static_cast<double>(1 + (h >> 40) % 9);

    const Quote before = s.quote;
    fillQuote(s.quote);
    for (int id = 0; id < kFieldCount; ++id)
        if (before.has[id] != s.quote.has[id] || before.value[id] != s.quote.value[id])
            changed.push_back(static_cast<std::uint8_t>(id));
    return true;
}

}  // namespace simfeed
