// Connection session: the plug-in's side of the one feed connection that all
// suppliers share. ConnectionSession owns the session object (TellivarState),
// the lock that serialises connecting and the hook that makes the object; the
// factory holds one and connects through it. The feed client calls the session
// object back on its own thread as it connects and logs on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "PluginManager/tellivar/locks.h"
#include "feed/TellivarClient.h"
#include "host/data.h"

namespace data {
class Ability_impl;
}

// The user name and password the host stores (factory slots 1 and 3) and a
// setup logs on with. Any host thread sets or reads them, each time under
// `lock`: as writer to set, as reader to read.
struct Credentials {
    std::string userName GUARDED_BY(lock);
    std::string password GUARDED_BY(lock);
    mutable RwLock lock;
};

// The plug-in's side of the feed connection. The feed calls it on its own
// thread. The callbacks take no lock, except onSendCredentials, which holds
// credentialsLock as reader while it copies them out. Owned by a
// ConnectionSession.
class TellivarState : public EConnectStatus {
public:
    TellivarState(std::string user, std::string password, data::Ability_impl* ability,
                  data::RequestContext* context);

    // Replaces the credentials sent at the next logon. Any thread.
    void setCredentials(const std::string& user, const std::string& pass) EXCLUDES(credentialsLock);

    void onSendCredentials(std::int32_t, std::int32_t) override;
    void onLogon(std::int32_t) override;
    void onLogOff() override;
    void onReady() override;
    void onMessage(const char* text) override;
    ~TellivarState() override;

    // The feed may ask for the credentials while a setup replaces them, so
    // both are read and written only under credentialsLock.
    RwLock credentialsLock;
    std::string userName GUARDED_BY(credentialsLock);
    std::string password GUARDED_BY(credentialsLock);
    std::atomic<bool> ready{false};    // set by the first onReady, cleared by a host disconnect

private:
    void sendCredentials() EXCLUDES(credentialsLock);
    void report(const char* text, int code);
    void sendMessage(const char* text);

    data::RequestContext* requestContext;  // not owned; the factory's at creation
    data::Ability_impl* ability;           // not owned; the factory's record
};

// The session object from the first setup until this goes, and the lock
// under which setups run one at a time.
class ConnectionSession {
public:
    // Makes the session object; tests replace it to make creation fail.
    using Maker = TellivarState* (*)(const std::string& user, const std::string& password,
                                     data::Ability_impl* ability, data::RequestContext* context);
    static Maker maker;

    // `ability` is the record the session object will keep up to date.
    explicit ConnectionSession(data::Ability_impl& ability);
    // Deletes the session object, if any (the feed is disconnected and shut
    // down), then frees the sink relays the feed could still have reached.
    ~ConnectionSession();
    ConnectionSession(const ConnectionSession&) = delete;
    ConnectionSession& operator=(const ConnectionSession&) = delete;

    // Makes sure a logon is under way or done; does not wait for it. Any host
    // thread. Once ready it returns after one atomic load and takes no lock.
    // Otherwise it takes connectionLock as writer and, to copy the
    // credentials, their lock as reader inside it. Reports "Connect" through
    // the context current when the setup is done.
    void connect(const Credentials& credentials, const std::atomic<data::RequestContext*>& context)
        EXCLUDES(connectionLock);
    // The host's disconnect: clears ready, then disconnects the feed. Any host
    // thread; no lock.
    void disconnect();
    // True while the session object exists and has its ready flag set. No lock.
    bool isReady() const;
    // The session object, null before the first successful setup. No lock.
    TellivarState* state() const;

private:
    // Creates the session object on first use, stores the credentials in it
    // and reconnects. Negative on failure.
    int setup(const std::string& user, const std::string& pass, const std::atomic<data::RequestContext*>& context)
        REQUIRES(connectionLock);

    data::Ability_impl& ability;  // not owned; the factory's record
    RwLock connectionLock;
    std::unique_ptr<TellivarState> session GUARDED_BY(connectionLock);
    // The same object, published for the lock-free ready check: another
    // thread may be creating the session while a fast path looks at it.
    std::atomic<TellivarState*> live{nullptr};
};
