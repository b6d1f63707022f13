#include "driver_feed.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>


namespace latency {

// Trade, Bid, Ask, Volume, TradeSize, BidSize, AskSize, Open, High, Low.
const std::int16_t kQuotedIds[kQuotedFields] = {3, 6, 7, 10, 12, 13, 14, 0, 1, 2};
const char* const kQuotedNames[kQuotedFields] = {"Trade",   "Bid",     "Ask",  "Volume", "TradeSize",
                                                 "BidSize", "AskSize", "Open", "High",   "Low"};

namespace {

constexpr std::uint8_t kChangedIds[kQuotedFields] = {3, 6, 7, 10, 12, 13, 14, 0, 1, 2};
constexpr int kTradeTimeId = 27;
constexpr int kBarUpdateEvent = 3;
const FeedTime kBaseTime = makeFeedTime(2004, 3, 5, 14, 0, 0);

FeedTime feedTimeOf(Nanos stamp) { return kBaseTime + static_cast<FeedTime>(stamp / 1'000'000'000); }

void sleepUntil(Nanos when) {
    timespec until{};
    until.tv_sec = when / 1'000'000'000;
    until.tv_nsec = when % 1'000'000'000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
    }
}

}  // namespace

Nanos nowNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanos>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// ---- Sets ------------------------------------------------------------------------

DriverSnapshotSet::DriverSnapshotSet(DriverFeed& owner, std::size_t index) : feed(owner), symbol(index) {
    for (int i = 0; i < kQuotedFields; ++i) {
        values[static_cast<std::size_t>(kQuotedIds[i])] = 10.0 + i;
        present[static_cast<std::size_t>(kQuotedIds[i])] = true;
    }
    tradeTime = kBaseTime;
}

bool DriverSnapshotSet::Init() {
    feed.publish(feed.symbols_[symbol].snapshots, this);
    return true;
}

bool DriverSnapshotSet::GetDouble(short id, double* value) {
    const auto index = static_cast<std::size_t>(static_cast<unsigned short>(id));
    if (index >= values.size() || !present[index]) return false;
    *value = values[index];
    return true;
}

bool DriverSnapshotSet::GetDWord(short id, FeedTime* value) {
    if (id != kTradeTimeId) return false;
    *value = tradeTime;
    return true;
}

DriverRecordSet::DriverRecordSet(DriverFeed& owner, std::size_t index) : feed(owner), symbol(index) {
    hasRecords = 1;
    recordBase = kBase;
    firstRecord = kBase;
    lastRecord = kBase + 1;
    sinkMode = 1;
    for (std::size_t bar = 0; bar < 2; ++bar) {
        times[bar] = kBaseTime + static_cast<FeedTime>(60 * (bar + 1));
        bars[bar] = {100.0, 101.0, 99.0, 100.5, 1000.0};
    }
}

int DriverRecordSet::Init(int, unsigned long) {
    feed.publish(feed.symbols_[symbol].records, this);
    return 1;  // events follow
}

short DriverRecordSet::GetFieldIx(const char* name) { return barFieldIndex(name); }

bool DriverRecordSet::GetRecDouble(long record, short field, double* value) {
    if (record < 0 || record > 1 || field < 0 || field >= 5) return false;
    *value = bars[static_cast<std::size_t>(record)][static_cast<std::size_t>(field)];
    return true;
}

bool DriverRecordSet::GetETime(long record, int kind, FeedTime* time) {
    if (record < 0 || record > 1 || kind < 1 || kind > 2) return false;
    *time = times[static_cast<std::size_t>(record)] + (kind == 2 ? 60 : 0);
    return true;
}

// ---- Client ----------------------------------------------------------------------

DriverFeed::DriverFeed(std::size_t symbols) : symbols_(symbols) {}

DriverFeed::~DriverFeed() {
    freeRetired();
    // Sets the host never deleted.
    for (Symbol& symbol : symbols_) {
        for (auto& slot : symbol.snapshots) delete slot.load();
        for (auto& slot : symbol.records) delete slot.load();
    }
}

std::string DriverFeed::symbolName(std::size_t index) { return "S" + std::to_string(index); }

std::size_t DriverFeed::parseSymbol(const char* text) const {
    if (text == nullptr || text[0] != 'S' || text[1] < '0' || text[1] > '9') return symbols_.size();
    char* end = nullptr;
    const unsigned long index = std::strtoul(text + 1, &end, 10);
    if (*end != '\0' && *end != ',') return symbols_.size();
    return std::min<std::size_t>(index, symbols_.size());
}

SnapshotSet* DriverFeed::CreateSnapshotSet(const char* symbol) {
    const std::size_t index = parseSymbol(symbol);
    if (index >= symbols_.size()) return nullptr;
    auto* set = new DriverSnapshotSet(*this, index);
    set->measured = markMeasured_;
    return set;
}

TRecordSet* DriverFeed::CreateTRecordSet(const char* query) {
    const std::size_t index = parseSymbol(query);
    if (index >= symbols_.size()) return nullptr;
    auto* set = new DriverRecordSet(*this, index);
    set->measured = markMeasured_;
    return set;
}

template <typename Set>
void DriverFeed::publish(std::array<std::atomic<Set*>, kSetsPerSymbol>& slots, Set* set) {
    for (auto& slot : slots) {
        if (slot.load(std::memory_order_relaxed) == set) return;  // a second Init
    }
    for (auto& slot : slots) {
        Set* empty = nullptr;
        if (slot.compare_exchange_strong(empty, set, std::memory_order_acq_rel)) return;
    }
    // Every place taken: the set gets no updates.
}

template <typename Set>
void DriverFeed::withdraw(std::array<std::atomic<Set*>, kSetsPerSymbol>& slots, Set* set) {
    for (auto& slot : slots) {
        Set* expected = set;
        if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) return;
    }
}

void DriverFeed::DeleteSnapshotSet(SnapshotSet* set) {
    if (set == nullptr) return;
    auto* own = static_cast<DriverSnapshotSet*>(set);
    own->dropped.store(true, std::memory_order_release);
    withdraw(symbols_[own->symbol].snapshots, own);
    retire(own, nullptr);
}

void DriverFeed::DeleteTRecordSet(TRecordSet* set) {
    if (set == nullptr) return;
    auto* own = static_cast<DriverRecordSet*>(set);
    own->dropped.store(true, std::memory_order_release);
    withdraw(symbols_[own->symbol].records, own);
    retire(nullptr, own);
}

void DriverFeed::retire(DriverSnapshotSet* snapshot, DriverRecordSet* records) {
    std::lock_guard<std::mutex> guard(retiredLock_);
    if (snapshot != nullptr) retiredSnapshots_.push_back(snapshot);
    if (records != nullptr) retiredRecords_.push_back(records);
    retiredCount_.fetch_add(1, std::memory_order_release);
}

void DriverFeed::freeRetired() {
    std::vector<DriverSnapshotSet*> snapshots;
    std::vector<DriverRecordSet*> records;
    {
        std::lock_guard<std::mutex> guard(retiredLock_);
        snapshots.swap(retiredSnapshots_);
        records.swap(retiredRecords_);
        retiredCount_.store(0, std::memory_order_relaxed);
    }
    for (DriverSnapshotSet* set : snapshots) delete set;
    for (DriverRecordSet* set : records) delete set;
}

// ---- Updates ---------------------------------------------------------------------

void DriverFeed::updateSymbol(Kind kind, std::size_t symbol, int changed, Nanos stamp) {
    currentStamp_ = stamp;
    ++sequence_;
    ++symbols_[symbol].updates;
    if (kind == Kind::Snapshot) {
        updateSnapshots(symbols_[symbol], changed, stamp);
    } else {
        updateBars(symbols_[symbol], stamp);
    }
}

void DriverFeed::updateSnapshots(Symbol& symbol, int changed, Nanos stamp) {
    const auto count = static_cast<std::uint8_t>(std::clamp(changed, 1, kQuotedFields));
    for (auto& slot : symbol.snapshots) {
        DriverSnapshotSet* set = slot.load(std::memory_order_acquire);
        if (set == nullptr) continue;
        {
            std::unique_lock<std::shared_mutex> write(set->lock);
            set->values[static_cast<std::size_t>(kQuotedIds[0])] = static_cast<double>(stamp);
            for (int i = 1; i < count; ++i) {
                set->values[static_cast<std::size_t>(kQuotedIds[i])] = static_cast<double>(sequence_ % 4096) + i;
            }
            if (count > kCountQuoteField) {
                set->values[static_cast<std::size_t>(kQuotedIds[kCountQuoteField])] = static_cast<double>(symbol.updates);
            }
            set->tradeTime = feedTimeOf(stamp);
        }
        ISSSetSink* sink = set->sink;
        // Tested immediately before the call, as the contract asks.
        if (sink == nullptr || set->dropped.load(std::memory_order_acquire)) continue;
        ++calls_;
        if (set->measured) ++measuredCalls_;
        callStart_ = nowNanos();
        sink->onSnapshotUpdate(set, count, kChangedIds);
    }
}

void DriverFeed::updateBars(Symbol& symbol, Nanos stamp) {
    const double price = 100.0 + static_cast<double>(sequence_ % 256) / 100.0;
    for (auto& slot : symbol.records) {
        DriverRecordSet* set = slot.load(std::memory_order_acquire);
        if (set == nullptr) continue;
        {
            std::unique_lock<std::shared_mutex> write(set->lock);
            auto& newest = set->bars[1];
            newest[1] = std::max(newest[1], price);
            newest[2] = std::min(newest[2], price);
            newest[kStampBarField] = static_cast<double>(stamp);
            newest[kCountBarField] = static_cast<double>(symbol.updates);
            set->times[1] = feedTimeOf(stamp);
        }
        ITRecSetSink* sink = set->sink.load(std::memory_order_acquire);
        if (sink == nullptr || set->dropped.load(std::memory_order_acquire)) continue;
        ++calls_;
        if (set->measured) ++measuredCalls_;
        callStart_ = nowNanos();
        sink->onRecordSetEvent(set, kBarUpdateEvent, set->lastRecord - set->recordBase, 0);
    }
}

RunResult DriverFeed::run(const RunPlan& plan) {
    RunResult result;
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake up when asked, not up to 50 us later
    if (plan.realtime) {
        // Ahead of every ordinary thread: other work on the machine no longer delays it.
        const sched_param priority{1};
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0) result.realtimeRefused = true;
    }
    const std::size_t count = std::clamp<std::size_t>(plan.symbols, 1, symbols_.size());
    const bool paced = plan.rate > 0;
    const double period = paced ? 1e9 / plan.rate : 0.0;
    const std::uint64_t callsBefore = calls_;
    const std::uint64_t measuredBefore = measuredCalls_;
    const Nanos origin = nowNanos();
    Nanos awake = origin;  // when the thread last woke from waiting
    Nanos now = origin;
    std::uint64_t i = 0;
    for (;; ++i) {
        Nanos due = now;
        if (paced) {
            due = origin + static_cast<Nanos>(static_cast<double>(i) * period);
            if (due - origin >= plan.duration) break;
            now = nowNanos();
            if (now > due) {
                ++result.lateStarts;  // still busy with earlier updates, or kept off the CPU
            } else if (due - now > plan.spinBelow) {
                sleepUntil(due);
                awake = now = nowNanos();
            }
            while (now < due) awake = now = nowNanos();
            result.lagAtEnd = now - due;
            if (result.lagAtEnd > plan.giveUpLag) {
                result.gaveUp = true;
                break;
            }
        } else {
            due = now = nowNanos();
            if (now - origin >= plan.duration) break;
        }
        if (plan.stop != nullptr && plan.stop->load(std::memory_order_relaxed)) break;
        updateSymbol(plan.kind, i % count, plan.changed, std::max(due, awake));
        if (retiredCount_.load(std::memory_order_relaxed) != 0) freeRetired();
    }
    result.elapsed = nowNanos() - origin;
    result.updates = i;
    result.calls = calls_ - callsBefore;
    result.measuredCalls = measuredCalls_ - measuredBefore;
    return result;
}

}  // namespace latency
