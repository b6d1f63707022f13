// Update stream: follows the newest bar of one symbol's series. The supplier
// owns a two-record TRecordSet, listens to it as its sink, and on every
// record-set event copies the newest record's time and its open, high, low,
// close and volume into one-letter keys, then tells its consumer.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "PluginManager/tellivar/feed_text.h"
#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/sink_relay.h"
#include "feed/TellivarClient.h"
#include "host/data.h"

// Made by makeUpdateSupplier (below), owned by the host, which
// deletes it through the data::TickSupplier face.
//
// Threads: onRecordSetEvent runs on the feed client's thread under
// supplierLock (writer) and the set's read lock; it calls the consumer with
// both held. getTime/getValue/hasValue take no lock: they are meant to be
// called inside ticksChanged, and a call from elsewhere is not synchronised
// with the next update. The destructor takes supplierLock as writer, so it
// waits for a callback in progress. The feed's sink is the supplier's relay,
// which outlives it; a supplier deleted inside its own ticksChanged has its
// set deleted once the notification has unwound.
class UpdateSupplier : public ITRecSetSink, public data::TickSupplier {
public:
    using Relay = RecordSetRelay<UpdateSupplier>;

    // Made through newRelayedSupplier. `set` is owned from here on; `consumer`
    // is not owned and may be null, in which case every callback is ignored.
    UpdateSupplier(Relay& relay, TRecordSet* set, data::TickConsumer* consumer);
    ~UpdateSupplier() override;
    UpdateSupplier(const UpdateSupplier&) = delete;
    UpdateSupplier& operator=(const UpdateSupplier&) = delete;

    // The same as the feed's call through the relay.
    void onRecordSetEvent(TRecordSet* set, int event, long first, long second) override;
    // The callback's body, called by the relay with supplierLock held as
    // writer. Every call is taken as a change of the series; event, first and
    // second are not examined. Touches no member once the consumer was told.
    void handleRecordSetEvent(TRecordSet* set, int event, long first, long second) REQUIRES(supplierLock);

    // Time of the newest record at the last update; all zeros before the first.
    data::CalendarRecord* getTime() override;
    // The stored value of a one-letter key; an absent key is added with 0.0. Null gives 0.0 and adds nothing.
    double getValue(const char* name) override;
    // True when the key is stored. Adds nothing.
    bool hasValue(const char* name) override;

    Relay& relay;                    // the feed's sink; outlives the supplier
    TRecordSet* const recordSet;     // owned; deleted with DeleteTRecordSet under supplierLock
    data::TickConsumer* consumer GUARDED_BY(supplierLock);  // not owned
    RwLock& supplierLock;            // the relay's; callback and destructor take it as writer
    data::CalendarRecord updateTime GUARDED_BY(supplierLock){};  // written by the callback
    // Written by the callback under supplierLock, and by getValue inside a
    // notification. Keys are only ever added; heterogeneous lookup so that
    // finding a present key allocates nothing.
    std::map<std::string, double, std::less<>> values;

private:
    void readNewestRecord(TRecordSet* set) REQUIRES(supplierLock);
    void readTime(TRecordSet* set, long index) REQUIRES(supplierLock);
    void readValues(TRecordSet* set, long index);
    // The value of `key`, inserted with 0.0 when absent.
    double& entry(const char* key);

    // The node value of each bar key once it exists, in barFieldNames order.
    // Map nodes never move and are never erased, so each pointer stays valid;
    // they spare the callback and the consumer's reads a string lookup.
    // Written with `values`, under the same rules.
    double* barSlots[kBarFieldCount] = {};
};

// Opens the update stream a request asks for and returns its supplier, or
// null after logging why; `consumer` may be null. The data interface calls it
// on a host thread with the request checked, the session connected and its
// `interfaceLock` held as writer.
data::TickSupplier* makeUpdateSupplier(RwLock& interfaceLock, data::SupplierRequest* request,
                                       data::TickConsumer* consumer) REQUIRES(interfaceLock);
