// The fan-out soak: a 3-node NATS cluster, one gateway on the stand-in and ten
// client hosts (tellivar-soak-client, each the plug-in on the NATS feed client)
// on 100 symbols, while a node, the gateway or a client is killed (SIGKILL)
// and restarted at random intervals. At the end:
// - every value every client was told is the feed's (each client checks its
//   own with the stand-in's market recomputed: soak_oracle.h);
// - no client was silent for longer than the failover allowance outside the
//   windows the kills explain (from a kill to the restart plus the allowance);
// - the gateway's and the clients' resident memory stays flat;
// and the counts are printed.
//
// Environment:
//   TELLIVAR_FANOUT_SOAK_SECONDS   length of the kill phase (default 60)
//   TELLIVAR_FANOUT_SOAK_KILL_EVERY  "MIN-MAX" seconds between kills (default 5-15)
//   TELLIVAR_FANOUT_SOAK_KEEP      non-empty: keep the logs (else kept only on failure)
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "nats/nats_support.h"

namespace {

constexpr int kClients = 10;
constexpr int kSymbols = 100;
constexpr int kStreamsPerClient = 10;
// How long a client may go without an update after a failure: the gateway's
// silence is noticed after its missed heartbeats (about 3.5 s), then the client
// logs on again and asks for its images.
constexpr std::int64_t kFailoverMs = 6000;
// From a kill to the restart, at random: a gateway back within the clients'
// heartbeat timeout is followed without a log-off, a later one after one.
constexpr double kMinDownSeconds = 0.5, kMaxDownSeconds = 5.0;
// Memory: an incarnation's growth after its first kWarmUpMs may be at most
// kGrowthSlackKb plus a quarter of what it held then.
constexpr std::int64_t kWarmUpMs = 10000;
constexpr long kGrowthSlackKb = 16 * 1024;

std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double envNumber(const char* name, double fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atof(v) : fallback;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// One run of one program, with its memory over time.
struct Incarnation {
    std::string who;
    std::int64_t startMs = 0, endMs = 0;
    std::vector<std::pair<std::int64_t, long>> rss;  // (ms, kB)
};

struct Kill {
    std::string kind;  // "node", "gateway", "client"
    int target = 0;
    std::int64_t killMs = 0, restartMs = 0;
};

// What one client's log says, summed over its processes.
struct ClientLog {
    long quotes = 0, bars = 0, images = 0, relogons = 0, mismatches = 0, busLost = 0, gatewayLost = 0;
    long staleAtEnd = 0;  // consumers of the last process told nothing lately when it stopped
    std::int64_t maxLagMs = 0;
    // The client's silences (each process's last included), and its consumers'.
    std::vector<std::pair<std::int64_t, std::int64_t>> gaps, setGaps;
    std::vector<std::string> mismatchLines, errors;
};

long field(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(" " + name + "=");
    return at == std::string::npos ? 0 : std::atol(line.c_str() + at + name.size() + 2);
}

ClientLog readClientLog(const std::string& path, std::int64_t endMs) {
    ClientLog log;
    std::ifstream in(path);
    std::string last;  // the last counts line of the current process
    std::int64_t started = 0, lastNotified = 0;
    auto closeProcess = [&](std::int64_t until) {
        // A process never told anything was silent all its life.
        if (started != 0) log.gaps.emplace_back(lastNotified != 0 ? lastNotified : started, until);
        started = 0;
        if (last.empty()) return;
        log.quotes += field(last, "quotes");
        log.bars += field(last, "bars");
        log.images += field(last, "images");
        log.relogons += field(last, "relogons");
        log.staleAtEnd = field(last, "stale");
        log.mismatches += field(last, "mismatches");
        log.busLost += field(last, "busLost");
        log.gatewayLost += field(last, "gatewayLost");
        log.maxLagMs = std::max<std::int64_t>(log.maxLagMs, field(last, "maxLagMs"));
        last.clear();
        lastNotified = 0;
    };
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind;
        std::int64_t a = 0, b = 0;
        words >> kind >> a;
        if (kind == "start") {
            closeProcess(a);
            started = a;
        }
        if (kind == "counts") {
            last = line;
            if (field(line, "lastMs") != 0) lastNotified = field(line, "lastMs");
        }
        if (kind == "gap" && words >> b) log.gaps.emplace_back(a, b);
        if (kind == "setgap" && words >> b) log.setGaps.emplace_back(a, b);
        if (kind == "mismatch") log.mismatchLines.push_back(line);
        if (kind == "error") log.errors.push_back(line);
    }
    closeProcess(endMs);
    return log;
}

// The longest part of [from, to] outside every window.
std::int64_t longestUncovered(std::int64_t from, std::int64_t to,
                              std::vector<std::pair<std::int64_t, std::int64_t>> windows) {
    std::sort(windows.begin(), windows.end());
    std::int64_t longest = 0, cursor = from;
    for (const auto& [a, b] : windows) {
        if (b <= cursor) continue;
        if (a >= to) break;
        longest = std::max(longest, std::min(a, to) - cursor);
        cursor = std::max(cursor, b);
    }
    return std::max(longest, to - cursor);
}

std::int64_t median(std::vector<std::int64_t> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class Soak {
public:
    explicit Soak(const std::string& dir) : dir_(dir), cluster_(dir + "/cluster") {}

    bool start() {
        if (!cluster_.ready()) return false;
        startGateway();
        clients_.reserve(kClients);
        for (int i = 0; i < kClients; ++i) {
            clients_.emplace_back();
            startClient(i);
        }
        return gateway_.running();
    }

    void startGateway() {
        gateway_.start({TELLIVAR_GATEWAY_PATH, "--nats", cluster_.urls()}, {"SIMFEED_MARKET=24x7"},
                       dir_ + "/gateway.log");
        incarnations_.push_back({"gateway", wallMs(), 0, {}});
        gatewayIncarnation_ = incarnations_.size() - 1;
    }
    void startClient(int i) {
        clients_[static_cast<std::size_t>(i)].start(
            {TELLIVAR_SOAK_CLIENT_PATH, "--log", clientLog(i), "--symbols", std::to_string(kSymbols),
             "--streams-from", std::to_string(i * kStreamsPerClient), "--streams", std::to_string(kStreamsPerClient),
             "--market-24x7"},
            {"TELLIVAR_NATS_URL=" + cluster_.urls()}, dir_ + "/client" + std::to_string(i) + ".out");
        incarnations_.push_back({"client" + std::to_string(i), wallMs(), 0, {}});
        clientIncarnation_[i] = incarnations_.size() - 1;
    }
    std::string clientLog(int i) const { return dir_ + "/client" + std::to_string(i) + ".log"; }

    // Kills `kind`'s target, waits `downSeconds`, restarts it.
    Kill killAndRestart(const std::string& kind, int target, double downSeconds) {
        Kill k{kind, target, wallMs(), 0};
        if (kind == "node") {
            cluster_.node(static_cast<std::size_t>(target)).kill();
        } else if (kind == "gateway") {
            gateway_.kill();
            incarnations_[gatewayIncarnation_].endMs = k.killMs;
        } else {
            clients_[static_cast<std::size_t>(target)].kill();
            incarnations_[clientIncarnation_[target]].endMs = k.killMs;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(downSeconds));
        k.restartMs = wallMs();
        if (kind == "node") restarted_ = cluster_.node(static_cast<std::size_t>(target)).start() && restarted_;
        if (kind == "gateway") startGateway();
        if (kind == "client") startClient(target);
        return k;
    }

    void sampleMemory() {
        const std::int64_t now = wallMs();
        if (gateway_.running()) incarnations_[gatewayIncarnation_].rss.emplace_back(now, residentKb(gateway_.pid()));
        for (int i = 0; i < kClients; ++i) {
            ChildProcess& c = clients_[static_cast<std::size_t>(i)];
            if (c.running()) incarnations_[clientIncarnation_[i]].rss.emplace_back(now, residentKb(c.pid()));
        }
    }

    // Clients first, so that their last counts are written with the feed up;
    // all told at once, as each takes up to a second to notice.
    void stop() {
        const std::int64_t now = wallMs();
        for (ChildProcess& client : clients_) client.signal(SIGTERM);
        for (int i = 0; i < kClients; ++i) {
            clientsExited_ = clients_[static_cast<std::size_t>(i)].terminate() && clientsExited_;
            incarnations_[clientIncarnation_[i]].endMs = now;
        }
        gatewayExited_ = gateway_.terminate();
        incarnations_[gatewayIncarnation_].endMs = now;
    }

    bool restarted_ = true, clientsExited_ = true, gatewayExited_ = true;
    std::vector<Incarnation> incarnations_;

private:
    std::string dir_;
    NatsCluster cluster_;
    ChildProcess gateway_;
    std::vector<ChildProcess> clients_;
    std::size_t gatewayIncarnation_ = 0;
    std::map<int, std::size_t> clientIncarnation_;
};

TEST(FanoutSoak, ShouldTellEveryClientTheFeedsValuesThroughKillsAndRestarts) {
    SKIP_WITHOUT_NATS_SERVER();
    const double seconds = envNumber("TELLIVAR_FANOUT_SOAK_SECONDS", 60);
    double minEvery = 5, maxEvery = 15;
    if (const char* every = std::getenv("TELLIVAR_FANOUT_SOAK_KILL_EVERY"))
        std::sscanf(every, "%lf-%lf", &minEvery, &maxEvery);
    maxEvery = std::max(minEvery, maxEvery);
    char dirTemplate[] = "fanout-soak.XXXXXX";  // in the build tree: other tools may clear /tmp
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = std::filesystem::absolute(dirTemplate).string();

    std::vector<Kill> kills;
    std::int64_t phaseStart = 0, endMs = 0;
    Soak soak(dir);
    {
        ASSERT_TRUE(soak.start()) << "logs in " << dir;
        std::mt19937 random(std::random_device{}());
        // Every kind in turn, in a shuffled order each round, so that a short
        // run still sees each; the target of a kind at random.
        std::vector<std::string> kinds;
        phaseStart = wallMs();
        const auto phaseEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        // The last kill leaves time for its restart and recovery inside the phase.
        const auto lastKill = phaseEnd - std::chrono::duration<double>(kMaxDownSeconds + kFailoverMs / 1000.0);
        auto nextKill = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(std::uniform_real_distribution<>(minEvery, maxEvery)(random));
        auto nextSample = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < phaseEnd) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextSample) {
                soak.sampleMemory();
                nextSample = now + std::chrono::seconds(1);
            }
            if (now >= nextKill && now < lastKill) {
                if (kinds.empty()) {
                    kinds = {"node", "gateway", "client"};
                    std::shuffle(kinds.begin(), kinds.end(), random);
                }
                const std::string kind = kinds.back();
                kinds.pop_back();
                const int target = kind == "node" ? std::uniform_int_distribution<>(0, 2)(random)
                                   : kind == "client" ? std::uniform_int_distribution<>(0, kClients - 1)(random)
                                                      : 0;
                const double down = std::uniform_real_distribution<>(kMinDownSeconds, kMaxDownSeconds)(random);
                kills.push_back(soak.killAndRestart(kind, target, down));
                nextKill = std::chrono::steady_clock::now() +
                           std::chrono::duration<double>(std::uniform_real_distribution<>(minEvery, maxEvery)(random));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        soak.sampleMemory();
        endMs = wallMs();
        soak.stop();
    }

    // ---- Values and silences, client by client ----
    ClientLog total;
    long silences = 0;
    std::int64_t longestSilence = 0;
    std::map<std::string, std::vector<std::int64_t>> recoveries;  // by kind: ms from the kill (node) or restart
    for (int i = 0; i < kClients; ++i) {
        const ClientLog log = readClientLog(soak.clientLog(i), endMs);
        std::vector<std::pair<std::int64_t, std::int64_t>> windows;
        for (const Kill& k : kills)
            if (k.kind != "client" || k.target == i) windows.emplace_back(k.killMs, k.restartMs + kFailoverMs);
        std::vector<std::pair<std::int64_t, std::int64_t>> gaps = log.gaps;
        gaps.insert(gaps.end(), log.setGaps.begin(), log.setGaps.end());
        for (const auto& [from, to] : gaps) {
            // Silences before the first update and after the end are not the soak's.
            const std::int64_t a = std::max(from, phaseStart), b = std::min(to, endMs);
            if (b <= a) continue;
            const std::int64_t uncovered = longestUncovered(a, b, windows);
            longestSilence = std::max(longestSilence, uncovered);
            if (uncovered > kFailoverMs) {
                ++silences;
                ADD_FAILURE() << "client" << i << " silent from " << from << " to " << to << " ms";
            }
        }
        // A kill's gap: the first to begin within 2 s of it (messages on their
        // way still arrive after a kill) and to end after it.
        for (const Kill& k : kills) {
            if (k.kind == "client") continue;
            for (const auto& [from, to] : log.gaps) {
                if (from < k.killMs - 1000 || from > k.killMs + 2000 || to <= k.killMs) continue;
                recoveries[k.kind].push_back(to - (k.kind == "gateway" ? k.restartMs : k.killMs));
                break;
            }
        }
        for (const std::string& line : log.mismatchLines) ADD_FAILURE() << "client" << i << ": " << line;
        for (const std::string& line : log.errors) ADD_FAILURE() << "client" << i << ": " << line;
        EXPECT_EQ(log.staleAtEnd, 0) << "client" << i << ": consumers not told anything lately at the end";
        EXPECT_GT(log.quotes, 0) << "client" << i;
        EXPECT_GT(log.bars, 0) << "client" << i;
        total.quotes += log.quotes;
        total.bars += log.bars;
        total.images += log.images;
        total.relogons += log.relogons;
        total.mismatches += log.mismatches;
        total.busLost += log.busLost;
        total.gatewayLost += log.gatewayLost;
        total.maxLagMs = std::max(total.maxLagMs, log.maxLagMs);
    }

    // ---- Memory ----
    std::map<std::string, long> kills_by_kind;
    for (const Kill& k : kills) ++kills_by_kind[k.kind];
    std::printf("fan-out soak: %.0f s, %d clients, %d symbols, kills every %g-%g s, logs in %s\n", seconds, kClients,
                kSymbols, minEvery, maxEvery, dir.c_str());
    long worstGrowthKb = 0;
    std::string worstGrowthWho;
    for (const Incarnation& inc : soak.incarnations_) {
        const auto warm = std::find_if(inc.rss.begin(), inc.rss.end(),
                                       [&](const auto& s) { return s.first >= inc.startMs + kWarmUpMs; });
        if (warm == inc.rss.end() || warm == inc.rss.end() - 1) continue;
        const long peak = std::max_element(warm, inc.rss.end(), [](auto& a, auto& b) { return a.second < b.second; })
                              ->second;
        const long growth = peak - warm->second;
        if (growth > worstGrowthKb) {
            worstGrowthKb = growth;
            worstGrowthWho = inc.who;
        }
        if (inc.who == "gateway")
            std::printf("  gateway run of %" PRId64 " s: RSS %ld kB after warm-up, peak %ld kB, last %ld kB\n",
                        (inc.rss.back().first - inc.startMs) / 1000, warm->second, peak, inc.rss.back().second);
        EXPECT_LE(growth, kGrowthSlackKb + warm->second / 4) << inc.who << " grew from " << warm->second << " kB";
    }
    long clientFirst = 0, clientLast = 0, clientRuns = 0;
    for (const Incarnation& inc : soak.incarnations_) {
        if (inc.who == "gateway" || inc.rss.size() < 2) continue;
        clientFirst = std::max(clientFirst, inc.rss.front().second);
        clientLast = std::max(clientLast, inc.rss.back().second);
        ++clientRuns;
    }
    std::printf("  client runs: %ld; largest RSS at first sample %ld kB, at last sample %ld kB\n", clientRuns,
                clientFirst, clientLast);
    std::printf("  largest growth after warm-up: %ld kB (%s)\n", worstGrowthKb, worstGrowthWho.c_str());
    std::printf("  kills: %zu (nodes %ld, gateway %ld, clients %ld):", kills.size(), kills_by_kind["node"],
                kills_by_kind["gateway"], kills_by_kind["client"]);
    for (const Kill& k : kills)
        std::printf(" %s%s at %.1f s", k.kind.c_str(), k.kind == "gateway" ? "" : std::to_string(k.target).c_str(),
                    static_cast<double>(k.killMs - phaseStart) / 1000.0);
    std::printf("\n");
    std::printf("  updates checked: %ld (quotes %ld, bars %ld)\n", total.quotes + total.bars, total.quotes,
                total.bars);
    std::printf("  failovers (a client lost its bus connection and reconnected): %ld\n", total.busLost);
    std::printf("  gateway losses seen by clients: %ld\n", total.gatewayLost);
    std::printf("  clients' logons after the first: %ld; images after them: %ld\n", total.relogons, total.images);
    std::printf("  mismatches: %ld\n", total.mismatches);
    std::printf("  silences over %" PRId64 " ms outside failures: %ld (longest uncovered %" PRId64 " ms)\n",
                kFailoverMs, silences, longestSilence);
    for (const auto& [kind, ms] : recoveries)
        std::printf("  first update after a %s kill (%s), where a client paused over 0.5 s: median %" PRId64
                    " ms, max %" PRId64 " ms over %zu\n",
                    kind.c_str(), kind == "gateway" ? "from its restart" : "from the kill", median(ms),
                    ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()), ms.size());
    std::printf("  largest lag of a quote behind its trade time: %" PRId64 " ms\n", total.maxLagMs);
    std::fflush(stdout);

    EXPECT_EQ(total.mismatches, 0);
    EXPECT_EQ(silences, 0);
    EXPECT_TRUE(soak.restarted_) << "a node did not restart";
    EXPECT_TRUE(soak.clientsExited_) << "a client did not stop cleanly on SIGTERM";
    EXPECT_TRUE(soak.gatewayExited_) << "the gateway did not stop cleanly on SIGTERM";
    // Each logon after the first brings an image to every consumer (two
    // logons in a row may share one).
    EXPECT_GE(total.images, total.relogons * (kSymbols + kStreamsPerClient) / 2);
    if (!HasFailure() && std::getenv("TELLIVAR_FANOUT_SOAK_KEEP") == nullptr) std::filesystem::remove_all(dir);
}

}  // namespace
