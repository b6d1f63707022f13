// The NATS feed client's link to the gateway: the events that drive its
// transition table (link_machine.h) and the actions it returns, performed
// here (logon and log-off, the heartbeat, the lease); the catch-up after
// missed updates, and the dispatch of what the feed thread takes from its
// queue.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <unistd.h>

#include "natsfeed/bus.h"
#include "natsfeed/config_file.h"
#include "natsfeed/internal.h"
#include "wire/inbox.h"
#include "wire/nats_config.h"

namespace natsfeed {

// mu_ held; released around the host's sinks, held again on
// return. Feed thread. Only the last action of a step calls a sink.
void NatsClient::perform(const LinkMachine::Actions& actions, Clock::time_point now) {
    for (const LinkAction& action : actions) {
        switch (action.kind) {
            case LinkAction::AskCredentials: {
                EConnectStatus* sink = sink_;
                mu_.unlock();
                if (sink != nullptr) sink->onSendCredentials(0, 0);
                mu_.lock();
                break;
            }
            case LinkAction::OpenBus: openBus(); break;
            case LinkAction::SendHello:
                publishLocked(wire::kHelloSubject, wire::Lease{clientId_}, wire::helloReply(inbox_));
                break;
            case LinkAction::LogOn: goUp(); break;
            case LinkAction::Leave:
                if (!inbox_.empty()) publishLocked(wire::kLeaveSubject, wire::Leave{clientId_}, inbox_);
                break;
            case LinkAction::LogOff: {
                EConnectStatus* sink = loggedOn_;
                loggedOn_ = nullptr;
                mu_.unlock();
                if (action.text != nullptr) log(action.text);
                if (sink != nullptr) {
                    if (action.text != nullptr) sink->onMessage(action.text);
                    sink->onLogOff();
                }
                mu_.lock();
                break;
            }
            case LinkAction::TellWaiting: {
                EConnectStatus* sink = sink_;
                mu_.unlock();
                if (sink != nullptr) sink->onMessage(action.text);
                mu_.lock();
                break;
            }
            case LinkAction::Log: log(action.text); break;
            case LinkAction::Resubscribe: resubscribeAll(); break;
            case LinkAction::SendLease: sendLease(); break;
            case LinkAction::AskAgain: askAgainForLostAnswers(now); break;
        }
    }
}

void NatsClient::logOn(std::uint64_t generation) {
    feedcommon::MutexLock lock(mu_);
    if (generation != generation_) return;
    // A log-off keeps the bus connection: logging on again with the same
    // credentials is then immediate, as hosts that reconnect often expect.
    const LinkMachine::Actions actions = link_.logOn(Clock::now(), bus_->usableFor(user_, password_));
    if (actions.empty()) return;  // the credentials were not asked for
    // A new logon: what was refused under the last one is asked for again.
    for (NatsSnapshotSet* set : snapshots_) set->refused = false;
    for (NatsRecordSet* set : recordSets_) set->refused = false;
    perform(actions, Clock::now());
}

// mu_ held, released for the connect (it can take seconds) and
// around the host's sinks. Feed thread.
void NatsClient::openBus() {
    const std::uint64_t generation = generation_;
    const std::string user = user_, password = password_;
    closeBus();
    // connect() alone of the bus's members is called without mu_ (bus.h).
    Bus& bus = *bus_;
    mu_.unlock();

    natsconfig::Settings settings;
    settings.name = "tellivar-nats/" + std::to_string(getpid());
    std::string badConfig;
    const ConfigFile config = findConfigFile(&std::getenv);
    if (!config.path.empty() && !readConfigFile(config.path, &settings, &badConfig) && config.namedByVariable &&
        badConfig.compare(0, config.path.size() + 2, config.path + ": ") == 0)
        badConfig += std::string(" (named by ") + kConfigVariable + ")";
    // The variable's servers win over the file's.
    const char* env = std::getenv("TELLIVAR_NATS_URL");
    if (env != nullptr && *env != '\0') settings.servers = natsconfig::parseServers(env);
    else if (settings.servers.empty()) settings.servers = natsconfig::parseServers("");
    settings.user = user;
    settings.password = password;
    // One delivery thread for every subscription (one per symbol and stream):
    // not a thread each, whose wake-ups per message cost more than the message.
    settings.globalDelivery = true;
    settings.reconnectWaitMs = 250;
    settings.connectTimeoutMs = 2000;
    Bus::Opened opened;
    if (badConfig.empty()) opened = bus.connect(settings);

    mu_.lock();
    const bool current = generation == generation_;
    if (opened.connection == nullptr) {
        link_.busFailed();
        EConnectStatus* sink = current ? sink_ : nullptr;
        std::string text;
        if (!badConfig.empty()) {
            text = "Logon failed: bad NATS configuration file " + badConfig;
        } else if (opened.rejected && !settings.credentialsFile.empty()) {
            // The JWT and seed decided, not the host's user name and password.
            text = "Logon rejected: the message bus did not accept the credentials file " + settings.credentialsFile +
                   " (" + opened.error + ")";
        } else if (opened.rejected) {
            text = "Logon rejected: the message bus did not accept the user name or password";
        } else if (opened.unusable) {
            text = "Logon failed: " + opened.error;
        } else {
            text = "Logon failed: cannot reach the message bus at " + natsconfig::joinServers(settings.servers) +
                   " (" + natsconfig::connectFailure(settings, opened.error) + ")";
        }
        mu_.unlock();
        if (sink != nullptr) {
            sink->onMessage(text.c_str());
            sink->onLogOff();
        }
        mu_.lock();
        return;
    }
    if (!current) {  // a Disconnect came while connecting: closed without mu_
        mu_.unlock();
        opened.connection.reset();
        mu_.lock();
        return;
    }
    bus_->adopt(std::move(opened.connection), user, password);
    inbox_ = wire::inboxFor(user, clientId_);
    for (const std::string& subject : {std::string(wire::kHeartbeatSubject), std::string(wire::kMessageSubject),
                                       inbox_ + ".>"})
        bus_->subscribeFixed(subject);
    perform(link_.busOpened(Clock::now()), Clock::now());
}

void NatsClient::logOff(std::uint64_t generation) {
    feedcommon::MutexLock lock(mu_);
    if (generation != generation_) return;
    // The bus connection stays for the next logon (Shutdown closes it); the
    // gateway drops this client's interest at once, not when its lease runs out.
    perform(link_.disconnect(), Clock::now());
}

// Feed thread, at the end of a pass that dropped updates: the sets that
// missed some ask for fresh images, and the host is told once. Updates that
// arrive from now on are queued again; a set keeps those until its image.
// The updates of those sets still queued came before the images asked for
// here, which supersede them: they leave the queue now, or they would fill
// it and the updates that follow would be dropped again (and the host told
// a second time).
void NatsClient::catchUp() {
    std::set<std::string> stale;
    bool all;
    std::uint64_t missed;
    {
        feedcommon::MutexLock lock(queueMu_);
        stale.swap(stale_);
        all = std::exchange(staleAll_, false);
        missed = std::exchange(missed_, 0);
        anyStale_.store(false, std::memory_order_relaxed);
        for (auto task = queue_.begin(); task != queue_.end();) {
            if (task->update.empty() || !(all || stale.count(task->update) != 0)) {
                ++task;
                continue;
            }
            if (task->counted) {
                --queuedUpdates_;
                queuedBytes_ -= task->bytes;
            }
            task = queue_.erase(task);
        }
    }
    feedcommon::MutexLock lock(mu_);
    if (!link_.isUp()) return;  // the next logon images every set anyway
    for (NatsSnapshotSet* set : snapshots_)
        if (set->following() && (all || stale.count(wire::quoteSubject(set->symbol)) != 0)) requestImage(set);
    for (NatsRecordSet* set : recordSets_) {
        if (set->streaming() && (all || stale.count(wire::streamSubject(set->query)) != 0)) requestStream(set);
        // An answer may have been dropped: asked again, under a new id.
        if (all && !set->live && set->owed() && set->requestSent) sendHistoryRequest(set);
    }
    EConnectStatus* sink = loggedOn_;
    lock.unlock();
    char text[96];
    std::snprintf(text, sizeof text, kMissedUpdatesText, static_cast<unsigned long long>(missed));
    log(text);
    if (sink != nullptr) sink->onMessage(text);
}

void NatsClient::tick() {
    feedcommon::MutexLock lock(mu_);
    const auto now = Clock::now();
    const Clock::time_point seen{Clock::duration(heartbeatSeen_.load(std::memory_order_relaxed))};
    perform(link_.tick(now, seen), now);
}

void NatsClient::onInbound(const std::string& subject, const std::vector<std::uint8_t>& bytes) {
    std::string reason;
    const auto message = wire::decode(bytes.data(), bytes.size(), &reason);
    if (!message) {
        log("dropped a message on " + subject + ": " + reason);
        return;
    }
    std::string inbox;
    {
        feedcommon::MutexLock lock(mu_);
        if (!bus_->isOpen()) return;  // closed since it was queued
        // Logged off: the sets wait for the next logon, which sends full images.
        const bool data = std::holds_alternative<wire::Quote>(*message) || std::holds_alternative<wire::Stream>(*message);
        if (data && !link_.isUp()) return;
        inbox = inbox_;
    }
    std::uint64_t id = 0;
    if (const auto* m = std::get_if<wire::Heartbeat>(&*message)) {
        onHeartbeat(*m);
    } else if (const auto* m = std::get_if<wire::FeedMessage>(&*message)) {
        const std::string text = m->text;
        notifyConnection([&text](EConnectStatus* sink) { sink->onMessage(text.c_str()); });
    } else if (const auto* m = std::get_if<wire::Quote>(&*message)) {
        NatsSnapshotSet* only = nullptr;
        if (wire::parseReply(subject, inbox, wire::ReplyKind::Image, &id)) {
            feedcommon::MutexLock lock(mu_);
            only = snapshotById(id);
            if (only == nullptr) return;  // deleted meanwhile
        }
        onQuote(*m, subject, only);
    } else if (const auto* m = std::get_if<wire::Stream>(&*message)) {
        NatsRecordSet* only = nullptr;
        if (wire::parseReply(subject, inbox, wire::ReplyKind::Window, &id)) {
            feedcommon::MutexLock lock(mu_);
            only = recordSetById(id);
            if (only == nullptr) return;
        }
        onStream(*m, subject, only);
    } else if (const auto* m = std::get_if<wire::HistoryChunk>(&*message)) {
        onHistoryChunk(*m);
    } else if (const auto* m = std::get_if<wire::HistoryDone>(&*message)) {
        onHistoryDone(*m);
    } else if (const auto* m = std::get_if<wire::Refusal>(&*message)) {
        onRefusal(*m, subject);
    } else {
        log("dropped a message of the wrong kind on " + subject);
    }
}

void NatsClient::onHeartbeat(const wire::Heartbeat& beat) {
    feedcommon::MutexLock lock(mu_);
    const auto now = Clock::now();
    perform(link_.heartbeat(now, beat.epoch, beat.feedUp), now);
}

// mu_ held, released around the sink calls; the feed thread. The
// link is up: the host is told, then every live set subscribes.
void NatsClient::goUp() {
    EConnectStatus* sink = sink_;
    loggedOn_ = sink;
    const std::uint64_t generation = generation_;
    mu_.unlock();
    if (sink != nullptr) sink->onLogon(1);
    mu_.lock();
    // The sink may have disconnected from inside onLogon.
    if (generation != generation_ || !link_.isUp()) return;
    mu_.unlock();
    if (sink != nullptr) sink->onReady();
    mu_.lock();
    if (generation == generation_ && link_.isUp()) resubscribeAll();
}

// mu_ held. Every live set asks for a full image; histories still owed are
// asked for (again: answers under way were lost with the connection, or with
// the gateway that was loading them).
void NatsClient::resubscribeAll() {
    for (NatsSnapshotSet* set : snapshots_) {
        if (!set->following()) continue;
        bus_->watch(wire::quoteSubject(set->symbol));
        requestImage(set);
    }
    for (NatsRecordSet* set : recordSets_) {
        if (set->streaming()) {
            bus_->watch(wire::streamSubject(set->query));
            requestStream(set);
        } else if (!set->live && set->owed()) {
            sendHistoryRequest(set);
        }
    }
}

// mu_ held, logged on.
void NatsClient::askAgainForLostAnswers(Clock::time_point now) {
    auto lost = [now](const auto& sequence) { return !sequence.haveImage && now - sequence.askedAt > kImageRetry; };
    for (NatsSnapshotSet* set : snapshots_) {
        if (!set->following() || !lost(set->sequence)) continue;
        log("no image of " + set->symbol + " came; asking again");
        requestImage(set);
    }
    for (NatsRecordSet* set : recordSets_) {
        if (set->streaming() && lost(set->sequence)) {
            log("no window of " + set->query + " came; asking again");
            requestStream(set);
        } else if (!set->live && set->owed() && set->requestSent && !set->historyHeard &&
                   now - set->historyAskedAt > kImageRetry) {
            log("no answer to the history request for " + set->query + " came; asking again");
            sendHistoryRequest(set);
        }
    }
}

void NatsClient::sendLease() {
    publishLocked(wire::kLeaseSubject, wire::Lease{clientId_}, inbox_);
}

}  // namespace natsfeed
