#include "replay/state.h"

#include <variant>

namespace replay {

std::string querySymbol(const std::string& query) { return query.substr(0, query.find(',')); }

bool isMinuteQuery(const std::string& query) {
    const std::size_t comma = query.find(',');
    return comma != std::string::npos && query.compare(comma, std::string::npos, ",1") == 0;
}

void MarketState::clear() {
    quotes_.clear();
    windows_.clear();
    minutes_.clear();
    written_.clear();
}

void MarketState::startAt(std::int64_t timeNs) {
    quotes_.clear();
    windows_.clear();
    for (auto& [symbol, written] : written_) {
        auto& bars = minutes_[symbol];
        for (auto it = written.begin(); it != written.end();) {
            if (it->second > timeNs) {
                bars.erase(it->first);
                it = written.erase(it);
            } else {
                ++it;
            }
        }
    }
}

MarketState::Applied MarketState::apply(const wire::Record& record) {
    if (record.type != wire::RecordType::Update && record.type != wire::RecordType::KeyframeEntry) return Applied::Ignored;
    if (!record.message) return Applied::Ignored;
    if (const auto* quote = std::get_if<wire::Quote>(&*record.message)) {
        applyQuote(*quote, quote->image || record.type == wire::RecordType::KeyframeEntry);
        return Applied::Quote;
    }
    if (const auto* stream = std::get_if<wire::Stream>(&*record.message))
        return applyStream(*stream, record.timeNs) ? Applied::Stream : Applied::Ignored;
    return Applied::Ignored;
}

void MarketState::applyQuote(const wire::Quote& quote, bool image) {
    QuoteImage& q = quotes_[quote.symbol];
    if (image) q.has.reset();
    for (const wire::FieldValue& field : quote.fields) {
        if (field.id >= kFieldIds) continue;
        q.value[field.id] = field.value;
        q.has.set(field.id);
    }
    q.tradeTime = quote.tradeTime;
}

bool MarketState::applyStream(const wire::Stream& stream, std::int64_t timeNs) {
    if (stream.full) {
        Window& w = windows_[stream.query];
        w.origin = stream.origin;
        w.bars = stream.bars;
    } else {
        auto found = windows_.find(stream.query);
        if (found == windows_.end() || found->second.bars.empty() || stream.bars.empty() ||
            found->second.newest() != stream.newest)
            return false;
        found->second.bars.back() = stream.bars.back();
    }
    if (isMinuteQuery(stream.query)) keepMinutes(querySymbol(stream.query), stream.bars, timeNs);
    return true;
}

void MarketState::keepMinutes(const std::string& symbol, const std::vector<wire::Bar>& bars, std::int64_t timeNs) {
    auto& kept = minutes_[symbol];
    auto& written = written_[symbol];
    for (const wire::Bar& bar : bars) {
        kept[bar.start] = bar;
        written[bar.start] = timeNs;
    }
    while (kept.size() > kMaxMinuteBars) {
        written.erase(kept.begin()->first);
        kept.erase(kept.begin());
    }
}

const QuoteImage* MarketState::quote(const std::string& symbol) const {
    const auto found = quotes_.find(symbol);
    return found == quotes_.end() ? nullptr : &found->second;
}

const Window* MarketState::window(const std::string& query) const {
    const auto found = windows_.find(query);
    return found == windows_.end() ? nullptr : &found->second;
}

const std::map<std::uint32_t, wire::Bar>* MarketState::minutes(const std::string& symbol) const {
    const auto found = minutes_.find(symbol);
    return found == minutes_.end() || found->second.empty() ? nullptr : &found->second;
}

}  // namespace replay
