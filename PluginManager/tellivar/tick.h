// Live quotes: a subscription to one symbol's snapshot fields, delivered to a
// host TickConsumer whenever a subscribed field changes.
//
// Threads: `makeTickSupplier` runs on a host thread and
// publishes the supplier to the feed (sink, Init) only once it is complete.
// `onSnapshotUpdate` runs on the feed client's thread. The host deletes the
// supplier on its own thread; a consumer that deletes it inside its own
// `ticksChanged` (discouraged, but safe) has the set deleted once the
// notification has unwound (sink_relay.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/platform.h"
#include "PluginManager/tellivar/sink_relay.h"
#include "feed/TellivarClient.h"
#include "host/data.h"

// ---- Compatibility surface ------------------------------------------------
// Hosts match these texts, and log readers these ACE paths and lines: they are
// part of the plug-in's interface and never change.

// Host messages of the live-quote subsystem, passed to HostLogger::info.
constexpr const char kTickSubscriptionText[] = "TELLIVAR: Tick subscription";
constexpr const char kTickSetupText[] = "TELLIVAR: Tick recordset is setup";
constexpr const char kTickExceptionText[] = "TELLIVAR: exception %s";
constexpr const char kTickArrivesText[] = "TELLIVAR: new data arrives for TickChannel";
constexpr const char kTickSendedText[] = "TELLIVAR: new data sended to consumer";
// Thrown when the feed rejects the symbol (or there is no symbol).
constexpr const char kCreateSnapshotSetFailed[] = "CreateSnapshotSet failed";
// ACE records: the end of every callback that did not fail with a text
// (LM_DEBUG), and an exception that escaped the callback's own handlers (LM_ERROR).
constexpr const char kTickLogPath[] = "PluginManager/tellivar/tick";
constexpr int kTickLineFinished = 126;
constexpr const char kTickFinishedText[] = "date processing finished";
constexpr int kTickLineEscaped = 128;

// ----------------------------------------------------------------------------

// Snapshot field holding the time of the last trade, as a feed time.
constexpr std::int16_t kTradeTimeFieldId = 27;

// One subscribed field: its long name and, once a value is stored under that
// name, the value's slot in `values` (map nodes never move and entries are
// never erased, so the pointer stays valid).
struct TickField {
    const std::string* name;  // the dictionary's long name; lives until unload
    std::size_t readPosition;   // its place among the names the request gave
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
    void handleSnapshotUpdate(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds)
        REQUIRES(supplierLock);

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
    bool initialLoadDone GUARDED_BY(supplierLock) = false;  // feed thread
    RwLock& supplierLock;                 // the relay's; callback: writer; destructor: reader
    data::CalendarRecord tradeTime GUARDED_BY(supplierLock){};  // feed thread
    // Long field name to last value. Written by the callback under
    // supplierLock, and by getValue (insert of an absent name) without a lock.
    std::map<std::string, double, std::less<>> values;

private:
    // Builds fieldById once fieldIds is complete.
    void indexFields();
    // getValue's way for a name other than the predicted one: the map, and
    // the prediction moves on from the field it named.
    double lookUpValue(const char* name);
    TickField* subscribedField(const char* name);
    // The entry of `name` in `values`, added with 0.0 when absent.
    double& entryOf(std::string_view name);

    void loadAll(SnapshotSet* set) REQUIRES(supplierLock);
    void refreshTradeTime(SnapshotSet* set) REQUIRES(supplierLock);
    // True when at least one subscribed changed id had a value to store.
    bool storeChanged(SnapshotSet* set, std::uint8_t changedCount, const std::uint8_t* changedIds);
    // Reads the field's value from the set; true when it was stored.
    bool storeValue(SnapshotSet* set, std::int16_t id, TickField& field);

    // Flat index of fieldIds by id (null: not subscribed), so a changed id is
    // found without a map lookup. Written only during creation.
    std::vector<TickField*> fieldById;
    // Subscribed fields in the order the request named them: a consumer
    // reads its values in that order at every notification, so getValue
    // predicts the next name and checks it with one comparison.
    std::vector<TickField*> readOrder;
    std::size_t nextRead = 0;  // position in readOrder of the predicted name; same rules as `values`
};

// Subscribes to the request's symbol and returns the supplier, or null after
// logging why. The data interface calls it on a host thread, with the three
// host objects checked and the session connected (or connecting); no lock held.
data::TickSupplier* makeTickSupplier(data::SupplierRequest* request, data::TickConsumer* consumer,
                                     data::RequestContext* context);
