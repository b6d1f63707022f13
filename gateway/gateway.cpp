// The gateway's life, its requests and its publishing (gateway.h).
#include "gateway/gateway.h"

#include <algorithm>
#include <random>

#include "gateway/feed_sets.h"
#include "wire/inbox.h"

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

// How long stop() lets the request subscriptions drain.
constexpr int kDrainTimeoutMs = 5000;
// NATS subjects the gateway answers, and what each carries.
constexpr const char* kRequestSubjects[] = {wire::kSubscribeWildcard, wire::kUnsubscribeSubject, wire::kLeaseSubject,
                                            wire::kHistoryWildcard,   wire::kStatsSubject,       wire::kHelloSubject,
                                            wire::kLeaveSubject};

std::uint64_t randomEpoch() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
}

}  // namespace

// ---- Life ----------------------------------------------------------------------------

Gateway::Gateway(TellivarClient* feed, natsConnection* nats, Options options)
    : feed_(feed),
      nats_(nats),
      options_(std::move(options)),
      epoch_(randomEpoch()),
      quotas_(options_.quotas),
      recorder_(options_.record.name.empty() ? nullptr : std::make_unique<Recorder>(nats, options_.record)) {}

Gateway::~Gateway() {
    stop();
    for (natsSubscription* sub : subscriptions_) natsSubscription_Destroy(sub);
}

bool Gateway::start(std::string* error) {
    // The stream itself is opened by the housekeeping: JetStream may be slow or absent.
    if (recorder_ && !recorder_->start(error)) return false;
    for (const char* subject : kRequestSubjects) {
        natsSubscription* sub = nullptr;
        const natsStatus s = natsConnection_Subscribe(&sub, nats_, subject, &Gateway::onRequest, this);
        if (s != NATS_OK) {
            if (error != nullptr) *error = std::string("cannot subscribe to ") + subject + ": " + natsStatus_GetText(s);
            return false;
        }
        subscriptions_.push_back(sub);
    }
    {
        // stats() reads them from any thread: a copy under the lock, as
        // handlers may run (and ask for stats) before this loop ends.
        MutexLock lock(mu_);
        counted_.assign(subscriptions_.size(), {nullptr, 0});
        for (std::size_t i = 0; i < subscriptions_.size(); ++i) counted_[i].first = subscriptions_[i];
    }
    housekeeper_ = std::thread([this] { housekeep(); });
    feed_->Connect(this);
    return true;
}

void Gateway::stop() {
    {
        MutexLock lock(mu_);
        if (stopping_) return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (housekeeper_.joinable()) housekeeper_.join();
    // No request handler may run once this returns: the caller frees the
    // gateway next, before its connection drains. Draining a subscription
    // removes the interest and lets libnats deliver what it holds already;
    // its completion comes after the last handler returned. A handler that
    // began before is counted, and waited for, in case a drain could not
    // finish (the connection closed meanwhile). The subscriptions are freed
    // by the destructor: libnats's reader may still look one up.
    for (natsSubscription* sub : subscriptions_)
        if (natsSubscription_DrainTimeout(sub, kDrainTimeoutMs) != NATS_OK) natsSubscription_Unsubscribe(sub);
    for (natsSubscription* sub : subscriptions_) natsSubscription_WaitForDrainCompletion(sub, kDrainTimeoutMs);
    {
        MutexLock lock(mu_);
        while (handlersRunning_ > 0) lock.wait(handlersDone_);
        for (auto& [symbol, quote] : quotes_) {
            quote->deleted = true;
            feed_->DeleteSnapshotSet(quote->set);
        }
        for (auto& [query, stream] : streams_) {
            stream->deleted = true;
            feed_->DeleteTRecordSet(stream->set);
        }
        for (auto& [key, load] : loads_) {
            load->deleted = true;
            feed_->DeleteTRecordSet(load->set);
        }
        feedUp_ = false;
        publishHeartbeat();  // clients see the feed gone at once, not a heartbeat later
    }
    feed_->Disconnect();
    feed_->Shutdown();  // joins the feed thread: no sink runs after this
    if (recorder_) recorder_->stop();  // JetStream's answers to what was recorded, as far as they come
    MutexLock lock(mu_);
    quotes_.clear();
    streams_.clear();
    loads_.clear();
    retired_.clear();
}

void Gateway::say(const std::string& line) {
    if (options_.log) options_.log(line);
}

std::uint64_t Gateway::feedCallbackBegan() {
    feedWatch_.entered();  // left by the callback's CallbackEnd
    const std::uint64_t began = retired_.callbackBegan();
    if (options_.beforeFeedCallback) options_.beforeFeedCallback();
    return began;
}

// ---- The feed connection -----------------------------------------------------------

void Gateway::onSendCredentials(std::int32_t, std::int32_t) {
    const FeedWatch::Call call(feedWatch_);
    feed_->SendLogon(options_.user.c_str(), options_.password.c_str());
}

void Gateway::onLogon(std::int32_t) {
    const FeedWatch::Call call(feedWatch_);
    say("feed: logged on");
}

void Gateway::onReady() {
    const FeedWatch::Call call(feedWatch_);
    MutexLock lock(mu_);
    say("feed: ready");
    feedUp_ = true;
    reportNow_ = true;
    wake_.notify_all();
    publishHeartbeat();
}

void Gateway::onLogOff() {
    const FeedWatch::Call call(feedWatch_);
    MutexLock lock(mu_);
    say("feed: logged off");
    feedUp_ = false;
    reportNow_ = true;
    wake_.notify_all();
    publishHeartbeat();
}

void Gateway::onMessage(const char* text) {
    const FeedWatch::Call call(feedWatch_);
    const std::string message = text != nullptr ? text : "";
    MutexLock lock(mu_);
    say("feed: " + message);
    // A replay feed says so once, at its logon: kept for every client that
    // logs on later, so that no trader takes the replay for the market.
    if (message.rfind(kReplayNoticePrefix, 0) == 0) replayNotice_ = message;
    publish(wire::kMessageSubject, wire::FeedMessage{message});
}

// ---- Publishing (mu_ held) ---------------------------------------------------------------

void Gateway::holdUntil(Clock::time_point deadline) {
    holdUntil_.store(deadline.time_since_epoch().count(), std::memory_order_relaxed);
}

bool Gateway::mayPublish() const {
    return !options_.fenced || Clock::now().time_since_epoch().count() < holdUntil_.load(std::memory_order_relaxed);
}

void Gateway::publishTo(const char* subject, const std::vector<std::uint8_t>& bytes) {
    if (!mayPublish()) return;
    if (natsConnection_Publish(nats_, subject, bytes.data(), static_cast<int>(bytes.size())) == NATS_OK) {
        ++counters_.messagesOut;
        counters_.bytesOut += bytes.size();
    } else {
        ++counters_.publishErrors;
    }
}

void Gateway::publish(const std::string& subject, const wire::Message& message) {
    publishTo(subject.c_str(), wire::encode(message));
}

void Gateway::publishHeartbeat() {
    publish(wire::kHeartbeatSubject, wire::Heartbeat{epoch_, ++heartbeatSeq_, feedUp_});
}

// ---- Requests (NATS handler threads) -------------------------------------------------

void Gateway::onRequest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* gateway = static_cast<Gateway*>(closure);
    {
        MutexLock lock(gateway->mu_);
        ++gateway->handlersRunning_;
    }
    gateway->handle(msg);
    natsMsg_Destroy(msg);
    // Notified under the lock: stop() may free the gateway as soon as it is let go.
    MutexLock lock(gateway->mu_);
    if (--gateway->handlersRunning_ == 0) gateway->handlersDone_.notify_all();
}

void Gateway::handle(natsMsg* msg) {
    const char* reply = natsMsg_GetReply(msg);
    const std::string subject = natsMsg_GetSubject(msg);
    if (subject == wire::kStatsSubject) {
        if (reply != nullptr) answerStats(reply);
        return;
    }
    std::string reason;
    const auto message =
        wire::decode(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)), &reason);
    if (!message) {
        say("dropped a message on " + subject + ": " + reason);
        return;
    }
    if (const auto* m = std::get_if<wire::Subscribe>(&*message)) {
        if (subject != wire::subscribeSubject(m->stream, m->key)) {
            say("dropped a subscription to " + m->key + " sent on " + subject);
        } else if (fromClient(m->client, reply, subject)) {
            subscribe(*m, reply);
        }
    } else if (const auto* m = std::get_if<wire::Unsubscribe>(&*message)) {
        if (fromClient(m->client, reply, subject)) {
            MutexLock lock(mu_);
            if (!stopping_) unsubscribe(m->client, m->stream, m->key, "");
        }
    } else if (const auto* m = std::get_if<wire::Leave>(&*message)) {
        if (subject == wire::kLeaveSubject && fromClient(m->client, reply, subject)) leave(m->client);
    } else if (const auto* m = std::get_if<wire::Lease>(&*message)) {
        if (subject == wire::kHelloSubject) {
            MutexLock lock(mu_);
            if (reply != nullptr && !stopping_) {
                publish(reply, wire::Heartbeat{epoch_, heartbeatSeq_, feedUp_});
                if (!replayNotice_.empty()) publish(reply, wire::FeedMessage{replayNotice_});
            }
        } else if (fromClient(m->client, reply, subject)) {
            renew(*m);
        }
    } else if (const auto* m = std::get_if<wire::HistoryRequest>(&*message)) {
        if (subject != wire::historySubject(m->query)) {
            say("dropped a history request for " + m->query + " sent on " + subject);
        } else if (reply != nullptr) {
            requestHistory(*m, reply);
        }
    } else {
        say("dropped a message of the wrong kind on " + subject);
    }
}

// A message naming `client` in its body came with `reply`: true when that is
// the client's own inbox, or a reply under it; otherwise (another inbox, or
// none to check the id against) logs and drops it.
bool Gateway::fromClient(std::uint64_t client, const char* reply, const std::string& subject) {
    if (reply != nullptr && wire::clientOf(reply) == client) return true;
    say("dropped a message on " + subject + " for client " + clientName(client) +
        (reply != nullptr ? std::string(" with the reply subject ") + reply : std::string(" without a reply subject")));
    return false;
}

// ---- Housekeeping and stats -------------------------------------------------------------

// The heartbeat, the leases and the rates every heartbeat; the health report
// (the service manager's keep-alive) every reportEvery, or at once when the
// feed came up or went down. Woken by stop() and by the feed's state.
void Gateway::housekeep() {
    MutexLock lock(mu_);
    auto nextBeat = Clock::now() + options_.heartbeat;
    auto nextReport = Clock::now();  // the first report at once: the service manager waits for it
    while (!stopping_) {
        const auto now = Clock::now();
        if (now >= nextBeat) {
            nextBeat = now + options_.heartbeat;
            publishHeartbeat();
            expireLeases();
            quotas_.prune();
            counters_.sampleRates(now);
        }
        auto wakeAt = options_.report ? std::min(nextBeat, nextReport) : nextBeat;
        keepRecording(now, &wakeAt);
        if (options_.report && (reportNow_ || now >= nextReport)) {
            reportNow_ = false;
            nextReport = now + options_.reportEvery;
            const Health state = health(now);
            // Without the lock: the receiver may take its own, or ask for stats().
            lock.unlock();
            options_.report(state);
            lock.lock();
            continue;  // stopping_ and reportNow_ may have changed meanwhile
        }
        lock.waitUntil(wake_, wakeAt);
    }
}

Health Gateway::health(Clock::time_point now) {
    Health state;
    state.feedUp = feedUp_;
    state.natsConnected = natsConnection_Status(nats_) == NATS_CONN_STATUS_CONNECTED;
    state.feedStalled = feedWatch_.stalled(now, options_.feedStallLimit);
    state.clients = clients_.size();
    state.symbols = quotes_.size();
    return state;
}

Stats Gateway::stats() {
    MutexLock lock(mu_);
    Stats s;
    s.clients = clients_.size();
    s.symbols = quotes_.size();
    s.streams = streams_.size();
    s.sets = quotes_.size() + streams_.size() + loads_.size();
    counters_.fill(s);
    s.feedUp = feedUp_;
    s.lingeringSinks = retired_.lingering();
    s.historyLoads = loads_.size();
    if (recorder_) {
        const RecordCounts recorded = recorder_->counts();
        s.recordedMessages = recorded.messages;
        s.recordedBytes = recorded.bytes;
        s.recordErrors = recorded.errors;
        s.recordDropped = recorded.dropped;
        s.keyframesWritten = recorded.keyframes;
    }
    // libnats counts the requests it dropped per subscription, and forgets
    // them once a subscription is drained: the highest count seen stays.
    for (auto& [sub, dropped] : counted_) {
        std::int64_t now = 0;
        if (natsSubscription_GetDropped(sub, &now) == NATS_OK && now > dropped) dropped = now;
        s.slowConsumerDrops += static_cast<std::uint64_t>(dropped);
    }
    return s;
}

void Gateway::answerStats(const char* reply) {
    const std::string text = stats().json();
    MutexLock lock(mu_);
    if (mayPublish()) natsConnection_Publish(nats_, reply, text.data(), static_cast<int>(text.size()));
}

}  // namespace gateway
