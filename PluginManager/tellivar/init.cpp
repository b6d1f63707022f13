// Provider core: exported entry point, provider factory, ability record and
// data interface. The field dictionary and the connection session have units
// of their own.
#include "PluginManager/tellivar/init.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "PluginManager/tellivar/sink_relay.h"

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
// The ability record's own table until the factory replaces it.
constexpr std::int32_t kDefaultIntervalTable[] = {1, 1, 0, 0};

}  // namespace

// ---- Ability record --------------------------------------------------------

namespace data {

Ability_impl::Ability_impl()
    : letters(""), capability{false, false, false, false, false}, online(false), table(kDefaultIntervalTable) {}

const char* Ability_impl::abilityLetters() { return letters; }
const std::int32_t* Ability_impl::intervalTable(int) { return table; }
bool Ability_impl::capabilityFlag1() { return capability[0]; }
bool Ability_impl::capabilityFlag2() { return capability[1]; }
bool Ability_impl::capabilityFlag3() { return capability[2]; }
bool Ability_impl::capabilityFlag4() { return capability[3]; }
bool Ability_impl::capabilityFlag5() { return capability[4]; }
bool Ability_impl::isOnline() { return online.load(); }

void Ability_impl::addListener(AbilityListener* listener) {
    if (std::find(listeners.begin(), listeners.end(), listener) == listeners.end()) listeners.push_back(listener);
}

void Ability_impl::removeListener(AbilityListener* listener) {
    const auto it = std::find(listeners.begin(), listeners.end(), listener);
    if (it != listeners.end()) listeners.erase(it);
}

void Ability_impl::notifyListeners() {
    for (AbilityListener* listener : listeners) listener->abilityChanged(providerName.c_str(), this);
}

}  // namespace data

// ---- Provider factory ------------------------------------------------------

TellivarInterfaceFactory::TellivarInterfaceFactory() {
    abilityRecord.providerName = kDisplayName;
    abilityRecord.letters = kAbilityLetters;
    abilityRecord.table = kIntervalTable;
    for (bool& flag : abilityRecord.capability) flag = true;
    buildFieldDictionary();
    buildHistoryFieldNames();
}

// The session goes first: its destructor disconnects and shuts the feed down.
// With the feed stopped, no callback can reach a closed sink relay any more.
TellivarInterfaceFactory::~TellivarInterfaceFactory() {
    liveSession = nullptr;
    const bool feedShutDown = session != nullptr;
    session.reset();
    if (feedShutDown) SinkLinger::reclaimAfterShutdown();
}

const char* TellivarInterfaceFactory::settingsPanel() { return kSettingsPanel; }

int TellivarInterfaceFactory::setSetting(const char* key, const char* value) {
    if (key == nullptr || value == nullptr) return 0;  // nothing a host should send; ignored
    WriteGuard guard(credentialsLock);
    if (std::strcmp(key, kUsernameKey) == 0) {
        userName = value;
    } else if (std::strcmp(key, kPasswordKey) == 0) {
        password = value;
    }
    return 0;
}

int TellivarInterfaceFactory::checkSetting(void*) { return 1; }

const char* TellivarInterfaceFactory::getSetting(const char* key) {
    if (key == nullptr) return nullptr;
    ReadGuard guard(credentialsLock);
    if (std::strcmp(key, kUsernameKey) == 0) return userName.c_str();
    if (std::strcmp(key, kPasswordKey) == 0) return password.c_str();
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
    // online follows from the feed's log-off callback, not from here.
    if (TellivarState* current = liveSession.load()) current->ready = false;
    pTellivarClient->Disconnect();
}

// ---- Data interface ----------------------------------------------------------

TellivarInterface::TellivarInterface(TellivarInterfaceFactory* owner) : factory(owner) {}

TellivarInterface::~TellivarInterface() = default;

// ---- Entry point -------------------------------------------------------------

extern "C" TELLIVAR_EXPORT data::DataInterfaceFactory* init_data_interface() {
    return new (std::nothrow) TellivarInterfaceFactory();
}
