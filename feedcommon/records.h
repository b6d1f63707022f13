// The record-set and snapshot conventions both feed clients follow: the
// offset of the record indexes they hand out, the sink mode a record set
// starts with, the events a record set's sink is told, the trade-time field
// id, and the bar accessors behind GetFieldIx, GetRecDouble and GetETime.
// Header only. The accessors read only what they are given: the caller holds
// the lock that guards the bars (the set's `dataLock`, or its only writer).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "feed/TellivarClient.h"

namespace feedcommon {

// Record indexes handed out are offset by this, so that code which forgets
// to subtract `recordBase` reads outside every set.
constexpr std::int32_t kRecordBase = 1000000;
// Record sets follow updates unless the subscriber sets sinkMode to 0.
constexpr std::int32_t kRecordSinkMode = 1;

// Record-set events.
constexpr int kEventLoaded = 1;    // first = -(records asked - 1), second = records asked
constexpr int kEventProgress = 2;  // first = bars loaded so far, second = bars to load
constexpr int kEventUpdate = 3;    // first = index of the newest bar, second = 1 when it is new

// The snapshot field read with GetDWord as a feed time rather than a number.
constexpr short kTradeTimeId = 27;

// A time in seconds clamped to the 32-bit feed-time range.
inline double clampFeedTime(double seconds) { return std::min(4294967295.0, std::max(0.0, seconds)); }

// Record fields of a record set, by GetFieldIx index.
enum RecordField : short { kNoField = -1, kOpen = 1, kHigh, kLow, kClose, kVolume };

inline short recordFieldIndex(const char* name) {
    constexpr std::pair<const char*, RecordField> kFields[] = {
        {"Open", kOpen}, {"High", kHigh}, {"Low", kLow}, {"Close", kClose}, {"Volume", kVolume}};
    if (name == nullptr) return kNoField;
    for (const auto& [fieldName, ix] : kFields)
        if (std::strcmp(name, fieldName) == 0) return ix;
    return kNoField;
}

// The bar of index `record` (offset removed) in bars whose oldest has index
// `origin`; null outside them. `Bar` has start, end, open, high, low, close
// and volume.
template <class Bar>
const Bar* barAt(const std::vector<Bar>& bars, std::int64_t origin, long record) {
    const std::int64_t k = static_cast<std::int64_t>(record) - origin;
    if (k < 0 || k >= static_cast<std::int64_t>(bars.size())) return nullptr;
    return &bars[static_cast<std::size_t>(k)];
}

template <class Bar>
bool recordDouble(const std::vector<Bar>& bars, std::int64_t origin, long record, short field, double* value) {
    const Bar* bar = barAt(bars, origin, record);
    if (value == nullptr || bar == nullptr) return false;
    switch (field) {
        case kOpen: *value = bar->open; return true;
        case kHigh: *value = bar->high; return true;
        case kLow: *value = bar->low; return true;
        case kClose: *value = bar->close; return true;
        case kVolume: *value = bar->volume; return true;
        default: return false;
    }
}

// Kind 1 is the bar's start, kind 2 its end (the next bar's start).
template <class Bar>
bool recordTime(const std::vector<Bar>& bars, std::int64_t origin, long record, int kind, FeedTime* time) {
    const Bar* bar = barAt(bars, origin, record);
    if (time == nullptr || bar == nullptr || (kind != 1 && kind != 2)) return false;
    *time = static_cast<FeedTime>(clampFeedTime(static_cast<double>(kind == 1 ? bar->start : bar->end)));
    return true;
}

// The set's public members after its bars changed: whether it has any, and
// the offset indexes of the oldest and the newest.
inline void setRecordMembers(TRecordSet& set, std::size_t count, std::int64_t origin) {
    set.hasRecords = count == 0 ? 0 : 1;
    set.firstRecord = static_cast<std::int32_t>(kRecordBase + origin);
    set.lastRecord = static_cast<std::int32_t>(kRecordBase + origin + static_cast<std::int64_t>(count) - 1);
}

}  // namespace feedcommon
