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
// Implemented by the subscriber, which keeps it alive until Shutdown has
// returned; every operation runs on the feed thread and may call the client.
class EConnectStatus {
public:
    // The feed asks for the credentials: answer with SendLogon.
    virtual void onSendCredentials(std::int32_t, std::int32_t) {}  // slot 0
    // Logged on.
    virtual void onLogon(std::int32_t) {}                          // slot 1
    // Logged off: rejected logon, dropped connection or Disconnect.
    virtual void onLogOff() {}                                     // slot 2
    // Ready for requests after a logon.
    virtual void onReady() {}                                      // slot 3
    // A text for the user; valid during the call only.
    virtual void onMessage(const char*) {}                         // slot 4
    virtual ~EConnectStatus() = default;                           // slot 5
};

// Record-set events: progress of a history load, or a change of the series.
// Feed thread; not owned by the set, and must stay valid until the set's
// DeleteTRecordSet has returned.
class ITRecSetSink {
public:
    // `event` 2: load progress, 1: load complete (first = -(records - 1),
    // second = records), 3: the newest bar changed (first = its index,
    // second = 1 when it is a new bar).
    virtual void onRecordSetEvent(TRecordSet* set, int event, long first, long second) = 0;  // slot 0

protected:
    ~ITRecSetSink() = default;
};

// Snapshot changes. Default operations do nothing. Feed thread; not owned by
// the set, and must stay valid until the set's DeleteSnapshotSet has returned.
class ISSSetSink {
public:
    virtual void reserved0(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {}  // slot 0
    // The ids of the fields that changed; the array is valid during the call only.
    virtual void onSnapshotUpdate(SnapshotSet*, std::uint8_t /*changedCount*/,
                                  const std::uint8_t* /*changedIds*/) {}              // slot 1

protected:
    ~ISSSetSink() = default;
};

// A run of records (bars) opened by a query text. Owned by the client; the
// subscriber frees it with DeleteTRecordSet. Any thread may call it; the
// records are stable only between EnterRead and LeaveRead.
class TRecordSet {
public:
    // Before Init; sinkMode 0 set before it makes the set a one-time history load.
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
    // Kind 1: the record's start time.
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
// Owned by the client; the subscriber frees it with DeleteSnapshotSet.
class SnapshotSet {
public:
    ISSSetSink* sink = nullptr;  // written by the subscriber before Init

    // Starts the updates; the first brings a full image.
    virtual bool Init() = 0;
    // Values stay fixed between the two.
    virtual void EnterRead() = 0;
    virtual void LeaveRead() = 0;
    // False means the set holds no numeric value for the id.
    virtual bool GetDouble(short id, double* value) = 0;
    // The field as a feed time (the trade time field).
    virtual bool GetDWord(short id, FeedTime* value) = 0;

protected:
    virtual ~SnapshotSet() = default;
};

// The connection to the market-data service. One instance per process, made
// and kept by the client library. Any thread may call it, a sink too (such as
// SendLogon inside onSendCredentials, or a Delete... inside a set's callback).
class TellivarClient {
public:
    // Starts connecting; progress comes through `status` (not owned), never
    // on the calling thread.
    virtual bool Connect(EConnectStatus* status) = 0;
    // Answers onSendCredentials; the texts are copied.
    virtual void SendLogon(const char* user, const char* password) = 0;
    // Cancels a connection attempt or logs off (onLogOff follows).
    virtual void Disconnect() = 0;
    // Once, after a last Disconnect: stops the feed thread.
    virtual void Shutdown() = 0;
    // Null means the query or symbol was rejected.
    virtual TRecordSet* CreateTRecordSet(const char* query) = 0;
    virtual SnapshotSet* CreateSnapshotSet(const char* symbol) = 0;
    // Once per set. After the call no sink operation for the set starts; the
    // call never waits for one in progress.
    virtual void DeleteTRecordSet(TRecordSet* set) = 0;
    virtual void DeleteSnapshotSet(SnapshotSet* set) = 0;
    // Full year, month 1-12.
    virtual FeedTime MakeTime(int year, int month, int day, int hour, int minute, int second) = 0;
    // Split a feed time: full year, month 1-12, day; hour, minute, second.
    virtual void GetYMD(FeedTime time, int* year, int* month, int* day) = 0;
    virtual void GetHMS(FeedTime time, int* hour, int* minute, int* second) = 0;

protected:
    virtual ~TellivarClient() = default;
};

// Windows: the instance is data of TellivarClient.dll, which MSVC reaches
// only through an import declaration. Whatever defines the instance builds
// with TELLIVAR_FEED_DEFINES_INSTANCE (the library exports it).
#if defined(_WIN32) && defined(TELLIVAR_FEED_DEFINES_INSTANCE)
#define TELLIVAR_FEED_INSTANCE __declspec(dllexport)
#elif defined(_WIN32)
#define TELLIVAR_FEED_INSTANCE __declspec(dllimport)
#else
#define TELLIVAR_FEED_INSTANCE
#endif

// The feed client's one instance. Defined by the feed client library, set
// when it loads; null means no client is installed. Never deleted by users.
extern TELLIVAR_FEED_INSTANCE TellivarClient* pTellivarClient;
