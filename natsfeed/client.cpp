// The NATS feed client: the contract's calls (host threads), the feed thread's
// start, stops and loop, and what it tells the host. See client.h.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "natsfeed/bus.h"
#include "natsfeed/internal.h"
#include "feedtime/feed_time.h"

namespace natsfeed {

void (*atExit)() = nullptr;

NatsClient::NatsClient(std::size_t backlogLimit)
    : bus_(std::make_unique<Bus>(static_cast<BusEvents&>(*this))),
      clientId_(randomId()),
      backlogLimit_(std::max<std::size_t>(backlogLimit, 1)) {}

NatsClient::~NatsClient() {
    stopAtExit();
    feedcommon::MutexLock lock(mu_);
    closeBus();
    for (NatsSnapshotSet* set : snapshots_) delete set;
    for (NatsRecordSet* set : recordSets_) delete set;
    for (NatsSnapshotSet* set : retiredSnapshots_) delete set;
    for (NatsRecordSet* set : retiredRecordSets_) delete set;
}

void NatsClient::post(std::function<void()> task) {
    {
        feedcommon::MutexLock lock(queueMu_);
        queue_.push_back({std::move(task), {}});
    }
    queued_.notify_one();
}

std::size_t NatsClient::backlogPeak() {
    feedcommon::MutexLock lock(queueMu_);
    return backlogPeak_;
}

NatsClient::BacklogStats NatsClient::backlogStats() {
    feedcommon::MutexLock lock(queueMu_);
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
    feedcommon::MutexLock lock(mu_);
    const std::uint64_t generation = ++generation_;
    sink_ = status;
    ensureThread();
    post([this, generation, status] {
        feedcommon::MutexLock lock(mu_);
        if (generation != generation_) return;  // superseded by a later Connect or Disconnect
        // A Connect while logged on logs on afresh, as the stand-in does: the
        // sets stay and get full images at the next logon.
        loggedOn_ = nullptr;
        perform(link_.connect(), Clock::now());  // asks `status`, the latest sink
    });
    return true;
}

void NatsClient::SendLogon(const char* user, const char* password) {
    feedcommon::MutexLock lock(mu_);
    user_ = user != nullptr ? user : "";
    password_ = password != nullptr ? password : "";
    const std::uint64_t generation = generation_;
    post([this, generation] { logOn(generation); });
}

void NatsClient::Disconnect() {
    feedcommon::MutexLock lock(mu_);
    const std::uint64_t generation = ++generation_;
    if (feed_.running()) post([this, generation] { logOff(generation); });
}

// Tasks queued before the stop still run (the log-off of a last
// Disconnect); what is queued after it waits for the next run, which a
// Connect or Create made behind the stop starts. On the feed thread (a
// callback) it returns at once and the run ends after the callback.
void NatsClient::Shutdown() {
    feedcommon::MutexLock lock(mu_);
    if (feed_.requestStop()) post([this] { stopRequested_ = true; });
    feed_.awaitStop(lock.native());
    if (!feed_.running()) closeBus();
}

void NatsClient::stopAtExit() {
    feedcommon::MutexLock lock(mu_);
    if (feed_.requestExit()) {
        {
            feedcommon::MutexLock queueLock(queueMu_);
            queueStop_ = true;
            queue_.clear();
            queuedUpdates_ = queuedOthers_ = queuedBytes_ = 0;
        }
        queued_.notify_all();
    }
    feed_.awaitStop(lock.native());
}

TRecordSet* NatsClient::CreateTRecordSet(const char* query) {
    if (query == nullptr || std::strlen(query) > wire::kMaxQuery || wire::historySubject(query).empty()) return nullptr;
    feedcommon::MutexLock lock(mu_);
    auto* set = new NatsRecordSet(this, query, nextSetId_++);
    recordSets_.push_back(set);
    ensureThread();
    return set;
}

SnapshotSet* NatsClient::CreateSnapshotSet(const char* symbol) {
    if (!isSymbol(symbol)) return nullptr;
    feedcommon::MutexLock lock(mu_);
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
    feedcommon::MutexLock lock(mu_);
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
    feedcommon::MutexLock lock(mu_);
    if (set->initialised) return;
    set->initialised = true;
    if (!link_.isUp()) return;  // subscribed at the next logon
    bus_->watch(wire::quoteSubject(set->symbol));
    requestImage(set);
}

void NatsClient::setSink(NatsRecordSet* set, ITRecSetSink* sink) {
    feedcommon::MutexLock lock(mu_);
    set->sink = sink;
}

int NatsClient::initRecordSet(NatsRecordSet* set, int records) {
    feedcommon::MutexLock lock(mu_);
    if (set->load != NatsRecordSet::Load::Idle || records < 1) return 0;
    set->live = set->sinkMode != 0;
    set->asked = records;
    if (set->live) {
        if (!wire::isValidKey(set->query) || set->query.find(',') == std::string::npos) return 0;
        set->load = NatsRecordSet::Load::Pending;
        if (link_.isUp()) {
            bus_->watch(wire::streamSubject(set->query));
            requestStream(set);
        }
        return 1;
    }
    set->load = NatsRecordSet::Load::Waiting;
    if (!link_.isUp() || feed_.onFeedThread()) {
        if (link_.isUp()) sendHistoryRequest(set);
        set->load = NatsRecordSet::Load::Pending;  // answered once logged on
        return 1;
    }
    sendHistoryRequest(set);
    // The gateway answers at once when its feed did: wait for that answer, so
    // that Init's result is the feed's own.
    lock.waitFor(historyAnswered_, kHistoryAnswerWait, [set] { return set->load != NatsRecordSet::Load::Waiting; });
    switch (set->load) {
        case NatsRecordSet::Load::AtOnce: set->load = NatsRecordSet::Load::Done; return 3;
        case NatsRecordSet::Load::Failed: return 0;
        default: set->load = NatsRecordSet::Load::Pending; return 1;
    }
}

FeedTime NatsClient::MakeTime(int year, int month, int day, int hour, int minute, int second) {
    return feedtime::make(year, month, day, hour, minute, second);
}

void NatsClient::GetYMD(FeedTime time, int* year, int* month, int* day) { feedtime::splitDate(time, year, month, day); }

void NatsClient::GetHMS(FeedTime time, int* hour, int* minute, int* second) {
    feedtime::splitClock(time, hour, minute, second);
}

// Entered with mu_ held, released while it runs; returns with it held once
// the stop's task ran or the exit came. May run again on the same thread (a
// Connect behind a Shutdown made in a callback): per-run state is reset here.
void NatsClient::run() {
    stopRequested_ = false;
    {
        feedcommon::MutexLock lock(queueMu_);
        queueStop_ = false;
    }
    mu_.unlock();
    auto nextTick = Clock::now() + kTick;
    while (true) {
        std::deque<Task> batch;
        {
            feedcommon::MutexLock lock(queueMu_);
            while (queue_.empty() && !queueStop_ && lock.waitUntil(queued_, nextTick)) {
            }
            if (queueStop_) break;
            batch.swap(queue_);
            queuedUpdates_ = queuedOthers_ = queuedBytes_ = 0;
        }
        {
            feedcommon::MutexLock lock(mu_);
            if (feed_.exiting()) break;
            inPass_ = true;
        }
        for (auto task = batch.begin(); task != batch.end(); ++task) {
            // An update queued before its subject overflowed: the fresh image supersedes it.
            if (!task->update.empty() && isStale(task->update)) continue;
            task->run();
            if (stopRequested_) {
                // What came after the stop waits for the next run, in order.
                // Counted no more: the swap reset the counts.
                for (auto later = std::next(task); later != batch.end(); ++later) later->counted = false;
                feedcommon::MutexLock lock(queueMu_);
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
        feedcommon::MutexLock lock(mu_);
        inPass_ = false;
        freeRetired();
    }
    mu_.lock();
    inPass_ = false;
    freeRetired();
    // Stopped by a Shutdown, perhaps made on this thread, where no one else
    // would close the bus; a run again connects afresh.
    if (stopRequested_) closeBus();
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
        feedcommon::MutexLock lock(mu_);
        sink = sink_;
    }
    if (sink != nullptr) call(sink);
}

// One line for the host: its message when it is connected, the log otherwise.
void NatsClient::tellHost(const std::string& logLine, const std::string& message) {
    EConnectStatus* sink;
    {
        feedcommon::MutexLock lock(mu_);
        sink = sink_;
    }
    if (sink == nullptr) {
        log(logLine + (logLine == message ? "" : ": " + message));
        return;
    }
    sink->onMessage(message.c_str());
}

}  // namespace natsfeed
