// Provider core: the field dictionary, the ability record, the provider
// factory with its connection session, and the data interface.
#pragma once

#include <ace/RW_Thread_Mutex.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "feed/TellivarClient.h"
#include "host/data.h"
#include "PluginManager/tellivar/platform.h"

// ---- Field dictionary ----------------------------------------------------

// One row of the fixed field vocabulary.
struct FieldEntry {
    std::int16_t id;
    const char* shortName;
    const char* longName;
};

constexpr std::size_t kFieldTableSize = 95;
extern const FieldEntry FieldTable[kFieldTableSize];

// Process-wide maps, built by the factory constructor and only read after it.
// Ordered with transparent comparison so lookups need no temporary string.
extern std::map<std::int16_t, std::string> FieldNameById;
extern std::map<std::string, std::int16_t, std::less<>> FieldIdByName;
extern std::map<std::string, std::string, std::less<>> HistoryFieldNames;

void buildFieldDictionary();
void buildHistoryFieldNames();

// Long name of a field id; the empty text for an id without a row (and id 41,
// whose name is empty). The reference stays valid until the library unloads.
const std::string& fieldNameById(std::int16_t id);
// True and the id in `id` when `name` is a long field name.
bool findFieldIdByName(std::string_view name, std::int16_t& id);
// The long bar field name ("Close") of a short one ("C"), or null.
const std::string* findHistoryField(std::string_view shortName);

// ---- Ability record --------------------------------------------------------

namespace data {

// What this provider can do. Listeners are read on the feed thread without a
// lock: the host changes them only while no connection callback can run.
class Ability_impl : public ProviderAbility {
public:
    Ability_impl();

    const char* abilityLetters() override;
    const std::int32_t* intervalTable(int unused) override;
    bool capabilityFlag1() override;
    bool capabilityFlag2() override;
    bool capabilityFlag3() override;
    bool capabilityFlag4() override;
    bool capabilityFlag5() override;
    bool isOnline() override;
    void addListener(AbilityListener* listener) override;
    void removeListener(AbilityListener* listener) override;

    // Tells every listener, in list order, with the provider name and this record.
    void notifyListeners();

    const char* letters;                    // abilityLetters
    bool capability[5];                     // capability flags 1 to 5
    std::atomic<bool> online;               // written on the feed thread
    const std::int32_t* table;              // intervalTable: pairs ending (0, 0)
    std::string providerName;
    std::vector<AbilityListener*> listeners;  // not owned
};

}  // namespace data

// ---- Connection session ----------------------------------------------------

// The plug-in's side of the feed connection. The feed calls it on its own
// thread; the callbacks take no plug-in lock. Owned by the factory.
class TellivarState : public EConnectStatus {
public:
    TellivarState(std::string user, std::string password, data::Ability_impl* ability,
                  data::RequestContext* context);

    // Replaces the credentials sent at the next logon. Any thread.
    void setCredentials(const std::string& user, const std::string& pass);

    void onSendCredentials(std::int32_t, std::int32_t) override;
    void onLogon(std::int32_t) override;
    void onLogOff() override;
    void onReady() override;
    void onMessage(const char* text) override;
    ~TellivarState() override;

    // The feed may ask for the credentials while a setup replaces them, so
    // both are read and written only under credentialsLock.
    ACE_RW_Thread_Mutex credentialsLock;
    std::string userName;              // guarded by credentialsLock
    std::string password;              // guarded by credentialsLock
    std::atomic<bool> ready{false};    // set by the first onReady, cleared by a host disconnect

private:
    void sendCredentials();
    void report(const char* text, int code);
    void sendMessage(const char* text);

    data::RequestContext* requestContext;  // not owned; the factory's at creation
    data::Ability_impl* ability;           // not owned; the factory's record
};

// ---- Provider factory ------------------------------------------------------

class TellivarInterface;

class TellivarInterfaceFactory : public data::DataInterfaceFactory {
public:
    TellivarInterfaceFactory();
    ~TellivarInterfaceFactory() override;

    const char* settingsPanel() override;
    int setSetting(const char* key, const char* value) override;
    int checkSetting(void* unused) override;
    const char* getSetting(const char* key) override;
    const char* displayName() override;
    data::ProviderAbility* ability() override;
    data::DataInterface* createDataInterface(data::RequestContext* context) override;
    void release() override;
    void connectionControl(data::RequestContext* context, bool connect) override;

    // Makes sure a logon is under way or done. Any host thread may call it.
    void connectSession();
    // Creates the session on first use, stores the credentials and reconnects.
    // Called only by connectSession, under connectionLock. Negative on failure.
    int setupSession(const std::string& user, const std::string& password);
    bool isSessionReady() const;

    // Makes the session object; tests replace it to make creation fail.
    using SessionMaker = TellivarState* (*)(const std::string& user, const std::string& password,
                                            data::Ability_impl* ability, data::RequestContext* context);
    static SessionMaker sessionMaker;

    data::Ability_impl abilityRecord;
    std::string userName;                    // host thread only (slots 1 and 3, connectSession)
    std::string password;                    // likewise
    ACE_RW_Thread_Mutex connectionLock;
    std::unique_ptr<TellivarState> session;  // owned; written under connectionLock
    // The same object, published for the lock-free ready check: another thread
    // may be creating the session while connectSession's fast path looks at it.
    std::atomic<TellivarState*> liveSession{nullptr};
    // Not owned; the one last given to slot 6 or 8. Atomic: host threads may
    // make interfaces while another connects.
    std::atomic<data::RequestContext*> requestContext{nullptr};
};

// ---- Data interface ----------------------------------------------------------

// The host's handle for making suppliers. Each creation lives beside its
// supplier: createHistorySupplier in history.cpp, createTickSupplier in
// tick.cpp, createUpdateSupplier in update.cpp. Host threads call them; a
// missing request or context gives null with no feed call.
class TellivarInterface : public data::DataInterface {
public:
    explicit TellivarInterface(TellivarInterfaceFactory* factory);
    ~TellivarInterface() override;

    data::HistorySupplier* createHistorySupplier(data::SupplierRequest* request, data::HistoryConsumer* consumer,
                                                 data::RequestContext* context) override;
    data::TickSupplier* createTickSupplier(data::SupplierRequest* request, data::TickConsumer* consumer,
                                           data::RequestContext* context) override;
    data::TickSupplier* createUpdateSupplier(data::SupplierRequest* request, data::TickConsumer* consumer,
                                             data::RequestContext* context) override;

    TellivarInterfaceFactory* factory;  // not owned
    ACE_RW_Thread_Mutex interfaceLock;  // held for the whole of a history or update creation
};
