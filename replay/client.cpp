// The replay feed client: the contract's calls (host threads) and the
// controls; the feed thread's loop is playback.cpp. See client.h.
#include "replay/client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "feedcommon/records.h"
#include "feedtime/feed_time.h"
#include "replay/bars.h"
#include "replay/iso.h"
#include "simfeed/query.h"

namespace replay {

void (*atExit)() = nullptr;
std::atomic<ReplayClient*> controlled{nullptr};

namespace {

constexpr std::int64_t kNsPerSec = 1000000000;

std::int64_t defaultSteady() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isSymbol(const char* text) {
    return text != nullptr && wire::isValidKey(text) && std::strchr(text, ',') == nullptr;
}

}  // namespace

// ---- Sets ----

bool ReplaySnapshotSet::Init() {
    client->initSnapshot(this);
    return true;
}

bool ReplaySnapshotSet::GetDouble(short id, double* out) { return feedcommon::snapshotDouble(value, has, id, out); }

bool ReplaySnapshotSet::GetDWord(short id, FeedTime* out) {
    return feedcommon::snapshotTime(value, has, tradeTime, id, out);
}

ReplayRecordSet::ReplayRecordSet(ReplayClient* c, std::string q)
    : client(c), query(std::move(q)), symbol(querySymbol(query)) {
    sinkMode = feedcommon::kRecordSinkMode;
    recordBase = feedcommon::kRecordBase;
}

void ReplayRecordSet::SetSink(ITRecSetSink* newSink) { client->setSink(this, newSink); }
int ReplayRecordSet::Init(int records, unsigned long) { return client->initRecordSet(this, records); }
short ReplayRecordSet::GetFieldIx(const char* name) { return feedcommon::recordFieldIndex(name); }
bool ReplayRecordSet::GetRecDouble(long record, short field, double* out) {
    return feedcommon::recordDouble(bars, origin, record, field, out);
}
bool ReplayRecordSet::GetETime(long record, int kind, FeedTime* time) {
    return feedcommon::recordTime(bars, origin, record, kind, time);
}

void ReplayRecordSet::publish(std::vector<wire::Bar> records, std::int64_t newOrigin) {
    std::unique_lock<std::shared_mutex> lock(dataLock);
    bars = std::move(records);
    origin = newOrigin;
    feedcommon::setRecordMembers(*this, bars.size(), origin);
}

// ---- The contract (host threads) ----

ReplayClient::ReplayClient(Getenv getenv, std::function<std::int64_t()> steadyNs)
    : getenv_(getenv ? std::move(getenv) : Getenv([](const char* name) { return std::getenv(name); })),
      steadyNs_(steadyNs ? std::move(steadyNs) : std::function<std::int64_t()>(defaultSteady)) {}

ReplayClient::~ReplayClient() {
    ReplayClient* self = this;
    controlled.compare_exchange_strong(self, nullptr);
    stopAtExit();
    reader_.close();
}

void ReplayClient::post(std::function<void()> task) {
    tasks_.push_back(std::move(task));
    wake_.notify_all();
}

void ReplayClient::ensureThread() {
    if (feed_.start() && atExit != nullptr) feedcommon::callAtExit(atExit);
}

bool ReplayClient::Connect(EConnectStatus* status) {
    if (status == nullptr) return false;
    std::lock_guard<std::mutex> lock(mu_);
    const std::uint64_t generation = ++generation_;
    sink_ = status;
    ensureThread();
    post([this, generation] {
        EConnectStatus* sink;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (generation != generation_) return;
            sink = sink_;
        }
        // A Connect while logged on logs on afresh: the old reading goes.
        logOff(generation, false);
        sink->onSendCredentials(0, 0);
    });
    return true;
}

void ReplayClient::SendLogon(const char* user, const char* password) {
    std::lock_guard<std::mutex> lock(mu_);
    user_ = user != nullptr ? user : "";
    password_ = password != nullptr ? password : "";
    const std::uint64_t generation = generation_;
    post([this, generation] { logOn(generation); });
}

void ReplayClient::Disconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    const std::uint64_t generation = ++generation_;
    if (feed_.running()) post([this, generation] { logOff(generation, true); });
}

void ReplayClient::Shutdown() {
    std::unique_lock<std::mutex> lock(mu_);
    if (feed_.requestStop()) post([this] { stopRequested_ = true; });
    feed_.awaitStop(lock);
}

void ReplayClient::stopAtExit() {
    std::unique_lock<std::mutex> lock(mu_);
    if (feed_.requestExit()) {
        tasks_.clear();
        wake_.notify_all();
    }
    feed_.awaitStop(lock);
}

TRecordSet* ReplayClient::CreateTRecordSet(const char* query) {
    if (query == nullptr || std::strlen(query) > wire::kMaxQuery || !simfeed::parseQuery(query)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto* set = new ReplayRecordSet(this, query);
    sets_.add(set);
    ensureThread();
    return set;
}

SnapshotSet* ReplayClient::CreateSnapshotSet(const char* symbol) {
    if (!isSymbol(symbol)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto* set = new ReplaySnapshotSet(this, symbol);
    sets_.add(set);
    ensureThread();
    return set;
}

void ReplayClient::DeleteTRecordSet(TRecordSet* set) { deleteSet(static_cast<ReplayRecordSet*>(set)); }
void ReplayClient::DeleteSnapshotSet(SnapshotSet* set) { deleteSet(static_cast<ReplaySnapshotSet*>(set)); }

// While the feed thread runs it may hold the set between taking it from the
// registry and calling its sink: the set is retired and freed by the feed
// thread between two pieces of work.
template <class Set>
void ReplayClient::deleteSet(Set* set) {
    if (set == nullptr) return;
    set->dropped.store(true);
    std::unique_lock<std::mutex> lock(mu_);
    if (!sets_.remove(set)) return;
    if (feed_.running()) {
        sets_.retire(set);
        return;
    }
    lock.unlock();
    delete set;
}

void ReplayClient::initSnapshot(ReplaySnapshotSet* set) {
    std::lock_guard<std::mutex> lock(mu_);
    if (set->initialised) return;
    set->initialised = true;
    set->needsImage = true;
    imagesOwed_ = true;
    wake_.notify_all();
}

void ReplayClient::setSink(ReplayRecordSet* set, ITRecSetSink* sink) {
    std::lock_guard<std::mutex> lock(mu_);
    set->sink = sink;
}

int ReplayClient::initRecordSet(ReplayRecordSet* set, int records) {
    std::unique_lock<std::mutex> lock(mu_);
    if (set->initialised || records < 1) return 0;
    set->initialised = true;
    set->asked = records;
    set->live = set->sinkMode != 0;
    if (set->live || !ready_) {
        // A stream's window, or a history asked before the logon: the feed
        // thread gives it (event 1).
        (set->live ? set->needsImage : set->historyOwed) = true;
        imagesOwed_ = true;
        wake_.notify_all();
        return 1;
    }
    const std::int64_t clockSec = clock_.now(steady()) / kNsPerSec;
    lock.unlock();
    std::optional<std::vector<wire::Bar>> bars;
    {
        std::lock_guard<std::mutex> state(stateMu_);
        bars = historyAsOf(set->query, state_.minutes(set->symbol), clockSec, records);
    }
    if (!bars) return 0;
    set->publish(std::move(*bars), 0);
    return 3;
}

FeedTime ReplayClient::MakeTime(int year, int month, int day, int hour, int minute, int second) {
    return feedtime::make(year, month, day, hour, minute, second);
}
void ReplayClient::GetYMD(FeedTime time, int* year, int* month, int* day) { feedtime::splitDate(time, year, month, day); }
void ReplayClient::GetHMS(FeedTime time, int* hour, int* minute, int* second) {
    feedtime::splitClock(time, hour, minute, second);
}

// ---- Controls (any thread; mu_ taken briefly) ----

int ReplayClient::refuse(const std::string& why) {
    error_ = why;
    return -1;
}

int ReplayClient::play() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ready_) return refuse("no replay connected");
    error_.clear();
    if (lost_) {
        resumePlaying_ = true;
        return 0;
    }
    ended_ = false;
    clock_.play(steady());
    wake_.notify_all();
    return 0;
}

int ReplayClient::pause() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ready_) return refuse("no replay connected");
    error_.clear();
    resumePlaying_ = false;
    clock_.pause(steady());
    wake_.notify_all();
    return 0;
}

int ReplayClient::setSpeed(double speed) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ready_) return refuse("no replay connected");
    if (!clock_.setSpeed(speed, steady()))
        return refuse("speed " + formatSpeed(speed) + " is out of range (0.25 to 64, or 0 for as fast as possible)");
    error_.clear();
    wake_.notify_all();
    return 0;
}

int ReplayClient::step(std::uint32_t seconds) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ready_ || lost_) return refuse("no replay connected");
    if (seconds == 0) return refuse("a step of 0 seconds");
    error_.clear();
    ended_ = false;
    // Behind a seek not yet carried out, the step starts where the seek goes.
    if (seekTo_ || seeking_) stepAfterSeek_ = seconds;
    else clock_.step(seconds, steady());
    wake_.notify_all();
    return 0;
}

int ReplayClient::seek(std::int64_t timeNs) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ready_) return refuse("no replay connected");
    if (timeNs < span_.firstNs || timeNs > span_.lastNs)
        return refuse(formatIso(timeNs) + " is outside the recording " + recording_ + ", which runs from " +
                      formatIso(span_.firstNs) + " to " + formatIso(span_.lastNs));
    error_.clear();
    seekTo_ = timeNs;
    stepAfterSeek_.reset();
    wake_.notify_all();
    return 0;
}

tellivar_replay_status ReplayClient::status() {
    tellivar_replay_status s{};
    std::lock_guard<std::mutex> lock(mu_);
    s.clock_ns = seekTo_ ? *seekTo_ : seeking_ ? *seeking_ : clock_.now(steady());
    s.first_ns = ready_ ? span_.firstNs : 0;
    s.last_ns = ready_ ? span_.lastNs : 0;
    s.speed = clock_.speed();
    s.playing = clock_.playing() && !ended_ ? 1 : 0;
    s.ended = ended_ ? 1 : 0;
    s.connected = ready_ && !lost_ ? 1 : 0;
    std::snprintf(s.recording, sizeof s.recording, "%s", recording_.c_str());
    std::snprintf(s.error, sizeof s.error, "%s", error_.c_str());
    return s;
}

// Runs on a NATS library thread: the publishers are whoever the server's
// permissions let publish on the subject (an instructor's user).
std::string ReplayClient::controlRequest(const std::string& text) {
    const std::size_t space = text.find(' ');
    const std::string verb = text.substr(0, space);
    const std::string argument = space == std::string::npos ? std::string() : text.substr(space + 1);
    int result = 0;
    std::string wrong;
    if (verb == "play" && argument.empty()) {
        result = play();
    } else if (verb == "pause" && argument.empty()) {
        result = pause();
    } else if (verb == "status" && argument.empty()) {
    } else if (verb == "speed") {
        const std::optional<double> speed = parseSpeed(argument);
        if (speed) result = setSpeed(*speed);
        else wrong = "bad speed " + argument + " (0.25 to 64, or max)";
    } else if (verb == "step") {
        char* end = nullptr;
        const unsigned long seconds = std::strtoul(argument.c_str(), &end, 10);
        if (!argument.empty() && *end == '\0' && seconds > 0 && seconds <= 7 * 86400)
            result = step(static_cast<std::uint32_t>(seconds));
        else wrong = "bad step " + argument + " (seconds, 1 to 604800)";
    } else if (verb == "seek") {
        const std::optional<std::int64_t> time = parseIso(argument);
        if (time) result = seek(*time);
        else wrong = "bad time " + argument + " (ISO 8601 in UTC, like 2026-12-08T10:31:00Z)";
    } else {
        wrong = "unknown request (play, pause, speed X, step SECONDS, seek ISO, status)";
    }
    const tellivar_replay_status s = status();
    const std::string error = !wrong.empty() ? wrong : result != 0 ? std::string(s.error) : std::string();
    const nlohmann::ordered_json answer = {
        {"ok", error.empty()},
        {"recording", s.recording},
        {"clock", formatIso(s.clock_ns)},
        {"clock_ns", s.clock_ns},
        {"first", s.first_ns ? formatIso(s.first_ns) : ""},
        {"last", s.last_ns ? formatIso(s.last_ns) : ""},
        {"speed", s.speed},
        {"playing", s.playing != 0},
        {"ended", s.ended != 0},
        {"connected", s.connected != 0},
        {"error", error},
    };
    // A request's own bytes come back in `error`: whatever they are, the answer stays valid JSON.
    return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace replay
