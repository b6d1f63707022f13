// The stand-in feed client's feed thread: one loop that handles the
// connection, sends snapshot images, loads history and trades, and is the
// only thread that calls a sink. Every function here runs on it with `mu_`
// held, released only around sink calls and bar building.
#include <algorithm>
#include <cstdlib>
#include <unordered_map>

#include "simfeed/client.h"

namespace simfeed {
namespace {

using feedcommon::kEventLoaded;
using feedcommon::kEventProgress;
using feedcommon::kEventUpdate;

// History not answered at once comes in chunks of this many bars, one
// chunk per set a pass.
constexpr std::size_t kChunkBars = 500;
constexpr auto kChunkPeriod = std::chrono::milliseconds(10);

std::chrono::steady_clock::duration secondsToClock(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

std::vector<std::uint8_t> allIds(const Quote& quote) {
    std::vector<std::uint8_t> ids;
    for (int id = 0; id < kFieldCount; ++id)
        if (quote.has[id]) ids.push_back(static_cast<std::uint8_t>(id));
    return ids;
}

}  // namespace

// A host thread, or a sink on the feed thread; mu_ held.
void SimClient::ensureThread() {
    // The exit handler is registered at the first start, after the host
    // loaded its plug-ins, so that at exit the feed thread stops before
    // their static objects are destroyed.
    if (feed_.start()) feedcommon::callAtExit(&stopClientAtExit);
}

void SimClient::run(std::unique_lock<std::mutex>& lock) {
    nextTrade_ = Clock::now();
    while (true) {
        waitForWork(lock);
        if (feed_.exiting()) break;
        inPass_ = true;
        processCommands(lock);
        if (feed_.stopping()) break;
        const auto now = Clock::now();
        advanceConnection(lock);
        if (feed_.stopping()) break;  // Shutdown from a connection callback
        sendImages(lock);
        advanceLoads(lock);
        if (tradeRequests_ > 0 || (settings_.rate > 0 && now >= nextTrade_)) {
            tradeRequests_ = 0;
            tradeRound(lock);
            nextTrade_ = std::max(nextTrade_ + secondsToClock(1.0 / std::max(settings_.rate, 0.001)), now);
        }
        inPass_ = false;
        registry_.freeRetired();
        ++passes_;
        progress_.notify_all();
    }
    // Stopped: what the host asked before Shutdown was delivered; the
    // connection is gone and the sets wait for the next Connect.
    inPass_ = false;
    registry_.freeRetired();
    connection_.stop();
    progress_.notify_all();
}

void SimClient::waitForWork(std::unique_lock<std::mutex>& lock) {
    const bool up = connection_.isUp();
    auto due = std::min(Clock::now() + std::chrono::seconds(1), connection_.nextDeadline(settings_));
    if (up && settings_.rate > 0) due = std::min(due, nextTrade_);
    if (up && registry_.anyLoadPending() && !settings_.stallHistory) due = std::min(due, Clock::now() + kChunkPeriod);
    const bool imagesDue = registry_.anyImageDue();
    wake_.wait_until(lock, due, [&] {
        return feed_.stopping() || kicked_ || connection_.hasRequests() || passes_ < flushTarget_ ||
               tradeRequests_ > 0 || (imagesDue && connection_.isUp());
    });
    kicked_ = false;
}

// ---- The connection ------------------------------------------------------------

// The connection's timers: reconnect after a drop, the credentials request
// once the connect delay is over, and the periodic drop of soak runs.
void SimClient::advanceConnection(std::unique_lock<std::mutex>& lock) {
    if (connection_.reconnectIfDue()) processCommands(lock);
    if (auto credentials = connection_.askCredentialsIfDue()) {
        deliver(lock, {*credentials});
        processCommands(lock);  // the logon the sink sent from the callback
    }
    if (feed_.stopping()) return;
    if (connection_.dropIfDue(settings_)) processCommands(lock);
}

void SimClient::processCommands(std::unique_lock<std::mutex>& lock) {
    while (!feed_.exiting()) {
        std::optional<std::vector<Notice>> notices = connection_.handleNext(settings_);
        if (!notices) return;
        deliver(lock, *notices);
    }
}

void SimClient::deliver(std::unique_lock<std::mutex>& lock, const std::vector<Notice>& notices) {
    for (const Notice& notice : notices) {
        if (!connection_.stillDue(notice)) continue;
        if (notice.kind == Notice::Logon) registry_.requestImages();  // resync after any outage
        unlocked(lock, [&notice] { notice.deliver(); });
    }
}

// ---- Snapshot images -------------------------------------------------------------

// An instrument trades while a set follows it. One left alone, or caught by
// a clock set back, stops, and opens afresh at its next subscription.
void SimClient::settleInstruments() {
    const std::vector<Instrument*> inUse = registry_.followedInstruments(true);
    for (auto& [symbol, instrument] : instruments_) {
        const bool used = std::find(inUse.begin(), inUse.end(), instrument.get()) != inUse.end();
        if (instrument->isLive() && (!used || clockReset_)) instrument->stopLive();
    }
    if (clockReset_) registry_.requestImages();
    clockReset_ = false;
}

void SimClient::sendImages(std::unique_lock<std::mutex>& lock) {
    settleInstruments();
    const std::vector<SimSnapshotSet*> sets = registry_.snapshots();
    for (SimSnapshotSet* set : sets) {
        if (!connection_.isUp() || feed_.stopping() || !set->needsImage || !registry_.contains(set)) continue;
        set->needsImage = false;
        if (!set->instrument->isLive()) set->instrument->startLive(nowLocked());
        set->takeQuote();
        ISSSetSink* sink = set->sink;
        if (sink == nullptr) continue;
        const std::vector<std::uint8_t> ids = allIds(set->data);
        deliverUnlessDropped(lock, set, [&] {
            sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data());
        });
    }
}

// ---- History loads ---------------------------------------------------------------

void SimClient::advanceLoads(std::unique_lock<std::mutex>& lock) {
    const std::vector<SimRecordSet*> sets = registry_.recordSets();
    for (SimRecordSet* set : sets) {
        if (!connection_.isUp() || settings_.stallHistory || feed_.stopping()) return;
        if (set->load != SimRecordSet::Load::Pending || !registry_.contains(set)) continue;
        loadChunk(lock, set);
    }
}

// One step of a pending load: long intraday history comes in chunks, the
// rest in one piece. Ends with the event the subscriber's completion rule
// waits for: event 1, first = -(records asked - 1), second = records asked.
void SimClient::loadChunk(std::unique_lock<std::mutex>& lock, SimRecordSet* set) {
    const double now = nowLocked();
    const bool chunked = !set->live && !set->answersAtOnce();
    const std::size_t done = set->bars.size();  // this thread is the only writer
    if (set->plan.empty()) {
        set->planTime = now;
        const double end = set->live ? now : set->historyEnd(now);
        set->plan = set->instrument->barStarts(set->query.interval, end, set->requested);
    }
    const std::size_t count = chunked ? std::min(kChunkBars, set->plan.size() - done) : set->plan.size() - done;
    const double planTime = set->planTime;
    lock.unlock();  // bars are computed off the lock; only this thread touches the plan
    const auto first = set->plan.cbegin() + static_cast<std::ptrdiff_t>(done);
    set->append(set->makeBars(first, first + static_cast<std::ptrdiff_t>(count), planTime));
    lock.lock();
    const long loadedCount = static_cast<long>(done + count);
    const long planned = static_cast<long>(set->plan.size());
    const bool finished = done + count == set->plan.size();
    if (finished) {
        set->load = SimRecordSet::Load::Done;
        set->lastUpdate = planTime;
        // A live set follows trades from the moment its bars were built.
        if (set->live && !set->instrument->isLive()) set->instrument->startLive(planTime);
    }
    ITRecSetSink* sink = set->sink;
    if (sink == nullptr || !registry_.contains(set)) return;
    // A load cut short by the cap still completes the count that was asked for.
    const long asked = set->asked;
    if (finished) {
        deliverUnlessDropped(lock, set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
    } else {
        deliverUnlessDropped(lock, set, [&] { sink->onRecordSetEvent(set, kEventProgress, loadedCount, planned); });
    }
}

// ---- Trades ------------------------------------------------------------------------

void SimClient::tradeRound(std::unique_lock<std::mutex>& lock) {
    if (!connection_.isUp()) return;
    const double now = nowLocked();
    // Trade every instrument in use once, then tell each set of it.
    std::unordered_map<Instrument*, std::vector<std::uint8_t>> traded;
    for (Instrument* instrument : registry_.followedInstruments(false)) {
        if (traded.count(instrument) != 0) continue;
        if (!instrument->isLive()) instrument->startLive(now);
        std::vector<std::uint8_t> changed;
        if (instrument->trade(now, changed)) traded.emplace(instrument, std::move(changed));
    }
    if (traded.empty()) return;
    const std::vector<SimSnapshotSet*> snapshots = registry_.snapshots();
    for (SimSnapshotSet* set : snapshots) {
        auto found = traded.find(set->instrument);
        if (found == traded.end() || !set->initialised || set->needsImage || feed_.stopping()) continue;
        if (!registry_.contains(set)) continue;
        set->takeQuote();
        ISSSetSink* sink = set->sink;
        const auto& ids = found->second;
        if (sink == nullptr || ids.empty()) continue;
        deliverUnlessDropped(lock, set, [&] {
            sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data());
        });
    }
    const std::vector<SimRecordSet*> recordSets = registry_.recordSets();
    for (SimRecordSet* set : recordSets) {
        if (!set->live || set->load != SimRecordSet::Load::Done || feed_.stopping()) continue;
        if (traded.count(set->instrument) == 0 || !registry_.contains(set)) continue;
        const std::int64_t newestBefore = set->newestIndex();
        updateLiveSet(set, now);
        const std::int64_t newest = set->newestIndex();
        ITRecSetSink* sink = set->sink;
        if (sink == nullptr) continue;
        const long opened = newest != newestBefore ? 1 : 0;
        deliverUnlessDropped(lock, set, [&] {
            sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(newest), opened);
        });
    }
}

// Follows a trade at `time`: extends the forming bar, or, past its end,
// rebuilds the window so that it ends with the bar holding `time`.
void SimClient::updateLiveSet(SimRecordSet* set, double time) {
    if (set->bars.empty()) return;
    Bar newest = set->bars.back();
    if (time < static_cast<double>(newest.end)) {
        set->instrument->extendBar(newest, set->lastUpdate, time);
        std::unique_lock<std::shared_mutex> data(set->dataLock);
        set->bars.back() = newest;
    } else {
        const std::vector<std::int64_t> starts = set->instrument->barStarts(set->query.interval, time, set->requested);
        const auto added = std::count_if(starts.begin(), starts.end(), [&](std::int64_t s) { return s > newest.start; });
        const std::int64_t newestIndex = set->newestIndex() + added;
        const std::int64_t origin = newestIndex - (static_cast<std::int64_t>(starts.size()) - 1);
        set->publish(set->makeBars(starts.begin(), starts.end(), time), origin);
    }
    set->lastUpdate = time;
}

}  // namespace simfeed
