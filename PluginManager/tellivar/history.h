// History: the supplier that opens a record set for a request and tells the
// consumer once the requested bars are there, and the iterators that walk
// those bars from the oldest to the newest and back.
//
// Threads: a host thread creates the supplier (under the data interface's
// interfaceLock) and later makes iterators and deletes the supplier; the feed
// client's thread calls onRecordSetEvent. The consumer is told either on the
// creating thread (the set answered at once) or on the feed thread.
#pragma once

#include <cstdint>
#include <memory>

#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/sink_relay.h"
#include "feed/TellivarClient.h"
#include "host/data.h"

// Frees a record set the only way the feed client allows: DeleteTRecordSet.
struct RecordSetDeleter {
    void operator()(TRecordSet* set) const;
};
using RecordSetPtr = std::unique_ptr<TRecordSet, RecordSetDeleter>;

// A position in the supplier's record set, with the value interface of the
// record it stands on. Takes no lock: the caller reads during historyReady
// (the set's read lock is held then) or serialises its own reads afterwards.
// Owned by the supplier that made it.
class HistoryBaseIterator : public data::TickIterator {
public:
    // Takes the record range once, now; later records are not seen.
    explicit HistoryBaseIterator(TRecordSet* recordSet);

    // Fills recordTime from the current record's time; the pointer stays the same.
    data::CalendarRecord* getTime() override;
    // The named bar field ("O", "H", "L", "C", "V") of the current record; 0.0 otherwise.
    double getValue(const char* name) override;
    // True when the name is a bar field and the current record holds a value for it.
    bool hasValue(const char* name) override;
    void setOption(int option) override;

protected:
    TRecordSet* recordSet;     // the supplier's; not owned
    std::int32_t firstIndex;   // oldest record when made
    std::int32_t lastIndex;    // newest record when made
    std::int32_t position;     // current record
    data::CalendarRecord recordTime;

};

// Walks from the oldest record to the newest.
class HistoryIterator : public HistoryBaseIterator {
public:
    explicit HistoryIterator(TRecordSet* recordSet);
    int isValid() override;
    void next() override;
};

// Walks from the newest record to the oldest.
class HistoryRIterator : public HistoryBaseIterator {
public:
    explicit HistoryRIterator(TRecordSet* recordSet);
    int isValid() override;
    void next() override;
};

// The record-set sink and the host's history supplier in one object. The feed
// holds the supplier's relay as the set's sink (it outlives the supplier); the
// host and the consumer see the data::HistorySupplier part. Owned by the host
// once creation returns it; it owns its record set and iterators. A consumer
// may delete it inside historyReady (discouraged): the record set is deleted
// once the notification has unwound, and a creation whose at-once
// historyReady deleted it returns null.
class HistorySupplier : public ITRecSetSink, public data::HistorySupplier {
public:
    using Relay = RecordSetRelay<HistorySupplier>;

    // Made through newRelayedSupplier, which binds `relay` to it.
    HistorySupplier(Relay& relay, data::HistoryConsumer* consumer, RecordSetPtr&& recordSet,
                    std::int32_t recordCount);
    // Waits (supplierLock as reader) for a notification in progress, deletes
    // the record set and closes the relay, then deletes the iterators.
    ~HistorySupplier() override;

    // The same as the feed's call through the relay.
    void onRecordSetEvent(TRecordSet* set, int event, long first, long second) override;
    // The callback's body, called by the relay on the feed thread with
    // supplierLock held as writer. Touches no member once the consumer was told.
    void handleRecordSetEvent(TRecordSet* set, int event, long first, long second) REQUIRES(relay.supplierLock);
    // Called by the consumer inside historyReady (on the feed thread, or on
    // the creating host thread) or afterwards on a host thread, one call at a
    // time; no lock. Each replaces the earlier iterator of its own direction only.
    data::TickIterator* makeIterator() override;
    data::TickIterator* makeReverseIterator() override;

    // Calls historyReady inside the set's read lock (left again if it throws,
    // and the exception goes on). The caller holds interfaceLock (creation) or
    // supplierLock (feed thread).
    void notifyConsumer();

    TRecordSet* records() const { return recordSet.get(); }
    Relay& sink() const { return relay; }

private:
    bool accepts(int event, long first, long second) const REQUIRES(relay.supplierLock);

    Relay& relay;                                // the feed's sink; owns supplierLock
    data::HistoryConsumer* consumer;             // not owned; set at creation
    RecordSetPtr recordSet;                      // owned; set at creation
    std::unique_ptr<HistoryIterator> forward;    // replaced by makeIterator
    std::unique_ptr<HistoryRIterator> reverse;   // replaced by makeReverseIterator
    std::int32_t recordCount;                    // set at creation
    std::int32_t lastFirst GUARDED_BY(relay.supplierLock) = 0;
};

// Opens the history a request asks for and returns its supplier, or null
// after logging why. The data interface calls it on a host thread with the
// three host objects checked, the session connected and its `interfaceLock`
// held as writer; the consumer may be told inside this call.
data::HistorySupplier* makeHistorySupplier(RwLock& interfaceLock, data::SupplierRequest* request,
                                           data::HistoryConsumer* consumer, data::RequestContext* context)
    REQUIRES(interfaceLock);
