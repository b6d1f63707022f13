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
class HostLogger {
public:
    virtual void status(const char* text, int code) = 0;                 // slot 0
    virtual void reserved1() {}                                           // slot 1
    virtual void error(const char* format, const char* text) = 0;        // slot 2
    virtual void reserved3() {}                                           // slot 3
    virtual void info(const char* format, const char* text) = 0;         // slot 4

protected:
    ~HostLogger() = default;
};

// The host's per-request environment.
class RequestContext {
public:
    virtual HostLogger* logger() = 0;  // slot 0

protected:
    ~RequestContext() = default;
};

// A list of field names carried by a request.
class NameList {
public:
    virtual void reserved0() {}                          // slot 0
    virtual unsigned int count() = 0;                    // slot 1
    virtual const char* at(unsigned int index) = 0;      // slot 2

protected:
    ~NameList() = default;
};

// What a consumer asks a supplier for.
class SupplierRequest {
public:
    virtual void reserved0() {}                          // slot 0
    virtual void reserved1() {}                          // slot 1
    virtual void reserved2() {}                          // slot 2
    virtual void reserved3() {}                          // slot 3
    virtual unsigned int intervalNumber() = 0;           // slot 4
    virtual int intervalType() = 0;                      // slot 5
    virtual unsigned int intervalMultiple() = 0;         // slot 6
    virtual char intervalLetter() = 0;                   // slot 7
    virtual void reserved8() {}                          // slot 8
    virtual void reserved9() {}                          // slot 9
    virtual const CalendarRecord* endTime() = 0;         // slot 10
    virtual void reserved11() {}                         // slot 11
    virtual void reserved12() {}                         // slot 12
    virtual void reserved13() {}                         // slot 13
    virtual void reserved14() {}                         // slot 14
    virtual int recordCount() = 0;                       // slot 15
    virtual NameList* fieldNames() = 0;                  // slot 16
    virtual void reserved17() {}                         // slot 17
    virtual const char* symbol() = 0;                    // slot 18

protected:
    ~SupplierRequest() = default;
};

// Told when the ability record changes (the online flag, mostly).
class AbilityListener {
public:
    virtual void abilityChanged(const char* providerName, ProviderAbility* ability) = 0;  // slot 0

protected:
    ~AbilityListener() = default;
};

// Told once a history supplier holds the complete history.
class HistoryConsumer {
public:
    virtual void reserved0() {}                                   // slot 0
    virtual void historyReady(HistorySupplier* supplier) = 0;     // slot 1

protected:
    ~HistoryConsumer() = default;
};

// Told when a live supplier has new values.
class TickConsumer {
public:
    virtual void reserved0() {}                                   // slot 0
    virtual void ticksChanged(TickSupplier* supplier) = 0;        // slot 1

protected:
    ~TickConsumer() = default;
};

// ---- Abstract classes the plug-in implements ---------------------------

// Common root of every supplier; the host deletes suppliers through slot 0.
class SupplierBase {
public:
    virtual ~SupplierBase() = default;  // slot 0
};

// A supplier of past bars, read through iterators.
class HistorySupplier : public SupplierBase {
public:
    virtual TickIterator* makeIterator() = 0;         // slot 1
    virtual TickIterator* makeReverseIterator() = 0;  // slot 2
};

// The value interface shared by live suppliers and history iterators.
class TickSupplier : public SupplierBase {
public:
    virtual CalendarRecord* getTime() = 0;            // slot 1
    virtual double getValue(const char* name) = 0;    // slot 2
    virtual bool hasValue(const char* name) = 0;      // slot 3
};

// A position in a run of records, with the value interface of its record.
class TickIterator : public TickSupplier {
public:
    virtual int isValid() = 0;             // slot 4
    virtual void setOption(int option) = 0; // slot 5
    virtual void next() = 0;               // slot 6
};

// What the provider can do, and whether it is online.
class ProviderAbility {
public:
    virtual const char* abilityLetters() = 0;               // slot 0
    virtual const std::int32_t* intervalTable(int unused) = 0; // slot 1
    virtual bool capabilityFlag1() = 0;                     // slot 2
    virtual bool capabilityFlag2() = 0;                     // slot 3
    virtual bool capabilityFlag3() = 0;                     // slot 4
    virtual bool capabilityFlag4() = 0;                     // slot 5
    virtual bool capabilityFlag5() = 0;                     // slot 6
    virtual bool isOnline() = 0;                            // slot 7
    virtual void addListener(AbilityListener* listener) = 0;    // slot 8
    virtual void removeListener(AbilityListener* listener) = 0; // slot 9

protected:
    ~ProviderAbility() = default;
};

// Creates the three kinds of supplier. Owned by the host.
class DataInterface {
public:
    virtual ~DataInterface() = default;  // slot 0
    virtual HistorySupplier* createHistorySupplier(SupplierRequest* request, HistoryConsumer* consumer,
                                                   RequestContext* context) = 0;  // slot 1
    virtual TickSupplier* createTickSupplier(SupplierRequest* request, TickConsumer* consumer,
                                             RequestContext* context) = 0;        // slot 2
    virtual TickSupplier* createUpdateSupplier(SupplierRequest* request, TickConsumer* consumer,
                                               RequestContext* context) = 0;      // slot 3
};

// The host's handle on a whole provider, made by `init_data_interface`.
class DataInterfaceFactory {
public:
    virtual const char* settingsPanel() = 0;                                   // slot 0
    virtual int setSetting(const char* key, const char* value) = 0;            // slot 1
    virtual int checkSetting(void* unused) = 0;                                // slot 2
    virtual const char* getSetting(const char* key) = 0;                       // slot 3
    virtual const char* displayName() = 0;                                     // slot 4
    virtual ProviderAbility* ability() = 0;                                    // slot 5
    virtual DataInterface* createDataInterface(RequestContext* context) = 0;  // slot 6
    virtual void release() = 0;                                                // slot 7
    virtual void connectionControl(RequestContext* context, bool connect) = 0; // slot 8
    virtual ~DataInterfaceFactory() = default;                                 // slot 9
};

}  // namespace data

// The one function the plug-in exports. Returns a new factory owned by the
// host, or null when it cannot be made.
extern "C" data::DataInterfaceFactory* init_data_interface();
using InitDataInterfaceFn = data::DataInterfaceFactory* (*)();
