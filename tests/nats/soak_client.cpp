// tellivar-soak-client: one host of the fan-out soak. Loads the NATS feed
// client and then the plug-in (which binds to it), subscribes live quotes of
// every symbol and minute update streams of some, and checks every value each
// consumer is told against the stand-in's market, recomputed here
// (soak_oracle.h). Runs until SIGTERM or SIGINT, or until killed.
//
// It appends to its log file (one process after another may share it):
//   start <ms>                          at start
//   online <ms> 0|1                     at each change of the provider's online flag
//   gap <from ms> <to ms>               a notification after more than 0.5 s without any
//   setgap <from ms> <to ms> <symbol>   one consumer's notification after more than 2 s
//   mismatch <ms> <symbol> quote|bar <what disagrees>    (the first 20)
//   counts <ms> quotes=N bars=N images=N relogons=N mismatches=N busLost=N gatewayLost=N maxLagMs=N
//          lastMs=T stale=N             every second and at the end (lastMs: the last notification;
//                                       stale: consumers told nothing for 5 s, or since the last logon)
// Times are wall-clock milliseconds since 1970, so that the driver can lay
// them beside its own kills.
#include <ace/Log_Msg.h>
#include <dlfcn.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nats/soak_oracle.h"
#include "support/host_fakes.h"

namespace {

std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t secondsOf(const data::CalendarRecord& t) {
    return soak::feedSecondsOf(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

// The log file: lines written whole, from any thread.
class Log {
public:
    explicit Log(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}
    ~Log() {
        if (file_ != nullptr) std::fclose(file_);
    }
    bool ok() const { return file_ != nullptr; }
    template <class... Args>
    void line(const char* format, Args... args) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(file_, format, args...);
        std::fputc('\n', file_);
        std::fflush(file_);  // a killed process keeps what it wrote
    }

private:
    std::mutex mutex_;
    std::FILE* file_;
};

// Trades come in rounds 0.25 s apart: a longer pause at the client is news.
constexpr std::int64_t kGapMs = 500;
constexpr std::int64_t kSetGapMs = 2000;
// The quietest symbol trades about once a second; 5 s leaves room for a busy machine.
constexpr std::int64_t kStaleMs = 5000;
constexpr int kMismatchLines = 20;

// Counters and checks shared by every consumer. Consumers run on the feed
// client's one callback thread, so the oracle needs no lock; the counters are
// read by the reporting thread.
struct Checks {
    explicit Checks(Log& log, bool alwaysOpen) : log(log), oracle(alwaysOpen) {}

    // Feed thread: one notification seen at `now`.
    void onNotified(std::int64_t now) {
        const std::int64_t previous = lastNotified.exchange(now);
        if (previous != 0 && now - previous > kGapMs) log.line("gap %" PRId64 " %" PRId64, previous, now);
    }
    void onMismatch(const std::string& symbol, const char* kind, const std::vector<std::string>& wrong) {
        if (mismatches.fetch_add(1) >= kMismatchLines) return;
        std::string text;
        for (const std::string& w : wrong) text += (text.empty() ? "" : "; ") + w;
        log.line("mismatch %" PRId64 " %s %s %s", wallMs(), symbol.c_str(), kind, text.c_str());
    }
    void onLag(std::int64_t lagMs) {
        if (lagMs > maxLagMs.load()) maxLagMs.store(lagMs);
    }
    // Any thread; `stale`: consumers silent for kStaleMs or since the last logon.
    void report(long stale) {
        const long relogons = std::max(0L, logons.load() - 1);
        log.line("counts %" PRId64 " quotes=%ld bars=%ld images=%ld relogons=%ld mismatches=%ld busLost=%ld "
                 "gatewayLost=%ld maxLagMs=%" PRId64 " lastMs=%" PRId64 " stale=%ld",
                 wallMs(), quotes.load(), bars.load(), images.load(), relogons, mismatches.load(), busLost.load(),
                 gatewayLost.load(), maxLagMs.load(), lastNotified.load(), stale);
    }

    Log& log;
    soak::Oracle oracle;  // feed thread
    std::atomic<std::int64_t> lastNotified{0};
    std::atomic<long> quotes{0}, bars{0}, images{0}, mismatches{0}, busLost{0}, gatewayLost{0};
    std::atomic<std::int64_t> maxLagMs{0};
    // Raised at every logon after the first; each consumer's next
    // notification is then the full image it asked for.
    std::atomic<long> logons{0};
};

// A consumer that knows which logon its last notification followed.
class CheckingConsumer : public data::TickConsumer {
public:
    CheckingConsumer(Checks& checks, std::string symbol) : checks(checks), symbol(std::move(symbol)) {}

    // Any thread: told nothing for kStaleMs, or nothing since the last logon.
    bool stale(std::int64_t now) const {
        return now - lastNotified.load() > kStaleMs || seenLogons.load() != checks.logons.load();
    }

protected:
    // Feed thread, at each notification: logs this consumer's silence, and
    // counts the first notification after a re-logon as an image.
    void onNotified(std::int64_t now) {
        checks.onNotified(now);
        const std::int64_t previous = lastNotified.exchange(now);
        if (previous != 0 && now - previous > kSetGapMs)
            checks.log.line("setgap %" PRId64 " %" PRId64 " %s", previous, now, symbol.c_str());
        const long logons = checks.logons.load();
        if (logons != seenLogons.load()) {
            if (logons > 1 && seenLogons.load() != 0) checks.images.fetch_add(1);
            seenLogons.store(logons);
        }
    }

    Checks& checks;
    const std::string symbol;
    std::atomic<long> seenLogons{0};           // written on the feed thread
    std::atomic<std::int64_t> lastNotified{0};  // written on the feed thread
};

class QuoteChecker : public CheckingConsumer {
public:
    using CheckingConsumer::CheckingConsumer;
    void ticksChanged(data::TickSupplier* supplier) override {
        const std::int64_t now = wallMs();
        onNotified(now);
        soak::QuoteRead read;
        read.tradeTime = secondsOf(*supplier->getTime());
        for (const std::string& name : soak::quoteFieldNames())
            if (supplier->hasValue(name.c_str())) read.values[name] = supplier->getValue(name.c_str());
        const std::vector<std::string> wrong = checks.oracle.checkQuote(symbol, read);
        if (!wrong.empty()) checks.onMismatch(symbol, "quote", wrong);
        checks.quotes.fetch_add(1);
        checks.onLag(now - read.tradeTime * 1000);
    }
};

class BarChecker : public CheckingConsumer {
public:
    using CheckingConsumer::CheckingConsumer;
    void ticksChanged(data::TickSupplier* supplier) override {
        const std::int64_t now = wallMs();
        onNotified(now);
        const BarRead seen = readBar(supplier);
        soak::BarRead bar{secondsOf(seen.time), seen.open, seen.high, seen.low, seen.close, seen.volume};
        // The stand-in's clock is the wall clock; 2 s for the two clocks' skew.
        const std::vector<std::string> wrong = checks.oracle.checkBar(symbol, 60, now / 1000 + 2, bar);
        if (!wrong.empty()) checks.onMismatch(symbol, "bar", wrong);
        checks.bars.fetch_add(1);
    }
};

// Counts the feed's messages that say the bus or the gateway went away.
class CountingLogger : public data::HostLogger {
public:
    explicit CountingLogger(Checks& checks) : checks(checks) {}
    void status(const char*, int) override {}
    void error(const char*, const char*) override {}
    void info(const char* format, const char*) override {
        if (format == nullptr) return;
        if (std::strstr(format, "Lost the connection to the message bus") != nullptr) checks.busLost.fetch_add(1);
        if (std::strstr(format, "The gateway stopped sending its heartbeat") != nullptr ||
            std::strstr(format, "The gateway's feed is down") != nullptr)
            checks.gatewayLost.fetch_add(1);
    }
    Checks& checks;
};

class Context : public data::RequestContext {
public:
    explicit Context(Checks& checks) : logger_(checks) {}
    data::HostLogger* logger() override { return &logger_; }

private:
    CountingLogger logger_;
};

class OnlineListener : public data::AbilityListener {
public:
    explicit OnlineListener(Checks& checks) : checks(checks) {}
    void abilityChanged(const char*, data::ProviderAbility* ability) override {
        const bool online = ability->isOnline();
        if (online == wasOnline) return;
        wasOnline = online;
        if (online) checks.logons.fetch_add(1);
        checks.log.line("online %" PRId64 " %d", wallMs(), online ? 1 : 0);
    }
    Checks& checks;
    bool wasOnline = false;
};

std::atomic<bool> stopRequested{false};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"One host of the fan-out soak: checks every value its consumers are told"};
    std::string logPath;
    int symbols = 100, streamsFrom = 0, streams = 10;
    bool alwaysOpen = false;
    app.add_option("--log", logPath, "the log file to append to")->required();
    app.add_option("--symbols", symbols, "live quotes of SK000 .. SK<n-1>");
    app.add_option("--streams-from", streamsFrom, "the first symbol with a minute update stream");
    app.add_option("--streams", streams, "how many symbols, from --streams-from on, have one");
    app.add_flag("--market-24x7", alwaysOpen, "the stand-in's market trades every day");
    CLI11_PARSE(app, argc, argv);

    Log log(logPath);
    if (!log.ok()) {
        std::fprintf(stderr, "tellivar-soak-client: cannot open %s\n", logPath.c_str());
        return 2;
    }
    log.line("start %" PRId64, wallMs());
    // Privately, first: the plug-in then binds to this library by its name.
    if (dlopen(TELLIVAR_NATS_CLIENT_PATH, RTLD_NOW | RTLD_LOCAL) == nullptr) {
        std::fprintf(stderr, "tellivar-soak-client: %s\n", dlerror());
        return 2;
    }
    LoadedPlugin plugin(TELLIVAR_PLUGIN_PATH);
    if (plugin.init == nullptr) {
        std::fprintf(stderr, "tellivar-soak-client: no plug-in: %s\n", dlerror());
        return 2;
    }
    signal(SIGTERM, [](int) { stopRequested = true; });
    signal(SIGINT, [](int) { stopRequested = true; });

    // As a host runs: the plug-in's debug records masked.
    ACE_Log_Msg* aceLog = ACE_Log_Msg::instance();
    aceLog->priority_mask(aceLog->priority_mask(ACE_Log_Msg::PROCESS) & ~LM_DEBUG, ACE_Log_Msg::PROCESS);

    Checks checks(log, alwaysOpen);
    Context context(checks);
    OnlineListener listener(checks);
    data::DataInterfaceFactory* factory = plugin.init();
    factory->setSetting("Username", "");
    factory->setSetting("Password", "");
    factory->ability()->addListener(&listener);
    factory->connectionControl(&context, true);
    data::DataInterface* iface = factory->createDataInterface(&context);

    std::vector<std::unique_ptr<CheckingConsumer>> consumers;
    std::vector<std::unique_ptr<data::TickSupplier>> suppliers;
    std::vector<std::unique_ptr<FakeRequest>> requests;
    char name[16];
    for (int i = 0; i < symbols; ++i) {
        std::snprintf(name, sizeof name, "SK%03d", i);
        auto request = std::make_unique<FakeRequest>(name);
        for (const std::string& field : soak::quoteFieldNames()) request->names.names.push_back(field);
        consumers.push_back(std::make_unique<QuoteChecker>(checks, name));
        suppliers.emplace_back(iface->createTickSupplier(request.get(), consumers.back().get(), &context));
        requests.push_back(std::move(request));
    }
    for (int i = streamsFrom; i < streamsFrom + streams; ++i) {
        std::snprintf(name, sizeof name, "SK%03d", i % symbols);
        auto request = std::make_unique<FakeRequest>(name);
        request->type = 1;  // minute bars
        request->number = 1;
        consumers.push_back(std::make_unique<BarChecker>(checks, name));
        suppliers.emplace_back(iface->createUpdateSupplier(request.get(), consumers.back().get(), &context));
        requests.push_back(std::move(request));
    }
    for (const auto& supplier : suppliers)
        if (!supplier) log.line("error %" PRId64 " a supplier was not created", wallMs());

    auto stale = [&consumers] {
        const std::int64_t now = wallMs();
        return static_cast<long>(std::count_if(consumers.begin(), consumers.end(),
                                               [now](const auto& c) { return c->stale(now); }));
    };
    // Wakes every 100 ms to stop soon after SIGTERM; reports every second.
    for (int tick = 1; !stopRequested; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (tick % 10 == 0) checks.report(stale());
    }
    checks.report(stale());  // before the suppliers go
    suppliers.clear();
    delete iface;
    factory->ability()->removeListener(&listener);
    factory->release();
    return 0;
}
