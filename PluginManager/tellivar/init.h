// Provider core: the provider factory and the data interface. The factory
// holds the ability record and the connection session, and fills the field
// dictionary; their headers come with this one, so a user of the factory sees
// the whole provider core.
#pragma once

#include <atomic>
#include <string>

#include "PluginManager/tellivar/ability.h"
#include "PluginManager/tellivar/dictionary.h"
#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/platform.h"
#include "PluginManager/tellivar/session.h"
#include "host/data.h"

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

    // Makes sure a logon is under way or done, with the stored credentials.
    // Any host thread; lock-free once the session is ready (ConnectionSession::connect).
    void connectSession();
    // True once the session is ready, until the host disconnects. No lock.
    bool isSessionReady() const;

    // The session's hook that makes the session object; tests replace it.
    using SessionMaker = ConnectionSession::Maker;
    static SessionMaker& sessionMaker;

    data::Ability_impl abilityRecord;
    // "Username" and "Password": set by slot 1, read by slot 3 and by a
    // connect's setup, each on any host thread under the credentials' lock.
    // Slot 3's text stays valid until that key is set again.
    Credentials credentials;
    ConnectionSession session{abilityRecord};
    // Not owned; the one last given to slot 6 or 8. Atomic: host threads may
    // make interfaces while another connects.
    std::atomic<data::RequestContext*> requestContext{nullptr};
};

// ---- Data interface ----------------------------------------------------------

// The host's handle for making suppliers. Each creation checks the host
// objects, connects and hands the rest to its supplier's unit (history, tick,
// update). Host threads call them; a missing request or context gives null
// with no feed call.
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
