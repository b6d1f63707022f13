// The NATS feed client's sets: what a host reads of them, under their data locks.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "natsfeed/internal.h"

namespace natsfeed {

bool NatsSnapshotSet::Init() {
    client->initSnapshot(this);
    return true;
}

bool NatsSnapshotSet::GetDouble(short field, double* out) {
    if (out == nullptr || field < 0 || field >= kFieldIds || !has[field]) return false;
    *out = value[field];
    return true;
}

bool NatsSnapshotSet::GetDWord(short field, FeedTime* out) {
    if (out == nullptr || field < 0 || field >= kFieldIds || !has[field]) return false;
    if (field == feedcommon::kTradeTimeId) {
        *out = tradeTime;
    } else {
        *out = static_cast<FeedTime>(feedcommon::clampFeedTime(value[field]));
    }
    return true;
}

NatsRecordSet::NatsRecordSet(NatsClient* c, std::string q, std::uint64_t i) : client(c), query(std::move(q)), id(i) {
    sinkMode = feedcommon::kRecordSinkMode;
    recordBase = feedcommon::kRecordBase;
}

void NatsRecordSet::SetSink(ITRecSetSink* newSink) { client->setSink(this, newSink); }

int NatsRecordSet::Init(int records, unsigned long) { return client->initRecordSet(this, records); }

short NatsRecordSet::GetFieldIx(const char* name) { return feedcommon::recordFieldIndex(name); }

bool NatsRecordSet::GetRecDouble(long record, short fieldIx, double* out) {
    return feedcommon::recordDouble(bars, origin, record, fieldIx, out);
}

bool NatsRecordSet::GetETime(long record, int kind, FeedTime* time) {
    return feedcommon::recordTime(bars, origin, record, kind, time);
}

void NatsRecordSet::publish(std::vector<wire::Bar> records, std::int64_t newOrigin) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars = std::move(records);
    origin = newOrigin;
    feedcommon::setRecordMembers(*this, bars.size(), origin);
}

}  // namespace natsfeed
