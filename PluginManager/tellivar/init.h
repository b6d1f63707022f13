// Provider core: the ability record, the provider factory and the data
// interface. The factory fills the field dictionary and owns the connection
// session; their headers come with this one, so a user of the factory sees
// the whole provider core.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PluginManager/tellivar/dictionary.h"
#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/session.h"
#include "host/data.h"
#include "PluginManager/tellivar/platform.h"

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

    // The session's setup; defined in session.cpp.
    // Makes sure a logon is under way or done. Any host thread may call it.
    void connectSession() EXCLUDES(connectionLock);
    // Creates the session on first use, stores the credentials and reconnects.
    // Called only by connectSession, under connectionLock. Negative on failure.
    int setupSession(const std::string& user, const std::string& password) REQUIRES(connectionLock);
    bool isSessionReady() const;

    // Makes the session object; tests replace it to make creation fail.
    using SessionMaker = TellivarState* (*)(const std::string& user, const std::string& password,
                                            data::Ability_impl* ability, data::RequestContext* context);
    static SessionMaker sessionMaker;

    data::Ability_impl abilityRecord;
    // Written by slot 1 and read by slot 3 and connectSession, on any host
    // thread: each takes credentialsLock, never on the fast path of connecting.
    std::string userName GUARDED_BY(credentialsLock);
    std::string password GUARDED_BY(credentialsLock);
    RwLock credentialsLock;
    RwLock connectionLock;
    std::unique_ptr<TellivarState> session GUARDED_BY(connectionLock);  // owned
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
    RwLock interfaceLock;  // held for the whole of a history or update creation
};
