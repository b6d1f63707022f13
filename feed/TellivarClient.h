// Declarations of the feed client: the connection object reached through the
// global `pTellivarClient`, the two kinds of data set it hands out, and the
// three sink interfaces through which it calls the plug-in back.
//
// Threads: every sink operation is called on the feed client's own thread.
// Sets: a set is created by `CreateTRecordSet`/`CreateSnapshotSet` and freed
// only by the matching `Delete...` call, once. After that call returns no sink
// operation for the set starts, and the call never waits for one in progress.
//
// The sink interfaces keep the feed's slot order; `reserved0` in ISSSetSink
// holds a slot the plug-in does not use.
#pragma once

#include <cstdint>

// Seconds-based feed time made by `MakeTime` and split by `GetYMD`/`GetHMS`.
using FeedTime = std::uint32_t;

class TRecordSet;
class SnapshotSet;

// Progress of connecting and logging on. Default operations do nothing.
class EConnectStatus {
public:
    virtual void onSendCredentials(std::int32_t, std::int32_t) {}  // slot 0
    virtual void onLogon(std::int32_t) {}                          // slot 1
    virtual void onLogOff() {}                                     // slot 2
    virtual void onReady() {}                                      // slot 3
    virtual void onMessage(const char*) {}                         // slot 4
    virtual ~EConnectStatus() = default;                           // slot 5
};

// Record-set events: progress of a history load, or a change of the series.
class ITRecSetSink {
public:
    virtual void onRecordSetEvent(TRecordSet* set, int event, long first, long second) = 0;  // slot 0

protected:
    ~ITRecSetSink() = default;
};

// Snapshot changes. Default operations do nothing.
class ISSSetSink {
public:
    virtual void reserved0(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {}  // slot 0
    virtual void onSnapshotUpdate(SnapshotSet*, std::uint8_t /*changedCount*/,
                                  const std::uint8_t* /*changedIds*/) {}              // slot 1

protected:
    ~ISSSetSink() = default;
};

// A run of records (bars) opened by a query text.
class TRecordSet {
public:
    virtual void SetSink(ITRecSetSink* sink) = 0;
    // History: 0 failure, 3 complete at once, anything else: events follow.
    virtual int Init(int records, unsigned long flags) = 0;
    // Between EnterRead and LeaveRead the records and public members stay fixed.
    virtual void EnterRead() = 0;
    virtual void LeaveRead() = 0;
    // Index of a record field; a name the set lacks gives an index that
    // GetRecDouble rejects.
    virtual short GetFieldIx(const char* name) = 0;
    // False leaves *value unchanged.
    virtual bool GetRecDouble(long record, short field, double* value) = 0;
    virtual bool GetETime(long record, int kind, FeedTime* time) = 0;

    // While hasRecords is non-zero the oldest record's index is
    // firstRecord - recordBase and the newest's lastRecord - recordBase.
    std::int32_t sinkMode = 0;
    std::int32_t hasRecords = 0;
    std::int32_t firstRecord = 0;
    std::int32_t lastRecord = 0;
    std::int32_t recordBase = 0;

protected:
    virtual ~TRecordSet() = default;
};

// The live snapshot of one symbol's quote fields, addressed by field id.
class SnapshotSet {
public:
    ISSSetSink* sink = nullptr;  // written by the subscriber before Init

    virtual bool Init() = 0;
    virtual void EnterRead() = 0;
    virtual void LeaveRead() = 0;
    // False means the set holds no numeric value for the id.
    virtual bool GetDouble(short id, double* value) = 0;
    virtual bool GetDWord(short id, FeedTime* value) = 0;

protected:
    virtual ~SnapshotSet() = default;
};

// The connection to the market-data service.
class TellivarClient {
public:
    virtual bool Connect(EConnectStatus* status) = 0;
    virtual void SendLogon(const char* user, const char* password) = 0;
    virtual void Disconnect() = 0;
    virtual void Shutdown() = 0;
    // Null means the query or symbol was rejected.
    virtual TRecordSet* CreateTRecordSet(const char* query) = 0;
    virtual SnapshotSet* CreateSnapshotSet(const char* symbol) = 0;
    virtual void DeleteTRecordSet(TRecordSet* set) = 0;
    virtual void DeleteSnapshotSet(SnapshotSet* set) = 0;
    // Full year, month 1-12.
    virtual FeedTime MakeTime(int year, int month, int day, int hour, int minute, int second) = 0;
    virtual void GetYMD(FeedTime time, int* year, int* month, int* day) = 0;
    virtual void GetHMS(FeedTime time, int* hour, int* minute, int* second) = 0;

protected:
    virtual ~TellivarClient() = default;
};

// The feed client's one instance. Defined by the feed client library.
extern TellivarClient* pTellivarClient;
