// Bars of any interval built from a symbol's recorded minute bars: the
// update streams of intervals the recording does not hold, and histories.
// The calendar is the stand-in feed's (simfeed/query.h: bars aligned to UTC,
// trading days). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "simfeed/query.h"
#include "wire/wire.h"

namespace replay {

// The minute bars starting at or before `untilSec`, grouped into bars of
// `interval`, oldest first: open of the first, close of the last, the
// highest high, the lowest low, the summed volume; start and end from the
// calendar. The last may be forming: it holds the minutes up to `untilSec`.
std::vector<wire::Bar> aggregate(const simfeed::Interval& interval, const std::map<std::uint32_t, wire::Bar>& minutes,
                                 std::int64_t untilSec);

// The newest `count` bars of `interval` from the minute bars starting at or
// before `untilSec` (all when fewer). Reads only the minutes of about those
// bars, so an update stream's window is cheap to rebuild on every minute.
std::vector<wire::Bar> recent(const simfeed::Interval& interval, const std::map<std::uint32_t, wire::Bar>& minutes,
                              std::int64_t untilSec, std::size_t count);

// A history's bars as of `clockSec`: the query's interval aggregated from
// the minute bars, none starting after the query's end time (",&EndETime=")
// or after the clock, the newest `records`. Nullopt for a query that does
// not parse.
std::optional<std::vector<wire::Bar>> historyAsOf(const std::string& query,
                                                  const std::map<std::uint32_t, wire::Bar>* minutes,
                                                  std::int64_t clockSec, int records);

}  // namespace replay
