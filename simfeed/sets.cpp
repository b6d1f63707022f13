// The stand-in feed's sets and their registry.
#include "simfeed/sets.h"

#include <cstring>
#include <utility>

#include "simfeed/client.h"

namespace simfeed {
namespace {

// History answered at once: long intervals, and intraday up to this many bars.
constexpr int kImmediateBars = 1000;
constexpr std::int32_t kRecordSinkMode = 1;  // sets follow trades unless the subscriber sets 0

// Record fields of a record set, by GetFieldIx index.
enum RecordField : short { kNoField = -1, kOpen = 1, kHigh, kLow, kClose, kVolume };
constexpr std::pair<const char*, RecordField> kRecordFields[] = {
    {"Open", kOpen}, {"High", kHigh}, {"Low", kLow}, {"Close", kClose}, {"Volume", kVolume}};

}  // namespace

// ---- Snapshot sets -------------------------------------------------------------

bool SimSnapshotSet::Init() {
    client->initSnapshot(this);
    return true;
}

bool SimSnapshotSet::GetDouble(short id, double* value) {
    if (value == nullptr || id < 0 || id >= kFieldCount || !data.has[id]) return false;
    *value = data.value[id];
    return true;
}

bool SimSnapshotSet::GetDWord(short id, FeedTime* value) {
    if (value == nullptr || id < 0 || id >= kFieldCount || !data.has[id]) return false;
    *value = id == field::TradeTime ? data.tradeTime : static_cast<FeedTime>(clampFeedTime(data.value[id]));
    return true;
}

void SimSnapshotSet::takeQuote() {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    data = instrument->quote();
}

// ---- Record sets ---------------------------------------------------------------

SimRecordSet::SimRecordSet(SimClient* client, Instrument* instrument, Query query)
    : client(client), instrument(instrument), query(std::move(query)) {
    sinkMode = kRecordSinkMode;
    recordBase = kRecordBase;
}

void SimRecordSet::SetSink(ITRecSetSink* newSink) { client->setSink(this, newSink); }

int SimRecordSet::Init(int records, unsigned long) { return client->initRecordSet(this, records); }

short SimRecordSet::GetFieldIx(const char* name) {
    if (name == nullptr) return kNoField;
    for (const auto& [fieldName, ix] : kRecordFields)
        if (std::strcmp(name, fieldName) == 0) return ix;
    return kNoField;
}

bool SimRecordSet::GetRecDouble(long record, short fieldIx, double* value) {
    const std::int64_t k = static_cast<std::int64_t>(record) - origin;
    if (value == nullptr || k < 0 || k >= static_cast<std::int64_t>(bars.size())) return false;
    const Bar& bar = bars[static_cast<std::size_t>(k)];
    switch (fieldIx) {
        case kOpen: *value = bar.open; return true;
        case kHigh: *value = bar.high; return true;
        case kLow: *value = bar.low; return true;
        case kClose: *value = bar.close; return true;
        case kVolume: *value = bar.volume; return true;
        default: return false;
    }
}

// Kind 1 is the bar's start, kind 2 its end (the next bar's start).
bool SimRecordSet::GetETime(long record, int kind, FeedTime* time) {
    const std::int64_t k = static_cast<std::int64_t>(record) - origin;
    if (time == nullptr || k < 0 || k >= static_cast<std::int64_t>(bars.size())) return false;
    const Bar& bar = bars[static_cast<std::size_t>(k)];
    if (kind != 1 && kind != 2) return false;
    *time = static_cast<FeedTime>(clampFeedTime(static_cast<double>(kind == 1 ? bar.start : bar.end)));
    return true;
}

std::vector<Bar> SimRecordSet::makeBars(std::vector<std::int64_t>::const_iterator first,
                                        std::vector<std::int64_t>::const_iterator last, double upTo) const {
    std::vector<Bar> made;
    made.reserve(static_cast<std::size_t>(last - first));
    for (auto start = first; start != last; ++start)
        made.push_back(instrument->makeBar(*start, barEnd(query.interval, *start), upTo));
    return made;
}

bool SimRecordSet::answersAtOnce() const {
    return isLongInterval(query.interval) || requested <= kImmediateBars;
}

double SimRecordSet::historyEnd(double now) const {
    return query.endTime ? std::min<double>(*query.endTime, now) : now;
}

void SimRecordSet::publish(std::vector<Bar> records, std::int64_t newOrigin) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars = std::move(records);
    origin = newOrigin;
    updateMembers();
}

void SimRecordSet::append(const std::vector<Bar>& records) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars.insert(bars.end(), records.begin(), records.end());
    updateMembers();
}

void SimRecordSet::updateMembers() {
    hasRecords = bars.empty() ? 0 : 1;
    firstRecord = static_cast<std::int32_t>(kRecordBase + origin);
    lastRecord = static_cast<std::int32_t>(kRecordBase + origin + static_cast<std::int64_t>(bars.size()) - 1);
}

// ---- The registry ----------------------------------------------------------------

SetRegistry::~SetRegistry() {
    freeRetired();
    for (SimSnapshotSet* set : snapshots_) delete set;
    for (SimRecordSet* set : recordSets_) delete set;
}

void SetRegistry::freeRetired() {
    for (SimSnapshotSet* set : retiredSnapshots_) delete set;
    for (SimRecordSet* set : retiredRecordSets_) delete set;
    retiredSnapshots_.clear();
    retiredRecordSets_.clear();
}

bool SetRegistry::anyLoadPending() const {
    return std::any_of(recordSets_.begin(), recordSets_.end(),
                       [](const SimRecordSet* s) { return s->load == SimRecordSet::Load::Pending; });
}

bool SetRegistry::anyImageDue() const {
    return std::any_of(snapshots_.begin(), snapshots_.end(), [](const SimSnapshotSet* s) { return s->needsImage; });
}

void SetRegistry::requestImages() {
    for (SimSnapshotSet* set : snapshots_) set->needsImage = set->initialised;
}

std::vector<Instrument*> SetRegistry::followedInstruments(bool withImageDue) const {
    std::vector<Instrument*> followed;
    for (const SimSnapshotSet* set : snapshots_)
        if (set->initialised && (withImageDue || !set->needsImage)) followed.push_back(set->instrument);
    for (const SimRecordSet* set : recordSets_)
        if (set->live && set->load == SimRecordSet::Load::Done) followed.push_back(set->instrument);
    return followed;
}

}  // namespace simfeed
