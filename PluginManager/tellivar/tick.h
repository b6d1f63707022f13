// Live quotes: a subscription to one symbol's snapshot fields, delivered to a
// host TickConsumer whenever a subscribed field changes.
//
// Threads: `TellivarInterface::createTickSupplier` runs on a host thread and
// publishes the supplier to the feed (sink, Init) only once it is complete.
// `onSnapshotUpdate` runs on the feed client's thread. The host deletes the
// supplier on its own thread, never from inside `ticksChanged`.
#pragma once

#include <ace/RW_Thread_Mutex.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "PluginManager/tellivar/init.h"
#include "PluginManager/tellivar/sink_relay.h"

// Host messages of the live-quote subsystem, passed to HostLogger::info.
constexpr const char kTickSubscriptionText[] = "TELLIVAR: Tick subscription";
constexpr const char kTickSetupText[] = "TELLIVAR: Tick recordset is setup";
constexpr const char kTickExceptionText[] = "TELLIVAR: exception %s";
constexpr const char kTickArrivesText[] = "TELLIVAR: new data arrives for TickChannel";
constexpr const char kTickSendedText[] = "TELLIVAR: new data sended to consumer";
// Thrown when the feed rejects the symbol (or there is no symbol).
constexpr const char kCreateSnapshotSetFailed[] = "CreateSnapshotSet failed";

// ACE record written at the end of every callback that did not fail with a text.
constexpr const char kTickLogPath[] = "PluginManager/tellivar/tick";
constexpr int kTickLineFinished = 126;
constexpr const char kTickFinishedText[] = "date processing finished";
// ACE record (LM_ERROR) of an exception that escaped the callback's own handlers.
constexpr int kTickLineEscaped = 128;

// Snapshot field holding the time of the last trade, as a feed time.
constexpr std::int16_t kTradeTimeFieldId = 27;

// One subscribed field: its long name and, once the callback has stored a
// value under that name, the value's slot in `values` (map nodes never move
// and entries are never erased, so the pointer stays valid).
struct TickField {
    const std::string* name;  // the dictionary's long name; lives until unload
    // Written on the feed thread under supplierLock, or by getValue when it adds the name.
    double* slot = nullptr;
};

class TickSupplier : public ISSSetSink, public data::TickSupplier {
public:
    using Relay = SnapshotRelay<TickSupplier>;

    // Made through newRelayedSupplier. Takes ownership of `set` (released
    // through DeleteSnapshotSet) and binds `relay`, which the feed gets as
    // the set's sink. `logger` and `consumer` are the host's, not owned.
    TickSupplier(Relay& relay, SnapshotSet* set, data::HostLogger* logger, data::TickConsumer* consumer);
    // Waits for a running callback (supplierLock as reader), deletes the set
    // and closes the relay; inside its own notification, the set goes once
    // the notification has unwound.
    ~TickSupplier() override;
    TickSupplier(const TickSupplier&) = delete;
    TickSupplier& operator=(const TickSupplier&) = delete;

    // Creation only, before publish(): adds the ids of the long field names in
    // `names`; unknown, short and null names are skipped, duplicates collapse.
    void subscribe(data::NameList* names);
    // Creation only: stores the relay as the set's sink and calls Init().
    void publish();

    // The same as the feed's call through the relay.
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds) override;
    // The callback's body, called by the relay on the feed thread with
    // supplierLock held as writer. Takes the set's read lock around storing
    // values and telling the consumer; touches no member once the consumer
    // has been told (it may delete the supplier).
    void handleSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds);

    // No lock: meant to be called from inside ticksChanged (under the
    // callback's write lock), or while no callback can run.
    data::CalendarRecord* getTime() override;
    // Last value stored under `name`; an absent name is added with 0.0.
    double getValue(const char* name) override;
    // Whether a value is stored under `name`; adds nothing.
    bool hasValue(const char* name) override;

    Relay& relay;                         // the feed's sink; outlives the supplier
    SnapshotSet* const snapshotSet;       // owned; non-null for the supplier's life
    data::HostLogger* const hostLogger;   // not owned
    data::TickConsumer* const consumer;   // not owned
    // Subscribed ids, ascending; written only during creation. Each slot
    // pointer is written on the feed thread under supplierLock.
    std::map<std::int16_t, TickField> fieldIds;
    bool initialLoadDone = false;         // feed thread, under supplierLock
    ACE_RW_Thread_Mutex& supplierLock;    // the relay's; callback: writer; destructor: reader
    data::CalendarRecord tradeTime{};     // feed thread, under supplierLock
    // Long field name to last value. Written by the callback under
    // supplierLock, and by getValue (insert of an absent name) without a lock.
    std::map<std::string, double, std::less<>> values;

private:
    // A host name pointer seen by getValue/hasValue and the subscribed field
    // it named then. The text is compared again on every use, since the host
    // may reuse a buffer for another name.
    struct NameHint {
        const char* name = nullptr;
        TickField* field = nullptr;
    };

    // Builds fieldById and sizes nameHints once fieldIds is complete.
    void indexFields();
    // The value slot of a subscribed, stored field that `name` was seen naming; null otherwise.
    double* hintedSlot(const char* name) const;
    // Remembers which subscribed field `name` points at (nothing for other names).
    void rememberName(const char* name, TickField* field);
    TickField* subscribedField(const char* name);
    // getValue's way for a name without a hint: the map, then a new hint.
    double lookUpValue(const char* name);
    // The entry of `name` in `values`, added with 0.0 when absent.
    double& entryOf(std::string_view name);
    std::size_t hintIndex(const char* name) const;

    void loadAll(SnapshotSet* set);
    void refreshTradeTime(SnapshotSet* set);
    // True when at least one subscribed changed id had a value to store.
    bool storeChanged(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds);
    // Reads the field's value from the set; true when it was stored.
    bool storeValue(SnapshotSet* set, std::int16_t id, TickField& field);

    // Flat index of fieldIds by id (null: not subscribed), so a changed id is
    // found without a map lookup. Written only during creation.
    std::vector<TickField*> fieldById;
    // Open-addressed by name pointer, a power of two long (empty without
    // subscriptions): lets getValue skip the string lookup in `values` for the
    // names a consumer asks for again and again. Written by getValue/hasValue,
    // under the same rules as `values`.
    std::vector<NameHint> nameHints;
    unsigned int hintShift = 0;  // 64 - log2(nameHints.size())
};
