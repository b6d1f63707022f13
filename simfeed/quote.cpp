// The live quote's snapshot image: every field of the instrument's quote,
// derived from its live state and its fundamentals.
#include <algorithm>
#include <cmath>

#include "simfeed/model.h"
#include "simfeed/price.h"

namespace simfeed {

void Instrument::fillQuote(Quote& q) const {
    const LiveState& s = live_;
    q = fundamentals_;
    auto set = [&q](int id, double v) {
        q.value[id] = v;
        q.has[id] = true;
    };
    const double price = s.trades[0];
    // The day opens at the previous day's close: the model has no overnight gaps.
    set(field::Open, s.dayOpen);
    set(field::Yest, s.dayOpen);
    set(field::Settle, s.dayOpen);
    set(field::Net, std::round((price - s.dayOpen) * 100.0) / 100.0);
    set(field::NetPct, std::round((price - s.dayOpen) / s.dayOpen * 10000.0) / 100.0);
    set(field::TradeTime, std::floor(s.lastTime));
    q.tradeTime = static_cast<std::uint32_t>(std::floor(s.lastTime));
    set(field::Trade, price);
    for (int i = 1; i < 5; ++i) set(field::Trade2 + i - 1, s.trades[i]);
    set(field::High, s.high);
    set(field::Low, s.low);
    set(field::Tick, s.tick);
    set(field::Bid, s.bid);
    set(field::Ask, s.ask);
    set(field::BBid, s.bid);
    set(field::BAsk, s.ask);
    set(field::BidAskSpread, cents(s.ask - s.bid));
    set(field::Volume, s.dayVolume);
    set(field::TradeSize, s.tradeSize);
    set(field::BidSize, s.bidSize);
    set(field::AskSize, s.askSize);
    set(field::BBidSize, s.bidSize);
    set(field::BAskSize, s.askSize);
    for (int i = 0; i < 5; ++i) set(field::TradeExg + i, s.exchange[i]);
    set(field::TickVol, s.tickCount);
    set(field::YearHi, std::max(s.yearHigh, s.high));
    set(field::YearLo, std::min(s.yearLow, s.low));
    const double range = s.high - s.low;
    set(field::TradeInRangePct, range > 0 ? std::round((price - s.low) / range * 10000.0) / 100.0 : 50.0);
    const double yearRange = std::max(s.yearHigh, s.high) - std::min(s.yearLow, s.low);
    set(field::TradeInYearlyRange,
        yearRange > 0 ? std::round((price - std::min(s.yearLow, s.low)) / yearRange * 10000.0) / 100.0 : 50.0);
    set(field::BlockVolume, s.blockVolume);
    set(field::BlockTrades, s.blockTrades);
    set(field::VolAtAsk, s.upVolume);
    set(field::VolAtBid, s.dnVolume);
    set(field::TickVolAtAsk, s.upTicks);
    set(field::TickVolAtBid, s.dnTicks);
    set(field::TickMagnitude, std::round(std::fabs(price - s.trades[1]) * 100.0) / 100.0);
    set(field::ValueAtAsk, std::round(s.upValue));
    set(field::ValueAtBid, std::round(s.dnValue));
    set(field::UpTickVol, s.upVolume);
    set(field::UpTicks, s.upTicks);
    set(field::UpTickValue, std::round(s.upValue));
    set(field::DnTickVol, s.dnVolume);
    set(field::DnTicks, s.dnTicks);
    set(field::DnTickValue, std::round(s.dnValue));
    set(field::MoneyFlow, std::round(s.upValue - s.dnValue));
    set(field::DayValue, std::round(s.dayValue));
    set(field::VWAP, s.dayVolume > 0 ? std::round(s.dayValue / s.dayVolume * 10000.0) / 10000.0 : price);
    set(field::MarketCapitalization, std::round(price * fundamentals_.value[field::SharesOutstanding]));
    set(field::PERatio, std::round(price / fundamentals_.value[field::EarningsPerSh] * 100.0) / 100.0);
    set(field::DividendYield, std::round(fundamentals_.value[field::Dividend] / price * 10000.0) / 100.0);
}

}  // namespace simfeed
