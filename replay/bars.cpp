#include "replay/bars.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace replay {

namespace {

using MinuteIt = std::map<std::uint32_t, wire::Bar>::const_iterator;

std::vector<wire::Bar> aggregateRange(const simfeed::Interval& interval, MinuteIt from, MinuteIt to,
                                      std::int64_t untilSec) {
    std::vector<wire::Bar> out;
    for (auto it = from; it != to; ++it) {
        const auto& [start, minute] = *it;
        if (static_cast<std::int64_t>(start) > untilSec) break;
        const std::int64_t group = simfeed::barStart(interval, start);
        if (out.empty() || out.back().start != static_cast<std::uint32_t>(group)) {
            wire::Bar bar = minute;
            bar.start = static_cast<std::uint32_t>(group);
            bar.end = static_cast<std::uint32_t>(simfeed::barEnd(interval, group));
            out.push_back(bar);
            continue;
        }
        wire::Bar& bar = out.back();
        bar.high = std::max(bar.high, minute.high);
        bar.low = std::min(bar.low, minute.low);
        bar.close = minute.close;
        bar.volume += minute.volume;
    }
    return out;
}

}  // namespace

std::vector<wire::Bar> aggregate(const simfeed::Interval& interval, const std::map<std::uint32_t, wire::Bar>& minutes,
                                 std::int64_t untilSec) {
    return aggregateRange(interval, minutes.begin(), minutes.end(), untilSec);
}

namespace {

// An upper bound of one bar's length in seconds (day bars span weekends).
std::int64_t spanOf(const simfeed::Interval& interval) {
    const std::int64_t k = interval.multiple;
    switch (interval.unit) {
        case simfeed::BarUnit::Minute: return k * 60;
        case simfeed::BarUnit::Day: return k * 86400 * 2 + 3 * 86400;
        case simfeed::BarUnit::Week: return k * 7 * 86400;
        case simfeed::BarUnit::Month: return k * 31 * 86400;
    }
    return 86400;
}

}  // namespace

std::vector<wire::Bar> recent(const simfeed::Interval& interval, const std::map<std::uint32_t, wire::Bar>& minutes,
                              std::int64_t untilSec, std::size_t count) {
    if (minutes.empty() || count == 0) return {};
    // The last minute at or before untilSec, and the start of the group
    // `count` bars before its own: no earlier minute can be among the result.
    auto last = minutes.upper_bound(static_cast<std::uint32_t>(std::clamp<std::int64_t>(untilSec, 0, UINT32_MAX)));
    if (last == minutes.begin()) return {};
    const std::int64_t newestStart = simfeed::barStart(interval, std::prev(last)->first);
    const std::int64_t back = spanOf(interval) * static_cast<std::int64_t>(std::min<std::size_t>(count, 1u << 20));
    const std::int64_t since = simfeed::barStart(interval, std::max<std::int64_t>(0, newestStart - back));
    std::vector<wire::Bar> bars =
        aggregateRange(interval, minutes.lower_bound(static_cast<std::uint32_t>(since)), last, untilSec);
    if (bars.size() > count) bars.erase(bars.begin(), bars.end() - static_cast<std::ptrdiff_t>(count));
    return bars;
}

std::optional<std::vector<wire::Bar>> historyAsOf(const std::string& query,
                                                  const std::map<std::uint32_t, wire::Bar>* minutes,
                                                  std::int64_t clockSec, int records) {
    const std::optional<simfeed::Query> parsed = simfeed::parseQuery(query);
    if (!parsed || records < 1) return std::nullopt;
    if (minutes == nullptr) return std::vector<wire::Bar>{};
    std::int64_t until = clockSec;
    if (parsed->endTime) until = std::min<std::int64_t>(until, *parsed->endTime);
    return recent(parsed->interval, *minutes, until, static_cast<std::size_t>(records));
}

}  // namespace replay
