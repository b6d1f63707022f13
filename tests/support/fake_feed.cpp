#include "support/fake_feed.h"

#include <algorithm>

#include "support/feed_common.h"

TellivarClient* pTellivarClient = nullptr;

namespace {

std::string text(const char* s) { return s == nullptr ? "<null>" : s; }


}  // namespace

// ---- Record set ---------------------------------------------------------------

FakeRecordSet::FakeRecordSet(FakeFeedClient& client, std::string setName, std::string queryText)
    : name(std::move(setName)), query(std::move(queryText)), client_(client) {}

void FakeRecordSet::loadBars(std::vector<FakeBar> bars, std::int32_t firstIndex, std::int32_t base) {
    bars_ = std::move(bars);
    firstIndex_ = firstIndex;
    recordBase = base;
    hasRecords = bars_.empty() ? 0 : 1;
    firstRecord = firstIndex + base;
    lastRecord = firstIndex + static_cast<std::int32_t>(bars_.size()) - 1 + base;
}

void FakeRecordSet::fireEvent(int event, long first, long second) { sink->onRecordSetEvent(this, event, first, second); }

void FakeRecordSet::SetSink(ITRecSetSink* newSink) {
    client_.note([&] { return std::string(name + ".SetSink(sinkMode=" + std::to_string(sinkMode) + ")"); });
    sinkModeAtSetSink = sinkMode;
    sink = newSink;
}

int FakeRecordSet::Init(int records, unsigned long flags) {
    client_.note([&] { return std::string(name + ".Init(" + std::to_string(records) + "," + std::to_string(flags) + ")"); });
    if (throwOnInit != nullptr) throw throwOnInit;
    return initResult;
}

void FakeRecordSet::EnterRead() {
    client_.note([&] { return std::string(name + ".EnterRead"); });
    if (throwOnRead != nullptr) throw throwOnRead;
    ++readDepth;
}

void FakeRecordSet::LeaveRead() {
    client_.note([&] { return std::string(name + ".LeaveRead"); });
    --readDepth;
}

short FakeRecordSet::GetFieldIx(const char* field) {
    client_.note([&] { return std::string(name + ".GetFieldIx(" + text(field) + ")"); });
    for (std::size_t i = 0; i < fieldNames.size(); ++i) {
        if (field != nullptr && fieldNames[i] == field) return static_cast<short>(i);
    }
    return -1;
}

const FakeBar* FakeRecordSet::barAt(long record) const {
    const long offset = record - firstIndex_;
    if (offset < 0 || offset >= static_cast<long>(bars_.size())) return nullptr;
    return &bars_[static_cast<std::size_t>(offset)];
}

bool FakeRecordSet::GetRecDouble(long record, short field, double* value) {
    client_.note([&] { return std::string(name + ".GetRecDouble(" + std::to_string(record) + "," + std::to_string(field) + ")"); });
    if (throwOnRead != nullptr) throw throwOnRead;
    const FakeBar* bar = barAt(record);
    if (bar == nullptr || field < 0 || field >= static_cast<short>(fieldNames.size())) return false;
    const auto it = bar->fields.find(fieldNames[static_cast<std::size_t>(field)]);
    if (it == bar->fields.end()) return false;
    *value = it->second;
    return true;
}

bool FakeRecordSet::GetETime(long record, int kind, FeedTime* time) {
    client_.note([&] { return std::string(name + ".GetETime(" + std::to_string(record) + "," + std::to_string(kind) + ")"); });
    const FakeBar* bar = barAt(record);
    if (bar == nullptr) return false;
    *time = bar->time;
    return true;
}

// ---- Snapshot set -------------------------------------------------------------

FakeSnapshotSet::FakeSnapshotSet(FakeFeedClient& client, std::string setName, std::string symbolText)
    : name(std::move(setName)), symbol(std::move(symbolText)), client_(client) {}

void FakeSnapshotSet::fireUpdate(const std::vector<std::uint8_t>& changedIds) {
    sink->onSnapshotUpdate(this, static_cast<std::uint8_t>(changedIds.size()), changedIds.data());
}

bool FakeSnapshotSet::Init() {
    client_.note([&] { return std::string(name + ".Init"); });
    if (onInit) onInit(*this);
    return initResult;
}

void FakeSnapshotSet::EnterRead() {
    client_.note([&] { return std::string(name + ".EnterRead"); });
    ++readDepth;
}

void FakeSnapshotSet::LeaveRead() {
    client_.note([&] { return std::string(name + ".LeaveRead"); });
    --readDepth;
}

bool FakeSnapshotSet::GetDouble(short id, double* value) {
    client_.note([&] { return std::string(name + ".GetDouble(" + std::to_string(id) + ")"); });
    if (throwOnRead != nullptr) throw throwOnRead;
    const auto it = values.find(id);
    if (it == values.end()) return false;
    *value = it->second;
    return true;
}

bool FakeSnapshotSet::GetDWord(short id, FeedTime* value) {
    client_.note([&] { return std::string(name + ".GetDWord(" + std::to_string(id) + ")"); });
    const auto it = dwords.find(id);
    if (it == dwords.end()) return false;
    *value = it->second;
    return true;
}

// ---- Client -------------------------------------------------------------------

FakeFeedClient::FakeFeedClient() = default;
FakeFeedClient::~FakeFeedClient() = default;

void FakeFeedClient::record(const std::string& call) {
    if (!recording_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.push_back(call);
}

std::vector<std::string> FakeFeedClient::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return journal_;
}

std::vector<std::string> FakeFeedClient::callsStartingWith(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const std::string& call : calls()) {
        if (call.compare(0, prefix.size(), prefix) == 0) result.push_back(call);
    }
    return result;
}

std::size_t FakeFeedClient::countOf(const std::string& call) const {
    const auto all = calls();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), call));
}

void FakeFeedClient::clearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.clear();
}

bool FakeFeedClient::Connect(EConnectStatus* status) {
    note([] { return std::string("Connect"); });
    lastSink_ = status;
    if (onConnect) onConnect(status);
    return true;
}

void FakeFeedClient::SendLogon(const char* user, const char* password) {
    note([&] { return std::string("SendLogon(" + text(user) + "," + text(password) + ")"); });
}

void FakeFeedClient::Disconnect() { record("Disconnect"); }
void FakeFeedClient::Shutdown() { record("Shutdown"); }

std::string FakeFeedClient::nextSetName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return "set" + std::to_string(++setCounter_);
}

TRecordSet* FakeFeedClient::CreateTRecordSet(const char* query) {
    note([&] { return std::string("CreateTRecordSet(" + text(query) + ")"); });
    if (rejectNextCreate) {
        rejectNextCreate = false;
        return nullptr;
    }
    auto set = std::make_unique<FakeRecordSet>(*this, nextSetName(), text(query));
    if (prepareRecordSet) prepareRecordSet(*set);
    std::lock_guard<std::mutex> lock(mutex_);
    recordSets_.push_back(std::move(set));
    return recordSets_.back().get();
}

SnapshotSet* FakeFeedClient::CreateSnapshotSet(const char* symbol) {
    note([&] { return std::string("CreateSnapshotSet(" + text(symbol) + ")"); });
    if (rejectNextCreate) {
        rejectNextCreate = false;
        return nullptr;
    }
    auto set = std::make_unique<FakeSnapshotSet>(*this, nextSetName(), text(symbol));
    if (prepareSnapshotSet) prepareSnapshotSet(*set);
    std::lock_guard<std::mutex> lock(mutex_);
    snapshotSets_.push_back(std::move(set));
    return snapshotSets_.back().get();
}

void FakeFeedClient::DeleteTRecordSet(TRecordSet* set) {
    auto* fake = static_cast<FakeRecordSet*>(set);
    note([&] { return std::string("DeleteTRecordSet(" + (fake != nullptr ? fake->name : std::string("<null>")) + ")"); });
    if (fake != nullptr) fake->deleted = true;
    if (onDelete) onDelete();
}

void FakeFeedClient::DeleteSnapshotSet(SnapshotSet* set) {
    auto* fake = static_cast<FakeSnapshotSet*>(set);
    note([&] { return std::string("DeleteSnapshotSet(" + (fake != nullptr ? fake->name : std::string("<null>")) + ")"); });
    if (fake != nullptr) fake->deleted = true;
    if (onDelete) onDelete();
}

FeedTime FakeFeedClient::timeOf(int year, int month, int day, int hour, int minute, int second) {
    return makeFeedTime(year, month, day, hour, minute, second);
}

FeedTime FakeFeedClient::MakeTime(int year, int month, int day, int hour, int minute, int second) {
    note([&] { return std::string("MakeTime(" + std::to_string(year) + "," + std::to_string(month) + "," + std::to_string(day) + "," +
           std::to_string(hour) + "," + std::to_string(minute) + "," + std::to_string(second) + ")"); });
    return timeOf(year, month, day, hour, minute, second);
}

void FakeFeedClient::GetYMD(FeedTime time, int* year, int* month, int* day) { splitFeedDate(time, year, month, day); }

void FakeFeedClient::GetHMS(FeedTime time, int* hour, int* minute, int* second) {
    splitFeedClock(time, hour, minute, second);
}

FakeRecordSet* FakeFeedClient::recordSet(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < recordSets_.size() ? recordSets_[index].get() : nullptr;
}

FakeSnapshotSet* FakeFeedClient::snapshotSet(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < snapshotSets_.size() ? snapshotSets_[index].get() : nullptr;
}

std::size_t FakeFeedClient::recordSetCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recordSets_.size();
}

std::size_t FakeFeedClient::snapshotSetCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshotSets_.size();
}

FakeRecordSet* FakeFeedClient::lastRecordSet() const {
    const std::size_t n = recordSetCount();
    return n == 0 ? nullptr : recordSet(n - 1);
}

FakeSnapshotSet* FakeFeedClient::lastSnapshotSet() const {
    const std::size_t n = snapshotSetCount();
    return n == 0 ? nullptr : snapshotSet(n - 1);
}

// ---- Scope ----------------------------------------------------------------------

FakeFeedScope::FakeFeedScope() : client_(std::make_unique<FakeFeedClient>()) { pTellivarClient = client_.get(); }

FakeFeedScope::~FakeFeedScope() { pTellivarClient = nullptr; }
