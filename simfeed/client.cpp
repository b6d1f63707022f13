// The stand-in feed client: connection, sets, the feed thread and the
// control surface. See client.h for the threading contract.
#include "simfeed/client.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "simfeed/calendar.h"
#include "simfeed/control.h"

namespace simfeed {
namespace {

constexpr const char kNoUserText[] = "Logon rejected: no user name given";
constexpr const char kBadCredentialsText[] = "Logon rejected: user name or password not accepted";
constexpr std::int32_t kLogonCode = 1;
constexpr std::int32_t kRecordSinkMode = 1;  // sets follow trades unless the subscriber sets 0

// Record-set events.
constexpr int kEventLoaded = 1;    // first = -(records asked - 1), second = records asked
constexpr int kEventProgress = 2;  // first = bars loaded so far, second = bars to load
constexpr int kEventUpdate = 3;    // first = index of the newest bar, second = 1 when it is new

// History answered at once: long intervals, and intraday up to this many bars.
constexpr int kImmediateBars = 1000;
constexpr std::size_t kChunkBars = 500;
constexpr auto kChunkPeriod = std::chrono::milliseconds(10);

// Record fields of a record set, by GetFieldIx index.
enum RecordField : short { kNoField = -1, kOpen = 1, kHigh, kLow, kClose, kVolume };
constexpr std::pair<const char*, RecordField> kRecordFields[] = {
    {"Open", kOpen}, {"High", kHigh}, {"Low", kLow}, {"Close", kClose}, {"Volume", kVolume}};

double clampFeedTime(double t) { return std::min(4294967295.0, std::max(0.0, t)); }

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// SIMFEED_START: a feed time in digits, or YYYY-MM-DD[THH:MM:SS] in UTC.
bool parseStart(const char* text, double& start) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (std::sscanf(text, "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) >= 3) {
        start = static_cast<double>(secondsFromCivil(y, mo, d, h, mi, s));
        return true;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0') return false;
    start = value;
    return true;
}

std::chrono::steady_clock::duration secondsToClock(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

double wallClockNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::vector<std::uint8_t> allIds(const Quote& quote) {
    std::vector<std::uint8_t> ids;
    for (int id = 0; id < kFieldCount; ++id)
        if (quote.has[id]) ids.push_back(static_cast<std::uint8_t>(id));
    return ids;
}

template <class T>
bool removeFrom(std::vector<T*>& registry, T* item) {
    auto found = std::find(registry.begin(), registry.end(), item);
    if (found == registry.end()) return false;
    registry.erase(found);
    return true;
}

}  // namespace

// ---- Snapshot sets -------------------------------------------------------------

bool SimSnapshotSet::Init() {
    client->initSnapshot(this);
    return true;
}

bool SimSnapshotSet::GetDouble(short id, double* value) {
    if (value == nullptr || id < 0 || id >= kFieldCount || !data.has[id]) return false;
    *value = data.value[id];
    return true;
}

bool SimSnapshotSet::GetDWord(short id, FeedTime* value) {
    if (value == nullptr || id < 0 || id >= kFieldCount || !data.has[id]) return false;
    *value = id == field::TradeTime ? data.tradeTime : static_cast<FeedTime>(clampFeedTime(data.value[id]));
    return true;
}

// ---- Record sets ---------------------------------------------------------------

SimRecordSet::SimRecordSet(SimClient* client, Instrument* instrument, Query query)
    : client(client), instrument(instrument), query(std::move(query)) {
    sinkMode = kRecordSinkMode;
    recordBase = kRecordBase;
}

void SimRecordSet::SetSink(ITRecSetSink* newSink) { client->setSink(this, newSink); }

int SimRecordSet::Init(int records, unsigned long) { return client->initRecordSet(this, records); }

short SimRecordSet::GetFieldIx(const char* name) {
    if (name == nullptr) return kNoField;
    for (const auto& [fieldName, ix] : kRecordFields)
        if (std::strcmp(name, fieldName) == 0) return ix;
    return kNoField;
}

bool SimRecordSet::GetRecDouble(long record, short fieldIx, double* value) {
    const std::int64_t k = static_cast<std::int64_t>(record) - origin;
    if (value == nullptr || k < 0 || k >= static_cast<std::int64_t>(bars.size())) return false;
    const Bar& bar = bars[static_cast<std::size_t>(k)];
    switch (fieldIx) {
        case kOpen: *value = bar.open; return true;
        case kHigh: *value = bar.high; return true;
        case kLow: *value = bar.low; return true;
        case kClose: *value = bar.close; return true;
        case kVolume: *value = bar.volume; return true;
        default: return false;
    }
}

// Kind 1 is the bar's start, kind 2 its end (the next bar's start).
bool SimRecordSet::GetETime(long record, int kind, FeedTime* time) {
    const std::int64_t k = static_cast<std::int64_t>(record) - origin;
    if (time == nullptr || k < 0 || k >= static_cast<std::int64_t>(bars.size())) return false;
    const Bar& bar = bars[static_cast<std::size_t>(k)];
    if (kind != 1 && kind != 2) return false;
    *time = static_cast<FeedTime>(clampFeedTime(static_cast<double>(kind == 1 ? bar.start : bar.end)));
    return true;
}

void SimRecordSet::publish(std::vector<Bar> records, std::int64_t newOrigin) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars = std::move(records);
    origin = newOrigin;
    updateMembers();
}

void SimRecordSet::append(const std::vector<Bar>& records) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars.insert(bars.end(), records.begin(), records.end());
    updateMembers();
}

void SimRecordSet::updateMembers() {
    hasRecords = bars.empty() ? 0 : 1;
    firstRecord = static_cast<std::int32_t>(kRecordBase + origin);
    lastRecord = static_cast<std::int32_t>(kRecordBase + origin + static_cast<std::int64_t>(bars.size()) - 1);
}

// ---- Client: host-side operations ------------------------------------------------

SimClient::SimClient() { reset(); }

// Runs when the library unloads: the feed thread stops delivering, then the
// sets the subscribers never deleted and the instruments go with the client.
SimClient::~SimClient() {
    stopAtExit();
    freeRetired();
    for (SimSnapshotSet* set : snapshots_) delete set;
    for (SimRecordSet* set : recordSets_) delete set;
}

void SimClient::reset() {
    std::lock_guard<std::mutex> lock(mu_);
    settings_ = Settings{};
    clock_ = SimClock{wallClockNow(), Clock::now(), 1.0};
    if (const char* v = env("SIMFEED_USER")) settings_.user = v;
    if (const char* v = env("SIMFEED_PASSWORD")) settings_.password = v;
    if (const char* v = env("SIMFEED_ACCEPT_ANY")) settings_.acceptAny = std::strcmp(v, "0") != 0;
    if (const char* v = env("SIMFEED_RATE")) settings_.rate = std::min(kMaxRate, std::max(0.0, std::atof(v)));
    if (const char* v = env("SIMFEED_RECONNECT_MS")) settings_.reconnectMs = std::max(0, std::atoi(v));
    if (const char* v = env("SIMFEED_CONNECT_MS")) settings_.connectMs = std::max(0, std::atoi(v));
    if (const char* v = env("SIMFEED_DROP_EVERY")) settings_.dropEverySeconds = std::max(0.0, std::atof(v));
    if (const char* v = env("SIMFEED_HISTORY")) {
        if (std::strcmp(v, "fail") == 0) settings_.failHistory = INT32_MAX;
        if (std::strcmp(v, "stall") == 0) settings_.stallHistory = true;
    }
    if (const char* v = env("SIMFEED_SPEED")) clock_.speed = std::max(0.0, std::atof(v));
    if (const char* v = env("SIMFEED_START")) parseStart(v, clock_.start);
    nextDrop_ = Clock::now() + secondsToClock(settings_.dropEverySeconds);
    wake_.notify_all();
}

bool SimClient::Connect(EConnectStatus* status) {
    if (status == nullptr) return false;
    std::lock_guard<std::mutex> lock(mu_);
    status_ = status;
    commands_.push_back({Command::Connect, ++generation_, {}, {}});
    ensureThread();
    wake_.notify_all();
    return true;
}

void SimClient::SendLogon(const char* user, const char* password) {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back({Command::Logon, generation_, user ? user : "", password ? password : ""});
    wake_.notify_all();
}

void SimClient::Disconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back({Command::Disconnect, ++generation_, {}, {}, status_});
    wake_.notify_all();
}

void SimClient::Shutdown() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!running_ || stopping_) return;
    stopping_ = true;
    wake_.notify_all();
    std::thread feed = std::move(thread_);
    if (std::this_thread::get_id() == feedThreadId_) {
        feed.detach();  // called from a callback: the thread ends after it returns
        return;
    }
    lock.unlock();
    feed.join();
}

void SimClient::stopAtExit() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!running_) return;
    exiting_ = stopping_ = true;
    wake_.notify_all();
    std::thread feed = std::move(thread_);
    lock.unlock();
    if (!feed.joinable()) return;
    if (feed.get_id() == std::this_thread::get_id()) {
        feed.detach();
    } else {
        feed.join();
    }
}

TRecordSet* SimClient::CreateTRecordSet(const char* text) {
    if (text == nullptr) return nullptr;
    auto query = parseQuery(text);
    if (!query) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (settings_.rejectCreates > 0) {
        --settings_.rejectCreates;
        return nullptr;
    }
    Instrument* instrument = instrumentFor(query->symbol);
    auto* set = new SimRecordSet(this, instrument, std::move(*query));
    recordSets_.push_back(set);
    ensureThread();
    return set;
}

SnapshotSet* SimClient::CreateSnapshotSet(const char* symbol) {
    if (symbol == nullptr || !isValidSymbol(symbol)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (settings_.rejectCreates > 0) {
        --settings_.rejectCreates;
        return nullptr;
    }
    auto* set = new SimSnapshotSet(this, instrumentFor(symbol));
    snapshots_.push_back(set);
    ensureThread();
    return set;
}

void SimClient::DeleteTRecordSet(TRecordSet* set) {
    auto* own = static_cast<SimRecordSet*>(set);
    if (own != nullptr) own->dropped.store(true);  // before taking mu_: see client.h
    std::unique_lock<std::mutex> lock(mu_);
    if (set == nullptr || !removeFrom(recordSets_, own)) return;  // unknown or already deleted
    if (inPass_) {
        retiredRecordSets_.push_back(own);
        kicked_ = true;
        return;
    }
    lock.unlock();
    delete own;
}

void SimClient::DeleteSnapshotSet(SnapshotSet* set) {
    auto* own = static_cast<SimSnapshotSet*>(set);
    if (own != nullptr) own->dropped.store(true);  // before taking mu_: see client.h
    std::unique_lock<std::mutex> lock(mu_);
    if (set == nullptr || !removeFrom(snapshots_, own)) return;
    if (inPass_) {
        retiredSnapshots_.push_back(own);
        kicked_ = true;
        return;
    }
    lock.unlock();
    delete own;
}

FeedTime SimClient::MakeTime(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<FeedTime>(
        clampFeedTime(static_cast<double>(secondsFromCivil(year, month, day, hour, minute, second))));
}

void SimClient::GetYMD(FeedTime time, int* year, int* month, int* day) {
    const CivilDate date = civilFromDays(static_cast<std::int64_t>(time) / kSecondsPerDay);
    if (year != nullptr) *year = date.year;
    if (month != nullptr) *month = date.month;
    if (day != nullptr) *day = date.day;
}

void SimClient::GetHMS(FeedTime time, int* hour, int* minute, int* second) {
    const auto intoDay = static_cast<int>(static_cast<std::int64_t>(time) % kSecondsPerDay);
    if (hour != nullptr) *hour = intoDay / 3600;
    if (minute != nullptr) *minute = intoDay / 60 % 60;
    if (second != nullptr) *second = intoDay % 60;
}

void SimClient::initSnapshot(SimSnapshotSet* set) {
    std::lock_guard<std::mutex> lock(mu_);
    set->initialised = true;
    set->needsImage = true;
    ensureThread();
    kicked_ = true;
    wake_.notify_all();
}

void SimClient::setSink(SimRecordSet* set, ITRecSetSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    set->sink = sink;
}

int SimClient::initRecordSet(SimRecordSet* set, int records) {
    std::unique_lock<std::mutex> lock(mu_);
    if (set->load != SimRecordSet::Load::Idle || records < 1) return 0;
    set->live = set->sinkMode != 0;
    set->asked = records;
    set->requested = std::min(records, kMaxRecords);
    if (!set->live && settings_.failHistory > 0) {
        --settings_.failHistory;
        set->load = SimRecordSet::Load::Failed;
        return 0;
    }
    const bool atOnce = isLongInterval(set->query.interval) || set->requested <= kImmediateBars;
    if (set->live || settings_.stallHistory || link_ != Link::Up || !atOnce) {
        set->load = SimRecordSet::Load::Pending;
        ensureThread();
        kicked_ = true;
        wake_.notify_all();
        return 1;
    }
    // History answered at once, built on the caller's thread: the feed
    // thread does not know the set until its load is Done.
    const double now = nowLocked();
    const double end = set->query.endTime ? std::min<double>(*set->query.endTime, now) : now;
    lock.unlock();
    std::vector<Bar> bars;
    for (std::int64_t start : set->instrument->barStarts(set->query.interval, end, set->requested))
        bars.push_back(set->instrument->makeBar(start, barEnd(set->query.interval, start), now));
    set->publish(std::move(bars), 0);
    lock.lock();
    set->load = SimRecordSet::Load::Done;
    return 3;
}

Instrument* SimClient::instrumentFor(const std::string& symbol) {
    auto& slot = instruments_[symbol];
    if (!slot) slot = std::make_unique<Instrument>(symbol);
    return slot.get();
}

double SimClient::nowLocked() const {
    const double elapsed = std::chrono::duration<double>(Clock::now() - clock_.origin).count();
    return clampFeedTime(clock_.start + clock_.speed * elapsed);
}

double SimClient::now() {
    std::lock_guard<std::mutex> lock(mu_);
    return nowLocked();
}

void SimClient::setClock(double start, double speed) {
    std::lock_guard<std::mutex> lock(mu_);
    clock_ = SimClock{start, Clock::now(), std::max(0.0, speed)};
    clockReset_ = true;
    kicked_ = true;
    wake_.notify_all();
}

void SimClient::advanceClock(double seconds) {
    std::lock_guard<std::mutex> lock(mu_);
    clock_.start += std::max(0.0, seconds);
}

void SimClient::tradeNow() {
    std::lock_guard<std::mutex> lock(mu_);
    ++tradeRequests_;
    wake_.notify_all();
}

void SimClient::dropConnection() {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back({Command::Drop, generation_, {}, {}});
    wake_.notify_all();
}

void SimClient::sendMessage(const char* text) {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back({Command::Message, generation_, text ? text : "", {}});
    wake_.notify_all();
}

void SimClient::flush() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!running_ || std::this_thread::get_id() == feedThreadId_) return;
    // The pass under way may have handled its commands already; the one
    // after it sees everything asked before this call.
    const std::uint64_t target = passes_ + 2;
    flushTarget_ = std::max(flushTarget_, target);
    wake_.notify_all();
    progress_.wait(lock, [&] { return passes_ >= target || !running_; });
}

int SimClient::liveSets() {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(snapshots_.size() + recordSets_.size());
}

bool SimClient::loggedOn() {
    std::lock_guard<std::mutex> lock(mu_);
    return link_ == Link::Up;
}

// ---- Client: the feed thread ------------------------------------------------------

void SimClient::ensureThread() {
    if (running_) return;
    running_ = true;
    stopping_ = exiting_ = false;
    nextTrade_ = Clock::now();
    thread_ = std::thread(&SimClient::run, this);
    feedThreadId_ = thread_.get_id();
    if (!atExitRegistered_) {
        // Registered now, after the host loaded its plug-ins, so that at exit
        // the feed thread stops before their static objects are destroyed.
        atExitRegistered_ = true;
        std::atexit(stopClientAtExit);
    }
}

void SimClient::run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (true) {
        waitForWork(lock);
        if (exiting_) break;
        inPass_ = true;
        processCommands(lock);
        if (stopping_ || exiting_) break;
        const auto now = Clock::now();
        advanceConnection(lock, now);
        sendImages(lock);
        advanceLoads(lock);
        if (tradeRequests_ > 0 || (settings_.rate > 0 && now >= nextTrade_)) {
            tradeRequests_ = 0;
            tradeRound(lock);
            nextTrade_ = std::max(nextTrade_ + secondsToClock(1.0 / std::max(settings_.rate, 0.001)), now);
        }
        inPass_ = false;
        freeRetired();
        ++passes_;
        progress_.notify_all();
    }
    // Stopped: what the host asked before Shutdown was delivered; the
    // connection is gone and the sets wait for the next Connect.
    inPass_ = false;
    freeRetired();
    commands_.clear();
    link_ = Link::Down;
    status_ = nullptr;
    running_ = false;
    progress_.notify_all();
}

// The connection's timers: reconnect after a drop, the credentials request
// once the connect delay is over, and the periodic drop of soak runs.
void SimClient::advanceConnection(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
    if (link_ == Link::Reconnecting && now >= reconnectAt_) {
        link_ = Link::Down;
        commands_.push_front({Command::Connect, generation_, {}, {}});
        processCommands(lock);
    }
    if (link_ == Link::Connecting && Clock::now() >= connectAt_ && status_ != nullptr) {
        link_ = Link::AwaitingCredentials;
        EConnectStatus* sink = status_;
        unlocked(lock, [sink] { sink->onSendCredentials(0, 0); });
        processCommands(lock);  // the logon the sink sent from the callback
    }
    if (settings_.dropEverySeconds > 0 && now >= nextDrop_) {
        nextDrop_ = now + secondsToClock(settings_.dropEverySeconds);
        commands_.push_back({Command::Drop, generation_, {}, {}});
        processCommands(lock);
    }
}

void SimClient::waitForWork(std::unique_lock<std::mutex>& lock) {
    auto due = Clock::now() + std::chrono::seconds(1);
    const bool pendingLoads = std::any_of(recordSets_.begin(), recordSets_.end(), [](SimRecordSet* s) {
        return s->load == SimRecordSet::Load::Pending;
    });
    if (link_ == Link::Up && settings_.rate > 0) due = std::min(due, nextTrade_);
    if (link_ == Link::Up && pendingLoads && !settings_.stallHistory) due = std::min(due, Clock::now() + kChunkPeriod);
    if (link_ == Link::Reconnecting) due = std::min(due, reconnectAt_);
    if (link_ == Link::Connecting) due = std::min(due, connectAt_);
    if (settings_.dropEverySeconds > 0) due = std::min(due, nextDrop_);
    const bool imagesDue = std::any_of(snapshots_.begin(), snapshots_.end(),
                                       [](SimSnapshotSet* s) { return s->needsImage; });
    wake_.wait_until(lock, due, [&] {
        return stopping_ || exiting_ || kicked_ || !commands_.empty() || passes_ < flushTarget_ || tradeRequests_ > 0 ||
               (imagesDue && link_ == Link::Up);
    });
    kicked_ = false;
}

void SimClient::processCommands(std::unique_lock<std::mutex>& lock) {
    while (!commands_.empty() && !exiting_) {
        Command command = std::move(commands_.front());
        commands_.pop_front();
        handle(lock, command);
    }
}

void SimClient::handle(std::unique_lock<std::mutex>& lock, const Command& command) {
    EConnectStatus* sink = status_;
    switch (command.kind) {
        case Command::Connect:
            if (command.generation != generation_ || sink == nullptr) return;  // superseded
            // Reaching the service takes a moment; a Disconnect meanwhile cancels.
            link_ = Link::Connecting;
            connectAt_ = Clock::now() + std::chrono::milliseconds(settings_.connectMs);
            return;
        case Command::Logon:
            logon(lock, command);
            return;
        case Command::Disconnect: {
            // The log-off goes to the sink that was logged on, even if a
            // Connect with another sink followed.
            const bool wasUp = link_ == Link::Up;
            link_ = Link::Down;
            EConnectStatus* loggedOn = command.sink;
            if (wasUp && loggedOn != nullptr) unlocked(lock, [loggedOn] { loggedOn->onLogOff(); });
            return;
        }
        case Command::Drop:
            if (link_ != Link::Up) return;
            link_ = Link::Reconnecting;
            reconnectAt_ = Clock::now() + std::chrono::milliseconds(settings_.reconnectMs);
            if (sink != nullptr) unlocked(lock, [sink] { sink->onLogOff(); });
            return;
        case Command::Message:
            if (sink != nullptr) unlocked(lock, [sink, &command] { sink->onMessage(command.first.c_str()); });
            return;
    }
}

void SimClient::logon(std::unique_lock<std::mutex>& lock, const Command& command) {
    EConnectStatus* sink = status_;
    if (link_ != Link::AwaitingCredentials || command.generation != generation_ || sink == nullptr) return;
    const bool accepted = !command.first.empty() &&
                          (settings_.acceptAny ||
                           (command.first == settings_.user && command.second == settings_.password));
    if (!accepted) {
        link_ = Link::Down;
        const char* reason = command.first.empty() ? kNoUserText : kBadCredentialsText;
        unlocked(lock, [sink, reason] {
            sink->onMessage(reason);
            sink->onLogOff();
        });
        return;
    }
    link_ = Link::Up;
    for (SimSnapshotSet* set : snapshots_) set->needsImage = set->initialised;  // resync after any outage
    const std::uint64_t generation = generation_;
    unlocked(lock, [sink] { sink->onLogon(kLogonCode); });
    if (generation == generation_ && link_ == Link::Up) unlocked(lock, [sink] { sink->onReady(); });
}

// An instrument trades while a set follows it. One left alone, or caught by
// a clock set back, stops, and opens afresh at its next subscription.
void SimClient::settleInstruments() {
    std::vector<Instrument*> inUse;
    for (SimSnapshotSet* set : snapshots_)
        if (set->initialised) inUse.push_back(set->instrument);
    for (SimRecordSet* set : recordSets_)
        if (set->live && set->load == SimRecordSet::Load::Done) inUse.push_back(set->instrument);
    for (auto& [symbol, instrument] : instruments_) {
        const bool used = std::find(inUse.begin(), inUse.end(), instrument.get()) != inUse.end();
        if (instrument->isLive() && (!used || clockReset_)) instrument->stopLive();
    }
    if (clockReset_)
        for (SimSnapshotSet* set : snapshots_) set->needsImage = set->initialised;
    clockReset_ = false;
}

void SimClient::sendImages(std::unique_lock<std::mutex>& lock) {
    settleInstruments();
    const std::vector<SimSnapshotSet*> sets = snapshots_;
    for (SimSnapshotSet* set : sets) {
        // A set deleted meanwhile has left the registry: no callback starts for it.
        if (link_ != Link::Up || exiting_ || !set->needsImage) continue;
        if (std::find(snapshots_.begin(), snapshots_.end(), set) == snapshots_.end()) continue;
        set->needsImage = false;
        if (!set->instrument->isLive()) set->instrument->startLive(nowLocked());
        {
            std::unique_lock<std::shared_mutex> data(set->dataLock);
            set->data = set->instrument->quote();
        }
        ISSSetSink* sink = set->sink;
        if (sink == nullptr) continue;
        const std::vector<std::uint8_t> ids = allIds(set->data);
        unlocked(lock, [&] {
            if (!set->dropped.load()) sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data()); });
    }
}

void SimClient::advanceLoads(std::unique_lock<std::mutex>& lock) {
    const std::vector<SimRecordSet*> sets = recordSets_;
    for (SimRecordSet* set : sets) {
        if (link_ != Link::Up || settings_.stallHistory || exiting_) return;
        if (set->load != SimRecordSet::Load::Pending) continue;
        if (std::find(recordSets_.begin(), recordSets_.end(), set) == recordSets_.end()) continue;
        loadChunk(lock, set);
    }
}

// One step of a pending load: long intraday history comes in chunks, the
// rest in one piece. Ends with the event the subscriber's completion rule
// waits for: event 1, first = -(records asked - 1), second = records asked.
void SimClient::loadChunk(std::unique_lock<std::mutex>& lock, SimRecordSet* set) {
    const double now = nowLocked();
    const bool chunked = !set->live && !isLongInterval(set->query.interval) && set->requested > kImmediateBars;
    const std::size_t done = set->bars.size();  // this thread is the only writer
    if (set->plan.empty()) {
        set->planTime = now;
        const double end = !set->live && set->query.endTime ? std::min<double>(*set->query.endTime, now) : now;
        set->plan = set->instrument->barStarts(set->query.interval, end, set->requested);
    }
    const std::size_t count = chunked ? std::min(kChunkBars, set->plan.size() - done) : set->plan.size() - done;
    const Interval interval = set->query.interval;
    const double planTime = set->planTime;
    lock.unlock();  // bars are computed off the lock; only this thread touches the plan
    std::vector<Bar> chunk;
    for (std::size_t i = done; i < done + count; ++i)
        chunk.push_back(set->instrument->makeBar(set->plan[i], barEnd(interval, set->plan[i]), planTime));
    set->append(chunk);
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
    if (sink == nullptr || std::find(recordSets_.begin(), recordSets_.end(), set) == recordSets_.end()) return;
    // A load cut short by the cap still completes the count that was asked for.
    const long asked = set->asked;
    if (finished) {
        unlocked(lock, [&] {
            if (!set->dropped.load()) sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
    } else {
        unlocked(lock, [&] {
            if (!set->dropped.load()) sink->onRecordSetEvent(set, kEventProgress, loadedCount, planned); });
    }
}

void SimClient::tradeRound(std::unique_lock<std::mutex>& lock) {
    if (link_ != Link::Up) return;
    const double now = nowLocked();
    // Trade every instrument in use once, then tell each set of it.
    std::unordered_map<Instrument*, std::vector<std::uint8_t>> traded;
    std::vector<Instrument*> inUse;
    for (SimSnapshotSet* set : snapshots_)
        if (set->initialised && !set->needsImage) inUse.push_back(set->instrument);
    for (SimRecordSet* set : recordSets_)
        if (set->live && set->load == SimRecordSet::Load::Done) inUse.push_back(set->instrument);
    for (Instrument* instrument : inUse) {
        if (traded.count(instrument) != 0) continue;
        if (!instrument->isLive()) instrument->startLive(now);
        std::vector<std::uint8_t> changed;
        if (instrument->trade(now, changed)) traded.emplace(instrument, std::move(changed));
    }
    if (traded.empty()) return;
    const std::vector<SimSnapshotSet*> snapshots = snapshots_;
    for (SimSnapshotSet* set : snapshots) {
        auto found = traded.find(set->instrument);
        if (found == traded.end() || !set->initialised || set->needsImage || exiting_) continue;
        if (std::find(snapshots_.begin(), snapshots_.end(), set) == snapshots_.end()) continue;
        {
            std::unique_lock<std::shared_mutex> data(set->dataLock);
            set->data = set->instrument->quote();
        }
        ISSSetSink* sink = set->sink;
        const auto& ids = found->second;
        if (sink == nullptr || ids.empty()) continue;
        unlocked(lock, [&] {
            if (!set->dropped.load()) sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data()); });
    }
    const std::vector<SimRecordSet*> recordSets = recordSets_;
    for (SimRecordSet* set : recordSets) {
        if (!set->live || set->load != SimRecordSet::Load::Done || exiting_) continue;
        if (traded.count(set->instrument) == 0) continue;
        if (std::find(recordSets_.begin(), recordSets_.end(), set) == recordSets_.end()) continue;
        const std::int64_t newestBefore = set->origin + static_cast<std::int64_t>(set->bars.size()) - 1;
        updateLiveSet(set, now);
        const std::int64_t newest = set->origin + static_cast<std::int64_t>(set->bars.size()) - 1;
        ITRecSetSink* sink = set->sink;
        if (sink == nullptr) continue;
        const long opened = newest != newestBefore ? 1 : 0;
        unlocked(lock, [&] {
            if (!set->dropped.load()) sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(newest), opened); });
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
        std::vector<Bar> bars;
        std::int64_t added = 0;
        for (std::int64_t start : set->instrument->barStarts(set->query.interval, time, set->requested)) {
            bars.push_back(set->instrument->makeBar(start, barEnd(set->query.interval, start), time));
            if (start > newest.start) ++added;
        }
        const std::int64_t newestIndex = set->origin + static_cast<std::int64_t>(set->bars.size()) - 1 + added;
        const std::int64_t origin = newestIndex - (static_cast<std::int64_t>(bars.size()) - 1);
        set->publish(std::move(bars), origin);
    }
    set->lastUpdate = time;
}

void SimClient::freeRetired() {
    for (SimSnapshotSet* set : retiredSnapshots_) delete set;
    for (SimRecordSet* set : retiredRecordSets_) delete set;
    retiredSnapshots_.clear();
    retiredRecordSets_.clear();
}

}  // namespace simfeed
