// Declarations of the host framework's abstract data classes and of the host
// objects the plug-in calls. The host calls every class through its virtual
// table, so the order of the virtual operations below is the contract: do not
// reorder them, and keep each `reservedN` placeholder where it is, since it
// holds a slot the host uses for something the plug-in never calls.
//
// All texts are byte strings compared case-sensitively. Nothing here is owned
// by the plug-in unless a comment says so.
#pragma once

#include <cstdint>

namespace data {

// Nine signed 32-bit integers in the order of C's `struct tm`: seconds,
// minutes, hours, day of month, month 0-11, years since 1900, day of week,
// day of year, daylight-saving flag. Declared here (instead of using the
// platform's `struct tm`) because the contract fixes exactly these nine ints.
struct CalendarRecord {
    std::int32_t tm_sec;
    std::int32_t tm_min;
    std::int32_t tm_hour;
    std::int32_t tm_mday;
    std::int32_t tm_mon;
    std::int32_t tm_year;
    std::int32_t tm_wday;
    std::int32_t tm_yday;
    std::int32_t tm_isdst;
};

class ProviderAbility;
class DataInterface;
class HistorySupplier;
class TickSupplier;
class TickIterator;

// ---- Host objects the plug-in only calls -------------------------------

// Receives connection status texts and progress/failure lines.
// Threads: called on any thread the plug-in runs on (the feed thread, or the
// host thread inside a supplier creation), so it must be thread-safe. The
// texts are valid only during the call.
class HostLogger {
public:
    // A connection status text ("Connect", "Logon", "Ready", "LogOff") and its
    // code (0 fine, 2 needs attention).
    virtual void status(const char* text, int code) = 0;                 // slot 0
    virtual void reserved1() {}                                           // slot 1
    // A failure line: `format` holds at most one "%s", which stands for
    // `text`, and may end in a line feed. Never use `format` as a printf format.
    virtual void error(const char* format, const char* text) = 0;        // slot 2
    virtual void reserved3() {}                                           // slot 3
    // A progress line or a feed message; `format` and `text` as for error().
    virtual void info(const char* format, const char* text) = 0;         // slot 4

protected:
    ~HostLogger() = default;
};

// The host's per-request environment.
// Kept by the plug-in: the factory keeps the last context given to it for the
// connection's reports, so it must outlive the factory.
class RequestContext {
public:
    // Asked again for every report; must not return null.
    virtual HostLogger* logger() = 0;  // slot 0

protected:
    ~RequestContext() = default;
};

// A list of field names carried by a request.
// Read only during the creation call that was given it.
class NameList {
public:
    virtual void reserved0() {}                          // slot 0
    // Number of names.
    virtual unsigned int count() = 0;                    // slot 1
    // Name `index` (below count()); the text must stay valid for the call.
    virtual const char* at(unsigned int index) = 0;      // slot 2

protected:
    ~NameList() = default;
};

// What a consumer asks a supplier for.
// Read only on the creating thread during the creation call; the plug-in
// keeps no pointer to it or to anything it returns.
class SupplierRequest {
public:
    virtual void reserved0() {}                          // slot 0
    virtual void reserved1() {}                          // slot 1
    virtual void reserved2() {}                          // slot 2
    virtual void reserved3() {}                          // slot 3
    // Interval: type 1 is minutes by number (intervalNumber); any other type
    // uses a letter of "MWDm" (months, weeks, days, minutes) and a multiple.
    virtual unsigned int intervalNumber() = 0;           // slot 4
    virtual int intervalType() = 0;                      // slot 5
    virtual unsigned int intervalMultiple() = 0;         // slot 6
    virtual char intervalLetter() = 0;                   // slot 7
    virtual void reserved8() {}                          // slot 8
    virtual void reserved9() {}                          // slot 9
    // Last bar's time, with the full year and the month 1-12 (not C's
    // offsets); a year of 1800 or less means "up to now". History only.
    virtual const CalendarRecord* endTime() = 0;         // slot 10
    virtual void reserved11() {}                         // slot 11
    virtual void reserved12() {}                         // slot 12
    virtual void reserved13() {}                         // slot 13
    virtual void reserved14() {}                         // slot 14
    // Bars asked for (history).
    virtual int recordCount() = 0;                       // slot 15
    // Live quotes: long field names to subscribe (unknown ones are dropped).
    // History: only the bar letters O, H, L, C, V. May return null.
    virtual NameList* fieldNames() = 0;                  // slot 16
    virtual void reserved17() {}                         // slot 17
    // The instrument; null or a symbol the feed rejects makes creation fail.
    virtual const char* symbol() = 0;                    // slot 18

protected:
    ~SupplierRequest() = default;
};

// Told when the ability record changes (the online flag, mostly).
// Called on the feed thread; added and removed only while no connection
// callback can run (before connecting, or after the factory disconnected).
class AbilityListener {
public:
    // Read ability->isOnline() here; do not add or remove listeners inside.
    virtual void abilityChanged(const char* providerName, ProviderAbility* ability) = 0;  // slot 0

protected:
    ~AbilityListener() = default;
};

// Told once a history supplier holds the complete history.
// Called once per supplier: on the feed thread, or on the creating thread
// inside createHistorySupplier when the history is complete at once. Inside,
// the supplier's iterators may be made and walked; the supplier must not be
// deleted there. Not owned by the plug-in; must outlive the supplier.
class HistoryConsumer {
public:
    virtual void reserved0() {}                                   // slot 0
    virtual void historyReady(HistorySupplier* supplier) = 0;     // slot 1

protected:
    ~HistoryConsumer() = default;
};

// Told when a live supplier has new values.
// Called on the feed thread on every change; read the supplier's values
// inside the call (later reads race with the next update). Not owned by the
// plug-in; must outlive the supplier.
class TickConsumer {
public:
    virtual void reserved0() {}                                   // slot 0
    virtual void ticksChanged(TickSupplier* supplier) = 0;        // slot 1

protected:
    ~TickConsumer() = default;
};

// ---- Abstract classes the plug-in implements ---------------------------

// Common root of every supplier; the host deletes suppliers through slot 0.
// Owned by the host once a creation returns it. Deletion may happen on any
// host thread at any time: it waits for a callback in progress, and no
// callback starts after it returned. Deleting from inside the supplier's own
// notification is tolerated but discouraged.
class SupplierBase {
public:
    virtual ~SupplierBase() = default;  // slot 0
};

// A supplier of past bars, read through iterators.
// Both iterator makers: host thread (or inside historyReady). The iterator is
// owned by the supplier; a second call replaces the earlier iterator of the
// same direction. Iterators see the bars present when they were made.
class HistorySupplier : public SupplierBase {
public:
    // Oldest bar to newest.
    virtual TickIterator* makeIterator() = 0;         // slot 1
    // Newest bar to oldest.
    virtual TickIterator* makeReverseIterator() = 0;  // slot 2
};

// The value interface shared by live suppliers and history iterators.
// Live suppliers: call these inside ticksChanged. Keys: long field names for
// live quotes, "O" "H" "L" "C" "V" for the update stream and history.
class TickSupplier : public SupplierBase {
public:
    // Time of the current values; owned by the supplier, overwritten by the next update.
    virtual CalendarRecord* getTime() = 0;            // slot 1
    // The value stored under `name`; 0.0 when there is none (live suppliers
    // then store the name with 0.0).
    virtual double getValue(const char* name) = 0;    // slot 2
    // Whether a value is stored under `name`.
    virtual bool hasValue(const char* name) = 0;      // slot 3
};

// A position in a run of records, with the value interface of its record.
class TickIterator : public TickSupplier {
public:
    // Non-zero while the iterator stands on a bar.
    virtual int isValid() = 0;             // slot 4
    // Ignored.
    virtual void setOption(int option) = 0; // slot 5
    // Moves to the next bar in the iterator's direction.
    virtual void next() = 0;               // slot 6
};

// What the provider can do, and whether it is online.
// Owned by the factory; valid until it is deleted. Any thread.
class ProviderAbility {
public:
    // Interval letters offered ("MWDm").
    virtual const char* abilityLetters() = 0;               // slot 0
    // Pairs of minute intervals, ending with (0, 0).
    virtual const std::int32_t* intervalTable(int unused) = 0; // slot 1
    // Capability flags 1 to 5: all true for this provider.
    virtual bool capabilityFlag1() = 0;                     // slot 2
    virtual bool capabilityFlag2() = 0;                     // slot 3
    virtual bool capabilityFlag3() = 0;                     // slot 4
    virtual bool capabilityFlag4() = 0;                     // slot 5
    virtual bool capabilityFlag5() = 0;                     // slot 6
    // Set at logon, cleared at log-off; changes are told to the listeners.
    virtual bool isOnline() = 0;                            // slot 7
    // Not owned; see AbilityListener for when these may be called.
    virtual void addListener(AbilityListener* listener) = 0;    // slot 8
    // Removes a listener added before; unknown ones are ignored.
    virtual void removeListener(AbilityListener* listener) = 0; // slot 9

protected:
    ~ProviderAbility() = default;
};

// Creates the three kinds of supplier. Owned by the host.
// Any host thread; creations may run concurrently. Each connects first when
// needed, reads the request during the call, and returns a host-owned
// supplier or null (the reason goes to the context's logger or to ACE).
// Delete every supplier before the interface, and interfaces before the factory.
class DataInterface {
public:
    virtual ~DataInterface() = default;  // slot 0
    // Bars of request->symbol(); the consumer's historyReady follows, maybe
    // inside this call.
    virtual HistorySupplier* createHistorySupplier(SupplierRequest* request, HistoryConsumer* consumer,
                                                   RequestContext* context) = 0;  // slot 1
    // Live quotes of the requested fields; ticksChanged follows on every change.
    virtual TickSupplier* createTickSupplier(SupplierRequest* request, TickConsumer* consumer,
                                             RequestContext* context) = 0;        // slot 2
    // The newest bar of the series; ticksChanged follows on every change.
    virtual TickSupplier* createUpdateSupplier(SupplierRequest* request, TickConsumer* consumer,
                                               RequestContext* context) = 0;      // slot 3
};

// The host's handle on a whole provider, made by `init_data_interface`.
// Owned by the host; deleting it (or release()) logs off and shuts the feed
// client down. Host threads only; host objects given to it must outlive it.
class DataInterfaceFactory {
public:
    // An XRC layout with the inputs "Username" and "Password"; owned by the plug-in.
    virtual const char* settingsPanel() = 0;                                   // slot 0
    // Stores "Username" or "Password" (other keys are ignored); read at the
    // next connect. Returns 0.
    virtual int setSetting(const char* key, const char* value) = 0;            // slot 1
    // Returns 1; the argument is not read.
    virtual int checkSetting(void* unused) = 0;                                // slot 2
    // The stored setting, valid until it is set again; null for other keys.
    virtual const char* getSetting(const char* key) = 0;                       // slot 3
    // "Tellivar"; also the provider name given to listeners.
    virtual const char* displayName() = 0;                                     // slot 4
    // The factory's ability record (see ProviderAbility).
    virtual ProviderAbility* ability() = 0;                                    // slot 5
    // A new host-owned interface; `context` also receives the connection's reports.
    virtual DataInterface* createDataInterface(RequestContext* context) = 0;  // slot 6
    // Deletes the factory; do not delete it as well.
    virtual void release() = 0;                                                // slot 7
    // Starts a logon (returns at once; watch isOnline()) or logs off.
    virtual void connectionControl(RequestContext* context, bool connect) = 0; // slot 8
    virtual ~DataInterfaceFactory() = default;                                 // slot 9
};

}  // namespace data

// The one function the plug-in exports. Returns a new factory owned by the
// host, or null when it cannot be made. Host thread; touches no feed client.
extern "C" data::DataInterfaceFactory* init_data_interface();
using InitDataInterfaceFn = data::DataInterfaceFactory* (*)();
