// The replay feed client's feed thread: the logon, the pacing of the
// recording by the replay clock, seeks, the end and a lost server, and what
// each record gives the sets. See client.h.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "feedcommon/records.h"
#include "feedtime/feed_time.h"
#include "replay/bars.h"
#include "replay/client.h"
#include "replay/iso.h"
#include "simfeed/query.h"

namespace replay {
namespace {

using feedcommon::kEventLoaded;
using feedcommon::kEventUpdate;

constexpr std::int64_t kNsPerSec = 1000000000;
// The longest the feed thread sleeps before it looks at the clock again.
constexpr std::int64_t kMaxWaitNs = 200 * 1000000LL;
// Records asked of the server at a time, and how long a fetch waits.
constexpr int kBatch = 256;
constexpr int kFetchWaitMs = 100;
// A record due at least this far ahead leaves time to fetch the next batch.
constexpr std::int64_t kPrefetchNs = 2 * 1000000LL;
constexpr const char kHistoriesText[] =
    "Histories come from the recording: bars built from its minute bars up to the replay clock";

}  // namespace

// ---- The feed thread ----

// Entered with mu_ held; returns with it held once a stop's task ran or the
// exit came. Every piece of work runs with mu_ released.
void ReplayClient::run(std::unique_lock<std::mutex>& lock) {
    stopRequested_ = false;
    while (!feed_.exiting()) {
        sets_.freeRetired();
        if (!tasks_.empty()) {
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            if (stopRequested_) break;
            continue;
        }
        if (!ready_) {
            wake_.wait(lock);
            continue;
        }
        if (!lost_ && (!reader_.connected() || reader_.reconnects() != reconnectsSeen_)) {
            // Whatever the consumer was, it may be gone with the server.
            reconnectsSeen_ = reader_.reconnects();
            lost(lock, "the connection to the server was lost");
            continue;
        }
        if (lost_) {
            if (!tryResume(lock)) wake_.wait_for(lock, std::chrono::nanoseconds(kMaxWaitNs));
            continue;
        }
        if (seekTo_) {
            const std::int64_t to = *seekTo_;
            seekTo_.reset();
            seeking_ = to;
            lock.unlock();
            std::string error;
            const bool ok = goTo(to, &error);
            lock.lock();
            seeking_.reset();
            if (ok && stepAfterSeek_ && !seekTo_) clock_.step(*stepAfterSeek_, steady());
            if (!seekTo_) stepAfterSeek_.reset();
            if (!ok) lost(lock, error);
            continue;
        }
        if (imagesOwed_) {
            imagesOwed_ = false;
            lock.unlock();
            giveImages();
            lock.lock();
            continue;
        }
        if (ended_) {
            wake_.wait(lock);
            continue;
        }
        if (buffer_.empty()) {
            // Pausing is not fetching.
            if (!clock_.playing()) wake_.wait_for(lock, std::chrono::nanoseconds(kMaxWaitNs));
            else refill(lock, kFetchWaitMs);
            continue;
        }
        const std::int64_t now = steady();
        const std::int64_t wait = clock_.waitFor(buffer_.front().record.timeNs, now);
        if (wait == 0) {
            Pending next = std::move(buffer_.front());
            buffer_.pop_front();
            clock_.advanceTo(next.record.timeNs, now);
            lock.unlock();
            deliver(next);
            lock.lock();
            continue;
        }
        if (wait < 0 && clock_.stepTarget()) {
            clock_.finishStep(now);  // the next record is after the step's end
            continue;
        }
        // Time to spare before the next record: the next batch is fetched
        // now, so that its round trip does not delay a record later.
        if (wait >= kPrefetchNs && buffer_.size() < kBatch / 2 && !drained_) {
            refill(lock, static_cast<int>(std::clamp<std::int64_t>(wait / 2000000, 1, kFetchWaitMs)));
            continue;
        }
        wake_.wait_for(lock, std::chrono::nanoseconds(wait < 0 ? kMaxWaitNs : std::min(wait, kMaxWaitNs)));
    }
    sets_.freeRetired();
    if (stopRequested_) {
        lock.unlock();
        reader_.close();
        lock.lock();
        ready_ = false;
    }
}

void ReplayClient::tellHost(const std::string& text) {
    EConnectStatus* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        sink = ready_ ? sink_ : nullptr;
    }
    if (sink != nullptr) sink->onMessage(text.c_str());
    else log(text);
}

void ReplayClient::log(const std::string& line) { std::fprintf(stderr, "tellivar-replay: %s\n", line.c_str()); }

// A record that does not decode: skipped and counted; a line a second at most.
void ReplayClient::skip(const std::string& why) {
    ++skipped_;
    ++skippedSinceLog_;
    const std::int64_t now = steady();
    if (lastSkipLogNs_ != 0 && now - lastSkipLogNs_ < kNsPerSec) return;
    lastSkipLogNs_ = now;
    log("skipped " + std::to_string(skippedSinceLog_) + " record(s) that are not of this recording's format (" + why +
        "); " + std::to_string(skipped_.load()) + " in all");
    skippedSinceLog_ = 0;
}

void ReplayClient::logOff(std::uint64_t generation, bool tell) {
    reader_.close();
    EConnectStatus* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (tell && generation != generation_) return;
        ready_ = false;
        lost_ = false;
        seekTo_.reset();
        ended_ = false;
        buffer_.clear();
        // At the next logon every set gets an image again.
        for (ReplaySnapshotSet* set : sets_.snapshots()) set->needsImage = set->initialised;
        for (ReplayRecordSet* set : sets_.recordSets()) {
            set->needsImage = set->initialised && set->live;
        }
        sink = sink_;
    }
    if (tell && sink != nullptr) sink->onLogOff();
}

void ReplayClient::logOn(std::uint64_t generation) {
    std::string user, password;
    EConnectStatus* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (generation != generation_) return;
        user = user_;
        password = password_;
        sink = sink_;
    }
    auto fail = [&](const std::string& why) {
        reader_.close();
        log("logon failed: " + why);
        if (sink != nullptr) {
            sink->onMessage(why.c_str());
            sink->onLogOff();
        }
    };
    Config config;
    std::string error;
    if (!loadConfig(getenv_, &config, &error)) return fail(error);
    if (!user.empty()) {
        config.nats.user = user;
        config.nats.password = password;
    }
    if (config.nats.name.empty()) config.nats.name = "tellivar-replay";
    if (!reader_.open(config.nats, config.recording, config.controlSubject,
                      [this](const std::string& request) { return controlRequest(request); }, &error))
        return fail(error);
    Span span;
    keyframes_ = KeyframeIndex();
    if (!reader_.span(&span, &error) || !reader_.indexKeyframes(&keyframes_, &error)) return fail(error);
    const std::int64_t start = config.fromNs.value_or(span.firstNs);
    if (start < span.firstNs || start > span.lastNs)
        return fail("The start " + formatIso(start) + " is outside the recording " + config.recording +
                    ", which runs from " + formatIso(span.firstNs) + " to " + formatIso(span.lastNs));
    config_ = config;
    {
        std::lock_guard<std::mutex> lock(mu_);
        span_ = span;
        recording_ = config.recording;
        clock_ = ReplayClock(start);
        clock_.setSpeed(config.speed, steady());
        clock_.setLimit(span.lastNs);
        reconnectsSeen_ = reader_.reconnects();
    }
    {
        std::lock_guard<std::mutex> state(stateMu_);
        state_.clear();
    }
    if (!goTo(start, &error)) return fail(error);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (generation != generation_) {
            reader_.close();
            return;
        }
        ready_ = true;
        imagesOwed_ = true;
        clock_.seek(start, steady());
        if (!config.paused) clock_.play(steady());
    }
    if (sink == nullptr) return;
    sink->onLogon(0);
    const std::string hello =
        "Replay of " + config.recording + " from " + formatIso(start) + " at " + formatSpeed(config.speed) +
        (config.speed == kAsFastAsPossible ? "" : "x");
    sink->onMessage(hello.c_str());
    sink->onMessage(kHistoriesText);
    sink->onReady();
}

// Rebuilds the state as at `timeNs` from the last complete keyframe at or
// before it, and leaves the records after it in the buffer. mu_ not held.
bool ReplayClient::goTo(std::int64_t timeNs, std::string* error) {
    if (!reader_.indexKeyframes(&keyframes_, error)) return false;
    const std::optional<Keyframe> keyframe = keyframes_.atOrBefore(timeNs);
    std::uint64_t from;
    {
        std::lock_guard<std::mutex> lock(mu_);
        from = keyframe ? keyframe->beginSeq : span_.firstSeq;
    }
    {
        std::lock_guard<std::mutex> state(stateMu_);
        state_.startAt(keyframe ? keyframe->timeNs : 0);
    }
    buffer_.clear();
    if (!reader_.start(from, error)) return false;
    bool usingKeyframe = false;
    // Inside a keyframe begun at or before the time: its entries and end
    // belong to its begin's moment, whatever time each was written at, so a
    // time that falls while a keyframe was being written still gets all of it.
    bool inKeyframe = false;
    lastSeqRead_ = from > 0 ? from - 1 : 0;
    // Where the stream ends now: reading stops there rather than waiting for more.
    const std::uint64_t streamLast = reader_.lastSeq();
    std::int64_t last = 0;
    std::uint64_t session = 0;
    std::deque<Pending> after;
    while (after.empty() && (streamLast == 0 || lastSeqRead_ < streamLast)) {
        std::vector<RecordMessage> messages;
        const Reader::Fetch result = reader_.fetch(&messages, 1024, 500, error);
        if (result == Reader::Fetch::Failed) return false;
        if (result == Reader::Fetch::Nothing) break;  // every record there is at or before the time
        lastSeqRead_ = messages.back().seq;
        std::lock_guard<std::mutex> state(stateMu_);
        for (RecordMessage& message : messages) {
            std::string why;
            std::optional<wire::Record> record = wire::decodeRecord(message.data.data(), message.data.size(), &why);
            if (!record) {
                skip(why);
                continue;
            }
            const bool ofKeyframe =
                record->type == wire::RecordType::KeyframeEntry || record->type == wire::RecordType::KeyframeEnd;
            if (!after.empty() || (record->timeNs > timeNs && !(inKeyframe && ofKeyframe))) {
                after.push_back({message.seq, std::move(*record)});
                continue;
            }
            switch (record->type) {
                case wire::RecordType::KeyframeBegin:
                    inKeyframe = true;
                    usingKeyframe = message.seq == from || (record->flags & wire::kSessionStart) != 0;
                    if ((record->flags & wire::kSessionStart) != 0 && message.seq != from)
                        state_.startAt(record->timeNs);
                    break;
                case wire::RecordType::KeyframeEnd:
                    inKeyframe = false;
                    usingKeyframe = false;
                    break;
                case wire::RecordType::KeyframeEntry:
                    if (usingKeyframe) state_.apply(*record);
                    break;
                case wire::RecordType::Update: state_.apply(*record); break;
            }
            last = record->timeNs;
            session = record->session;
        }
    }
    buffer_ = std::move(after);
    drained_ = false;
    lastRecordNs_ = last != 0 ? last : timeNs;
    lastSession_ = session;
    inSessionKeyframe_ = usingKeyframe;
    std::lock_guard<std::mutex> lock(mu_);
    clock_.seek(timeNs, steady());
    ended_ = false;
    for (ReplaySnapshotSet* set : sets_.snapshots()) set->needsImage = set->initialised;
    for (ReplayRecordSet* set : sets_.recordSets()) set->needsImage = set->initialised && set->live;
    imagesOwed_ = true;
    return true;
}

void ReplayClient::refill(std::unique_lock<std::mutex>& lock, int waitMs) {
    lock.unlock();
    std::vector<RecordMessage> messages;
    std::string error;
    const Reader::Fetch result = reader_.fetch(&messages, kBatch, waitMs, &error);
    drained_ = result == Reader::Fetch::Nothing;
    std::deque<Pending> decoded;
    for (RecordMessage& message : messages) {
        std::string why;
        std::optional<wire::Record> record = wire::decodeRecord(message.data.data(), message.data.size(), &why);
        if (record) decoded.push_back({message.seq, std::move(*record)});
        else skip(why);
    }
    if (!messages.empty()) lastSeqRead_ = messages.back().seq;
    // The end: nothing came and the stream holds nothing after what was read.
    const std::uint64_t streamLast = result == Reader::Fetch::Nothing ? reader_.lastSeq() : 0;
    const bool atEnd = streamLast != 0 && streamLast <= lastSeqRead_;
    lock.lock();
    if (result == Reader::Fetch::Failed) {
        lost(lock, error);
        return;
    }
    if (seekTo_) return;  // read at the old position: the seek drops it
    for (Pending& pending : decoded) buffer_.push_back(std::move(pending));
    if (atEnd && buffer_.empty()) reachedEnd(lock);
}

// mu_ held. The clock stops at the last record; the host stays logged on.
void ReplayClient::reachedEnd(std::unique_lock<std::mutex>& lock) {
    const std::int64_t now = steady();
    clock_.finishStep(now);
    clock_.seek(std::max(lastRecordNs_, std::min(clock_.now(now), lastRecordNs_)), now);
    clock_.pause(now);
    ended_ = true;
    const std::string text = "End of the recording at " + formatIso(lastRecordNs_);
    lock.unlock();
    tellHost(text);
    lock.lock();
}

// mu_ held. The clock waits where it is until the server is back.
void ReplayClient::lost(std::unique_lock<std::mutex>& lock, const std::string& why) {
    if (lost_) return;
    lost_ = true;
    const std::int64_t now = steady();
    resumePlaying_ = clock_.playing() && !clock_.stepTarget();
    clock_.pause(now);
    buffer_.clear();
    const std::string text = "The replay lost its server (" + why + "); it resumes at " +
                             formatIso(clock_.now(now)) + " once the server is back";
    lock.unlock();
    tellHost(text);
    lock.lock();
}

bool ReplayClient::tryResume(std::unique_lock<std::mutex>& lock) {
    if (!reader_.connected()) return false;
    const std::int64_t at = clock_.now(steady());
    lock.unlock();
    std::string error;
    const bool ok = goTo(at, &error);
    lock.lock();
    if (!ok) return false;
    lost_ = false;
    reconnectsSeen_ = reader_.reconnects();
    if (resumePlaying_) clock_.play(steady());
    const std::string text = "The replay resumed at " + formatIso(at);
    lock.unlock();
    tellHost(text);
    lock.lock();
    return true;
}

// One record whose time the clock reached. mu_ not held.
void ReplayClient::deliver(const Pending& pending) {
    const wire::Record& record = pending.record;
    switch (record.type) {
        case wire::RecordType::KeyframeBegin:
            if ((record.flags & wire::kSessionStart) != 0) {
                if (lastRecordNs_ != 0 && record.session != lastSession_)
                    tellHost("The recording has a gap from " + formatIso(lastRecordNs_) + " to " +
                             formatIso(record.timeNs));
                inSessionKeyframe_ = true;
                std::lock_guard<std::mutex> state(stateMu_);
                state_.startAt(record.timeNs);
            }
            break;
        case wire::RecordType::KeyframeEntry:
            // Entries of an ordinary keyframe repeat the state; those of a new
            // session's first one replace it, and every set gets them at its end.
            if (inSessionKeyframe_) {
                std::lock_guard<std::mutex> state(stateMu_);
                state_.apply(record);
            }
            break;
        case wire::RecordType::KeyframeEnd:
            if (inSessionKeyframe_) {
                inSessionKeyframe_ = false;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    for (ReplaySnapshotSet* set : sets_.snapshots()) set->needsImage = set->initialised;
                    for (ReplayRecordSet* set : sets_.recordSets()) set->needsImage = set->initialised && set->live;
                }
                giveImages();
            }
            break;
        case wire::RecordType::Update: {
            MarketState::Applied applied;
            {
                std::lock_guard<std::mutex> state(stateMu_);
                applied = state_.apply(record);
            }
            if (applied == MarketState::Applied::Quote) quoteChanged(std::get<wire::Quote>(*record.message));
            else if (applied == MarketState::Applied::Stream)
                streamChanged(std::get<wire::Stream>(*record.message).query, std::get<wire::Stream>(*record.message));
            break;
        }
    }
    lastRecordNs_ = std::max(lastRecordNs_, record.timeNs);
    lastSession_ = record.session;
}

void ReplayClient::quoteChanged(const wire::Quote& quote) {
    std::vector<ReplaySnapshotSet*> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (ReplaySnapshotSet* set : sets_.snapshots()) {
            if (!set->initialised || set->symbol != quote.symbol) continue;
            if (set->needsImage) {
                set->needsImage = false;
                set->imaged = false;
            }
            targets.push_back(set);
        }
    }
    for (ReplaySnapshotSet* set : targets) {
        if (!set->imaged || quote.image) {
            imageSnapshot(set);
            continue;
        }
        std::vector<std::uint8_t> ids;
        {
            std::unique_lock<std::shared_mutex> data(set->dataLock);
            for (const wire::FieldValue& field : quote.fields) {
                if (field.id >= kFieldIds) continue;
                set->value[field.id] = field.value;
                set->has[field.id] = true;
                ids.push_back(field.id);
            }
            set->tradeTime = quote.tradeTime;
        }
        ISSSetSink* sink = set->sink;
        if (sink != nullptr && !ids.empty())
            notify(set, [&] { sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data()); });
    }
}

// The set's values as the state has them now; every id with a value is told.
void ReplayClient::imageSnapshot(ReplaySnapshotSet* set) {
    std::vector<std::uint8_t> ids;
    {
        std::lock_guard<std::mutex> state(stateMu_);
        const QuoteImage* image = state_.quote(set->symbol);
        std::unique_lock<std::shared_mutex> data(set->dataLock);
        for (int id = 0; id < kFieldIds; ++id) {
            set->has[id] = image != nullptr && image->has.test(static_cast<std::size_t>(id));
            set->value[id] = set->has[id] ? image->value[id] : 0.0;
            if (set->has[id]) ids.push_back(static_cast<std::uint8_t>(id));
        }
        set->tradeTime = image != nullptr ? image->tradeTime : 0;
    }
    set->imaged = true;
    ISSSetSink* sink = set->sink;
    if (sink != nullptr && !ids.empty())
        notify(set, [&] { sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data()); });
}

void ReplayClient::streamChanged(const std::string& query, const wire::Stream& stream) {
    const bool minute = isMinuteQuery(query);
    const std::string symbol = querySymbol(query);
    std::vector<std::pair<ReplayRecordSet*, bool>> recorded;  // with: it needs a whole window
    std::vector<ReplayRecordSet*> aggregated;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (ReplayRecordSet* set : sets_.recordSets()) {
            if (!set->initialised || !set->live) continue;
            if (set->query == query) {
                recorded.emplace_back(set, std::exchange(set->needsImage, false));
            } else if (minute && set->symbol == symbol && set->aggregated && !set->needsImage) {
                aggregated.push_back(set);
            }
        }
    }
    for (const auto& target : recorded) {
        ReplayRecordSet* const set = target.first;
        const bool fresh = target.second;
        if (fresh || set->aggregated || !set->loadedOnce || stream.full) {
            imageStream(set);
            continue;
        }
        {
            std::unique_lock<std::shared_mutex> data(set->dataLock);
            if (set->bars.empty() || set->origin + static_cast<std::int64_t>(set->bars.size()) - 1 != stream.newest ||
                stream.bars.empty()) {
                data.unlock();
                imageStream(set);
                continue;
            }
            set->bars.back() = stream.bars.back();
        }
        ITRecSetSink* sink;
        {
            std::lock_guard<std::mutex> lock(mu_);
            sink = set->sink;
        }
        if (sink != nullptr)
            notify(set, [&] { sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(stream.newest), stream.newBar ? 1 : 0); });
    }
    for (ReplayRecordSet* set : aggregated) updateAggregated(set);
}

// The stream of an interval the recording does not hold, from the minute
// bars as the state has them now. A new newest bar moves the window on by
// one. mu_ and stateMu_ not held (a sink may ask for a history).
void ReplayClient::updateAggregated(ReplayRecordSet* set) {
    const std::optional<simfeed::Query> query = simfeed::parseQuery(set->query);
    if (!query) return;
    const int asked = set->asked;  // fixed before the feed thread saw the set
    std::vector<wire::Bar> bars;
    {
        std::lock_guard<std::mutex> state(stateMu_);
        if (const auto* minutes = state_.minutes(set->symbol))
            bars = recent(query->interval, *minutes, INT64_MAX, static_cast<std::size_t>(asked));
    }
    if (bars.empty()) return;
    const bool newBar = set->aggNewest < 0 || bars.back().start != set->aggNewestStart;
    if (newBar) ++set->aggNewest;
    set->aggNewest = std::max(set->aggNewest, static_cast<std::int64_t>(bars.size()) - 1);
    set->aggNewestStart = bars.back().start;
    const std::int64_t origin = set->aggNewest - static_cast<std::int64_t>(bars.size()) + 1;
    set->publish(std::move(bars), origin);
    ITRecSetSink* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        sink = set->sink;
    }
    if (sink == nullptr) return;
    if (!set->loadedOnce) {
        set->loadedOnce = true;
        notify(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
        return;
    }
    notify(set, [&] { sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(set->aggNewest), newBar ? 1 : 0); });
}

// A stream's window as the state has it now: the recorded window, or the
// interval aggregated from the minute bars.
void ReplayClient::imageStream(ReplayRecordSet* set) {
    std::vector<wire::Bar> bars;
    std::int64_t origin = 0;
    bool aggregated = false;
    {
        std::lock_guard<std::mutex> state(stateMu_);
        if (const Window* window = state_.window(set->query)) {
            bars = window->bars;
            origin = window->origin;
        } else {
            aggregated = true;
        }
    }
    if (aggregated) {
        set->aggregated = true;
        set->aggNewest = -1;
        updateAggregated(set);
        return;
    }
    set->aggregated = false;
    const bool empty = bars.empty();
    const std::int64_t newest = origin + static_cast<std::int64_t>(bars.size()) - 1;
    set->publish(std::move(bars), origin);
    int asked;
    ITRecSetSink* sink;
    {
        std::lock_guard<std::mutex> lock(mu_);
        asked = set->asked;
        sink = set->sink;
    }
    if (sink == nullptr || empty) return;
    if (!set->loadedOnce) {
        set->loadedOnce = true;
        notify(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
        return;
    }
    notify(set, [&] { sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(newest), 1); });
}

// Images, windows and owed histories for every set that needs one.
void ReplayClient::giveImages() {
    std::vector<ReplaySnapshotSet*> snapshots;
    std::vector<ReplayRecordSet*> streams, histories;
    std::int64_t clockSec;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!ready_) return;
        clockSec = clock_.now(steady()) / kNsPerSec;
        for (ReplaySnapshotSet* set : sets_.snapshots())
            if (set->initialised && std::exchange(set->needsImage, false)) snapshots.push_back(set);
        for (ReplayRecordSet* set : sets_.recordSets()) {
            if (set->live && set->initialised && std::exchange(set->needsImage, false)) streams.push_back(set);
            if (!set->live && std::exchange(set->historyOwed, false)) histories.push_back(set);
        }
    }
    for (ReplaySnapshotSet* set : snapshots) imageSnapshot(set);
    for (ReplayRecordSet* set : streams) imageStream(set);
    for (ReplayRecordSet* set : histories) {
        std::optional<std::vector<wire::Bar>> bars;
        {
            std::lock_guard<std::mutex> state(stateMu_);
            bars = historyAsOf(set->query, state_.minutes(set->symbol), clockSec, set->asked);
        }
        set->publish(bars ? std::move(*bars) : std::vector<wire::Bar>{}, 0);
        int asked;
        ITRecSetSink* sink;
        {
            std::lock_guard<std::mutex> lock(mu_);
            asked = set->asked;
            sink = set->sink;
        }
        if (sink != nullptr) notify(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
    }
}

}  // namespace replay
