// Connection session: the plug-in's side of the one feed connection that all
// suppliers share. The factory owns the session object and runs the setup
// (connectSession, setupSession and isSessionReady, defined in session.cpp and
// declared with the factory in init.h); the feed client calls the session back
// on its own thread as it connects and logs on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "PluginManager/tellivar/locks.h"
#include "feed/TellivarClient.h"
#include "host/data.h"

namespace data {
class Ability_impl;
}

// The plug-in's side of the feed connection. The feed calls it on its own
// thread; the callbacks take no plug-in lock. Owned by the factory.
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
