// The market as the recording says it was: each symbol's quote image and
// each recorded stream's window, rebuilt from the records read so far, and
// every symbol's minute bars (from its recorded `SYM,1` stream) for the
// streams and histories of other intervals.
//
// Rebuilding the state at a time T: clear() (or startAt() to keep the
// minute bars that had closed), then the entries of the last complete
// keyframe at or before T, then the updates after it up to T. A keyframe
// entry is an image (a quote with every field, a stream's whole window); an
// update is what the gateway published live.
//
// Not thread-safe: the replay client keeps it under its state lock.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "wire/record.h"
#include "wire/wire.h"

namespace replay {

constexpr int kFieldIds = wire::kMaxFieldId + 1;
// Minute bars kept per symbol: about two weeks of a market open around the clock.
constexpr std::size_t kMaxMinuteBars = 20000;

struct QuoteImage {
    std::uint32_t tradeTime = 0;
    std::bitset<kFieldIds> has;
    double value[kFieldIds] = {};
};

struct Window {
    std::int64_t origin = 0;  // index of bars.front()
    std::vector<wire::Bar> bars;
    std::int64_t newest() const { return origin + static_cast<std::int64_t>(bars.size()) - 1; }
};

// The symbol of a stream's query text ("SYM,1" -> "SYM"), and whether the
// query is a symbol's minute stream.
std::string querySymbol(const std::string& query);
bool isMinuteQuery(const std::string& query);

class MarketState {
public:
    enum class Applied { Quote, Stream, Ignored };

    // Forgets everything, the minute bars too.
    void clear();
    // Forgets the quotes and windows, and every minute bar written by a
    // record after `timeNs` (the recording's clock): what a keyframe at that
    // time (re)supplies. Bar times are the feed's and need not be the
    // recording's, so what was known at a time is told by when the recording
    // said it, never by the bars' own times.
    void startAt(std::int64_t timeNs);
    // Applies an Update or KeyframeEntry record's message. Ignored: another
    // record type, or a stream update for a bar the window does not hold
    // (logged by the caller; the next image puts it right).
    Applied apply(const wire::Record& record);

    const QuoteImage* quote(const std::string& symbol) const;
    const Window* window(const std::string& query) const;
    // The minute bars of `symbol` by start time; null when none.
    const std::map<std::uint32_t, wire::Bar>* minutes(const std::string& symbol) const;

private:
    void applyQuote(const wire::Quote& quote, bool image);
    bool applyStream(const wire::Stream& stream, std::int64_t timeNs);
    void keepMinutes(const std::string& symbol, const std::vector<wire::Bar>& bars, std::int64_t timeNs);

    std::map<std::string, QuoteImage> quotes_;
    std::map<std::string, Window> windows_;
    std::map<std::string, std::map<std::uint32_t, wire::Bar>> minutes_;
    // For each of minutes_'s bars, the time of the record that last wrote it.
    std::map<std::string, std::map<std::uint32_t, std::int64_t>> written_;
};

}  // namespace replay
