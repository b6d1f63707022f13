// tellivar-latency: how long after the feed has an update the host's
// consumer is told of it, and how many updates per second get through, for
// the plug-in's live quotes and update stream, against a raw sink on the
// same feed in the same run. Prints markdown tables (and a CSV for the plot);
// exits non-zero when a consumer missed an update or read a wrong value.
//
// Run: scripts/latency.sh (builds, runs the matrix, draws the plot), or
//      build/bench/latency/tellivar-latency [--quick] [--csv FILE]

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "driver_feed.h"
#include "host_side.h"
#include "report_text.h"

// The feed client the plug-in and the raw sinks reach.
TellivarClient* pTellivarClient = nullptr;

namespace {

using namespace latency;

constexpr std::size_t kMaxSymbols = 1000;
constexpr double kMaxRateShare = 0.8;  // the "max" row runs at this share of the plug-in's saturation rate
constexpr int kSlices = 4;             // raw and plug-in take turns this many times in each cell

struct Config {
    Kind kind;
    std::size_t symbols;
    int changed;  // snapshot ids changed per update; bars always change five values
    bool churn;
};

struct Durations {
    double saturation;  // seconds of each closed-loop run
    double scale;       // of the paced runs' lengths
};

// One run of one sink.
struct Measurement {
    std::unique_ptr<Recorder> recorder;
    RunResult run;
    double offered = 0;    // updates per second asked; 0: as fast as the feed thread can
    double delivered = 0;  // measured notifications per second
    bool keptUp = false;
    std::uint64_t churnCycles = 0;
    std::vector<std::string> faults;
};

const char* kindName(Kind kind) { return kind == Kind::Snapshot ? "quotes" : "bars"; }
const char* sinkName(Sink sink) { return sink == Sink::Raw ? "raw" : "plug-in"; }

double seconds(Nanos ns) { return static_cast<double>(ns) / 1e9; }

// Paced runs: long enough for a few thousand samples at the low rates.
double pacedSeconds(double rate) { return rate <= 1000 ? 2.0 : rate <= 10000 ? 1.0 : 0.5; }

class Bench {
public:
    explicit Bench(bool realtime) : realtime_(realtime), feed_(kMaxSymbols), feedInstalled_(install(feed_)), host_(&feed_) {}

    Measurement measure(const Config& config, Sink sink, double rate, double duration);
    // Raw and plug-in in turns, kSlices times each, so both meet the same
    // load on this shared machine; `duration` is each one's total.
    std::pair<Measurement, Measurement> measurePair(const Config& config, double rate, double duration);

private:
    static bool install(DriverFeed& feed) {
        pTellivarClient = &feed;
        return true;
    }

    const bool realtime_;  // paced runs' feed thread at SCHED_FIFO
    DriverFeed feed_;
    bool feedInstalled_;  // pTellivarClient is set before the plug-in connects
    PluginHost host_;
};

Measurement Bench::measure(const Config& config, Sink sink, double rate, double duration) {
    Measurement m;
    m.offered = rate;
    m.recorder = std::make_unique<Recorder>(feed_);
    std::vector<std::unique_ptr<Subscription>> subscriptions;
    feed_.markMeasured(true);
    for (std::size_t s = 0; s < config.symbols; ++s) {
        subscriptions.push_back(host_.subscribe(sink, config.kind, s, m.recorder.get()));
        if (!subscriptions.back()) m.faults.push_back("a measured subscription could not be made");
    }
    feed_.markMeasured(false);
    // Two unrecorded updates per symbol: the first loads the whole image.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t s = 0; s < config.symbols; ++s) feed_.updateSymbol(config.kind, s, config.changed, nowNanos());
    }
    m.recorder->on = true;

    RunPlan plan;
    plan.kind = config.kind;
    plan.symbols = config.symbols;
    plan.rate = rate;
    plan.changed = config.changed;
    plan.duration = static_cast<Nanos>(duration * 1e9);
    plan.realtime = realtime_ && rate > 0;
    {
        std::unique_ptr<Churn> churn;
        if (config.churn) churn = std::make_unique<Churn>(host_, sink, config.kind, config.symbols);
        std::thread feedThread([&] { m.run = feed_.run(plan); });
        feedThread.join();
        if (churn) {
            churn->stop();
            m.churnCycles = churn->cycles();
            if (churn->failures() != 0) m.faults.push_back("churn: a subscription could not be made");
        }
    }
    m.recorder->on = false;
    for (auto& subscription : subscriptions) {
        if (subscription) subscription->close();
    }
    subscriptions.clear();
    feed_.freeRetired();

    // A paced run ends with its last scheduled update, a period before its length.
    if (rate > 0) m.run.elapsed = std::max(m.run.elapsed, plan.duration);
    const Recorder& r = *m.recorder;
    if (r.notified != m.run.measuredCalls) {
        m.faults.push_back(std::to_string(m.run.measuredCalls) + " updates to measured sinks, " +
                           std::to_string(r.notified) + " notifications");
    }
    if (m.run.realtimeRefused) m.faults.push_back("the feed thread could not get SCHED_FIFO");
    if (r.wrongStamps != 0) m.faults.push_back(std::to_string(r.wrongStamps) + " notifications read a wrong value");
    return m;
}

void merge(Measurement& into, Measurement&& slice) {
    if (!into.recorder) {
        into = std::move(slice);
        return;
    }
    Recorder& r = *into.recorder;
    const Recorder& s = *slice.recorder;
    r.endToEnd.add(s.endToEnd);
    r.inCallback.add(s.inCallback);
    r.beforeCall.add(s.beforeCall);
    r.notified += s.notified;
    r.wrongStamps += s.wrongStamps;
    into.run.updates += slice.run.updates;
    into.run.calls += slice.run.calls;
    into.run.measuredCalls += slice.run.measuredCalls;
    into.run.elapsed += slice.run.elapsed;
    into.run.lagAtEnd = std::max(into.run.lagAtEnd, slice.run.lagAtEnd);
    into.run.gaveUp = into.run.gaveUp || slice.run.gaveUp;
    into.run.lateStarts += slice.run.lateStarts;
    into.churnCycles += slice.churnCycles;
    into.faults.insert(into.faults.end(), slice.faults.begin(), slice.faults.end());
}

void finish(Measurement& m) {
    m.delivered = static_cast<double>(m.recorder->notified) / seconds(m.run.elapsed);
    m.keptUp = m.offered <= 0 || (!m.run.gaveUp && m.delivered >= 0.97 * m.offered);
}

std::pair<Measurement, Measurement> Bench::measurePair(const Config& config, double rate, double duration) {
    std::pair<Measurement, Measurement> both;
    for (int slice = 0; slice < kSlices; ++slice) {
        merge(both.first, measure(config, Sink::Raw, rate, duration / kSlices));
        merge(both.second, measure(config, Sink::Plugin, rate, duration / kSlices));
    }
    finish(both.first);
    finish(both.second);
    return both;
}

// ---- Report --------------------------------------------------------------------------

std::string ratio(double plugin, double raw) {
    const double value = raw > 0 ? plugin / raw : 0.0;
    return value < 0.01 ? "<0.01x" : times(value);
}

struct Row {
    Config config;
    std::string rateLabel;
    Measurement raw, plugin;
};

class Report {
public:
    explicit Report(const std::string& csvPath) {
        if (csvPath.empty()) return;
        csv_.open(csvPath);
        csv_ << "kind,symbols,changed,churn,rate_label,offered,sink,delivered,kept_up,p50_ns,p99_ns,p999_ns,max_ns,"
                "cb_p50_ns,cb_p99_ns,samples\n";
    }

    void add(Row row) {
        for (const Measurement* m : {&row.raw, &row.plugin}) {
            for (const std::string& fault : m->faults) {
                std::fprintf(stderr, "FAULT %s %s %zu symbols %d changed%s %s: %s\n", kindName(row.config.kind),
                             m == &row.raw ? "raw" : "plug-in", row.config.symbols, row.config.changed,
                             row.config.churn ? " churn" : "", row.rateLabel.c_str(), fault.c_str());
                ++faults_;
            }
        }
        writeCsv(row, Sink::Raw, row.raw);
        writeCsv(row, Sink::Plugin, row.plugin);
        rows_.push_back(std::move(row));
    }

    void print() const {
        for (Kind kind : {Kind::Snapshot, Kind::Bars}) printSaturation(kind);
        for (Kind kind : {Kind::Snapshot, Kind::Bars}) printLatency(kind);
    }

    int faults() const { return faults_; }

private:
    void writeCsv(const Row& row, Sink sink, const Measurement& m) {
        if (!csv_.is_open()) return;
        const Recorder& r = *m.recorder;
        csv_ << kindName(row.config.kind) << ',' << row.config.symbols << ',' << row.config.changed << ','
             << (row.config.churn ? 1 : 0) << ',' << row.rateLabel << ',' << m.offered << ',' << sinkName(sink) << ','
             << m.delivered << ',' << (m.keptUp ? 1 : 0) << ',' << r.endToEnd.valueAtPercentile(50) << ','
             << r.endToEnd.valueAtPercentile(99) << ',' << r.endToEnd.valueAtPercentile(99.9) << ','
             << r.endToEnd.max() << ',' << r.inCallback.valueAtPercentile(50) << ','
             << r.inCallback.valueAtPercentile(99) << ',' << r.endToEnd.count() << '\n';
    }

    static std::string configCells(const Config& c) {
        return std::to_string(c.symbols) + " | " + (c.kind == Kind::Snapshot ? std::to_string(c.changed) : "5") + " | " +
               (c.churn ? "yes" : "no");
    }

    bool has(Kind kind, bool saturation) const {
        return std::any_of(rows_.begin(), rows_.end(), [&](const Row& row) {
            return row.config.kind == kind && (row.rateLabel == "saturation") == saturation;
        });
    }

    void printSaturation(Kind kind) const {
        if (!has(kind, true)) return;
        std::printf("\n### %s: saturation (feed thread flat out)\n\n", kindName(kind));
        std::printf("| symbols | changed | churn | plug-in updates/s | raw updates/s | plug-in ns/update | raw ns/update | ratio |\n");
        std::printf("|---:|---:|:--|---:|---:|---:|---:|---:|\n");
        for (const Row& row : rows_) {
            if (row.config.kind != kind || row.rateLabel != "saturation") continue;
            std::printf("| %s | %s | %s | %.0f | %.0f | %s |\n", configCells(row.config).c_str(),
                        count(row.plugin.delivered).c_str(), count(row.raw.delivered).c_str(),
                        1e9 / row.plugin.delivered, 1e9 / row.raw.delivered,
                        ratio(row.raw.delivered, row.plugin.delivered).c_str());
        }
    }

    void printLatency(Kind kind) const {
        if (!has(kind, false)) return;
        std::printf("\n### %s: latency from the feed's update to the consumer (us)\n\n", kindName(kind));
        std::printf("| symbols | changed | churn | rate/s | delivered/s | kept up | p50 | p99 | p99.9 | max | raw p50 | "
                    "raw p99 | raw p99.9 | raw max | p99 ratio | in-callback p99 plug-in / raw |\n");
        std::printf("|---:|---:|:--|---:|---:|:--|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (const Row& row : rows_) {
            if (row.config.kind != kind || row.rateLabel == "saturation") continue;
            const LatencyHistogram& p = row.plugin.recorder->endToEnd;
            const LatencyHistogram& r = row.raw.recorder->endToEnd;
            const std::string kept = std::string(row.plugin.keptUp ? "yes" : "NO") + (row.raw.keptUp ? "" : " (raw NO)");
            std::printf("| %s | %s%s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s / %s |\n",
                        configCells(row.config).c_str(), row.rateLabel == "max" ? "max " : "",
                        count(row.plugin.offered).c_str(), count(row.plugin.delivered).c_str(), kept.c_str(),
                        micros(p.valueAtPercentile(50)).c_str(), micros(p.valueAtPercentile(99)).c_str(),
                        micros(p.valueAtPercentile(99.9)).c_str(), micros(p.max()).c_str(),
                        micros(r.valueAtPercentile(50)).c_str(), micros(r.valueAtPercentile(99)).c_str(),
                        micros(r.valueAtPercentile(99.9)).c_str(), micros(r.max()).c_str(),
                        ratio(static_cast<double>(p.valueAtPercentile(99)), static_cast<double>(r.valueAtPercentile(99))).c_str(),
                        micros(row.plugin.recorder->inCallback.valueAtPercentile(99)).c_str(),
                        micros(row.raw.recorder->inCallback.valueAtPercentile(99)).c_str());
        }
    }

    std::ofstream csv_;
    std::vector<Row> rows_;
    int faults_ = 0;
};

// ---- Matrix ----------------------------------------------------------------------------

std::vector<Config> fullMatrix() {
    std::vector<Config> configs;
    for (Kind kind : {Kind::Snapshot, Kind::Bars}) {
        for (std::size_t symbols : {1, 100, 1000}) {
            for (int changed : {1, 10}) {
                if (kind == Kind::Bars && changed != 1) continue;
                for (bool churn : {false, true}) configs.push_back({kind, symbols, changed, churn});
            }
        }
    }
    return configs;
}

std::vector<Config> quickMatrix() {
    return {{Kind::Snapshot, 100, 10, false}, {Kind::Snapshot, 100, 10, true}, {Kind::Bars, 100, 1, true}};
}

void runConfig(Bench& bench, Report& report, const Config& config, const Durations& durations, bool quick) {
    Row saturation{config, "saturation", {}, {}};
    std::tie(saturation.raw, saturation.plugin) = bench.measurePair(config, 0, durations.saturation);
    const double maxRate = kMaxRateShare * saturation.plugin.delivered;
    report.add(std::move(saturation));
    std::vector<std::pair<std::string, double>> rates = {{"1k", 1000}, {"10k", 10000}};
    if (!quick) rates.push_back({"100k", 100000});
    rates.push_back({"max", maxRate});
    for (const auto& [label, rate] : rates) {
        const double duration = pacedSeconds(rate) * durations.scale;
        Row row{config, label, {}, {}};
        std::tie(row.raw, row.plugin) = bench.measurePair(config, rate, duration);
        report.add(std::move(row));
    }
}

// The percentiles of one cell, end to end and inside the feed's call.
void printLadder(const Row& row) {
    const double percentiles[] = {50, 90, 95, 98, 99, 99.5, 99.9, 99.99};
    std::printf("\n| us | samples |");
    for (double p : percentiles) std::printf(" p%g |", p);
    std::printf("\n|:--|---:|");
    for (std::size_t i = 0; i < std::size(percentiles); ++i) std::printf("---:|");
    std::printf("\n");
    const std::pair<const char*, const LatencyHistogram*> lines[] = {
        {"plug-in end to end", &row.plugin.recorder->endToEnd}, {"raw end to end", &row.raw.recorder->endToEnd},
        {"plug-in in the call", &row.plugin.recorder->inCallback}, {"raw in the call", &row.raw.recorder->inCallback},
        {"plug-in before the call", &row.plugin.recorder->beforeCall}, {"raw before the call", &row.raw.recorder->beforeCall}};
    for (const auto& [name, h] : lines) {
        std::printf("| %s | %s |", name, count(static_cast<double>(h->count())).c_str());
        for (double p : percentiles) std::printf(" %s |", micros(h->valueAtPercentile(p)).c_str());
        std::printf("\n");
    }
}

// One cell, raw and plug-in in turns, for a steadier figure than the matrix's.
// `cell`: kind (quotes or bars), symbols, changed, churn (0/1), rate, seconds.
int runCell(Bench& bench, const std::string& cell, const std::string& csvPath) {
    char kind[16] = "";
    std::size_t symbols = 0;
    int changed = 0, churn = 0;
    double rate = 0, duration = 0;
    if (std::sscanf(cell.c_str(), "%15[a-z],%zu,%d,%d,%lf,%lf", kind, &symbols, &changed, &churn, &rate, &duration) != 6 ||
        (std::string(kind) != "quotes" && std::string(kind) != "bars") || symbols < 1 || symbols > kMaxSymbols ||
        rate <= 0 || duration <= 0) {
        std::fprintf(stderr, "--cell wants quotes|bars,SYMBOLS(1-%zu),CHANGED,CHURN(0|1),RATE,SECONDS\n", kMaxSymbols);
        return 2;
    }
    const Config config{std::string(kind) == "quotes" ? Kind::Snapshot : Kind::Bars, symbols, changed, churn != 0};
    std::printf("load average before: %s\n", loadAverage().c_str());
    Report report(csvPath);
    Row row{config, "cell", {}, {}};
    std::tie(row.raw, row.plugin) = bench.measurePair(config, rate, duration);
    printLadder(row);
    std::printf("\nupdates the feed thread started behind schedule: plug-in %s, raw %s\n",
                count(static_cast<double>(row.plugin.run.lateStarts)).c_str(),
                count(static_cast<double>(row.raw.run.lateStarts)).c_str());
    report.add(std::move(row));
    report.print();
    std::printf("\nload average after: %s\n%d fault(s)\n", loadAverage().c_str(), report.faults());
    return report.faults() == 0 ? 0 : 1;
}

// Flat out on one configuration, for a profiler.
int profile(Bench& bench, Sink sink, double duration) {
    Measurement m = bench.measure({Kind::Snapshot, 100, 10, false}, sink, 0, duration);
    finish(m);
    std::printf("%s: %.0f updates/s over %.1f s\n", sinkName(sink), m.delivered, seconds(m.run.elapsed));
    return m.faults.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"End-to-end latency and throughput of the plug-in against a raw sink"};
    bool quick = false;
    std::string csvPath;
    double profileSeconds = 0;
    std::string profileSink = "plugin";
    bool fifo = false;
    app.add_flag("--fifo", fifo, "paced runs' feed thread at real-time priority (SCHED_FIFO 1), out of other work's way");
    app.add_flag("--quick", quick, "a short run of a few configurations (CI)");
    app.add_option("--csv", csvPath, "also write every measurement to this CSV file");
    std::string cell;
    app.add_option("--cell", cell, "only this cell: quotes|bars,SYMBOLS,CHANGED,CHURN(0|1),RATE,SECONDS");
    app.add_option("--profile", profileSeconds, "only run the plug-in flat out on 100 symbols, 10 changed, this long");
    app.add_option("--profile-sink", profileSink, "plugin or raw, with --profile")->check(CLI::IsMember({"plugin", "raw"}));
    CLI11_PARSE(app, argc, argv);

    silenceAceDebug();  // the host's normal setting
    Bench bench(fifo);
    if (!cell.empty()) return runCell(bench, cell, csvPath);
    if (profileSeconds > 0) return profile(bench, profileSink == "raw" ? Sink::Raw : Sink::Plugin, profileSeconds);

    const Durations durations = quick ? Durations{0.05, 0.05} : Durations{0.25, 1.0};
    std::printf("load average before: %s\n", loadAverage().c_str());
    Report report(csvPath);
    const Nanos start = nowNanos();
    for (const Config& config : quick ? quickMatrix() : fullMatrix()) runConfig(bench, report, config, durations, quick);
    report.print();
    std::printf("\nload average after: %s; %.0f s\n", loadAverage().c_str(), seconds(nowNanos() - start));
    std::printf("%d fault(s)\n", report.faults());
    return report.faults() == 0 ? 0 : 1;
}
