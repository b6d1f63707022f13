// The NATS feed client: host side, feed thread and sets. See client.h.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

#include <unistd.h>

#include "feedcommon/records.h"
#include "feedtime/feed_time.h"
#include "wire/inbox.h"
#include "wire/nats_config.h"


namespace natsfeed {
namespace {

using Clock = std::chrono::steady_clock;

using feedcommon::kEventLoaded;
using feedcommon::kEventProgress;
using feedcommon::kEventUpdate;
constexpr int kFieldIds = wire::kMaxFieldId + 1;
// Silence of the gateway's heartbeat that counts as the gateway gone: two and
// a half of its one-second beats, so that one late beat (a busy or
// instrumented gateway) is not taken for a dead one.
constexpr auto kHeartbeatTimeout = std::chrono::milliseconds(2500);
constexpr auto kLeasePeriod = std::chrono::seconds(3);
constexpr auto kTick = std::chrono::milliseconds(100);
// After a tick that came this late the process itself was not running
// (stopped, or starved of CPU): the heartbeats, or the news of a cut
// connection, may still wait unread, so the gateway's silence counts only
// once this grace is over.
constexpr auto kStallGrace = std::chrono::seconds(1);
// An image, stream window or first history answer not come this long after
// its request is asked for again: the request or its answer may have been
// lost while a cluster's routes learned of a reconnected client's
// subscriptions.
constexpr auto kImageRetry = std::chrono::seconds(2);
// Times a history whose chunks came with a gap is asked for again before it fails.
constexpr int kMaxHistoryRepeats = 3;
// How long a history Init waits for the gateway's first answer.
constexpr auto kHistoryAnswerWait = std::chrono::seconds(10);
// Updates kept while a set waits for its image.
constexpr std::size_t kMaxEarly = 4096;
constexpr const char kMissedUpdatesText[] = "Missed %llu updates while busy; asking for fresh images";


std::uint64_t randomId() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
}

// The subjects of quote and stream updates, which the backlog bound applies to.
bool isUpdateSubject(const std::string& subject) {
    return subject.rfind("tellivar.quote.", 0) == 0 || subject.rfind("tellivar.stream.", 0) == 0;
}

bool isSymbol(const char* text) {
    return text != nullptr && wire::isValidKey(text) && std::strchr(text, ',') == nullptr;
}

}  // namespace

void (*atExit)() = nullptr;

// ---- Snapshot sets ---------------------------------------------------------------

bool NatsSnapshotSet::Init() {
    client->initSnapshot(this);
    return true;
}

bool NatsSnapshotSet::GetDouble(short field, double* out) {
    if (out == nullptr || field < 0 || field >= kFieldIds || !has[field]) return false;
    *out = value[field];
    return true;
}

bool NatsSnapshotSet::GetDWord(short field, FeedTime* out) {
    if (out == nullptr || field < 0 || field >= kFieldIds || !has[field]) return false;
    if (field == feedcommon::kTradeTimeId) {
        *out = tradeTime;
    } else {
        *out = static_cast<FeedTime>(feedcommon::clampFeedTime(value[field]));
    }
    return true;
}

// ---- Record sets -----------------------------------------------------------------

NatsRecordSet::NatsRecordSet(NatsClient* c, std::string q, std::uint64_t i) : client(c), query(std::move(q)), id(i) {
    sinkMode = feedcommon::kRecordSinkMode;
    recordBase = feedcommon::kRecordBase;
}

void NatsRecordSet::SetSink(ITRecSetSink* newSink) { client->setSink(this, newSink); }

int NatsRecordSet::Init(int records, unsigned long) { return client->initRecordSet(this, records); }

short NatsRecordSet::GetFieldIx(const char* name) { return feedcommon::recordFieldIndex(name); }

bool NatsRecordSet::GetRecDouble(long record, short fieldIx, double* out) {
    return feedcommon::recordDouble(bars, origin, record, fieldIx, out);
}

bool NatsRecordSet::GetETime(long record, int kind, FeedTime* time) {
    return feedcommon::recordTime(bars, origin, record, kind, time);
}

void NatsRecordSet::publish(std::vector<wire::Bar> records, std::int64_t newOrigin) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars = std::move(records);
    origin = newOrigin;
    feedcommon::setRecordMembers(*this, bars.size(), origin);
}

// ---- The client: host side -------------------------------------------------------

NatsClient::NatsClient(std::size_t backlogLimit)
    : clientId_(randomId()), backlogLimit_(std::max<std::size_t>(backlogLimit, 1)) {}

NatsClient::~NatsClient() {
    stopAtExit();
    std::lock_guard<std::mutex> lock(mu_);
    closeNats();
    for (NatsSnapshotSet* set : snapshots_) delete set;
    for (NatsRecordSet* set : recordSets_) delete set;
    for (NatsSnapshotSet* set : retiredSnapshots_) delete set;
    for (NatsRecordSet* set : retiredRecordSets_) delete set;
}

void NatsClient::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(queueMu_);
        queue_.push_back({std::move(task), {}});
    }
    queued_.notify_one();
}

std::size_t NatsClient::backlogPeak() {
    std::lock_guard<std::mutex> lock(queueMu_);
    return backlogPeak_;
}

NatsClient::BacklogStats NatsClient::backlogStats() {
    std::lock_guard<std::mutex> lock(queueMu_);
    return backlogStats_;
}

void NatsClient::markStale(const std::string& subject) {
    if (subject.empty()) staleAll_ = true;
    else stale_.insert(subject);
    anyStale_.store(true, std::memory_order_relaxed);
}

// mu_ held. The exit handler is registered at the first start, after the
// host loaded its plug-ins, so that at exit the feed thread stops before
// their static objects are destroyed.
void NatsClient::ensureThread() {
    if (feed_.start() && atExit != nullptr) feedcommon::callAtExit(atExit);
}

bool NatsClient::Connect(EConnectStatus* status) {
    if (status == nullptr) return false;
    std::lock_guard<std::mutex> lock(mu_);
    const std::uint64_t generation = ++generation_;
    sink_ = status;
    ensureThread();
    post([this, generation, status] {
        std::unique_lock<std::mutex> lock(mu_);
        if (generation != generation_) return;  // superseded by a later Connect or Disconnect
        // A Connect while logged on logs on afresh, as the stand-in does: the
        // sets stay and get full images at the next logon.
        loggedOn_ = nullptr;
        link_ = Link::AwaitingCredentials;
        lock.unlock();
        status->onSendCredentials(0, 0);
    });
    return true;
}

void NatsClient::SendLogon(const char* user, const char* password) {
    std::lock_guard<std::mutex> lock(mu_);
    user_ = user != nullptr ? user : "";
    password_ = password != nullptr ? password : "";
    const std::uint64_t generation = generation_;
    post([this, generation] { logOn(generation); });
}

void NatsClient::Disconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    const std::uint64_t generation = ++generation_;
    if (feed_.running()) post([this, generation] { logOff(generation); });
}

// Tasks queued before the stop still run (the log-off of a last
// Disconnect); what is queued after it waits for the next run, which a
// Connect or Create made behind the stop starts. On the feed thread (a
// callback) it returns at once and the run ends after the callback.
void NatsClient::Shutdown() {
    std::unique_lock<std::mutex> lock(mu_);
    if (feed_.requestStop()) post([this] { stopRequested_ = true; });
    feed_.awaitStop(lock);
    if (!feed_.running()) closeNats();
}

void NatsClient::stopAtExit() {
    std::unique_lock<std::mutex> lock(mu_);
    if (feed_.requestExit()) {
        {
            std::lock_guard<std::mutex> queueLock(queueMu_);
            queueStop_ = true;
            queue_.clear();
            queuedUpdates_ = queuedOthers_ = queuedBytes_ = 0;
        }
        queued_.notify_all();
    }
    feed_.awaitStop(lock);
}

TRecordSet* NatsClient::CreateTRecordSet(const char* query) {
    if (query == nullptr || std::strlen(query) > wire::kMaxQuery || wire::historySubject(query).empty()) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto* set = new NatsRecordSet(this, query, nextSetId_++);
    recordSets_.push_back(set);
    ensureThread();
    return set;
}

SnapshotSet* NatsClient::CreateSnapshotSet(const char* symbol) {
    if (!isSymbol(symbol)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto* set = new NatsSnapshotSet(this, symbol, nextSetId_++);
    snapshots_.push_back(set);
    ensureThread();
    return set;
}

void NatsClient::DeleteTRecordSet(TRecordSet* set) { deleteSet(static_cast<NatsRecordSet*>(set)); }

void NatsClient::DeleteSnapshotSet(SnapshotSet* set) { deleteSet(static_cast<NatsSnapshotSet*>(set)); }

template <class Set>
void NatsClient::deleteSet(Set* set) {
    if (set == nullptr) return;
    set->dropped.store(true);  // before mu_: the feed thread tests it right before each callback
    std::unique_lock<std::mutex> lock(mu_);
    constexpr bool isSnapshot = std::is_same_v<Set, NatsSnapshotSet>;
    auto& registry = [this]() -> auto& {
        if constexpr (isSnapshot) return snapshots_;
        else return recordSets_;
    }();
    auto found = std::find(registry.begin(), registry.end(), set);
    if (found == registry.end()) return;  // unknown or already deleted
    registry.erase(found);
    if constexpr (isSnapshot) {
        if (set->following()) unwatchIfUnused(false, set->symbol);
    } else {
        if (set->streaming()) unwatchIfUnused(true, set->query);
    }
    if (inPass_) {
        if constexpr (isSnapshot) retiredSnapshots_.push_back(set);
        else retiredRecordSets_.push_back(set);
        return;
    }
    lock.unlock();
    delete set;
}

void NatsClient::initSnapshot(NatsSnapshotSet* set) {
    std::lock_guard<std::mutex> lock(mu_);
    if (set->initialised) return;
    set->initialised = true;
    if (link_ != Link::Up) return;  // subscribed at the next logon
    watch(wire::quoteSubject(set->symbol));
    requestImage(set);
}

void NatsClient::setSink(NatsRecordSet* set, ITRecSetSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    set->sink = sink;
}

int NatsClient::initRecordSet(NatsRecordSet* set, int records) {
    std::unique_lock<std::mutex> lock(mu_);
    if (set->load != NatsRecordSet::Load::Idle || records < 1) return 0;
    set->live = set->sinkMode != 0;
    set->asked = records;
    if (set->live) {
        if (!wire::isValidKey(set->query) || set->query.find(',') == std::string::npos) return 0;
        set->load = NatsRecordSet::Load::Pending;
        if (link_ == Link::Up) {
            watch(wire::streamSubject(set->query));
            requestStream(set);
        }
        return 1;
    }
    set->load = NatsRecordSet::Load::Waiting;
    if (link_ != Link::Up || feed_.onFeedThread()) {
        if (link_ == Link::Up) sendHistoryRequest(set);
        set->load = NatsRecordSet::Load::Pending;  // answered once logged on
        return 1;
    }
    sendHistoryRequest(set);
    // The gateway answers at once when its feed did: wait for that answer, so
    // that Init's result is the feed's own.
    historyAnswered_.wait_for(lock, kHistoryAnswerWait,
                              [set] { return set->load != NatsRecordSet::Load::Waiting; });
    switch (set->load) {
        case NatsRecordSet::Load::AtOnce: set->load = NatsRecordSet::Load::Done; return 3;
        case NatsRecordSet::Load::Failed: return 0;
        default: set->load = NatsRecordSet::Load::Pending; return 1;
    }
}

// ---- Feed times: the same arithmetic as the stand-in ----------------------------

FeedTime NatsClient::MakeTime(int year, int month, int day, int hour, int minute, int second) {
    return feedtime::make(year, month, day, hour, minute, second);
}

void NatsClient::GetYMD(FeedTime time, int* year, int* month, int* day) { feedtime::splitDate(time, year, month, day); }

void NatsClient::GetHMS(FeedTime time, int* hour, int* minute, int* second) {
    feedtime::splitClock(time, hour, minute, second);
}

// ---- NATS library threads: copy and queue ------------------------------------------

void NatsClient::onNatsMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    // The server's own answer to a hello no gateway heard (none is up yet):
    // not a message of ours, and nothing to report.
    if (natsMsg_IsNoResponders(msg)) {
        natsMsg_Destroy(msg);
        return;
    }
    std::string subject = natsMsg_GetSubject(msg);
    const bool heartbeat = subject == wire::kHeartbeatSubject;
    // The gateway's liveness is stamped on arrival, whatever the feed thread's backlog.
    if (heartbeat) client->heartbeatSeen_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
    // Not copied when oversized: a server that allows large payloads must not
    // make the queue hold them; the log line is queued (and bounded) alone.
    const bool oversized = size > wire::kMaxMessage;
    const bool update = !oversized && isUpdateSubject(subject);
    const std::size_t kept = oversized ? 0 : size;
    std::unique_lock<std::mutex> lock(client->queueMu_);
    ++client->backlogStats_.arrived;
    const bool full = client->queuedBytes_ + kept > kMaxBacklogBytes;
    if (update) {
        // Past the bound, or behind an update already dropped: dropped too,
        // as the fresh image asked for at the catch-up supersedes it.
        if (full || client->queuedUpdates_ >= client->backlogLimit_ || client->stale_.count(subject) != 0) {
            lock.unlock();
            natsMsg_Destroy(msg);
            lock.lock();
            client->markStale(subject);
            ++client->missed_;
            return;
        }
        client->backlogPeak_ = std::max(client->backlogPeak_, ++client->queuedUpdates_);
    } else {
        if (full || client->queuedOthers_ >= client->backlogLimit_) {
            // A heartbeat was stamped already; an inbox answer may have been an
            // image, window or history: every set asks again at the catch-up.
            if (!heartbeat) {
                if (!oversized && subject != wire::kMessageSubject) client->markStale("");
                ++client->missed_;
                client->anyStale_.store(true, std::memory_order_relaxed);
            }
            lock.unlock();
            natsMsg_Destroy(msg);
            return;
        }
        ++client->queuedOthers_;
    }
    client->queuedBytes_ += kept;
    BacklogStats& stats = client->backlogStats_;
    stats.peakMessages = std::max(stats.peakMessages, client->queuedUpdates_ + client->queuedOthers_);
    stats.peakBytes = std::max(stats.peakBytes, client->queuedBytes_);
    lock.unlock();
    // Copied outside queueMu_: a large message does not hold up the host's posts.
    std::function<void()> task;
    if (oversized) {
        task = [client, subject, size] {
            client->log("dropped a message on " + subject + ": oversized (" + std::to_string(size) + " bytes)");
        };
    } else {
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
        task = [client, subject, bytes = std::vector<std::uint8_t>(data, data + size)] {
            client->onInbound(subject, bytes);
        };
    }
    natsMsg_Destroy(msg);
    lock.lock();
    client->queue_.push_back({std::move(task), update ? std::move(subject) : std::string()});
    lock.unlock();
    client->queued_.notify_one();
}

// The server refused something: a permission it does not grant this user
// (a symbol the trader is not entitled to), or the NATS library dropped
// messages of a subscription that fell behind its pending limits; those are
// missed updates like an overflowing backlog: fresh images at the catch-up.
void NatsClient::onNatsError(natsConnection* nats, natsSubscription* sub, natsStatus status, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    if (status == NATS_SLOW_CONSUMER) {
        const char* subject = sub != nullptr ? natsSubscription_GetSubject(sub) : nullptr;
        std::lock_guard<std::mutex> lock(client->queueMu_);
        // An update subject re-images its sets; the inbox (lost answers) or an unknown one, every set.
        client->markStale(subject != nullptr && isUpdateSubject(subject) ? subject : "");
        ++client->missed_;
        return;
    }
    // The error's own text: the thread's last error in this callback; the
    // connection's may already be that of a later error.
    const char* detail = nats_GetLastError(nullptr);
    if (detail == nullptr || *detail == '\0') natsConnection_GetLastError(nats, &detail);
    std::string text = detail != nullptr && *detail != '\0' ? detail : natsStatus_GetText(status);
    if (text.find("Permissions Violation") != std::string::npos) {
        // '... for Subscription to "subject"' or '... for Publish to "subject"'.
        const std::size_t open = text.find('"'), close = text.rfind('"');
        std::string subject = open != std::string::npos && close > open ? text.substr(open + 1, close - open - 1) : "";
        text = "Not entitled: " + text;
        client->post([client, subject = std::move(subject), text] { client->onPermissionRefused(subject, text); });
        return;
    }
    text = "Message bus error: " + text;
    client->post([client, text] {
        client->log(text);
        client->notifyConnection([&text](EConnectStatus* sink) { sink->onMessage(text.c_str()); });
    });
}

void NatsClient::onNatsClosed(natsConnection*, void* closure) {
    auto* closed = static_cast<ClosedSignal*>(closure);
    // Notified with the lock held: the waiter may free the signal as soon as it has the lock.
    std::lock_guard<std::mutex> lock(closed->mu);
    closed->seen = true;
    closed->changed.notify_all();
}

bool NatsClient::ClosedSignal::wait() {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, std::chrono::seconds(5), [this] { return seen; });
}

// libnats calls the connection's callbacks on a thread of its own, after
// Close returns; the closed one comes last. Waited for, so that none
// reaches a client that is gone. When it did not come, the signal is kept
// (a late callback finds it) rather than freed.
void NatsClient::closeConnection(natsConnection* nats, std::unique_ptr<ClosedSignal> closed) {
    natsConnection_Close(nats);
    if (closed != nullptr && !closed->wait()) closed.release();
    natsConnection_Destroy(nats);
}

// Also called when this client closes a connection itself: the task then
// finds another connection current, or none, and does nothing.
void NatsClient::onNatsDisconnected(natsConnection* nats, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    client->post([client, nats] {
        {
            std::lock_guard<std::mutex> lock(client->mu_);
            if (client->nats_ != nats || natsConnection_Status(nats) == NATS_CONN_STATUS_CONNECTED) return;
        }
        client->feedDown("Lost the connection to the message bus; reconnecting");
    });
}

// Back on a server (another of the list, after a failover). Still logged on
// (the link came back before the disconnection was handled): whatever was
// published meanwhile is lost, so every live set asks for a full image.
// Logged off: asks the gateway for its state at once instead of waiting up to
// a second for its heartbeat.
void NatsClient::onNatsReconnected(natsConnection* nats, void* closure) {
    auto* client = static_cast<NatsClient*>(closure);
    client->post([client, nats] {
        std::lock_guard<std::mutex> lock(client->mu_);
        if (client->nats_ != nats) return;
        if (client->link_ == Link::Up) {
            client->resubscribeAll();
        } else if (client->link_ == Link::WaitingForFeed) {
            client->publishLocked(wire::kHelloSubject, wire::Lease{client->clientId_}, wire::helloReply(client->inbox_));
        }
    });
}

// ---- The feed thread --------------------------------------------------------------

// Entered with mu_ held, released while it runs; returns with it held once
// the stop's task ran or the exit came. May run again on the same thread (a
// Connect behind a Shutdown made in a callback): per-run state is reset here.
void NatsClient::run(std::unique_lock<std::mutex>& muLock) {
    stopRequested_ = false;
    {
        std::lock_guard<std::mutex> lock(queueMu_);
        queueStop_ = false;
    }
    muLock.unlock();
    auto nextTick = Clock::now() + kTick;
    while (true) {
        std::deque<Task> batch;
        {
            std::unique_lock<std::mutex> lock(queueMu_);
            queued_.wait_until(lock, nextTick, [this] { return !queue_.empty() || queueStop_; });
            if (queueStop_) break;
            batch.swap(queue_);
            queuedUpdates_ = queuedOthers_ = queuedBytes_ = 0;
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (feed_.exiting()) break;
            inPass_ = true;
        }
        for (auto task = batch.begin(); task != batch.end(); ++task) {
            // An update queued before its subject overflowed: the fresh image supersedes it.
            if (!task->update.empty() && isStale(task->update)) continue;
            task->run();
            if (stopRequested_) {
                // What came after the stop waits for the next run, in order.
                std::lock_guard<std::mutex> lock(queueMu_);
                queue_.insert(queue_.begin(), std::make_move_iterator(std::next(task)),
                              std::make_move_iterator(batch.end()));
                break;
            }
        }
        batch.clear();  // before a catch-up: the pass's memory is given back first
        if (stopRequested_) break;
        if (anyStale_.load(std::memory_order_relaxed)) catchUp();
        if (Clock::now() >= nextTick) {
            tick();
            nextTick = Clock::now() + kTick;
        }
        std::lock_guard<std::mutex> lock(mu_);
        inPass_ = false;
        freeRetired();
    }
    muLock.lock();
    inPass_ = false;
    freeRetired();
    // Stopped by a Shutdown, perhaps made on this thread, where no one else
    // would close the bus; a run again connects afresh.
    if (stopRequested_) closeNats();
}

// mu_ held, outside a pass: the sets deleted during it.
void NatsClient::freeRetired() {
    for (NatsSnapshotSet* set : retiredSnapshots_) delete set;
    for (NatsRecordSet* set : retiredRecordSets_) delete set;
    retiredSnapshots_.clear();
    retiredRecordSets_.clear();
}

// At most kLogLinesPerSecond lines a second; the rest are counted and the
// count reported with the next line let through. Feed thread.
void NatsClient::log(const std::string& line) {
    constexpr int kLogLinesPerSecond = 20;
    const auto now = Clock::now();
    if (now - logWindow_ >= std::chrono::seconds(1)) {
        logWindow_ = now;
        logLines_ = 0;
    }
    if (++logLines_ > kLogLinesPerSecond) {
        ++logSuppressed_;
        return;
    }
    if (logSuppressed_ > 0) {
        std::fprintf(stderr, "tellivar-nats: (%d more lines not shown)\n", logSuppressed_);
        logSuppressed_ = 0;
    }
    std::fprintf(stderr, "tellivar-nats: %s\n", line.c_str());
}

void NatsClient::notifyConnection(std::function<void(EConnectStatus*)> call) {
    EConnectStatus* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        sink = sink_;
    }
    if (sink != nullptr) call(sink);
}

void NatsClient::logOn(std::uint64_t generation) {
    std::unique_lock<std::mutex> lock(mu_);
    if (generation != generation_ || link_ != Link::AwaitingCredentials) return;
    // A new logon: what was refused under the last one is asked for again.
    for (NatsSnapshotSet* set : snapshots_) set->refused = false;
    for (NatsRecordSet* set : recordSets_) set->refused = false;
    const std::string user = user_, password = password_;
    // A log-off keeps the bus connection: logging on again with the same
    // credentials is then immediate, as hosts that reconnect often expect.
    if (nats_ != nullptr && user == natsUser_ && password == natsPassword_ &&
        natsConnection_Status(nats_) == NATS_CONN_STATUS_CONNECTED) {
        link_ = Link::WaitingForFeed;
        waitingSince_ = Clock::now();
        toldWaiting_ = false;
        if (gatewayFeedUp_ && Clock::now() - lastHeartbeat_ < kHeartbeatTimeout) {
            goUp(lock);
        } else {
            publishLocked(wire::kHelloSubject, wire::Lease{clientId_}, wire::helloReply(inbox_));
        }
        return;
    }
    closeNats();
    link_ = Link::Connecting;
    lock.unlock();

    const char* env = std::getenv("TELLIVAR_NATS_URL");
    natsconfig::Settings settings;
    settings.servers = natsconfig::parseServers(env != nullptr ? env : "");
    settings.name = "tellivar-nats/" + std::to_string(getpid());
    settings.user = user;
    settings.password = password;
    // One delivery thread for every subscription (one per symbol and stream):
    // not a thread each, whose wake-ups per message cost more than the message.
    settings.globalDelivery = true;
    settings.reconnectWaitMs = 250;
    settings.connectTimeoutMs = 2000;
    const std::vector<std::string>& urls = settings.servers;
    natsOptions* options = nullptr;
    natsConnection* nats = nullptr;
    auto closed = std::make_unique<ClosedSignal>();
    natsStatus s = natsconfig::makeOptions(settings, &options);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(options, &NatsClient::onNatsDisconnected, this);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(options, &NatsClient::onNatsReconnected, this);
    if (s == NATS_OK) s = natsOptions_SetErrorHandler(options, &NatsClient::onNatsError, this);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(options, &NatsClient::onNatsClosed, closed.get());
    if (s == NATS_OK) s = natsConnection_Connect(&nats, options);
    if (options != nullptr) natsOptions_Destroy(options);

    lock.lock();
    if (s != NATS_OK) {
        link_ = Link::Down;
        EConnectStatus* sink = sink_;
        std::string text;
        if (s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED) {
            text = "Logon rejected: the message bus did not accept the user name or password";
        } else {
            text = "Logon failed: cannot reach the message bus at " + natsconfig::joinServers(urls) + " (" + natsStatus_GetText(s) + ")";
        }
        lock.unlock();
        if (sink != nullptr && generation == generation_) {
            sink->onMessage(text.c_str());
            sink->onLogOff();
        }
        return;
    }
    if (generation != generation_) {  // a Disconnect came while connecting
        lock.unlock();
        closeConnection(nats, std::move(closed));
        return;
    }
    nats_ = nats;
    closed_ = std::move(closed);
    natsUser_ = user;
    natsPassword_ = password;
    gatewayFeedUp_ = false;
    inbox_ = wire::inboxFor(user, clientId_);
    for (const std::string& subject : {std::string(wire::kHeartbeatSubject), std::string(wire::kMessageSubject),
                                       inbox_ + ".>"}) {
        natsSubscription* sub = nullptr;
        if (natsConnection_Subscribe(&sub, nats_, subject.c_str(), &NatsClient::onNatsMessage, this) == NATS_OK)
            fixedSubscriptions_.push_back(sub);
    }
    link_ = Link::WaitingForFeed;
    lastHeartbeat_ = waitingSince_ = Clock::now();
    toldWaiting_ = false;
    // The gateway answers with a heartbeat at once: no wait for the next one.
    publishLocked(wire::kHelloSubject, wire::Lease{clientId_}, wire::helloReply(inbox_));
}

void NatsClient::logOff(std::uint64_t generation) {
    std::unique_lock<std::mutex> lock(mu_);
    if (generation != generation_) return;
    EConnectStatus* wasLoggedOn = loggedOn_;
    loggedOn_ = nullptr;
    link_ = Link::Down;  // the bus connection stays for the next logon; Shutdown closes it
    // The gateway drops this client's interest at once, not when its lease runs out.
    if (!inbox_.empty()) publishLocked(wire::kLeaveSubject, wire::Leave{clientId_}, inbox_);
    lock.unlock();
    if (wasLoggedOn != nullptr) wasLoggedOn->onLogOff();
}

// mu_ held.
// The connection closes first, its subscriptions are freed after: freeing a
// subscription while the connection's reader delivers to it can hang the close.
void NatsClient::closeNats() {
    if (nats_ != nullptr) {
        natsConnection_Close(nats_);
        if (!closed_->wait()) closed_.release();
    }
    for (auto& [subject, sub] : watched_) natsSubscription_Destroy(sub);
    watched_.clear();
    for (natsSubscription* sub : fixedSubscriptions_) natsSubscription_Destroy(sub);
    fixedSubscriptions_.clear();
    for (natsSubscription* sub : unwatched_) natsSubscription_Destroy(sub);
    unwatched_.clear();
    if (nats_ != nullptr) {
        natsConnection_Destroy(nats_);
        nats_ = nullptr;
        closed_.reset();
    }
    for (NatsRecordSet* set : recordSets_)
        if (set->load == NatsRecordSet::Load::Pending) set->requestSent = false;
}

void NatsClient::feedDown(const std::string& text) {
    std::unique_lock<std::mutex> lock(mu_);
    if (link_ != Link::Up) return;
    link_ = Link::WaitingForFeed;
    waitingSince_ = Clock::now();
    toldWaiting_ = true;
    EConnectStatus* sink = loggedOn_;
    loggedOn_ = nullptr;
    lock.unlock();
    log(text);
    if (sink != nullptr) {
        sink->onMessage(text.c_str());
        sink->onLogOff();
    }
}

bool NatsClient::isStale(const std::string& updateSubject) {
    if (!anyStale_.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(queueMu_);
    return staleAll_ || stale_.count(updateSubject) != 0;
}

// Feed thread, at the end of a pass that dropped updates: the sets that
// missed some ask for fresh images, and the host is told once. Updates that
// arrive from now on are queued again; a set keeps those until its image.
void NatsClient::catchUp() {
    std::set<std::string> stale;
    bool all;
    std::uint64_t missed;
    {
        std::lock_guard<std::mutex> lock(queueMu_);
        stale.swap(stale_);
        all = std::exchange(staleAll_, false);
        missed = std::exchange(missed_, 0);
        anyStale_.store(false, std::memory_order_relaxed);
    }
    std::unique_lock<std::mutex> lock(mu_);
    if (link_ != Link::Up) return;  // the next logon images every set anyway
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
    std::unique_lock<std::mutex> lock(mu_);
    const auto now = Clock::now();
    const Clock::time_point seen{Clock::duration(heartbeatSeen_.load(std::memory_order_relaxed))};
    if (lastTick_ != Clock::time_point{} && now - lastTick_ > kHeartbeatTimeout) stallGraceUntil_ = now + kStallGrace;
    lastTick_ = now;
    if (link_ == Link::Up) {
        if (now >= stallGraceUntil_ && now - std::max(lastHeartbeat_, seen) > kHeartbeatTimeout) {
            lock.unlock();
            feedDown("The gateway stopped sending its heartbeat");
            return;
        }
        if (now >= nextLease_) sendLease();
        askAgainForLostAnswers(now);
    } else if (link_ == Link::WaitingForFeed && !toldWaiting_ && now - waitingSince_ > kHeartbeatTimeout) {
        toldWaiting_ = true;
        EConnectStatus* sink = sink_;
        lock.unlock();
        if (sink != nullptr) sink->onMessage("Waiting for the gateway and its feed");
    }
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
        std::lock_guard<std::mutex> lock(mu_);
        if (nats_ == nullptr) return;  // closed since it was queued
        // Logged off: the sets wait for the next logon, which sends full images.
        const bool data = std::holds_alternative<wire::Quote>(*message) || std::holds_alternative<wire::Stream>(*message);
        if (data && link_ != Link::Up) return;
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
            std::lock_guard<std::mutex> lock(mu_);
            only = snapshotById(id);
            if (only == nullptr) return;  // deleted meanwhile
        }
        onQuote(*m, subject, only);
    } else if (const auto* m = std::get_if<wire::Stream>(&*message)) {
        NatsRecordSet* only = nullptr;
        if (wire::parseReply(subject, inbox, wire::ReplyKind::Window, &id)) {
            std::lock_guard<std::mutex> lock(mu_);
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
    std::unique_lock<std::mutex> lock(mu_);
    lastHeartbeat_ = Clock::now();
    const bool restarted = gatewayEpoch_ != 0 && beat.epoch != gatewayEpoch_;
    gatewayEpoch_ = beat.epoch;
    gatewayFeedUp_ = beat.feedUp;
    if (link_ == Link::Up && !beat.feedUp) {
        lock.unlock();
        feedDown("The gateway's feed is down");
        return;
    }
    if (link_ == Link::Up && restarted) {
        log("the gateway restarted; subscribing afresh");
        resubscribeAll();
        return;
    }
    if (link_ != Link::WaitingForFeed || !beat.feedUp) return;
    goUp(lock);
}

// mu_ held by `lock`, released around the sink calls; the feed thread.
void NatsClient::goUp(std::unique_lock<std::mutex>& lock) {
    link_ = Link::Up;
    EConnectStatus* sink = sink_;
    loggedOn_ = sink;
    const std::uint64_t generation = generation_;
    lock.unlock();
    if (sink != nullptr) sink->onLogon(1);
    lock.lock();
    // The sink may have disconnected from inside onLogon.
    if (generation != generation_ || link_ != Link::Up) return;
    lock.unlock();
    if (sink != nullptr) sink->onReady();
    lock.lock();
    if (generation == generation_ && link_ == Link::Up) resubscribeAll();
}

// mu_ held. Every live set asks for a full image; histories still owed are
// asked for (again: answers under way were lost with the connection, or with
// the gateway that was loading them).
void NatsClient::resubscribeAll() {
    nextLease_ = Clock::now() + kLeasePeriod;
    for (NatsSnapshotSet* set : snapshots_) {
        if (!set->following()) continue;
        watch(wire::quoteSubject(set->symbol));
        requestImage(set);
    }
    for (NatsRecordSet* set : recordSets_) {
        if (set->streaming()) {
            watch(wire::streamSubject(set->query));
            requestStream(set);
        } else if (!set->live && set->owed()) {
            sendHistoryRequest(set);
        }
    }
}

void NatsClient::publishLocked(const std::string& subject, const wire::Message& message, const std::string& reply) {
    if (nats_ == nullptr) return;
    const std::vector<std::uint8_t> bytes = wire::encode(message);
    const int size = static_cast<int>(bytes.size());
    if (reply.empty()) {
        natsConnection_Publish(nats_, subject.c_str(), bytes.data(), size);
    } else {
        natsConnection_PublishRequest(nats_, subject.c_str(), reply.c_str(), bytes.data(), size);
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

void NatsClient::requestImage(NatsSnapshotSet* set) {
    set->sequence = {};
    set->sequence.askedAt = Clock::now();
    publishLocked(wire::subscribeSubject(false, set->symbol), wire::Subscribe{clientId_, false, set->symbol},
                  wire::replySubject(inbox_, wire::ReplyKind::Image, set->id));
}

void NatsClient::requestStream(NatsRecordSet* set) {
    set->sequence = {};
    set->sequence.askedAt = Clock::now();
    publishLocked(wire::subscribeSubject(true, set->query), wire::Subscribe{clientId_, true, set->query},
                  wire::replySubject(inbox_, wire::ReplyKind::Window, set->id));
}

void NatsClient::sendHistoryRequest(NatsRecordSet* set) {
    set->historyId = set->requestSent ? nextSetId_++ : set->id;
    set->requestSent = true;
    set->historyHeard = false;
    set->historyAskedAt = Clock::now();
    set->incoming.clear();
    publishLocked(wire::historySubject(set->query), wire::HistoryRequest{set->historyId, set->asked, set->query},
                  wire::replySubject(inbox_, wire::ReplyKind::History, set->historyId));
}

void NatsClient::onHistoryGap(NatsRecordSet* set, const std::string& what) {
    const bool owed = set->owed();
    if (owed && set->historyRepeats < kMaxHistoryRepeats) {
        ++set->historyRepeats;
        log(what + "; asking again");
        sendHistoryRequest(set);
        return;
    }
    log(what);
    failHistory(set);
}

void NatsClient::failHistory(NatsRecordSet* set) {
    if (set->owed()) set->load = NatsRecordSet::Load::Failed;
    set->incoming.clear();
    historyAnswered_.notify_all();
}

void NatsClient::refuse(NatsSnapshotSet* set) {
    if (!set->following()) return;
    set->refused = true;
    set->sequence = {};
    unwatchIfUnused(false, set->symbol, false);
}

void NatsClient::refuse(NatsRecordSet* set) {
    if (!set->streaming()) return;
    set->refused = true;
    set->sequence = {};
    unwatchIfUnused(true, set->query, false);
}

void NatsClient::watch(const std::string& subject) {
    if (nats_ == nullptr || watched_.count(subject) != 0) return;
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, nats_, subject.c_str(), &NatsClient::onNatsMessage, this) == NATS_OK)
        watched_[subject] = sub;
}

// mu_ held; `set` already left the registry.
void NatsClient::unwatchIfUnused(bool stream, const std::string& key, bool tellGateway) {
    const bool used =
        stream ? std::any_of(recordSets_.begin(), recordSets_.end(),
                             [&](const NatsRecordSet* s) { return s->streaming() && s->query == key; })
               : std::any_of(snapshots_.begin(), snapshots_.end(),
                             [&](const NatsSnapshotSet* s) { return s->following() && s->symbol == key; });
    if (used) return;
    const std::string subject = stream ? wire::streamSubject(key) : wire::quoteSubject(key);
    if (auto found = watched_.find(subject); found != watched_.end()) {
        // Freed only once the connection is closed: libnats's reader may
        // still be delivering to a subscription it just looked up.
        natsSubscription_Unsubscribe(found->second);
        unwatched_.push_back(found->second);
        watched_.erase(found);
    }
    if (tellGateway) publishLocked(wire::kUnsubscribeSubject, wire::Unsubscribe{clientId_, stream, key}, inbox_);
}

void NatsClient::sendLease() {
    nextLease_ = Clock::now() + kLeasePeriod;
    publishLocked(wire::kLeaseSubject, wire::Lease{clientId_}, inbox_);
}

NatsSnapshotSet* NatsClient::snapshotById(std::uint64_t id) {
    for (NatsSnapshotSet* set : snapshots_)
        if (set->id == id) return set;
    return nullptr;
}

NatsRecordSet* NatsClient::recordSetById(std::uint64_t id) {
    for (NatsRecordSet* set : recordSets_)
        if (set->id == id) return set;
    return nullptr;
}

NatsRecordSet* NatsClient::historyById(std::uint64_t id) {
    for (NatsRecordSet* set : recordSets_)
        if (!set->live && set->requestSent && set->historyId == id) return set;
    return nullptr;
}

// ---- Sequence -----------------------------------------------------------------------

// Feed thread, mu_ not held. Gives each of `targets` still in `registry` an
// image (`image`) or the next update in order. Updates before a set's image
// wait for it; a repeat is ignored; a gap or another gateway run asks again.
template <class Set, class Update, class Apply, class Ask>
void NatsClient::follow(const std::vector<Set*>& targets, const std::vector<Set*>& registry, const Update& update,
                        bool image, const std::string& key, Apply apply, Ask askAgain) {
    for (Set* set : targets) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (std::find(registry.begin(), registry.end(), set) == registry.end()) continue;
        }
        Sequence<Update>& seq = set->sequence;
        if (image) {
            // An image answers a request made earlier: when updates after it
            // were applied meanwhile, it would take the set back in time.
            if (seq.haveImage && update.epoch == seq.epoch && update.seq < seq.seq) {
                log("dropped an image of " + key + " older than the updates already applied");
                continue;
            }
            seq.haveImage = true;
            seq.epoch = update.epoch;
            seq.seq = update.seq;
            std::vector<Update> early = std::move(seq.early);
            seq.early.clear();
            apply(set, update);
            for (const Update& later : early) {
                if (later.epoch == seq.epoch && later.seq == seq.seq + 1) {
                    seq.seq = later.seq;
                    apply(set, later);
                }
            }
            continue;
        }
        if (!seq.haveImage) {
            if (seq.early.size() < kMaxEarly) seq.early.push_back(update);
            continue;
        }
        if (update.epoch != seq.epoch || update.seq > seq.seq + 1) {
            log("missed updates of " + key + "; asking for a fresh image");
            std::lock_guard<std::mutex> lock(mu_);
            askAgain(set);
            continue;
        }
        if (update.seq <= seq.seq) continue;  // seen already
        seq.seq = update.seq;
        apply(set, update);
    }
}

// ---- Quotes ---------------------------------------------------------------------------

// `only`: the set a Subscribe answer is for; otherwise every set of the symbol.
void NatsClient::onQuote(const wire::Quote& quote, const std::string& subject, NatsSnapshotSet* only) {
    std::vector<NatsSnapshotSet*> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (only != nullptr) {
            if (!only->following()) return;  // refused meanwhile
            if (!quote.image || quote.symbol != only->symbol) {
                log("dropped a quote answer for the wrong symbol " + quote.symbol);
                return;
            }
            targets.push_back(only);
        } else {
            if (subject != wire::quoteSubject(quote.symbol) || quote.image) {
                log("dropped a quote for " + quote.symbol + " on " + subject);
                return;
            }
            for (NatsSnapshotSet* set : snapshots_)
                if (set->following() && set->symbol == quote.symbol) targets.push_back(set);
            if (targets.empty()) {
                log("dropped a quote for the unknown symbol " + quote.symbol);
                return;
            }
        }
    }
    follow(targets, snapshots_, quote, quote.image, quote.symbol,
           [this](NatsSnapshotSet* set, const wire::Quote& update) { applyQuote(set, update); },
           [this](NatsSnapshotSet* set) { requestImage(set); });
}

// Feed thread, mu_ not held. An image replaces every value and tells the
// sink every id that has one; an update tells the ids it changed.
void NatsClient::applyQuote(NatsSnapshotSet* set, const wire::Quote& quote) {
    std::vector<std::uint8_t> ids;
    {
        std::unique_lock<std::shared_mutex> data(set->dataLock);
        if (quote.image) std::fill(std::begin(set->has), std::end(set->has), false);
        for (const wire::FieldValue& field : quote.fields) {
            set->value[field.id] = field.value;
            set->has[field.id] = true;
        }
        set->tradeTime = quote.tradeTime;
        if (quote.image) {
            for (int id = 0; id < kFieldIds; ++id)
                if (set->has[id]) ids.push_back(static_cast<std::uint8_t>(id));
        } else {
            for (const wire::FieldValue& field : quote.fields) ids.push_back(field.id);
        }
    }
    ISSSetSink* sink = set->sink;
    if (sink == nullptr || ids.empty()) return;
    deliver(set, [&] { sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data()); });
}

// ---- Update streams ------------------------------------------------------------------

void NatsClient::onStream(const wire::Stream& stream, const std::string& subject, NatsRecordSet* only) {
    std::vector<NatsRecordSet*> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (only != nullptr) {
            if (!only->streaming()) return;  // refused meanwhile
            if (!stream.full || stream.query != only->query) {
                log("dropped a stream answer for the wrong query " + stream.query);
                return;
            }
            targets.push_back(only);
        } else {
            if (subject != wire::streamSubject(stream.query)) {
                log("dropped a stream event for " + stream.query + " on " + subject);
                return;
            }
            for (NatsRecordSet* set : recordSets_)
                if (set->streaming() && set->query == stream.query) targets.push_back(set);
            if (targets.empty()) {
                log("dropped a stream event for the unknown stream " + stream.query);
                return;
            }
        }
    }
    follow(targets, recordSets_, stream, only != nullptr, stream.query,
           [this](NatsRecordSet* set, const wire::Stream& event) { applyStream(set, event); },
           [this](NatsRecordSet* set) { requestStream(set); });
}

// Feed thread, mu_ not held. The first window completes the load (event 1);
// later ones and updates of the newest bar are event 3.
void NatsClient::applyStream(NatsRecordSet* set, const wire::Stream& stream) {
    if (stream.bars.empty()) return;
    if (stream.full) {
        set->publish(stream.bars, stream.origin);
    } else {
        std::unique_lock<std::shared_mutex> data(set->dataLock);
        const std::int64_t newest = set->origin + static_cast<std::int64_t>(set->bars.size()) - 1;
        if (set->bars.empty() || newest != stream.newest) {
            data.unlock();
            log("dropped a stream update for a bar the window does not hold: " + stream.query);
            std::lock_guard<std::mutex> lock(mu_);
            requestStream(set);
            return;
        }
        set->bars.back() = stream.bars.back();
    }
    ITRecSetSink* sink;
    int asked;
    {
        std::lock_guard<std::mutex> lock(mu_);
        sink = set->sink;
        asked = set->asked;
        set->load = NatsRecordSet::Load::Done;
    }
    if (sink == nullptr) return;
    if (!set->loadedOnce) {
        set->loadedOnce = true;
        deliver(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
        return;
    }
    deliver(set, [&] {
        sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(stream.newest), stream.newBar ? 1 : 0);
    });
}

// ---- Histories --------------------------------------------------------------------

void NatsClient::onHistoryChunk(const wire::HistoryChunk& chunk) {
    std::unique_lock<std::mutex> lock(mu_);
    NatsRecordSet* set = historyById(chunk.id);
    if (set == nullptr) {
        if (chunk.id >= nextSetId_) log("dropped a history chunk for an unknown request");
        return;  // otherwise for a set deleted since it asked, or a request asked again since
    }
    set->historyHeard = true;
    if (chunk.offset != set->incoming.size()) {
        onHistoryGap(set, "dropped a history chunk out of order for " + set->query);
        return;
    }
    // No more bars kept than were asked for, whatever the chunks say.
    if (chunk.total > static_cast<std::uint32_t>(set->asked) || chunk.offset > chunk.total ||
        chunk.bars.size() > chunk.total - chunk.offset) {
        onHistoryGap(set, "dropped a history chunk past the bars asked for " + set->query);
        return;
    }
    set->incoming.insert(set->incoming.end(), chunk.bars.begin(), chunk.bars.end());
    const bool last = set->incoming.size() >= chunk.total;
    if (set->load != NatsRecordSet::Load::Pending || last) return;
    ITRecSetSink* sink = set->sink;
    const long loaded = static_cast<long>(set->incoming.size());
    lock.unlock();
    if (sink != nullptr)
        deliver(set, [&] { sink->onRecordSetEvent(set, kEventProgress, loaded, static_cast<long>(chunk.total)); });
}

void NatsClient::onHistoryDone(const wire::HistoryDone& done) {
    std::unique_lock<std::mutex> lock(mu_);
    NatsRecordSet* set = historyById(done.id);
    if (set == nullptr) {
        if (done.id >= nextSetId_) log("dropped a history answer for an unknown request");
        return;
    }
    set->historyHeard = true;
    const bool waiting = set->load == NatsRecordSet::Load::Waiting;
    if (done.result == 1) {  // under way at the gateway: chunks and another answer follow
        if (waiting) set->load = NatsRecordSet::Load::Pending;
        historyAnswered_.notify_all();
        return;
    }
    if (done.result == 0) {
        if (!waiting) log("the gateway's feed failed the history " + set->query);
        failHistory(set);
        return;
    }
    if (set->incoming.size() != done.total) {
        onHistoryGap(set, "dropped an incomplete history for " + set->query);
        return;
    }
    if (!set->owed()) return;
    // Published with mu_ released: a host reading the set holds its read
    // lock and may take mu_ (a Delete); mu_ is never held around dataLock.
    std::vector<wire::Bar> bars = std::move(set->incoming);
    set->incoming.clear();
    lock.unlock();
    set->publish(std::move(bars), 0);  // the set lives: deletes during a pass are deferred
    lock.lock();
    if (std::find(recordSets_.begin(), recordSets_.end(), set) == recordSets_.end()) return;
    // Init may have stopped waiting meanwhile: then an event tells of the bars.
    if (set->load == NatsRecordSet::Load::Waiting && done.result == 3) {
        set->load = NatsRecordSet::Load::AtOnce;  // Init returns 3; no event
        historyAnswered_.notify_all();
        return;
    }
    set->load = NatsRecordSet::Load::Done;
    historyAnswered_.notify_all();
    ITRecSetSink* sink = set->sink;
    const long asked = set->asked;
    lock.unlock();
    if (sink != nullptr) deliver(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
}

// A refusal is final until the next logon, as the feed's own failure is: a
// refused history fails its set (Init, still waiting, returns 0; later, the
// set stays without bars); a refused quote or stream asks nothing more and
// drops its subscription. The host is told once.
void NatsClient::onRefusal(const wire::Refusal& refusal, const std::string& subject) {
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (wire::parseReply(subject, inbox_, wire::ReplyKind::History, &id)) {
            if (NatsRecordSet* set = historyById(id)) failHistory(set);
        } else if (wire::parseReply(subject, inbox_, wire::ReplyKind::Image, &id)) {
            NatsSnapshotSet* set = snapshotById(id);
            if (set == nullptr || !set->following()) return;  // deleted, or refused already
            refuse(set);
        } else if (wire::parseReply(subject, inbox_, wire::ReplyKind::Window, &id)) {
            NatsRecordSet* set = recordSetById(id);
            if (set == nullptr || !set->streaming()) return;
            refuse(set);
        }
    }
    tellHost("the gateway refused " + refusal.key, refusal.text);
}

// The subject is the one of a set's updates, of its subscribe request or of
// its history request.
void NatsClient::onPermissionRefused(const std::string& subject, const std::string& text) {
    bool matched = false, newly = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (NatsSnapshotSet* set : snapshots_) {
            if (!set->initialised) continue;
            if (subject != wire::quoteSubject(set->symbol) && subject != wire::subscribeSubject(false, set->symbol))
                continue;
            matched = true;
            newly = newly || set->following();
            refuse(set);
        }
        for (NatsRecordSet* set : recordSets_) {
            if (set->live) {
                if (set->load == NatsRecordSet::Load::Idle) continue;
                if (subject != wire::streamSubject(set->query) && subject != wire::subscribeSubject(true, set->query))
                    continue;
                matched = true;
                newly = newly || set->streaming();
                refuse(set);
            } else if (set->requestSent && subject == wire::historySubject(set->query)) {
                matched = true;
                newly = newly || set->owed();
                failHistory(set);
            }
        }
    }
    if (matched && !newly) return;  // told already: the set's other subject, refused too
    tellHost(text, text);
}

// One line for the host: its message when it is connected, the log otherwise.
void NatsClient::tellHost(const std::string& logLine, const std::string& message) {
    EConnectStatus* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        sink = sink_;
    }
    if (sink == nullptr) {
        log(logLine + (logLine == message ? "" : ": " + message));
        return;
    }
    sink->onMessage(message.c_str());
}

}  // namespace natsfeed
