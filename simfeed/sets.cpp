// The stand-in feed's sets and their registry.
#include "simfeed/sets.h"

#include <utility>

#include "simfeed/client.h"

namespace simfeed {
namespace {

// History answered at once: long intervals, and intraday up to this many bars.
constexpr int kImmediateBars = 1000;

static_assert(field::TradeTime == feedcommon::kTradeTimeId, "the model's trade time is the contract's");

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
    *value = id == feedcommon::kTradeTimeId ? data.tradeTime : static_cast<FeedTime>(clampFeedTime(data.value[id]));
    return true;
}

void SimSnapshotSet::takeQuote() {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    data = instrument->quote();
}

// ---- Record sets ---------------------------------------------------------------

SimRecordSet::SimRecordSet(SimClient* client, Instrument* instrument, Query query)
    : client(client), instrument(instrument), query(std::move(query)) {
    sinkMode = feedcommon::kRecordSinkMode;
    recordBase = feedcommon::kRecordBase;
}

void SimRecordSet::SetSink(ITRecSetSink* newSink) { client->setSink(this, newSink); }

int SimRecordSet::Init(int records, unsigned long) { return client->initRecordSet(this, records); }

short SimRecordSet::GetFieldIx(const char* name) { return feedcommon::recordFieldIndex(name); }

bool SimRecordSet::GetRecDouble(long record, short fieldIx, double* value) {
    return feedcommon::recordDouble(bars, origin, record, fieldIx, value);
}

bool SimRecordSet::GetETime(long record, int kind, FeedTime* time) {
    return feedcommon::recordTime(bars, origin, record, kind, time);
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

void SimRecordSet::updateMembers() { feedcommon::setRecordMembers(*this, bars.size(), origin); }

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
