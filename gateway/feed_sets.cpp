#include "gateway/feed_sets.h"

#include <cinttypes>
#include <cstdio>

namespace gateway {
namespace {

const char* const kBarFields[5] = {"Open", "High", "Low", "Close", "Volume"};

}  // namespace

std::string clientName(std::uint64_t client) {
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, client);
    return text;
}

std::vector<wire::Bar> readBars(TRecordSet* set, bool all, std::int64_t* origin) {
    std::vector<wire::Bar> bars;
    short ix[5];
    for (int i = 0; i < 5; ++i) ix[i] = set->GetFieldIx(kBarFields[i]);
    set->EnterRead();
    if (set->hasRecords != 0) {
        const long first = static_cast<long>(set->firstRecord) - set->recordBase;
        const long last = static_cast<long>(set->lastRecord) - set->recordBase;
        const long from = all ? first : last;
        if (origin != nullptr) *origin = from;
        bars.reserve(static_cast<std::size_t>(last - from + 1));
        for (long k = from; k <= last; ++k) {
            wire::Bar bar;
            FeedTime start = 0, end = 0;
            set->GetETime(k, 1, &start);
            set->GetETime(k, 2, &end);
            bar.start = start;
            bar.end = end;
            double* values[5] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume};
            for (int i = 0; i < 5; ++i) set->GetRecDouble(k, ix[i], values[i]);
            bars.push_back(bar);
        }
    }
    set->LeaveRead();
    return bars;
}

}  // namespace gateway
