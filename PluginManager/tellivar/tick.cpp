#include "PluginManager/tellivar/tick.h"

#include <memory>
#include <new>
#include <string_view>

#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/locks.h"

// ---- Creation --------------------------------------------------------------------

namespace {

// The subscription text is the symbol, byte for byte. A null symbol fails like
// a rejected one instead of reaching the feed client.
SnapshotSet* createSnapshotSet(data::SupplierRequest* request) {
    const char* symbol = request->symbol();
    SnapshotSet* set = symbol == nullptr ? nullptr : pTellivarClient->CreateSnapshotSet(symbol);
    if (set == nullptr) throw kCreateSnapshotSetFailed;
    return set;
}

}  // namespace

data::TickSupplier* TellivarInterface::createTickSupplier(data::SupplierRequest* request,
                                                          data::TickConsumer* consumer,
                                                          data::RequestContext* context) {
    factory->connectSession();  // the subscription goes on whether or not the session is up
    context->logger()->info(kTickSubscriptionText, "");
    SnapshotSet* set = nullptr;
    std::unique_ptr<TickSupplier> supplier;
    try {
        set = createSnapshotSet(request);
        supplier.reset(new (std::nothrow) TickSupplier(set, context->logger(), consumer));
        if (!supplier) {
            pTellivarClient->DeleteSnapshotSet(set);
            return nullptr;
        }
        supplier->subscribe(request->fieldNames());
        supplier->publish();
    } catch (const char* text) {
        context->logger()->info(kTickExceptionText, text != nullptr ? text : "");
        if (supplier) {
            supplier.reset();  // its destructor deletes the set
        } else if (set != nullptr) {
            pTellivarClient->DeleteSnapshotSet(set);
        }
        return nullptr;
    }
    context->logger()->info(kTickSetupText, "");
    return supplier.release();
}

TickSupplier::TickSupplier(SnapshotSet* set, data::HostLogger* logger, data::TickConsumer* tickConsumer)
    : snapshotSet(set), hostLogger(logger), consumer(tickConsumer) {}

TickSupplier::~TickSupplier() {
    ReadGuard guard(supplierLock);
    pTellivarClient->DeleteSnapshotSet(snapshotSet);
}

void TickSupplier::subscribe(data::NameList* names) {
    if (names == nullptr) return;  // no list: nothing subscribed
    // count() is asked before every pass, as the list may be live.
    for (unsigned int index = 0; index < names->count(); ++index) {
        const char* name = names->at(index);
        std::int16_t id = 0;
        if (name == nullptr || !findFieldIdByName(name, id)) continue;
        fieldIds.try_emplace(id, TickField{&fieldNameById(id)});
    }
    initialLoadDone = false;
}

void TickSupplier::publish() {
    snapshotSet->sink = this;
    snapshotSet->Init();  // a false result still leaves a live subscription
}

// ---- Feed callback -----------------------------------------------------------------

void TickSupplier::onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    WriteGuard guard(supplierLock);
    try {
        processUpdate(set, changedCount, changedIds);
    } catch (...) {
        // Last guard: a host logger that throws inside a handler must still not
        // reach the feed client.
    }
}

void TickSupplier::processUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    bool entered = false;
    try {
        set->EnterRead();
        entered = true;
        hostLogger->info(kTickArrivesText, "");
        if (!initialLoadDone) loadAll(set);
        refreshTradeTime(set);
        if (storeChanged(set, changedCount, changedIds) && consumer != nullptr) {
            hostLogger->info(kTickSendedText, "");
            consumer->ticksChanged(this);
        }
        entered = false;  // a throwing LeaveRead must not be answered by another
        set->LeaveRead();
    } catch (const char* text) {
        if (entered) set->LeaveRead();
        hostLogger->info(kTickExceptionText, text != nullptr ? text : "");
        return;  // no ACE record on this path
    } catch (...) {
        if (entered) set->LeaveRead();  // other exceptions are swallowed silently
    }
    writeAceRecord(kTickLogPath, kTickLineFinished, 0, LM_DEBUG, kTickFinishedText);
}

void TickSupplier::loadAll(SnapshotSet* set) {
    initialLoadDone = true;
    for (auto& [id, field] : fieldIds) storeValue(set, id, field);
}

void TickSupplier::refreshTradeTime(SnapshotSet* set) {
    FeedTime time = 0;  // a snapshot without a trade time gives the feed's time 0
    set->GetDWord(kTradeTimeFieldId, &time);
    tradeTime = data::CalendarRecord{};
    pTellivarClient->GetYMD(time, &tradeTime.tm_year, &tradeTime.tm_mon, &tradeTime.tm_mday);
    pTellivarClient->GetHMS(time, &tradeTime.tm_hour, &tradeTime.tm_min, &tradeTime.tm_sec);
    tradeTime.tm_year -= 1900;
    tradeTime.tm_mon -= 1;
}

bool TickSupplier::storeChanged(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    if (changedIds == nullptr) return false;
    bool changed = false;
    for (std::uint8_t i = 0; i < changedCount; ++i) {
        const std::int16_t id = changedIds[i];  // unsigned byte: zero extension
        const auto it = fieldIds.find(id);
        if (it != fieldIds.end() && storeValue(set, id, it->second)) changed = true;
    }
    return changed;
}

bool TickSupplier::storeValue(SnapshotSet* set, std::int16_t id, TickField& field) {
    double value = 0.0;
    if (!set->GetDouble(id, &value)) return false;
    // First store of this field: insert-or-get the entry once, keep its slot.
    if (field.slot == nullptr) field.slot = &values.try_emplace(*field.name, 0.0).first->second;
    *field.slot = value;
    return true;
}

// ---- Values --------------------------------------------------------------------------

data::CalendarRecord* TickSupplier::getTime() { return &tradeTime; }

double TickSupplier::getValue(const char* name) {
    if (name == nullptr) return 0.0;
    const std::string_view key(name);
    const auto it = values.find(key);
    if (it != values.end()) return it->second;
    return values.emplace(key, 0.0).first->second;  // insert-or-get: the name now has 0.0
}

bool TickSupplier::hasValue(const char* name) {
    return name != nullptr && values.find(std::string_view(name)) != values.end();
}
