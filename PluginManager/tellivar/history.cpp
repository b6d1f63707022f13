// History: request, completion and iterators.
#include "PluginManager/tellivar/history.h"

#include <atomic>
#include <new>
#include <sstream>
#include <string>

#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/dictionary.h"
#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/feed_text.h"
#include "PluginManager/tellivar/locks.h"

namespace {

// ---- Compatibility surface ------------------------------------------------
// Hosts match these texts, and log readers these ACE paths and lines: they are
// part of the plug-in's interface and never change.
constexpr const char kLogPath[] = "PluginManager/tellivar/history";
constexpr int kLineData = 160;
constexpr int kLineCallbackException = 168;
constexpr int kLineEscaped = 170;  // LM_ERROR: an exception that escaped the callback's own handlers

constexpr const char kSubscription[] = "TELLIVAR: History subscription";
constexpr const char kQueryIs[] = "TELLIVAR: Query is - %s";
constexpr const char kCallingInit[] = "TELLIVAR: calling init\n";
constexpr const char kRecordsetSetup[] = "TELLIVAR: History recordset is setup\n";
constexpr const char kExceptionFormat[] = "TELLIVAR: Exception - %s \n";
// The consumer deleted the supplier inside the historyReady of its creation.
constexpr const char kDeletedInsideReady[] = "TELLIVAR: History supplier deleted inside historyReady during its creation\n";
constexpr const char kDataForChannel[] = "Data for HistoryChannel %d %d %x\n";

constexpr const char kCreateFailed[] = "CreateTRecordSet failed";
constexpr const char kInvalidParameter[] = "Invalid parameter passed";
constexpr const char kInitFailure[] = "Recordset initialization failure";
constexpr const char kNoSymbol[] = "No symbol passed";
constexpr const char kSupplierAllocFailed[] = "HistorySupplier allocation failed";

// ----------------------------------------------------------------------------

constexpr const char kEndTimeKey[] = ",&EndETime=";
constexpr std::int32_t kLastYearWithoutEndTime = 1800;
constexpr int kInitFailed = 0;
constexpr int kInitComplete = 3;
constexpr int kEventData = 1;
constexpr int kETimeKind = 1;

// Low 32 bits of an address, for the "%x" of a log record.
unsigned int lowAddressBits(const void* p) { return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)); }

// A thrown text may be null (a consumer's); the host's formatter must not see that.
const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// symbol "," interval [",&EndETime=" feedTime]
std::string buildHistoryQuery(data::SupplierRequest& request) {
    const char* symbol = request.symbol();
    if (symbol == nullptr) throw kNoSymbol;  // refused before any record-set call
    std::ostringstream query;
    query << symbol << "," << intervalText(request);
    const data::CalendarRecord* endTime = request.endTime();
    if (endTime == nullptr) return query.str();  // the host gave no end time
    const data::CalendarRecord end = *endTime;
    if (end.tm_year > kLastYearWithoutEndTime) {
        // The record's elements go as they stand: no 1900 added, no month shift, seconds 0.
        const FeedTime time = pTellivarClient->MakeTime(end.tm_year, end.tm_mon, end.tm_mday, end.tm_hour, end.tm_min, 0);
        query << kEndTimeKey << static_cast<unsigned long>(time);
    }
    return query.str();
}

// Every requested name must be a one-letter bar name; a null entry is refused too.
void checkFieldNames(data::NameList* names) {
    if (names == nullptr) return;  // no list: nothing requested
    const unsigned int count = names->count();
    for (unsigned int i = 0; i < count; ++i) {
        const char* name = names->at(i);
        if (name == nullptr || findHistoryField(name) == nullptr) throw kInvalidParameter;
    }
}

// Attaches the supplier as the set's sink and starts loading. True when the
// set already holds everything.
bool startLoading(HistorySupplier& supplier, data::HostLogger& log, int recordCount) {
    TRecordSet* set = supplier.records();
    set->sinkMode = 0;
    set->SetSink(&supplier.sink());
    log.info(kCallingInit, "");
    // One more record than asked for; wraps instead of overflowing at INT_MAX.
    const int records = static_cast<int>(static_cast<unsigned int>(recordCount) + 1U);
    const int result = set->Init(records, 0);
    if (result == kInitFailed) throw kInitFailure;
    return result == kInitComplete;
}

// Tells the consumer, on the creating thread, that the set answered at once.
// False when the consumer deleted the supplier inside historyReady: it is
// gone then, and `supplier` lets go of it without touching it; its set is
// deleted once the notification has left the set's read lock. The same
// holds when historyReady throws after deleting it.
bool notifyAtCreation(std::unique_ptr<HistorySupplier>& supplier) {
    SinkRelay::CreationNotice notice(supplier->sink());
    try {
        supplier->notifyConsumer();
    } catch (...) {
        if (notice.closed()) (void)supplier.release();
        throw;
    }
    if (!notice.closed()) return true;
    (void)supplier.release();
    return false;
}

}  // namespace

void RecordSetDeleter::operator()(TRecordSet* set) const { pTellivarClient->DeleteTRecordSet(set); }

// ---- Creation ----------------------------------------------------------------

data::HistorySupplier* makeHistorySupplier(RwLock&, data::SupplierRequest* request, data::HistoryConsumer* consumer,
                                           data::RequestContext* context) {
    data::HostLogger& log = *context->logger();
    log.info(kSubscription, "");
    // The set is owned here until the supplier takes it; either frees it once.
    RecordSetPtr set;
    std::unique_ptr<HistorySupplier> supplier;
    try {
        const std::string query = buildHistoryQuery(*request);
        log.info(kQueryIs, query.c_str());
        set.reset(pTellivarClient->CreateTRecordSet(query.c_str()));
        if (!set) throw kCreateFailed;
        checkFieldNames(request->fieldNames());
        const int recordCount = request->recordCount();
        supplier.reset(newRelayedSupplier<HistorySupplier>(kLogPath, kLineEscaped, consumer, std::move(set),
                                                           recordCount));
        if (!supplier) throw kSupplierAllocFailed;
        if (startLoading(*supplier, log, recordCount) && !notifyAtCreation(supplier)) {
            log.error(kDeletedInsideReady, "");
            return nullptr;
        }
        log.info(kRecordsetSetup, "");
    } catch (const char* text) {
        log.error(kExceptionFormat, orEmpty(text));
        return nullptr;  // supplier or set, whichever exists, is freed on the way out
    }
    return supplier.release();
}

// ---- Supplier ------------------------------------------------------------------

HistorySupplier::HistorySupplier(Relay& relay_, data::HistoryConsumer* consumer_, RecordSetPtr&& recordSet_,
                                 std::int32_t recordCount_)
    : relay(relay_), consumer(consumer_), recordSet(std::move(recordSet_)), recordCount(recordCount_) {
    relay.bind(this);
}

namespace {
void deleteRecordSet(void* set) { RecordSetDeleter()(static_cast<TRecordSet*>(set)); }
}  // namespace

HistorySupplier::~HistorySupplier() {
    // After this the feed starts no callback for the set. The set stays in
    // recordSet until then: a notification in progress still reads it.
    relay.close(LockMode::Read, deleteRecordSet, recordSet.get());
    (void)recordSet.release();
    forward.reset();
    reverse.reset();
}

bool HistorySupplier::accepts(int event, long first, long second) const {
    // first - 1 != lastFirst, in 64 bits so that nothing overflows where long has 32.
    return event == kEventData && (first != 0 || second != 0) && first != std::int64_t{lastFirst} + 1;
}

void HistorySupplier::onRecordSetEvent(TRecordSet* set, int event, long first, long second) {
    relay.onRecordSetEvent(set, event, first, second);
}

void HistorySupplier::handleRecordSetEvent(TRecordSet* set, int event, long first, long second) {
    if (!accepts(event, first, second)) return;
    writeAceRecord(kLogPath, kLineData, 0, LM_DEBUG, kDataForChannel, static_cast<int>(first),
                   static_cast<int>(second), lowAddressBits(set));
    // Keeps the low 32 bits of first - 1 (modular, so no overflow).
    lastFirst = static_cast<std::int32_t>(static_cast<std::uint32_t>(first) - 1U);
    if (first != -std::int64_t{recordCount}) return;
    try {
        notifyConsumer();
    } catch (const char* text) {
        // A text failure ends the callback here; the relay logs any other kind.
        writeAceRecord(kLogPath, kLineCallbackException, 0, LM_ERROR, kExceptionFormat, orEmpty(text));
    }
}

void HistorySupplier::notifyConsumer() {
    FeedReadScope<TRecordSet> read(recordSet.get());  // the consumer may delete the supplier
    consumer->historyReady(this);
    read.leave();
}

data::TickIterator* HistorySupplier::makeIterator() {
    forward.reset();  // the earlier pointer of this direction dies here
    forward.reset(new (std::nothrow) HistoryIterator(recordSet.get()));
    return forward.get();
}

data::TickIterator* HistorySupplier::makeReverseIterator() {
    reverse.reset();
    reverse.reset(new (std::nothrow) HistoryRIterator(recordSet.get()));
    return reverse.get();
}

// ---- Iterators -------------------------------------------------------------------

HistoryBaseIterator::HistoryBaseIterator(TRecordSet* set)
    : recordSet(set), firstIndex(0), lastIndex(-1), position(0), recordTime{} {
    // Without records the range stays empty (last before first): never valid.
    if (set->hasRecords == 0) return;
    firstIndex = set->firstRecord - set->recordBase;
    lastIndex = set->lastRecord - set->recordBase;
}

data::CalendarRecord* HistoryBaseIterator::getTime() {
    FeedTime time = 0;
    const bool found = recordSet->GetETime(position, kETimeKind, &time);
    // A record without a time reads as all zeros.
    recordTime = found ? calendarRecordOf(time) : data::CalendarRecord{};
    return &recordTime;
}

namespace {

// The table's long names of O, H, L, C and V once found. A walk asks for the
// same five letters on every record; map nodes never move and the table is
// never emptied, so a found pointer stays valid. A letter the table did not
// hold yet (no factory made) is looked up again next time.
std::atomic<const std::string*> foundBarNames[kBarFieldCount];

const std::string* lookUpHistoryField(const char* name, int letter) {
    const std::string* longName = findHistoryField(name);  // string_view key: no allocation
    if (letter >= 0) foundBarNames[letter].store(longName, std::memory_order_release);
    return longName;
}

// The long name of a bar name, or null for a name outside the table.
inline const std::string* historyFieldOf(const char* name) {
    if (name == nullptr) return nullptr;
    const int letter = barFieldOf(name);
    const std::string* longName = letter < 0 ? nullptr : foundBarNames[letter].load(std::memory_order_acquire);
    return longName != nullptr ? longName : lookUpHistoryField(name, letter);
}

}  // namespace

double HistoryBaseIterator::getValue(const char* name) {
    double value = 0.0;
    const std::string* longName = historyFieldOf(name);
    if (longName != nullptr) recordSet->GetRecDouble(position, recordSet->GetFieldIx(longName->c_str()), &value);
    return value;
}

bool HistoryBaseIterator::hasValue(const char* name) {
    double value = 0.0;
    const std::string* longName = historyFieldOf(name);
    return longName != nullptr && recordSet->GetRecDouble(position, recordSet->GetFieldIx(longName->c_str()), &value);
}

void HistoryBaseIterator::setOption(int) {}

HistoryIterator::HistoryIterator(TRecordSet* set) : HistoryBaseIterator(set) { position = firstIndex; }
int HistoryIterator::isValid() { return position <= lastIndex ? 1 : 0; }
void HistoryIterator::next() { ++position; }

HistoryRIterator::HistoryRIterator(TRecordSet* set) : HistoryBaseIterator(set) { position = lastIndex; }
int HistoryRIterator::isValid() { return position >= firstIndex ? 1 : 0; }
void HistoryRIterator::next() { --position; }
