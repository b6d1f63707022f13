// The stand-in feed client's facade: the operations the host calls, and the
// control surface. The feed thread's side is in feed_loop.cpp; see client.h
// for the threading contract.
#include "simfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "feedtime/feed_time.h"
#include "simfeed/calendar.h"

namespace simfeed {
namespace {

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

double wallClockNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

SimClient::SimClient() { reset(); }

// Runs when the library unloads: the feed thread stops delivering, then the
// sets the subscribers never deleted and the instruments go with the client.
SimClient::~SimClient() { stopAtExit(); }

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
    connection_.restartDropTimer(settings_);
    wake_.notify_all();
}

// ---- The connection ------------------------------------------------------------

bool SimClient::Connect(EConnectStatus* status) {
    if (status == nullptr) return false;
    std::lock_guard<std::mutex> lock(mu_);
    connection_.connect(status);
    ensureThread();
    wake_.notify_all();
    return true;
}

void SimClient::SendLogon(const char* user, const char* password) {
    std::lock_guard<std::mutex> lock(mu_);
    connection_.sendLogon(user ? user : "", password ? password : "");
    wake_.notify_all();
}

void SimClient::Disconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    connection_.disconnect();
    wake_.notify_all();
}

// What was asked before is delivered first; a request made after (by a
// callback, or by another host thread meanwhile) waits for the next run,
// which a Connect or Create made behind the stop starts.
void SimClient::Shutdown() {
    std::unique_lock<std::mutex> lock(mu_);
    if (feed_.requestStop()) {
        connection_.markStop();
        wake_.notify_all();
    }
    feed_.awaitStop(lock);  // returns at once on the feed thread
}

void SimClient::stopAtExit() {
    std::unique_lock<std::mutex> lock(mu_);
    if (feed_.requestExit()) wake_.notify_all();
    feed_.awaitStop(lock);
}

// ---- Sets ------------------------------------------------------------------------

TRecordSet* SimClient::CreateTRecordSet(const char* text) {
    if (text == nullptr) return nullptr;
    auto query = parseQuery(text);
    if (!query) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (rejectCreate()) return nullptr;
    Instrument* instrument = instrumentFor(query->symbol);
    auto* set = new SimRecordSet(this, instrument, std::move(*query));
    registry_.add(set);
    ensureThread();
    return set;
}

SnapshotSet* SimClient::CreateSnapshotSet(const char* symbol) {
    if (symbol == nullptr || !isValidSymbol(symbol)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (rejectCreate()) return nullptr;
    auto* set = new SimSnapshotSet(this, instrumentFor(symbol));
    registry_.add(set);
    ensureThread();
    return set;
}

// Counts down simfeed_reject_next_create.
bool SimClient::rejectCreate() {
    if (settings_.rejectCreates <= 0) return false;
    --settings_.rejectCreates;
    return true;
}

void SimClient::DeleteTRecordSet(TRecordSet* set) { deleteSet(static_cast<SimRecordSet*>(set)); }

void SimClient::DeleteSnapshotSet(SnapshotSet* set) { deleteSet(static_cast<SimSnapshotSet*>(set)); }

template <class Set>
void SimClient::deleteSet(Set* set) {
    if (set != nullptr) set->dropped.store(true);  // before taking mu_: see the header
    std::unique_lock<std::mutex> lock(mu_);
    if (set == nullptr || !registry_.remove(set)) return;  // unknown or already deleted
    if (inPass_) {
        registry_.retire(set);
        kicked_ = true;
        return;
    }
    lock.unlock();
    delete set;
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
    if (set->live || settings_.stallHistory || !connection_.isUp() || !set->answersAtOnce()) {
        set->load = SimRecordSet::Load::Pending;
        ensureThread();
        kicked_ = true;
        wake_.notify_all();
        return 1;
    }
    // History answered at once, built on the caller's thread: the feed
    // thread does not know the set until its load is Done.
    const double now = nowLocked();
    const double end = set->historyEnd(now);
    lock.unlock();
    const std::vector<std::int64_t> starts = set->instrument->barStarts(set->query.interval, end, set->requested);
    set->publish(set->makeBars(starts.begin(), starts.end(), now), 0);
    lock.lock();
    set->load = SimRecordSet::Load::Done;
    return 3;
}

Instrument* SimClient::instrumentFor(const std::string& symbol) {
    auto& slot = instruments_[symbol];
    if (!slot) slot = std::make_unique<Instrument>(symbol);
    return slot.get();
}

// ---- Feed times --------------------------------------------------------------------

FeedTime SimClient::MakeTime(int year, int month, int day, int hour, int minute, int second) {
    return feedtime::make(year, month, day, hour, minute, second);
}

void SimClient::GetYMD(FeedTime time, int* year, int* month, int* day) { feedtime::splitDate(time, year, month, day); }

void SimClient::GetHMS(FeedTime time, int* hour, int* minute, int* second) {
    feedtime::splitClock(time, hour, minute, second);
}

// ---- The simulated clock and the control surface ----------------------------------

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
    connection_.drop();
    wake_.notify_all();
}

void SimClient::sendMessage(const char* text) {
    std::lock_guard<std::mutex> lock(mu_);
    connection_.sendMessage(text ? text : "");
    wake_.notify_all();
}

void SimClient::flush() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!feed_.running() || feed_.onFeedThread()) return;
    // The pass under way may have handled its commands already; the one
    // after it sees everything asked before this call.
    const std::uint64_t target = passes_ + 2;
    flushTarget_ = std::max(flushTarget_, target);
    wake_.notify_all();
    progress_.wait(lock, [&] { return passes_ >= target || feed_.stopping(); });
}

int SimClient::liveSets() {
    std::lock_guard<std::mutex> lock(mu_);
    return registry_.size();
}

bool SimClient::loggedOn() {
    std::lock_guard<std::mutex> lock(mu_);
    return connection_.isUp();
}

}  // namespace simfeed
