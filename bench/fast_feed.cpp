#include "fast_feed.h"


// The benchmarks' feed client; the plug-in reaches it only through this pointer.
TellivarClient* pTellivarClient = &fastFeed();

BarData BarData::make(std::size_t count) {
    BarData bars;
    bars.times.resize(count);
    bars.values.resize(count);
    const FeedTime start = makeFeedTime(2004, 6, 4, 9, 30, 0);
    for (std::size_t i = 0; i < count; ++i) {
        bars.times[i] = start + static_cast<FeedTime>(60 * i);
        const double base = 100.0 + static_cast<double>(i % 1000) * 0.01;
        bars.values[i] = {base, base + 1.0, base - 1.0, base + 0.5, static_cast<double>(1000 + i % 97)};
    }
    return bars;
}

// ---- Record set ----------------------------------------------------------------

void FastRecordSet::attach(const BarData* bars) {
    data = bars;
    const auto count = static_cast<std::int32_t>(bars != nullptr ? bars->times.size() : 0);
    hasRecords = count > 0 ? 1 : 0;
    recordBase = kBase;
    firstRecord = kBase;
    lastRecord = kBase + count - 1;
}

short FastRecordSet::GetFieldIx(const char* name) { return barFieldIndex(name); }

bool FastRecordSet::GetRecDouble(long record, short field, double* value) {
    const auto index = static_cast<std::size_t>(record);
    if (field < 0 || field >= BarData::kFields || index >= data->values.size()) return false;
    *value = data->values[index][static_cast<std::size_t>(field)];
    return true;
}

bool FastRecordSet::GetETime(long record, int, FeedTime* time) {
    const auto index = static_cast<std::size_t>(record);
    if (index >= data->times.size()) return false;
    *time = data->times[index];
    return true;
}

// ---- Snapshot set ----------------------------------------------------------------

FastSnapshotSet::FastSnapshotSet() = default;

bool FastSnapshotSet::GetDouble(short id, double* value) {
    const auto index = static_cast<std::size_t>(static_cast<unsigned short>(id));
    if (index >= static_cast<std::size_t>(kIds) || !present[index]) return false;
    *value = values[index];
    return true;
}

bool FastSnapshotSet::GetDWord(short, FeedTime* value) {
    *value = tradeTime;
    return true;
}

// ---- Client ----------------------------------------------------------------------

FastFeedClient& fastFeed() {
    static FastFeedClient client;
    return client;
}

FastFeedClient::FastFeedClient() {
    for (int id = 0; id <= 100; ++id) {
        snapshotTemplate.values[static_cast<std::size_t>(id)] = 10.0 + id;
        snapshotTemplate.present[static_cast<std::size_t>(id)] = true;
    }
    snapshotTemplate.tradeTime = makeFeedTime(2004, 3, 5, 14, 7, 9);
}

FastFeedClient::~FastFeedClient() = default;

void FastFeedClient::reserve(std::size_t count) {
    while (freeRecordSets_.size() < count) {
        recordSets_.push_back(std::make_unique<FastRecordSet>());
        freeRecordSets_.push_back(recordSets_.back().get());
    }
    while (freeSnapshotSets_.size() < count) {
        snapshotSets_.push_back(std::make_unique<FastSnapshotSet>());
        FastSnapshotSet& set = *snapshotSets_.back();
        set.values = snapshotTemplate.values;
        set.present = snapshotTemplate.present;
        set.tradeTime = snapshotTemplate.tradeTime;
        freeSnapshotSets_.push_back(&set);
    }
}

TRecordSet* FastFeedClient::CreateTRecordSet(const char*) {
    if (freeRecordSets_.empty()) reserve(recordSets_.size() + 16);
    FastRecordSet* set = freeRecordSets_.back();
    freeRecordSets_.pop_back();
    set->attach(bars);
    set->initResult = recordSetInitResult;
    set->sink = nullptr;
    set->sinkMode = 1;
    lastRecordSet = set;
    return set;
}

SnapshotSet* FastFeedClient::CreateSnapshotSet(const char*) {
    if (freeSnapshotSets_.empty()) reserve(snapshotSets_.size() + 16);
    FastSnapshotSet* set = freeSnapshotSets_.back();
    freeSnapshotSets_.pop_back();
    set->sink = nullptr;  // the values were filled once, when the set was made
    lastSnapshotSet = set;
    return set;
}

void FastFeedClient::DeleteTRecordSet(TRecordSet* set) {
    freeRecordSets_.push_back(static_cast<FastRecordSet*>(set));
}

void FastFeedClient::DeleteSnapshotSet(SnapshotSet* set) {
    freeSnapshotSets_.push_back(static_cast<FastSnapshotSet*>(set));
}
