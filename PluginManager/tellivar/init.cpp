// Provider core: exported entry point, provider factory, ability record,
// data interface, field dictionary and connection session.
#include "PluginManager/tellivar/init.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/feed_text.h"
#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/sink_relay.h"

namespace {

// ---- Compatibility surface ------------------------------------------------
// Hosts match these texts, and log readers these ACE paths and lines: they are
// part of the plug-in's interface and never change.
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

// ACE records of this unit.
constexpr const char kLogPath[] = "PluginManager/tellivar/init";
constexpr int kLineSetupEnter = 180;
constexpr int kLineSetupFailed = 205;
constexpr int kLineSetupLeave = 208;
constexpr int kLineConnectFailed = 232;
constexpr int kLineSessionEscaped = 240;  // LM_ERROR: an exception thrown inside a session callback
constexpr const char kSetupEnter[] = "tellivar_setup ENTER\n";
constexpr const char kSetupLeave[] = "tellivar_setup LEAVE\n";
constexpr const char kFailureFormat[] = "%s\n";
constexpr const char kNoMemorySession[] = "No memory : new TellivarState";
constexpr const char kConnectFailed[] = "Fatal Error: Tellivar Client initialization failed";

// Status reports and messages of the session.
constexpr const char kStatusConnect[] = "Connect";
constexpr const char kStatusLogon[] = "Logon";
constexpr const char kStatusLogOff[] = "LogOff";
constexpr const char kStatusReady[] = "Ready";
constexpr int kCodeOk = 0;
constexpr int kCodeAttention = 2;
constexpr const char kSendingCredentials[] = "Tellivar Client - sending credentials";
// ----------------------------------------------------------------------------

TellivarState* makeSession(const std::string& user, const std::string& password, data::Ability_impl* ability,
                           data::RequestContext* context) {
    return new (std::nothrow) TellivarState(user, password, ability, context);
}

}  // namespace

// ---- Field dictionary ----------------------------------------------------

const FieldEntry FieldTable[kFieldTableSize] = {
    {27, "TT", "TradeTime"}, {0, "O", "Open"}, {1, "H", "High"}, {2, "L", "Low"},
    {3, "TR", "Trade"}, {34, "T", "Tick"}, {59, "S", "Settle"}, {4, "Y", "Yest"},
    {35, "N", "Net"}, {6, "B", "Bid"}, {7, "A", "Ask"}, {8, "BB", "BBid"},
    {9, "BA", "BAsk"}, {10, "V", "Volume"}, {11, "OI", "OpenInt"}, {12, "TS", "TradeSize"},
    {13, "BS", "BidSize"}, {14, "AS", "AskSize"}, {15, "BBS", "BBidSize"}, {16, "BAS", "BAskSize"},
    {17, "TX", "TradeExg"}, {18, "BX", "BidExg"}, {19, "AX", "AskExg"}, {20, "BBX", "BBidExg"},
    {21, "BAX", "BAskExg"}, {22, "T2", "Trade2"}, {23, "T3", "Trade3"}, {24, "T4", "Trade4"},
    {25, "T5", "Trade5"}, {26, "TIV", "TickVol"}, {28, "YH", "YearHi"}, {29, "YL", "YearLo"},
    {36, "%", "NetPct"}, {37, "%R", "TradeInRangePct"}, {38, "BV", "BlockVolume"}, {39, "BT", "BlockTrades"},
    {40, "V@A", "VolAtAsk"}, {41, "TV@A", ""}, {42, "V@B", "TickVolAtAsk"}, {43, "TV@B", "TickVolAtBid"},
    {44, "TIM", "TickMagnitude"}, {45, "%Y", "TradeInYearlyRange"}, {46, "P@A", "ValueAtAsk"},
    {47, "P@B", "ValueAtBid"}, {49, "DV", "DayValue"}, {50, "MF", "MoneyFlow"}, {51, "VWAP", "VWAP"},
    {48, "QT", "TradingIndc"}, {31, "65DAV", "65DayAvgVol"}, {53, "UTV", "UpTickVol"}, {54, "UT", "UpTicks"},
    {55, "UTP", "UpTickValue"}, {56, "DTV", "DnTickVol"}, {57, "DT", "DnTicks"}, {58, "DTP", "DnTickValue"},
    {32, "TTL", "Title"}, {33, "SYM", "Symbol"}, {64, "FD", "FinancialsDate"}, {65, "BETA", "Beta"},
    {66, "SO", "SharesOutstanding"}, {67, "FLT", "Float"}, {68, "DIV", "Dividend"},
    {69, "INSO", "InsideOwnedPct"}, {70, "INTO", "InstitutionalOwnedPct"}, {71, "SI", "ShortInt"},
    {72, "SIP", "ShortIntPrev"}, {73, "SIR", "ShortIntRatio"}, {74, "CF/S", "CashFlowPerSh"},
    {75, "S/S", "SalesPerSh"}, {76, "ROE", "ReturnOnEquity"}, {77, "ROA", "ReturnOnAssets"},
    {78, "GM", "GrossMargin"}, {79, "OM", "OperatingMargin"}, {80, "PTM", "PretaxMargin"},
    {81, "IC", "IndustryCode"}, {82, "IN", "IndustryName"}, {83, "SN", "SectorName"},
    {84, "IT", "InventoryTurnover"}, {85, "AT", "AssetTurnover"}, {86, "RT", "ReceivablesTurnover"},
    {87, "R/E", "RevenuePerEmployee"}, {88, "EPS", "EarningsPerSh"}, {89, "RGR", "RevenueGrowthRate"},
    {90, "E/SGR", "EPSGrowthRate"}, {91, "DER", "DebtEquityRatioQtr"}, {92, "LTDER", "LTDebtEquityRationQtr"},
    {93, "CR", "CurrentRatioQtr"}, {94, "QR", "QuickRatioQtr"}, {95, "IP", "InsiderPurchased"},
    {96, "IS", "InsiderSold"}, {97, "BV/S", "BookValuePerSh"}, {98, "MC", "MarketCapitalization"},
    {99, "PER", "PERatio"}, {100, "DY", "DividendYield"}, {61, "BASP", "BidAskSpread"},
};

std::map<std::int16_t, std::string> FieldNameById;
std::map<std::string, std::int16_t, std::less<>> FieldIdByName;
std::map<std::string, std::string, std::less<>> HistoryFieldNames;

// Each map is filled once per loaded library, by the first factory, and only
// read afterwards: a later factory must not write it while suppliers of
// another factory read it on the feed thread.
void buildFieldDictionary() {
    static std::once_flag built;
    std::call_once(built, [] {
        for (const FieldEntry& row : FieldTable) {
            FieldNameById[row.id] = row.longName;
            FieldIdByName[row.longName] = row.id;
        }
    });
}

void buildHistoryFieldNames() {
    static std::once_flag built;
    std::call_once(built, [] {
        for (const BarFieldName& field : barFieldNames) HistoryFieldNames[field.key] = field.longName;
    });
}

const std::string& fieldNameById(std::int16_t id) {
    static const std::string empty;
    const auto it = FieldNameById.find(id);
    return it == FieldNameById.end() ? empty : it->second;
}

bool findFieldIdByName(std::string_view name, std::int16_t& id) {
    const auto it = FieldIdByName.find(name);
    if (it == FieldIdByName.end()) return false;
    id = it->second;
    return true;
}

const std::string* findHistoryField(std::string_view shortName) {
    const auto it = HistoryFieldNames.find(shortName);
    return it == HistoryFieldNames.end() ? nullptr : &it->second;
}

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

// ---- Connection session ----------------------------------------------------

TellivarState::TellivarState(std::string user, std::string pass, data::Ability_impl* abilityRecord,
                             data::RequestContext* context)
    : userName(std::move(user)), password(std::move(pass)), requestContext(context), ability(abilityRecord) {}

TellivarState::~TellivarState() {
    pTellivarClient->Disconnect();
    pTellivarClient->Shutdown();
}

void TellivarState::report(const char* text, int code) {
    // The logger is asked for again at every report; a session made without a
    // context has nowhere to report to.
    if (requestContext != nullptr) requestContext->logger()->status(text, code);
}

void TellivarState::sendMessage(const char* text) {
    if (requestContext != nullptr) requestContext->logger()->info(text, "");
}

void TellivarState::setCredentials(const std::string& user, const std::string& pass) {
    WriteGuard guard(credentialsLock);
    userName = user;
    password = pass;
}

// Each callback runs on the feed thread; what a host logger or listener
// throws is logged and stays out of the feed client.
void TellivarState::onSendCredentials(std::int32_t, std::int32_t) {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this] { sendCredentials(); });
}

void TellivarState::sendCredentials() {
    sendMessage(kSendingCredentials);
    std::string user, pass;
    {
        // Copied out so the feed call runs without the lock.
        ReadGuard guard(credentialsLock);
        user = userName;
        pass = password;
    }
    pTellivarClient->SendLogon(user.c_str(), pass.c_str());
}

void TellivarState::onLogon(std::int32_t) {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this] {
        ability->online = true;
        ability->notifyListeners();
        report(kStatusLogon, kCodeOk);
    });
}

void TellivarState::onLogOff() {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this] {
        ability->online = false;
        ability->notifyListeners();
        report(kStatusLogOff, kCodeAttention);
    });
}

void TellivarState::onReady() {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this] {
        report(kStatusReady, kCodeOk);
        if (ready) return;
        ability->online = true;
        ability->notifyListeners();
        ready = true;
    });
}

// The host treats the message as a printf-style format, so every '%' of the
// feed's text is doubled: the host then prints the text exactly as sent.
void TellivarState::onMessage(const char* text) {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this, text] {
        std::string literal;
        for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
            if (*c == '%') literal += '%';
            literal += *c;
        }
        sendMessage(literal.c_str());
    });
}

// ---- Provider factory ------------------------------------------------------

TellivarInterfaceFactory::SessionMaker TellivarInterfaceFactory::sessionMaker = makeSession;

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

bool TellivarInterfaceFactory::isSessionReady() const {
    const TellivarState* current = liveSession.load();
    return current != nullptr && current->ready;
}

void TellivarInterfaceFactory::connectSession() {
    if (isSessionReady()) return;  // lock-free fast path
    WriteGuard guard(connectionLock);
    if (isSessionReady()) return;
    if (setupSession(userName, password) < 0) {
        writeAceRecord(kLogPath, kLineConnectFailed, 0, LM_ERROR, kConnectFailed);
    }
    // A connect with no context has nowhere to report to.
    if (data::RequestContext* context = requestContext.load()) context->logger()->status(kStatusConnect, kCodeAttention);
}

int TellivarInterfaceFactory::setupSession(const std::string& user, const std::string& pass) {
    writeAceRecord(kLogPath, kLineSetupEnter, 0, LM_DEBUG, kSetupEnter);
    int result = 0;
    try {
        if (!session) {
            session.reset(sessionMaker(user, pass, &abilityRecord, requestContext));
            if (!session) throw kNoMemorySession;
            liveSession = session.get();
            pTellivarClient->Disconnect();
            pTellivarClient->Connect(session.get());
        }
        session->setCredentials(user, pass);
        pTellivarClient->Disconnect();
        pTellivarClient->Connect(session.get());
    } catch (const char* failure) {
        writeAceRecord(kLogPath, kLineSetupFailed, kAceErrorStatus, LM_ERROR, kFailureFormat, failure);
        result = -1;
    }
    writeAceRecord(kLogPath, kLineSetupLeave, 0, LM_DEBUG, kSetupLeave);
    return result;
}

// ---- Data interface ----------------------------------------------------------

TellivarInterface::TellivarInterface(TellivarInterfaceFactory* owner) : factory(owner) {}

TellivarInterface::~TellivarInterface() = default;

// ---- Entry point -------------------------------------------------------------

extern "C" TELLIVAR_EXPORT data::DataInterfaceFactory* init_data_interface() {
    return new (std::nothrow) TellivarInterfaceFactory();
}
