// Connection session: the session object's callbacks, and the connect and
// setup that make it.
#include "PluginManager/tellivar/session.h"

#include <new>
#include <string>
#include <utility>

#include "PluginManager/tellivar/ability.h"
#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/feed_boundary.h"
#include "PluginManager/tellivar/locks.h"
#include "PluginManager/tellivar/sink_relay.h"

namespace {

// ACE records of the session. Log readers match their path and lines, which
// are those of the provider core as a whole and stay as they are wherever
// the code that writes them lives.
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

TellivarState* makeSession(const std::string& user, const std::string& password, data::Ability_impl* ability,
                           data::RequestContext* context) {
    return new (std::nothrow) TellivarState(user, password, ability, context);
}

}  // namespace

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
        ability->setOnline(true);
        report(kStatusLogon, kCodeOk);
    });
}

void TellivarState::onLogOff() {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this] {
        ability->setOnline(false);
        report(kStatusLogOff, kCodeAttention);
    });
}

void TellivarState::onReady() {
    guardFeedCallback(kLogPath, kLineSessionEscaped, [this] {
        report(kStatusReady, kCodeOk);
        if (ready) return;
        ability->setOnline(true);
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

ConnectionSession::Maker ConnectionSession::maker = makeSession;

ConnectionSession::ConnectionSession(data::Ability_impl& record) : ability(record) {}

// With the feed shut down, no callback can reach a closed sink relay any more.
ConnectionSession::~ConnectionSession() {
    live = nullptr;
    const bool feedShutDown = session != nullptr;
    session.reset();
    if (feedShutDown) SinkLinger::reclaimAfterShutdown();
}

bool ConnectionSession::isReady() const {
    const TellivarState* current = live.load();
    return current != nullptr && current->ready;
}

TellivarState* ConnectionSession::state() const { return live.load(); }

void ConnectionSession::disconnect() {
    // online follows from the feed's log-off callback, not from here.
    if (TellivarState* current = live.load()) current->ready = false;
    pTellivarClient->Disconnect();
}

void ConnectionSession::connect(const Credentials& credentials, const std::atomic<data::RequestContext*>& context) {
    if (isReady()) return;  // lock-free fast path
    WriteGuard guard(connectionLock);
    if (isReady()) return;
    std::string user, pass;
    {
        ReadGuard stored(credentials.lock);
        user = credentials.userName;
        pass = credentials.password;
    }
    if (setup(user, pass, context) < 0) {
        writeAceRecord(kLogPath, kLineConnectFailed, 0, LM_ERROR, kConnectFailed);
    }
    // A connect with no context has nowhere to report to.
    if (data::RequestContext* current = context.load()) current->logger()->status(kStatusConnect, kCodeAttention);
}

int ConnectionSession::setup(const std::string& user, const std::string& pass,
                             const std::atomic<data::RequestContext*>& context) {
    writeAceRecord(kLogPath, kLineSetupEnter, 0, LM_DEBUG, kSetupEnter);
    int result = 0;
    try {
        if (!session) {
            session.reset(maker(user, pass, &ability, context.load()));
            if (!session) throw kNoMemorySession;
            live = session.get();
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
