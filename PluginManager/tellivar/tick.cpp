#include "PluginManager/tellivar/tick.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/dictionary.h"
#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/feed_text.h"
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

data::TickSupplier* makeTickSupplier(data::SupplierRequest* request, data::TickConsumer* consumer,
                                     data::RequestContext* context) {
    context->logger()->info(kTickSubscriptionText, "");
    SnapshotSet* set = nullptr;
    std::unique_ptr<TickSupplier> supplier;
    try {
        set = createSnapshotSet(request);
        supplier.reset(newRelayedSupplier<TickSupplier>(kTickLogPath, kTickLineEscaped, set, context->logger(), consumer));
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

TickSupplier::TickSupplier(Relay& sink, SnapshotSet* set, data::HostLogger* logger, data::TickConsumer* tickConsumer)
    : relay(sink), snapshotSet(set), hostLogger(logger), consumer(tickConsumer), supplierLock(sink.supplierLock) {
    relay.bind(this);
}

namespace {
void deleteSnapshotSet(void* set) { pTellivarClient->DeleteSnapshotSet(static_cast<SnapshotSet*>(set)); }
}  // namespace

TickSupplier::~TickSupplier() { relay.close(LockMode::Read, deleteSnapshotSet, snapshotSet); }

void TickSupplier::subscribe(data::NameList* names) {
    if (names == nullptr) return;  // no list: nothing subscribed
    // count() is asked before every pass, as the list may be live.
    for (unsigned int index = 0; index < names->count(); ++index) {
        const char* name = names->at(index);
        std::int16_t id = 0;
        if (name == nullptr || !findFieldIdByName(name, id)) continue;
        const auto [entry, added] = fieldIds.try_emplace(id, TickField{&fieldNameById(id), readOrder.size()});
        if (added) readOrder.push_back(&entry->second);
    }
    indexFields();
}

void TickSupplier::indexFields() {
    fieldById.assign(fieldIds.empty() ? 0 : static_cast<std::size_t>(fieldIds.rbegin()->first) + 1, nullptr);
    for (auto& [id, field] : fieldIds) {
        if (id >= 0) fieldById[static_cast<std::size_t>(id)] = &field;
    }
}

void TickSupplier::publish() {
    snapshotSet->sink = &relay;
    snapshotSet->Init();  // a false result still leaves a live subscription
}

// ---- Feed callback -----------------------------------------------------------------

void TickSupplier::onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    relay.onSnapshotUpdate(set, changedCount, changedIds);
}

void TickSupplier::handleSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    // A masked record would have no effect; skipping it spares every update its cost.
    const bool debug = aceRecordWanted(LM_DEBUG);
    data::HostLogger* const log = hostLogger;  // the consumer may delete the supplier
    try {
        FeedReadScope<SnapshotSet> read(set);
        log->info(kTickArrivesText, "");
        if (!initialLoadDone) loadAll(set);
        refreshTradeTime(set);
        if (storeChanged(set, changedCount, changedIds) && consumer != nullptr) {
            log->info(kTickSendedText, "");
            consumer->ticksChanged(this);
        }
        read.leave();
    } catch (const char* text) {
        log->info(kTickExceptionText, text != nullptr ? text : "");
        return;  // no ACE record on this path
    } catch (...) {
        // Other exceptions are swallowed silently; the read lock is left by now.
    }
    if (debug) writeAceRecord(kTickLogPath, kTickLineFinished, 0, LM_DEBUG, kTickFinishedText);
}

void TickSupplier::loadAll(SnapshotSet* set) {
    initialLoadDone = true;
    for (auto& [id, field] : fieldIds) storeValue(set, id, field);
}

void TickSupplier::refreshTradeTime(SnapshotSet* set) {
    FeedTime time = 0;  // a snapshot without a trade time gives the feed's time 0
    set->GetDWord(kTradeTimeFieldId, &time);
    tradeTime = calendarRecordOf(time);
}

bool TickSupplier::storeChanged(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) {
    if (changedIds == nullptr) return false;
    bool changed = false;
    for (std::uint8_t i = 0; i < changedCount; ++i) {
        const std::int16_t id = changedIds[i];  // unsigned byte: zero extension
        TickField* field = static_cast<std::size_t>(id) < fieldById.size() ? fieldById[static_cast<std::size_t>(id)] : nullptr;
        if (field != nullptr && storeValue(set, id, *field)) changed = true;
    }
    return changed;
}

bool TickSupplier::storeValue(SnapshotSet* set, std::int16_t id, TickField& field) {
    double value = 0.0;
    if (!set->GetDouble(id, &value)) return false;
    if (field.slot == nullptr) field.slot = &entryOf(*field.name);
    *field.slot = value;
    return true;
}

// Out of line so the per-update paths that find a slot stay short.
TELLIVAR_NOINLINE double& TickSupplier::entryOf(std::string_view name) {
    // Insert-or-get: the entry is made once, its node never moves.
    const auto it = values.find(name);
    return it != values.end() ? it->second : values.emplace(name, 0.0).first->second;
}

// ---- Values --------------------------------------------------------------------------

TickField* TickSupplier::subscribedField(const char* name) {
    std::int16_t id = 0;
    if (!findFieldIdByName(name, id) || id < 0 || static_cast<std::size_t>(id) >= fieldById.size()) return nullptr;
    TickField* field = fieldById[static_cast<std::size_t>(id)];
    // Only the field whose values are stored under exactly this name.
    return field != nullptr && *field->name == name ? field : nullptr;
}

data::CalendarRecord* TickSupplier::getTime() { return &tradeTime; }

double TickSupplier::getValue(const char* name) {
    if (name == nullptr) return 0.0;
    if (!readOrder.empty()) {
        const TickField& predicted = *readOrder[nextRead];
        if (predicted.slot != nullptr && std::strcmp(name, predicted.name->c_str()) == 0) {
            nextRead = nextRead + 1 == readOrder.size() ? 0 : nextRead + 1;
            return *predicted.slot;
        }
    }
    return lookUpValue(name);
}

TELLIVAR_NOINLINE double TickSupplier::lookUpValue(const char* name) {
    double& value = entryOf(name);  // insert-or-get: an absent name now has 0.0
    if (TickField* field = subscribedField(name)) {
        field->slot = &value;  // the same node storeValue would find
        nextRead = field->readPosition + 1 == readOrder.size() ? 0 : field->readPosition + 1;
    }
    return value;
}

bool TickSupplier::hasValue(const char* name) {
    if (name == nullptr) return false;
    return values.find(std::string_view(name)) != values.end();
}
