#include "PluginManager/tellivar/update.h"

#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/locks.h"

namespace {

// ---- Compatibility surface ------------------------------------------------
// Hosts match these texts, and log readers these ACE paths and lines: they are
// part of the plug-in's interface and never change.
constexpr const char kLogPath[] = "PluginManager/tellivar/update";
constexpr int kLineSubscription = 157;
constexpr int kLineSetUp = 195;
constexpr int kLineCreateFailed = 188;
constexpr int kLineDataArrives = 82;
constexpr int kLineUpdateFailed = 111;
constexpr int kLineProcessed = 115;
constexpr int kLineEscaped = 117;  // LM_ERROR: an exception that escaped the callback's own handlers

constexpr const char kSubscription[] = "Update subscription for\n";
constexpr const char kSetUp[] = "recordset is setup\n";
constexpr const char kDataArrives[] = "new data arrives for UpdateChannel %d\n";
constexpr const char kProcessed[] = "data processing finished\n";
constexpr const char kFailureFormat[] = "%s\n";

constexpr const char kCreateFailed[] = "CreateTRecordSet failed";
constexpr const char kNoSymbol[] = "Update request has no symbol";
constexpr const char kNoMemorySupplier[] = "No memory : new UpdateSupplier";
// ----------------------------------------------------------------------------

constexpr int kRecordCount = 2;       // the newest bar and the one before it
constexpr int kEndTimeKind = 1;       // GetETime: the record's end time

// "SYMBOL,10" for interval type 1, otherwise "SYMBOL,m5" (letter, then multiple).
std::string updateQuery(data::SupplierRequest* request) {
    const char* symbol = request != nullptr ? request->symbol() : nullptr;
    if (symbol == nullptr) throw kNoSymbol;  // a null symbol would crash the text building
    std::string query(symbol);
    query += ',';
    return query += intervalText(*request);
}

// Opens the record set and hands it to a new supplier. On a text exception the
// record set is deleted exactly once: by the supplier if it was built, else here.
UpdateSupplier* openUpdateStream(data::SupplierRequest* request, data::TickConsumer* consumer) {
    TRecordSet* set = nullptr;
    std::unique_ptr<UpdateSupplier> supplier;
    try {
        const std::string query = updateQuery(request);
        set = pTellivarClient->CreateTRecordSet(query.c_str());
        if (set == nullptr) throw kCreateFailed;
        supplier.reset(newRelayedSupplier<UpdateSupplier>(kLogPath, kLineEscaped, set, consumer));
        if (!supplier) throw kNoMemorySupplier;
        set->SetSink(&supplier->relay);
        set->Init(kRecordCount, 0);  // the result is not examined: events follow either way
    } catch (const char* text) {
        writeAceRecord(kLogPath, kLineCreateFailed, 0, LM_DEBUG, kFailureFormat, text);
        if (supplier) {
            supplier.reset();
        } else if (set != nullptr) {
            pTellivarClient->DeleteTRecordSet(set);
        }
        return nullptr;
    }
    return supplier.release();
}

}  // namespace

// ---- Creation ------------------------------------------------------------------

data::TickSupplier* makeUpdateSupplier(RwLock&, data::SupplierRequest* request, data::TickConsumer* consumer) {
    writeAceRecord(kLogPath, kLineSubscription, 0, LM_DEBUG, kSubscription);
    UpdateSupplier* supplier = openUpdateStream(request, consumer);
    if (supplier == nullptr) return nullptr;
    writeAceRecord(kLogPath, kLineSetUp, 0, LM_DEBUG, kSetUp);
    return supplier;
}

// ---- Supplier --------------------------------------------------------------------

UpdateSupplier::UpdateSupplier(Relay& sink, TRecordSet* set, data::TickConsumer* tickConsumer)
    : relay(sink), recordSet(set), consumer(tickConsumer), supplierLock(sink.supplierLock) {
    relay.bind(this);
}

namespace {
void deleteRecordSet(void* set) { pTellivarClient->DeleteTRecordSet(static_cast<TRecordSet*>(set)); }
}  // namespace

// Takes supplierLock as writer, so a callback in progress finishes first.
UpdateSupplier::~UpdateSupplier() { relay.close(LockMode::Write, deleteRecordSet, recordSet); }

void UpdateSupplier::onRecordSetEvent(TRecordSet* set, int event, long first, long second) {
    relay.onRecordSetEvent(set, event, first, second);
}

// Feed thread, under supplierLock (writer).
void UpdateSupplier::handleRecordSetEvent(TRecordSet* set, int, long, long) {
    if (consumer == nullptr) return;
    // Both records are skipped while LM_DEBUG is masked (the host's normal
    // setting): they would have no effect, and this runs on every update.
    const bool debug = aceRecordWanted(LM_DEBUG);
    if (debug) writeAceRecord(kLogPath, kLineDataArrives, 0, LM_DEBUG, kDataArrives, static_cast<int>(std::time(nullptr)));
    FeedReadScope<TRecordSet> read(set);
    try {
        // An empty set has no newest record: nothing to read, no one to tell.
        if (set->hasRecords != 0) readNewestRecord(set);
    } catch (const char* text) {
        writeAceRecord(kLogPath, kLineUpdateFailed, 0, LM_DEBUG, kFailureFormat, text != nullptr ? text : "");
        return;  // the read scope is left after the record
    } catch (...) {
        // Any other failure is swallowed and the update finishes as usual.
    }
    if (debug) writeAceRecord(kLogPath, kLineProcessed, 0, LM_DEBUG, kProcessed);
    read.leave();
}

// Under supplierLock and the set's read lock.
void UpdateSupplier::readNewestRecord(TRecordSet* set) {
    // In 64 bits: the difference of two 32-bit members can overflow a 32-bit
    // long (Windows). An index the feed's long cannot hold names no record.
    const std::int64_t newest = std::int64_t{set->lastRecord} - set->recordBase;
    const long index = static_cast<long>(newest);
    if (index != newest) return;
    readTime(set, index);
    readValues(set, index);
    consumer->ticksChanged(this);
}

void UpdateSupplier::readTime(TRecordSet* set, long index) {
    FeedTime time = 0;
    // A record without a time keeps the previous update's time instead of a made-up one.
    if (!set->GetETime(index, kEndTimeKind, &time)) return;
    updateTime = calendarRecordOf(time);
}

// A field the record lacks keeps its previous value, or stays absent.
void UpdateSupplier::readValues(TRecordSet* set, long index) {
    for (std::size_t i = 0; i < kBarFieldCount; ++i) {
        const short ix = set->GetFieldIx(barFieldNames[i].longName);
        double value = 0.0;
        if (!set->GetRecDouble(index, ix, &value)) continue;
        if (barSlots[i] == nullptr) barSlots[i] = &entry(barFieldNames[i].key);
        *barSlots[i] = value;
    }
}

// Allocates only the first time a key is stored.
double& UpdateSupplier::entry(const char* key) {
    const auto it = values.find(key);
    if (it != values.end()) return it->second;
    return values.emplace(key, 0.0).first->second;
}

// ---- Reading ---------------------------------------------------------------------

data::CalendarRecord* UpdateSupplier::getTime() { return &updateTime; }

double UpdateSupplier::getValue(const char* name) {
    if (name == nullptr) return 0.0;
    const int slot = barFieldOf(name);
    if (slot < 0) return entry(name);  // reading an absent key adds it
    double*& cached = barSlots[slot];
    if (cached == nullptr) cached = &entry(name);
    return *cached;
}

bool UpdateSupplier::hasValue(const char* name) {
    if (name == nullptr) return false;
    const int slot = barFieldOf(name);
    if (slot >= 0 && barSlots[slot] != nullptr) return true;
    return values.find(name) != values.end();
}
