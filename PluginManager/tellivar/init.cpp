// Provider core: exported entry point, provider factory and data interface.
// The ability record, the field dictionary and the connection session have
// units of their own.
#include "PluginManager/tellivar/init.h"

#include <cstring>
#include <new>

#include "PluginManager/tellivar/history.h"
#include "PluginManager/tellivar/tick.h"
#include "PluginManager/tellivar/update.h"

namespace {

// ---- Compatibility surface ------------------------------------------------
// Hosts match these texts: they are part of the plug-in's interface and never
// change.
constexpr const char kDisplayName[] = "Tellivar";
constexpr const char kUsernameKey[] = "Username";
constexpr const char kPasswordKey[] = "Password";
constexpr const char kAbilityLetters[] = "MWDm";

// One line of XRC: the panel the host shows to ask for the credentials.
constexpr const char kSettingsPanel[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<resource>"
    "<object class=\"wxPanel\" name=\"Tellivar\">"
    "<object class=\"wxBoxSizer\"><orient>wxVERTICAL</orient>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER|wxALL</flag><border>5</border>"
    "<object class=\"wxStaticText\" name=\"ID_TEXT\">"
    "<label>Please, insert here user name and password for tellivar</label></object>"
    "</object>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER_VERTICAL|wxALL</flag><border>5</border>"
    "<object class=\"wxBoxSizer\"><orient>wxHORIZONTAL</orient>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER|wxALL</flag><border>5</border>"
    "<object class=\"wxStaticText\" name=\"ID_TELLIVAR_USERNAME\"><size>100,-1</size>"
    "<label>user name:</label></object></object>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER|wxALL</flag><border>5</border>"
    "<object class=\"ovkTextCtrl\" name=\"Username\"><size>200,-1</size>"
    "<value>login name</value></object></object>"
    "</object></object>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER_VERTICAL|wxALL</flag><border>5</border>"
    "<object class=\"wxBoxSizer\"><orient>wxHORIZONTAL</orient>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER|wxALL</flag><border>5</border>"
    "<object class=\"wxStaticText\" name=\"ID_TELLIVAR_PASSWORD\"><size>100,-1</size>"
    "<label>password:</label></object></object>"
    "<object class=\"sizeritem\"><flag>wxALIGN_CENTER|wxALL</flag><border>5</border>"
    "<object class=\"Passwordfield\" name=\"Password\"><size>200,-1</size>"
    "<value>password</value></object></object>"
    "</object></object>"
    "</object></object></resource>";

// Interval pairs offered to the host, ending with (0, 0).
constexpr std::int32_t kIntervalTable[] = {1, 1, 2, 2, 3, 3, 5, 5, 10, 10, 15, 15, 30, 30, 60, 60, 0, 0};

}  // namespace

// ---- Provider factory ------------------------------------------------------

TellivarInterfaceFactory::TellivarInterfaceFactory() {
    abilityRecord.providerName = kDisplayName;
    abilityRecord.letters = kAbilityLetters;
    abilityRecord.table = kIntervalTable;
    for (bool& flag : abilityRecord.capability) flag = true;
    buildFieldDictionary();
    buildHistoryFieldNames();
}

// The session goes first (members are destroyed in reverse order): its
// object's destructor disconnects and shuts the feed down.
TellivarInterfaceFactory::~TellivarInterfaceFactory() = default;

TellivarInterfaceFactory::SessionMaker& TellivarInterfaceFactory::sessionMaker = ConnectionSession::maker;

void TellivarInterfaceFactory::connectSession() { session.connect(credentials, requestContext); }

bool TellivarInterfaceFactory::isSessionReady() const { return session.isReady(); }

const char* TellivarInterfaceFactory::settingsPanel() { return kSettingsPanel; }

int TellivarInterfaceFactory::setSetting(const char* key, const char* value) {
    if (key == nullptr || value == nullptr) return 0;  // nothing a host should send; ignored
    WriteGuard guard(credentials.lock);
    if (std::strcmp(key, kUsernameKey) == 0) {
        credentials.userName = value;
    } else if (std::strcmp(key, kPasswordKey) == 0) {
        credentials.password = value;
    }
    return 0;
}

int TellivarInterfaceFactory::checkSetting(void*) { return 1; }

const char* TellivarInterfaceFactory::getSetting(const char* key) {
    if (key == nullptr) return nullptr;
    ReadGuard guard(credentials.lock);
    if (std::strcmp(key, kUsernameKey) == 0) return credentials.userName.c_str();
    if (std::strcmp(key, kPasswordKey) == 0) return credentials.password.c_str();
    return nullptr;
}

const char* TellivarInterfaceFactory::displayName() { return kDisplayName; }

data::ProviderAbility* TellivarInterfaceFactory::ability() { return &abilityRecord; }

data::DataInterface* TellivarInterfaceFactory::createDataInterface(data::RequestContext* context) {
    requestContext = context;
    return new (std::nothrow) TellivarInterface(this);
}

void TellivarInterfaceFactory::release() { delete this; }

void TellivarInterfaceFactory::connectionControl(data::RequestContext* context, bool connect) {
    requestContext = context;
    if (connect) {
        connectSession();
        return;
    }
    session.disconnect();
}

// ---- Data interface ----------------------------------------------------------

TellivarInterface::TellivarInterface(TellivarInterfaceFactory* owner) : factory(owner) {}

TellivarInterface::~TellivarInterface() = default;

// Nothing can be asked, told or logged through a missing host object. Each
// creation connects first; history and update creations hold interfaceLock as
// writer throughout, so they run one at a time on one interface.
data::HistorySupplier* TellivarInterface::createHistorySupplier(data::SupplierRequest* request,
                                                                data::HistoryConsumer* consumer,
                                                                data::RequestContext* context) {
    WriteGuard guard(interfaceLock);
    if (request == nullptr || consumer == nullptr || context == nullptr) return nullptr;
    factory->connectSession();
    return makeHistorySupplier(interfaceLock, request, consumer, context);
}

data::TickSupplier* TellivarInterface::createTickSupplier(data::SupplierRequest* request, data::TickConsumer* consumer,
                                                          data::RequestContext* context) {
    if (request == nullptr || consumer == nullptr || context == nullptr) return nullptr;
    factory->connectSession();  // the subscription goes on whether or not the session is up
    return makeTickSupplier(request, consumer, context);
}

// A null consumer is allowed (its supplier ignores every callback); `context`
// is only checked.
data::TickSupplier* TellivarInterface::createUpdateSupplier(data::SupplierRequest* request,
                                                            data::TickConsumer* consumer,
                                                            data::RequestContext* context) {
    if (request == nullptr || context == nullptr) return nullptr;
    WriteGuard guard(interfaceLock);
    factory->connectSession();  // its outcome is not examined: the query waits for the logon
    return makeUpdateSupplier(interfaceLock, request, consumer);
}

// ---- Entry point -------------------------------------------------------------

extern "C" TELLIVAR_EXPORT data::DataInterfaceFactory* init_data_interface() {
    return new (std::nothrow) TellivarInterfaceFactory();
}
