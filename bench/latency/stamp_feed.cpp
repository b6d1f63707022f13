// The latency runs' driver feed as a feed client library, for a process that
// loads its feed by path (tellivar-gateway --feed-library): the same sets,
// stamps and per-symbol update counts as in tellivar-latency, so that a
// consumer in another process on this machine can tell how long after the
// feed had an update it was told of it (the steady clock is one clock for
// every process of a Linux machine), and whether an update was lost.
//
// What it runs comes from the environment, read at Connect:
//   TELLIVAR_STAMP_PLAN=quotes|bars,SYMBOLS,RATE[,CHANGED]
// updates per second over symbols S0..S(SYMBOLS-1) in turn, each to every
// live set of its symbol (a symbol nobody subscribed to is skipped, its count
// still moves on); CHANGED quote fields per update (default 10).
//
// Threads: Connect starts the feed thread, which asks for the credentials
// (onSendCredentials), reports the logon and readiness once SendLogon has been
// called, then runs the plan until Disconnect or Shutdown; Shutdown joins it,
// so no sink runs after it returns. Sets follow DriverFeed's rules.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "driver_feed.h"

namespace {

using namespace latency;

constexpr std::size_t kMaxSymbols = 1000;

struct Plan {
    RunPlan run;
    bool valid = false;
};

Plan readPlan() {
    Plan plan;
    const char* text = std::getenv("TELLIVAR_STAMP_PLAN");
    char kind[16] = {};
    std::size_t symbols = 0;
    double rate = 0;
    int changed = kQuotedFields;
    if (text == nullptr || std::sscanf(text, "%15[a-z],%zu,%lf,%d", kind, &symbols, &rate, &changed) < 3) return plan;
    const std::string kindText = kind;
    if ((kindText != "quotes" && kindText != "bars") || symbols < 1 || symbols > kMaxSymbols || rate <= 0) return plan;
    plan.run.kind = kindText == "quotes" ? Kind::Snapshot : Kind::Bars;
    plan.run.symbols = symbols;
    plan.run.rate = rate;
    plan.run.changed = changed;
    plan.run.duration = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::hours(24)).count();
    // Behind schedule it runs flat out until it catches up (the stamps keep
    // the due times, so the lag shows as latency); it never gives up.
    plan.run.giveUpLag = std::numeric_limits<Nanos>::max();
    plan.run.spinBelow = 0;              // the process's CPU time is the gateway's work, not a spinning feed
    plan.valid = true;
    return plan;
}

class StampFeed final : public TellivarClient {
public:
    ~StampFeed() override { Shutdown(); }

    bool Connect(EConnectStatus* status) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (status == nullptr || thread_.joinable()) return false;
        plan_ = readPlan();
        if (!plan_.valid) {
            std::fprintf(stderr, "stamp feed: TELLIVAR_STAMP_PLAN wants quotes|bars,SYMBOLS(1-%zu),RATE[,CHANGED]\n",
                         kMaxSymbols);
            return false;
        }
        stop_ = false;
        thread_ = std::thread([this, status] { feedThread(status); });
        return true;
    }
    void SendLogon(const char*, const char*) override { loggedOn_ = true; }
    void Disconnect() override { stop_ = true; }
    void Shutdown() override {
        stop_ = true;
        std::lock_guard<std::mutex> guard(lock_);
        if (thread_.joinable()) thread_.join();
    }

    SnapshotSet* CreateSnapshotSet(const char* symbol) override { return feed_.CreateSnapshotSet(symbol); }
    TRecordSet* CreateTRecordSet(const char* query) override { return feed_.CreateTRecordSet(query); }
    void DeleteSnapshotSet(SnapshotSet* set) override { feed_.DeleteSnapshotSet(set); }
    void DeleteTRecordSet(TRecordSet* set) override { feed_.DeleteTRecordSet(set); }
    FeedTime MakeTime(int year, int month, int day, int hour, int minute, int second) override {
        return feed_.MakeTime(year, month, day, hour, minute, second);
    }
    void GetYMD(FeedTime time, int* year, int* month, int* day) override { feed_.GetYMD(time, year, month, day); }
    void GetHMS(FeedTime time, int* hour, int* minute, int* second) override { feed_.GetHMS(time, hour, minute, second); }

private:
    void feedThread(EConnectStatus* status) {
        status->onSendCredentials(0, 0);
        while (!loggedOn_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (stop_) return;
        status->onLogon(1);
        status->onReady();
        RunPlan run = plan_.run;
        run.stop = &stop_;
        const RunResult result = feed_.run(run);
        if (result.gaveUp) {
            std::fprintf(stderr, "stamp feed: gave up %.1f s behind schedule after %llu updates\n",
                         static_cast<double>(result.lagAtEnd) / 1e9, static_cast<unsigned long long>(result.updates));
        }
    }

    DriverFeed feed_{kMaxSymbols};
    std::mutex lock_;  // Connect and Shutdown
    Plan plan_;        // lock_, then read by the feed thread it starts
    std::atomic<bool> loggedOn_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;  // lock_
};

StampFeed theFeed;

}  // namespace

__attribute__((visibility("default"))) TellivarClient* pTellivarClient = &theFeed;
