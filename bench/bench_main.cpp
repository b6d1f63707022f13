// Benchmarks of the plug-in's hot paths, each against a baseline in this
// binary that makes only the feed calls the work needs. After the runs a
// summary prints plug-in/baseline ratios per case.
//
// Run: cmake --build build --target tellivar-bench && build/bench/tellivar-bench
#include <benchmark/benchmark.h>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "PluginManager/tellivar/acelog.h"
#include "PluginManager/tellivar/init.h"
#include "PluginManager/tellivar/sink_relay.h"
#include "baselines.h"
#include "fast_feed.h"
#include "support/host_fakes.h"

namespace {

// ---- ACE output ---------------------------------------------------------------------

// Swallows every record: with LM_DEBUG enabled the records are formatted as
// usual but go nowhere.
class DiscardBackend : public ACE_Log_Msg_Backend {
public:
    int open(const ACE_TCHAR*) override { return 0; }
    int reset() override { return 0; }
    int close() override { return 0; }
    ssize_t log(ACE_Log_Record&) override { return 0; }
};

enum Debug { kMasked = 0, kEnabled = 1 };
const char* debugName(int debug) { return debug == kEnabled ? "enabled" : "masked"; }

void sendAceNowhere() {
    static DiscardBackend backend;
    ACE_Log_Msg::msg_backend(&backend);
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->clr_flags(ACE_Log_Msg::STDERR);
    log->set_flags(ACE_Log_Msg::CUSTOM);
}

// Masks LM_DEBUG out (the host's normal setting) or lets it through.
void setDebug(int debug) {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    const u_long mask = log->priority_mask(ACE_Log_Msg::PROCESS);
    log->priority_mask(debug == kEnabled ? (mask | LM_DEBUG) : (mask & ~static_cast<u_long>(LM_DEBUG)),
                       ACE_Log_Msg::PROCESS);
}

// ---- The plug-in under test ---------------------------------------------------------

// One factory and interface for the whole run, logged on and ready, so that
// creation takes the session's lock-free fast path as in a running host.
struct Plugin {
    Plugin() : iface(&factory) {
        factory.requestContext = &context;
        factory.connectSession();
        fastFeed().status->onReady();
    }
    QuietContext context;
    TellivarInterfaceFactory factory;
    TellivarInterface iface;
};

Plugin& plugin() {
    static Plugin instance;
    return instance;
}

// ---- Host-side names ------------------------------------------------------------------

// The host's own copies of the dictionary's long names (its fixed dictionary),
// the ten most quoted first, then the rest in table order.
struct HostNames {
    HostNames() {
        const std::int16_t favourites[] = {3, 6, 7, 10, 12, 13, 14, 0, 1, 2};
        for (std::int16_t id : favourites) add(id);
        for (const FieldEntry& row : FieldTable) {
            if (std::find(ids.begin(), ids.end(), row.id) == ids.end()) add(row.id);
        }
        for (const std::string& text : texts) names.push_back(text.c_str());
        // Changed ids past the dictionary: ids the feed may send that nobody subscribes.
        for (int id = 101; id < 140; ++id) unsubscribedTail.push_back(static_cast<std::uint8_t>(id));
    }
    void add(std::int16_t id) {
        for (const FieldEntry& row : FieldTable) {
            if (row.id != id) continue;
            ids.push_back(id);
            texts.emplace_back(row.longName);
        }
    }
    // The first `subscribed` ids, then `changed - subscribed` unsubscribed ones.
    std::vector<std::uint8_t> changedIds(std::size_t subscribed, std::size_t changed) const {
        std::vector<std::uint8_t> result;
        for (std::size_t i = 0; result.size() < changed; ++i) {
            result.push_back(i < ids.size() ? static_cast<std::uint8_t>(ids[i]) : unsubscribedTail[i - ids.size()]);
        }
        (void)subscribed;  // subscribed ids come first in `ids`, so the prefix covers them
        return result;
    }
    std::vector<std::int16_t> ids;
    std::vector<std::string> texts;
    std::vector<const char*> names;
    std::vector<std::uint8_t> unsubscribedTail;
};

const HostNames& hostNames() {
    static const HostNames instance;
    return instance;
}

const char* const kShortBarNames[5] = {"O", "H", "L", "C", "V"};

// ---- Consumers ----------------------------------------------------------------------------

// Reads the time and every wanted value through the supplier's value interface.
class ReadingTickConsumer : public data::TickConsumer {
public:
    explicit ReadingTickConsumer(std::vector<const char*> wanted) : names(std::move(wanted)) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        const data::CalendarRecord* time = supplier->getTime();
        double total = time->tm_sec + time->tm_min;
        for (const char* name : names) total += supplier->getValue(name);
        sum += total;
    }
    std::vector<const char*> names;
    double sum = 0.0;
};

class IdleHistoryConsumer : public data::HistoryConsumer {
public:
    void historyReady(data::HistorySupplier*) override { ++ready; }
    int ready = 0;
};

// ---- Snapshot callback ------------------------------------------------------------------

std::size_t subscribedCount(std::int64_t arg) {
    return arg < 0 ? hostNames().names.size() : static_cast<std::size_t>(arg);
}

// A live tick supplier on its own snapshot set, past its first load.
struct LiveTick {
    explicit LiveTick(std::size_t subscribed)
        : consumer(std::vector<const char*>(hostNames().names.begin(),
                                            hostNames().names.begin() + static_cast<long>(subscribed))) {
        request.names.names.assign(consumer.names.begin(), consumer.names.end());
        supplier.reset(plugin().iface.createTickSupplier(&request, &consumer, &plugin().context));
        set = fastFeed().lastSnapshotSet;
        if (supplier) set->sink->onSnapshotUpdate(set, 0, nullptr);  // first load
    }
    FakeRequest request;
    ReadingTickConsumer consumer;
    std::unique_ptr<data::TickSupplier> supplier;
    FastSnapshotSet* set = nullptr;
};

void runSnapshot(benchmark::State& state, SnapshotSet* set, const std::vector<std::uint8_t>& changed) {
    const auto count = static_cast<std::uint8_t>(changed.size());
    ISSSetSink* sink = set->sink;
    for (auto _ : state) sink->onSnapshotUpdate(set, count, changed.data());
}

void snapshotPlugin(benchmark::State& state) {
    const std::size_t subscribed = subscribedCount(state.range(0));
    const auto changed = hostNames().changedIds(subscribed, static_cast<std::size_t>(state.range(1)));
    setDebug(static_cast<int>(state.range(2)));
    LiveTick tick(subscribed);
    if (!tick.supplier) return state.SkipWithError("createTickSupplier gave no supplier");
    runSnapshot(state, tick.set, changed);
    benchmark::DoNotOptimize(tick.consumer.sum);
    setDebug(kMasked);
}

void snapshotBaseline(benchmark::State& state) {
    const std::size_t subscribed = subscribedCount(state.range(0));
    const auto changed = hostNames().changedIds(subscribed, static_cast<std::size_t>(state.range(1)));
    SummingFlatConsumer consumer;
    BaselineSnapshotSink sink(hostNames().ids.data(), subscribed, &consumer);
    SnapshotSet* set = pTellivarClient->CreateSnapshotSet("XYZ");
    set->sink = &sink;
    runSnapshot(state, set, changed);
    benchmark::DoNotOptimize(consumer.sum);
    pTellivarClient->DeleteSnapshotSet(set);
}

void snapshotFloor(benchmark::State& state) {
    const std::size_t subscribed = subscribedCount(state.range(0));
    const auto changed = hostNames().changedIds(subscribed, static_cast<std::size_t>(state.range(1)));
    ReadingTickConsumer consumer(std::vector<const char*>(hostNames().names.begin(),
                                                          hostNames().names.begin() + static_cast<long>(subscribed)));
    FloorSnapshotSink sink(hostNames().ids.data(), hostNames().texts, subscribed, &plugin().context.log, &consumer);
    SnapshotSet* set = pTellivarClient->CreateSnapshotSet("XYZ");
    set->sink = &sink;
    runSnapshot(state, set, changed);
    benchmark::DoNotOptimize(consumer.sum);
    pTellivarClient->DeleteSnapshotSet(set);
}

// The same callback with many other live suppliers, each on its own set.
void snapshotScaling(benchmark::State& state) {
    setDebug(kMasked);
    std::vector<std::unique_ptr<LiveTick>> others;
    fastFeed().reserve(static_cast<std::size_t>(state.range(0)));
    for (std::int64_t i = 1; i < state.range(0); ++i) others.push_back(std::make_unique<LiveTick>(10));
    LiveTick tick(10);
    if (!tick.supplier) return state.SkipWithError("createTickSupplier gave no supplier");
    runSnapshot(state, tick.set, hostNames().changedIds(10, 5));
    benchmark::DoNotOptimize(tick.consumer.sum);
}

// ---- Update callback ----------------------------------------------------------------------

const BarData& twoBars() {
    static const BarData bars = BarData::make(2);
    return bars;
}

void updatePlugin(benchmark::State& state) {
    setDebug(static_cast<int>(state.range(0)));
    fastFeed().bars = &twoBars();
    FakeRequest request;
    ReadingTickConsumer consumer({kShortBarNames, kShortBarNames + 5});
    std::unique_ptr<data::TickSupplier> supplier(
        plugin().iface.createUpdateSupplier(&request, &consumer, &plugin().context));
    if (!supplier) return state.SkipWithError("createUpdateSupplier gave no supplier");
    FastRecordSet* set = fastFeed().lastRecordSet;
    set->sink->onRecordSetEvent(set, 1, 0, 0);  // first update adds the five keys
    for (auto _ : state) set->sink->onRecordSetEvent(set, 1, 0, 0);
    benchmark::DoNotOptimize(consumer.sum);
    setDebug(kMasked);
}

void updateBaseline(benchmark::State& state) {
    fastFeed().bars = &twoBars();
    SummingFlatConsumer consumer;
    BaselineUpdateSink sink(&consumer);
    auto* set = static_cast<FastRecordSet*>(pTellivarClient->CreateTRecordSet("XYZ,D1"));
    set->SetSink(&sink);
    for (auto _ : state) set->sink->onRecordSetEvent(set, 1, 0, 0);
    benchmark::DoNotOptimize(consumer.sum);
    pTellivarClient->DeleteTRecordSet(set);
}

// ---- History walk ----------------------------------------------------------------------------

const BarData& barsOf(std::int64_t count) {
    static std::map<std::int64_t, std::unique_ptr<BarData>> cache;
    auto& slot = cache[count];
    if (!slot) slot = std::make_unique<BarData>(BarData::make(static_cast<std::size_t>(count)));
    return *slot;
}

void historyPlugin(benchmark::State& state) {
    const bool reverse = state.range(1) != 0;
    setDebug(static_cast<int>(state.range(2)));
    fastFeed().bars = &barsOf(state.range(0));
    fastFeed().recordSetInitResult = 3;  // complete at once
    FakeRequest request;
    request.records = static_cast<int>(state.range(0));
    request.names.names = {kShortBarNames, kShortBarNames + 5};
    IdleHistoryConsumer consumer;
    std::unique_ptr<data::HistorySupplier> supplier(
        plugin().iface.createHistorySupplier(&request, &consumer, &plugin().context));
    fastFeed().recordSetInitResult = 2;
    if (!supplier) return state.SkipWithError("createHistorySupplier gave no supplier");
    TRecordSet* set = fastFeed().lastRecordSet;
    double sum = 0.0;
    for (auto _ : state) {
        set->EnterRead();
        data::TickIterator* it = reverse ? supplier->makeReverseIterator() : supplier->makeIterator();
        for (; it->isValid() != 0; it->next()) {
            const data::CalendarRecord* time = it->getTime();
            double total = time->tm_sec + time->tm_min;
            for (const char* name : kShortBarNames) total += it->getValue(name);
            sum += total;
        }
        set->LeaveRead();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    setDebug(kMasked);
}

void historyBaseline(benchmark::State& state) {
    const bool reverse = state.range(1) != 0;
    fastFeed().bars = &barsOf(state.range(0));
    TRecordSet* set = pTellivarClient->CreateTRecordSet("XYZ,D1");
    SummingFlatConsumer consumer;
    for (auto _ : state) {
        set->EnterRead();
        baselineWalk(set, reverse, consumer);
        set->LeaveRead();
    }
    benchmark::DoNotOptimize(consumer.sum);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    pTellivarClient->DeleteTRecordSet(set);
}

// ---- Create and destroy -----------------------------------------------------------------------

enum Kind { kTick = 0, kHistory = 1, kUpdate = 2 };
const char* kindName(int kind) { return kind == kTick ? "tick" : kind == kHistory ? "history" : "update"; }

void createPlugin(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    setDebug(static_cast<int>(state.range(1)));
    fastFeed().bars = &twoBars();
    FakeRequest request;
    if (kind == kTick) request.names.names = {hostNames().names.begin(), hostNames().names.begin() + 10};
    if (kind == kHistory) request.names.names = {kShortBarNames, kShortBarNames + 5};
    ReadingTickConsumer tickConsumer({});
    IdleHistoryConsumer historyConsumer;
    TellivarInterface& iface = plugin().iface;
    for (auto _ : state) {
        data::SupplierBase* supplier = nullptr;
        if (kind == kTick) supplier = iface.createTickSupplier(&request, &tickConsumer, &plugin().context);
        if (kind == kHistory) supplier = iface.createHistorySupplier(&request, &historyConsumer, &plugin().context);
        if (kind == kUpdate) supplier = iface.createUpdateSupplier(&request, &tickConsumer, &plugin().context);
        if (supplier == nullptr) return state.SkipWithError("creation gave no supplier");
        delete supplier;
    }
    // No feed callback ends here to free the closed relays, and none can be in flight.
    SinkLinger::reclaimAfterShutdown();
    setDebug(kMasked);
}

// Writes "SYMBOL,<interval>" the way the queries begin, without a stream.
std::size_t writeQuery(data::SupplierRequest& request, char* out) {
    std::size_t n = 0;
    for (const char* s = request.symbol(); *s != '\0'; ++s) out[n++] = *s;
    out[n++] = ',';
    unsigned int number = request.intervalNumber();
    if (request.intervalType() != 1) {
        out[n++] = request.intervalLetter();
        number = request.intervalMultiple();
    }
    char digits[16];
    std::size_t d = 0;
    do {
        digits[d++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (d != 0) out[n++] = digits[--d];
    out[n] = '\0';
    return n;
}

class NoSnapshotSink : public ISSSetSink {};
class NoRecordSink : public ITRecSetSink {
public:
    void onRecordSetEvent(TRecordSet*, int, long, long) override {}
};

void createBaseline(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    fastFeed().bars = &twoBars();
    FakeRequest request;
    NoSnapshotSink snapshotSink;
    NoRecordSink recordSink;
    char query[64];
    for (auto _ : state) {
        if (kind == kTick) {
            SnapshotSet* set = pTellivarClient->CreateSnapshotSet(request.symbol());
            set->sink = &snapshotSink;
            set->Init();
            pTellivarClient->DeleteSnapshotSet(set);
            continue;
        }
        writeQuery(request, query);
        if (kind == kHistory) benchmark::DoNotOptimize(request.endTime()->tm_year > 1800);
        TRecordSet* set = pTellivarClient->CreateTRecordSet(query);
        if (kind == kHistory) set->sinkMode = 0;
        set->SetSink(&recordSink);
        set->Init(kind == kHistory ? request.recordCount() + 1 : 2, 0);
        pTellivarClient->DeleteTRecordSet(set);
    }
}

// ---- Dictionary lookups -------------------------------------------------------------------------

enum Lookup { kNameById = 0, kIdByName = 1, kHistoryField = 2 };
const char* lookupName(int lookup) {
    return lookup == kNameById ? "fieldNameById" : lookup == kIdByName ? "findFieldIdByName" : "findHistoryField";
}

void lookupPlugin(benchmark::State& state) {
    const int lookup = static_cast<int>(state.range(0));
    const HostNames& host = hostNames();
    std::size_t hits = 0;
    std::size_t items = 0;
    for (auto _ : state) {
        if (lookup == kNameById) {
            for (std::int16_t id : host.ids) hits += fieldNameById(id).size();
            items += host.ids.size();
        } else if (lookup == kIdByName) {
            std::int16_t id = 0;
            for (const char* name : host.names) hits += findFieldIdByName(name, id) ? static_cast<std::size_t>(id) : 0;
            items += host.names.size();
        } else {
            for (const char* name : kShortBarNames) hits += findHistoryField(name) != nullptr ? 1 : 0;
            items += 5;
        }
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(static_cast<std::int64_t>(items));
}

// Flat-array floors: an array indexed by id, a sorted array searched with
// strcmp, and a switch on the one letter.
struct FlatDictionary {
    FlatDictionary() {
        for (const FieldEntry& row : FieldTable) {
            nameById[static_cast<std::size_t>(row.id)] = row.longName;
            byName.push_back({row.longName, row.id});
        }
        std::sort(byName.begin(), byName.end(),
                  [](const auto& a, const auto& b) { return std::strcmp(a.first, b.first) < 0; });
    }
    const char* nameById[128] = {};
    std::vector<std::pair<const char*, std::int16_t>> byName;
};

const char* flatHistoryField(const char* name) {
    if (name[0] == '\0' || name[1] != '\0') return nullptr;
    switch (name[0]) {
        case 'O': return "Open";
        case 'H': return "High";
        case 'L': return "Low";
        case 'C': return "Close";
        case 'V': return "Volume";
        default: return nullptr;
    }
}

void lookupBaseline(benchmark::State& state) {
    static const FlatDictionary flat;
    const int lookup = static_cast<int>(state.range(0));
    const HostNames& host = hostNames();
    std::size_t hits = 0;
    std::size_t items = 0;
    const auto less = [](const std::pair<const char*, std::int16_t>& row, const char* name) {
        return std::strcmp(row.first, name) < 0;
    };
    for (auto _ : state) {
        if (lookup == kNameById) {
            for (std::int16_t id : host.ids) hits += std::strlen(flat.nameById[id]);
            items += host.ids.size();
        } else if (lookup == kIdByName) {
            for (const char* name : host.names) {
                const auto it = std::lower_bound(flat.byName.begin(), flat.byName.end(), name, less);
                if (it != flat.byName.end() && std::strcmp(it->first, name) == 0) hits += static_cast<std::size_t>(it->second);
            }
            items += host.names.size();
        } else {
            for (const char* name : kShortBarNames) hits += flatHistoryField(name) != nullptr ? 1 : 0;
            items += 5;
        }
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(static_cast<std::int64_t>(items));
}

// ---- Parts: what single steps cost on this machine ----------------------------------------------

void partWriteLock(benchmark::State& state) {
    ACE_RW_Thread_Mutex lock;
    for (auto _ : state) {
        lock.acquire_write();
        lock.release();
    }
}

void partDebugCheck(benchmark::State& state) {
    setDebug(kMasked);
    int wanted = 0;
    for (auto _ : state) wanted += aceRecordWanted(LM_DEBUG) ? 1 : 0;
    benchmark::DoNotOptimize(wanted);
}

void partMaskedRecord(benchmark::State& state) {
    setDebug(kMasked);
    for (auto _ : state) writeAceRecord("PluginManager/tellivar/tick", 126, 0, LM_DEBUG, "date processing finished");
}

// Ten names checked byte for byte against the expected ones, as a by-name read must.
void partNameChecks(benchmark::State& state) {
    const HostNames& host = hostNames();
    std::size_t same = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < 10; ++i) same += std::strcmp(host.names[i], host.texts[i].c_str()) == 0 ? 1 : 0;
        benchmark::DoNotOptimize(same);
    }
}

// ---- Registration and the ratio summary ----------------------------------------------------------

struct Pair {
    std::string plugin;
    std::string baseline;
    double target;  // 0: none
};
std::vector<Pair> pairs;

template <typename Fn>
void add(const std::string& name, Fn fn, std::vector<std::int64_t> args) {
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name.c_str(), fn);
    b->Args(args);
    b->Unit(benchmark::kNanosecond);
}

void registerAll() {
    const std::int64_t allFields = -1;
    for (std::int64_t sub : {std::int64_t{1}, std::int64_t{10}, allFields}) {
        const std::string subName = sub < 0 ? "all" : std::to_string(sub);
        for (std::int64_t changed : {1, 5, 20}) {
            const std::string tail = "/sub:" + subName + "/changed:" + std::to_string(changed);
            add("snapshot/baseline" + tail, snapshotBaseline, {sub, changed});
            add("snapshot/floor" + tail, snapshotFloor, {sub, changed});
            pairs.push_back({"snapshot/floor" + tail, "snapshot/baseline" + tail, 0.0});
            for (int debug : {kMasked, kEnabled}) {
                const std::string name = "snapshot/plugin" + tail + "/debug:" + debugName(debug);
                add(name, snapshotPlugin, {sub, changed, debug});
                const bool target = sub == 10 && changed == 5 && debug == kMasked;
                pairs.push_back({name, "snapshot/baseline" + tail, target ? 2.0 : 0.0});
            }
        }
    }
    for (std::int64_t suppliers : {1, 100, 10000}) {
        const std::string name = "scaling/plugin/suppliers:" + std::to_string(suppliers);
        add(name, snapshotScaling, {suppliers});
        pairs.push_back({name, "snapshot/baseline/sub:10/changed:5", 0.0});
    }
    add("update/baseline", updateBaseline, {});
    for (int debug : {kMasked, kEnabled}) {
        const std::string name = std::string("update/plugin/debug:") + debugName(debug);
        add(name, updatePlugin, {debug});
        pairs.push_back({name, "update/baseline", debug == kMasked ? 2.0 : 0.0});
    }
    for (std::int64_t records : {1000, 100000, 1000000}) {
        for (int reverse : {0, 1}) {
            const std::string tail = std::string(reverse ? "/reverse" : "/forward") + "/records:" + std::to_string(records);
            add("history/baseline" + tail, historyBaseline, {records, reverse});
            for (int debug : {kMasked, kEnabled}) {
                const std::string name = "history/plugin" + tail + "/debug:" + debugName(debug);
                add(name, historyPlugin, {records, reverse, debug});
                pairs.push_back({name, "history/baseline" + tail, debug == kMasked ? 1.3 : 0.0});
            }
        }
    }
    for (int kind : {kTick, kHistory, kUpdate}) {
        const std::string tail = std::string("/") + kindName(kind);
        add("create+destroy/baseline" + tail, createBaseline, {kind});
        for (int debug : {kMasked, kEnabled}) {
            const std::string name = "create+destroy/plugin" + tail + "/debug:" + debugName(debug);
            add(name, createPlugin, {kind, debug});
            pairs.push_back({name, "create+destroy/baseline" + tail, 0.0});
        }
    }
    add("part/rw-lock write+release", partWriteLock, {});
    add("part/LM_DEBUG check (aceRecordWanted)", partDebugCheck, {});
    add("part/masked LM_DEBUG record (writeAceRecord)", partMaskedRecord, {});
    add("part/10 names checked with strcmp", partNameChecks, {});
    for (int lookup : {kNameById, kIdByName, kHistoryField}) {
        const std::string tail = std::string("/") + lookupName(lookup);
        add("lookup/baseline" + tail, lookupBaseline, {lookup});
        add("lookup/plugin" + tail, lookupPlugin, {lookup});
        pairs.push_back({"lookup/plugin" + tail, "lookup/baseline" + tail, 0.0});
    }
}

// Keeps each run's CPU time per iteration (ns) by name, after printing it as usual.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            nanos[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> nanos;
};

int printSummary(const RatioReporter& reporter) {
    std::printf("\n%-58s %12s %12s %8s %8s\n", "case (CPU time per iteration)", "plug-in ns", "baseline ns", "ratio",
                "target");
    int missed = 0;
    for (const Pair& pair : pairs) {
        const auto p = reporter.nanos.find(pair.plugin);
        const auto b = reporter.nanos.find(pair.baseline);
        if (p == reporter.nanos.end() || b == reporter.nanos.end()) continue;  // filtered out or skipped
        const double ratio = p->second / b->second;
        const bool miss = pair.target > 0.0 && ratio > pair.target;
        missed += miss ? 1 : 0;
        char target[16] = "";
        if (pair.target > 0.0) std::snprintf(target, sizeof target, "%.1fx%s", pair.target, miss ? " MISS" : "");
        std::printf("%-58s %12.1f %12.1f %7.2fx %8s\n", pair.plugin.c_str(), p->second, b->second, ratio, target);
    }
    return missed;
}

}  // namespace

int main(int argc, char** argv) {
    sendAceNowhere();
    setDebug(kMasked);
    fastFeed().reserve(64);
    plugin();
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int missed = printSummary(reporter);
    std::printf("%d target(s) missed\n", missed);
    benchmark::Shutdown();
    return 0;
}
