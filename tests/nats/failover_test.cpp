// Whole processes failing: nats-server nodes, gateways and hosts, each a real
// process (tellivar-host on the plug-in and the NATS feed client,
// tellivar-gateway on the stand-in), killed with SIGKILL, paused and
// restarted. The tests wait for what hosts print, each wait bounded; the
// times they measure are printed, not asserted.
#include <gtest/gtest.h>

#include <nats/nats.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "nats/nats_support.h"
#include "nats/recording_support.h"
#include "wire/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const kSymbols[] = {"ACME", "GLOBEX", "INITECH"};
const std::string kSymbolList = "ACME,GLOBEX,INITECH";
constexpr auto kPatience = 20s;  // the longest any step may take before the test calls it a hang

double millisecondsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A directory of this test's own for logs and stores, in the build tree.
std::string sceneDirectory() {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("failover-") + test->test_suite_name() + "-" + test->name();
    for (char& c : name)
        if (c == '/') c = '_';
    std::filesystem::remove_all(name);
    std::filesystem::create_directories(name);
    return std::filesystem::absolute(name).string();
}

// A process's output file, read as it grows; each line stamped with the time
// this test first saw it.
class WatchedOutput {
public:
    struct Line {
        Clock::time_point seen;
        std::string text;
    };
    explicit WatchedOutput(std::string path) : path_(std::move(path)) {}

    const std::vector<Line>& lines() {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(read_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        read_ += chunk.size();
        partial_ += chunk;
        const auto now = Clock::now();
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back({now, partial_.substr(0, end)});
            partial_.erase(0, end + 1);
        }
        return lines_;
    }
    // The first line from `from` on that holds `text`; -1 when none.
    int find(const std::string& text, std::size_t from = 0) {
        const auto& all = lines();
        for (std::size_t i = from; i < all.size(); ++i)
            if (all[i].text.find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }
    std::string path() const { return path_; }

private:
    std::string path_;
    std::size_t read_ = 0;
    std::string partial_;
    std::vector<Line> lines_;
};

// A quote line of tellivar-host ("<time> SYMBOL Trade=... Volume=..."): its
// symbol and values without the marks of changed fields; false for other lines.
bool parseQuote(const std::string& line, std::string* symbol, std::string* values) {
    const std::size_t first = line.find(' ');
    if (line.rfind("20", 0) != 0 || first == std::string::npos || line.find(" Trade=") == std::string::npos)
        return false;
    const std::size_t second = line.find(' ', first + 1);
    *symbol = line.substr(first + 1, second - first - 1);
    *values = line.substr(second + 1);
    values->erase(std::remove(values->begin(), values->end(), '*'), values->end());
    return true;
}

// tellivar-host showing live quotes of kSymbols through the NATS feed client.
struct Host {
    Host(const std::string& dir, const std::string& name, const std::string& urls,
         std::vector<std::string> command = {"quotes", kSymbolList, "--plain", "--seconds", "0"})
        : output(dir + "/host-" + name + ".log") {
        std::vector<std::string> args = {TELLIVAR_HOST_PROGRAM, "--feed", "nats", "--connect-timeout", "120"};
        args.insert(args.end(), command.begin(), command.end());
        process.start(args, {"TELLIVAR_NATS_URL=" + urls}, output.path());
    }
    std::string connectionName() const { return "tellivar-nats/" + std::to_string(process.pid()); }
    // Quote lines from line `from` on, per symbol, in order.
    std::map<std::string, std::vector<std::string>> quotes(std::size_t from = 0) {
        std::map<std::string, std::vector<std::string>> bySymbol;
        const auto& all = output.lines();
        std::string symbol, values;
        for (std::size_t i = from; i < all.size(); ++i)
            if (parseQuote(all[i].text, &symbol, &values)) bySymbol[symbol].push_back(values);
        return bySymbol;
    }
    // True once every symbol has at least `count` quote lines from `from` on.
    bool quoting(std::size_t from, std::size_t count = 1) {
        const auto bySymbol = quotes(from);
        for (const char* symbol : kSymbols) {
            const auto found = bySymbol.find(symbol);
            if (found == bySymbol.end() || found->second.size() < count) return false;
        }
        return true;
    }

    ChildProcess process;
    WatchedOutput output;
};

// tellivar-gateway on the stand-in; a client's interest lasts 4 s (clients
// renew every 3 s).
struct GatewayProcess {
    GatewayProcess(const std::string& dir, const std::string& name, const std::string& urls,
                   const std::vector<std::string>& extra = {}, const std::vector<std::string>& env = {})
        : output(dir + "/gateway-" + name + ".log") {
        std::vector<std::string> args = {TELLIVAR_GATEWAY_PROGRAM, "--nats", urls, "--lease", "4"};
        args.insert(args.end(), extra.begin(), extra.end());
        process.start(args, env, output.path());
    }
    ChildProcess process;
    WatchedOutput output;
};

// The test's own NATS connection: the gateway's counters, and the epochs of
// the heartbeats it sees.
class BusProbe {
public:
    explicit BusProbe(const std::string& url) {
        natsOptions* options = nullptr;
        natsOptions_Create(&options);
        natsOptions_SetURL(options, url.c_str());
        natsOptions_SetMaxReconnect(options, -1);
        natsOptions_SetReconnectWait(options, 100);
        natsConnection_Connect(&nats_, options);
        natsOptions_Destroy(options);
        if (nats_ != nullptr)
            natsConnection_Subscribe(&heartbeats_, nats_, wire::kHeartbeatSubject, &BusProbe::onHeartbeat, this);
    }
    ~BusProbe() {
        natsSubscription_Unsubscribe(heartbeats_);
        natsConnection_Close(nats_);
        natsSubscription_Destroy(heartbeats_);
        natsConnection_Destroy(nats_);
    }
    bool connected() const { return nats_ != nullptr; }
    // The gateway's counters; null when no gateway answers.
    nlohmann::json stats() {
        natsMsg* reply = nullptr;
        if (natsConnection_RequestString(&reply, nats_, wire::kStatsSubject, "", 1000) != NATS_OK) return nullptr;
        std::string text(natsMsg_GetData(reply), static_cast<std::size_t>(natsMsg_GetDataLength(reply)));
        natsMsg_Destroy(reply);
        return nlohmann::json::parse(text, nullptr, false);
    }
    // The epochs of the heartbeats seen since `since`.
    std::set<std::uint64_t> epochsSince(Clock::time_point since) {
        std::lock_guard<std::mutex> lock(mu_);
        std::set<std::uint64_t> epochs;
        for (const auto& [seen, epoch] : beats_)
            if (seen >= since) epochs.insert(epoch);
        return epochs;
    }

private:
    static void onHeartbeat(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
        auto* probe = static_cast<BusProbe*>(closure);
        const auto message = wire::decode(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
        natsMsg_Destroy(msg);
        if (const auto* beat = message ? std::get_if<wire::Heartbeat>(&*message) : nullptr) {
            std::lock_guard<std::mutex> lock(probe->mu_);
            probe->beats_.emplace_back(Clock::now(), beat->epoch);
        }
    }

    natsConnection* nats_ = nullptr;
    natsSubscription* heartbeats_ = nullptr;
    std::mutex mu_;
    std::vector<std::pair<Clock::time_point, std::uint64_t>> beats_;
};

// Waits (bounded) until each host, from line `from[i]` on, says the feed is
// offline; `latest` receives the latest time one did. False on a timeout.
bool allReportOffline(std::vector<std::unique_ptr<Host>>& hosts, const std::vector<std::size_t>& from,
                      Clock::time_point* latest) {
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        Host& host = *hosts[i];
        int offline = -1;
        if (!eventually([&] { return (offline = host.output.find("Tellivar is offline", from[i])) >= 0; }, kPatience))
            return false;
        *latest = std::max(*latest, host.output.lines()[static_cast<std::size_t>(offline)].seen);
    }
    return true;
}

// ---- A node of a 3-node cluster killed under a host --------------------------------

TEST(ClusterFailover, ShouldMoveAHostToAnotherNodeWithTheFeedsValuesWhenItsNodeIsKilled) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsCluster cluster(dir + "/cluster");
    ASSERT_TRUE(cluster.ready()) << "the cluster formed no routes; logs in " << dir;

    // Host a is given every node; the gateway and the reference host b sit on
    // a node other than a's, so that the kill touches a alone.
    Host a(dir, "a", cluster.urls());
    int nodeOfA = -1;
    ASSERT_TRUE(eventually([&] { return (nodeOfA = cluster.nodeOf(a.connectionName())) >= 0; }, kPatience));
    const std::size_t other = static_cast<std::size_t>(nodeOfA + 1) % cluster.size();
    GatewayProcess gateway(dir, "g", cluster.node(other).url());
    Host b(dir, "b", cluster.node(other).url());
    ASSERT_TRUE(eventually([&] { return a.quoting(0, 3) && b.quoting(0, 3); }, kPatience));

    const std::size_t aMark = a.output.lines().size();
    const auto killed = Clock::now();
    cluster.node(static_cast<std::size_t>(nodeOfA)).kill();

    // Host a moves to another node and shows quotes again. If it was told the
    // link dropped, it is told it is back.
    int nodeNow = -1;
    ASSERT_TRUE(eventually(
        [&] {
            nodeNow = cluster.nodeOf(a.connectionName());
            return nodeNow >= 0 && nodeNow != nodeOfA;
        },
        kPatience))
        << "host a is on no node but the killed one; see " << a.output.path();
    ASSERT_TRUE(eventually([&] { return a.quoting(aMark, 3); }, kPatience)) << "see " << a.output.path();
    if (const int offline = a.output.find("Tellivar is offline", aMark); offline >= 0) {
        EXPECT_GE(a.output.find("Tellivar is online", static_cast<std::size_t>(offline)), 0) << a.output.path();
    }
    const std::size_t from = aMark;

    // Every value host a shows after the failover is one the gateway
    // published (host b saw it); and a catches up with b: nothing went stale.
    std::map<std::string, std::set<std::string>> seenByB;
    const auto bLines = [&] {
        for (const auto& [symbol, values] : b.quotes()) seenByB[symbol].insert(values.begin(), values.end());
    };
    const auto aAfter = a.quotes(from);
    ASSERT_TRUE(eventually(
        [&] {
            bLines();
            for (const auto& [symbol, values] : aAfter)
                for (const std::string& value : values)
                    if (seenByB[symbol].count(value) == 0) return false;
            return true;
        },
        5s))
        << "host a showed values the gateway never published; see " << a.output.path() << " and "
        << b.output.path();
    EXPECT_TRUE(eventually(
        [&] {
            const auto lastA = a.quotes(from), lastB = b.quotes();
            for (const char* symbol : kSymbols)
                if (lastA.at(symbol).back() != lastB.at(symbol).back()) return false;
            return true;
        },
        kPatience))
        << "host a's latest values never met host b's";

    // Measured: kill to host a's first update (checked above) with values
    // published after the kill (host b saw them only after it).
    std::map<std::string, Clock::time_point> firstSeenByB;
    std::string symbol, values;
    for (const auto& line : b.output.lines())
        if (parseQuote(line.text, &symbol, &values)) firstSeenByB.try_emplace(symbol + " " + values, line.seen);
    for (std::size_t i = from; i < a.output.lines().size(); ++i) {
        const auto& line = a.output.lines()[i];
        if (!parseQuote(line.text, &symbol, &values)) continue;
        const auto seen = firstSeenByB.find(symbol + " " + values);
        if (seen != firstSeenByB.end() && seen->second > killed) {
            std::printf("[ measured ] node SIGKILL -> first new correct update on the host: %.0f ms\n",
                        millisecondsSince(killed, line.seen));
            break;
        }
    }
    EXPECT_TRUE(a.process.terminate()) << "host a ended with status " << a.process.status();
    EXPECT_TRUE(b.process.terminate());
    EXPECT_TRUE(gateway.process.terminate());
}

// ---- The gateway killed, and restarted ------------------------------------------------

TEST(GatewayFailure, ShouldTakeEveryHostOfflineAndBackWhenTheGatewayIsKilledAndRestarted) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsServer server;
    ASSERT_TRUE(server.running());
    auto gateway = std::make_unique<GatewayProcess>(dir, "1", server.url());
    std::vector<std::unique_ptr<Host>> hosts;
    for (const char* name : {"a", "b", "c"}) hosts.push_back(std::make_unique<Host>(dir, name, server.url()));
    ASSERT_TRUE(eventually([&] { return std::all_of(hosts.begin(), hosts.end(), [](auto& h) { return h->quoting(0); }); },
                           kPatience));

    std::vector<std::size_t> marks;
    for (auto& host : hosts) marks.push_back(host->output.lines().size());
    const auto killed = Clock::now();
    gateway->process.kill();
    Clock::time_point lastOffline{};
    ASSERT_TRUE(allReportOffline(hosts, marks, &lastOffline));
    for (std::size_t i = 0; i < hosts.size(); ++i)
        EXPECT_GE(hosts[i]->output.find("The gateway stopped sending its heartbeat", marks[i]), 0) << i;
    std::printf("[ measured ] gateway SIGKILL -> every host offline: %.0f ms\n",
                millisecondsSince(killed, lastOffline));

    for (std::size_t i = 0; i < hosts.size(); ++i) marks[i] = hosts[i]->output.lines().size();
    const auto restarted = Clock::now();
    gateway = std::make_unique<GatewayProcess>(dir, "2", server.url());
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        Host& host = *hosts[i];
        int online = -1;
        ASSERT_TRUE(eventually([&] { return (online = host.output.find("Tellivar is online", marks[i])) >= 0; },
                               kPatience))
            << "host " << i << " did not log on again; see " << host.output.path();
        ASSERT_TRUE(eventually([&] { return host.quoting(static_cast<std::size_t>(online)); }, kPatience))
            << "host " << i << " got no image after the restart";
    }
    std::printf("[ measured ] gateway restart -> every host quoting again: %.0f ms\n",
                millisecondsSince(restarted, Clock::now()));
    for (auto& host : hosts) EXPECT_TRUE(host->process.terminate()) << host->output.path();
    EXPECT_TRUE(gateway->process.terminate());
}

// ---- A standby gateway -----------------------------------------------------------------

// Where a key-value bucket's stream is, as JetStream reports it; empty and 0
// when it cannot say.
struct BucketPlacement {
    std::string leader;  // the server leading the stream (the servers are n0, n1, n2)
    int copies = 0;      // the copies the stream is to keep
};

// The same of any stream; `messages` receives the messages it holds.
BucketPlacement streamPlacement(const std::string& urls, const std::string& stream, std::uint64_t* messages = nullptr) {
    natsConnection* nats = nullptr;
    if (natsConnection_ConnectTo(&nats, urls.c_str()) != NATS_OK) return {};
    natsMsg* reply = nullptr;
    BucketPlacement placement;
    const std::string subject = "$JS.API.STREAM.INFO." + stream;
    if (natsConnection_RequestString(&reply, nats, subject.c_str(), "", 2000) == NATS_OK) {
        const auto info = nlohmann::json::parse(
            std::string(natsMsg_GetData(reply), static_cast<std::size_t>(natsMsg_GetDataLength(reply))), nullptr, false);
        if (info.is_object()) {
            placement.leader = info.value("cluster", nlohmann::json::object()).value("leader", std::string());
            placement.copies = info.value("config", nlohmann::json::object()).value("num_replicas", 0);
            if (messages != nullptr)
                *messages = info.value("state", nlohmann::json::object()).value("messages", std::uint64_t{0});
        }
        natsMsg_Destroy(reply);
    }
    natsConnection_Destroy(nats);
    return placement;
}

BucketPlacement bucketPlacement(const std::string& urls, const std::string& bucket) {
    return streamPlacement(urls, "KV_" + bucket);
}

TEST(GatewayStandby, ShouldMoveHostsToTheStandbyAndSilenceAnActiveThatLostItsLease) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsServer::Options options;
    options.jetStreamStore = dir + "/jetstream";
    options.output = dir + "/nats-server.log";
    NatsServer server(options);
    ASSERT_TRUE(server.running());
    BusProbe probe(server.url());
    ASSERT_TRUE(probe.connected());

    const std::vector<std::string> standby = {"--standby-bucket", "tellivar-test", "--takeover", "1"};
    std::vector<std::unique_ptr<GatewayProcess>> gateways;
    gateways.push_back(std::make_unique<GatewayProcess>(dir, "1", server.url(), standby));
    ASSERT_TRUE(eventually([&] { return gateways[0]->output.find("active: holds the lease") >= 0; }, kPatience))
        << "see " << gateways[0]->output.path();
    gateways.push_back(std::make_unique<GatewayProcess>(dir, "2", server.url(), standby));
    ASSERT_TRUE(eventually([&] { return gateways[1]->output.find("standby: waiting") >= 0; }, kPatience));

    std::vector<std::unique_ptr<Host>> hosts;
    for (const char* name : {"a", "b"}) hosts.push_back(std::make_unique<Host>(dir, name, server.url()));
    ASSERT_TRUE(eventually([&] { return std::all_of(hosts.begin(), hosts.end(), [](auto& h) { return h->quoting(0); }); },
                           kPatience));
    EXPECT_EQ(gateways[1]->output.find("active:"), -1) << "two gateways active at once";

    // The active dies: the standby takes over and the hosts follow by themselves.
    std::vector<std::size_t> marks;
    for (auto& host : hosts) marks.push_back(host->output.lines().size());
    const auto killed = Clock::now();
    gateways[0]->process.kill();
    ASSERT_TRUE(eventually([&] { return gateways[1]->output.find("active: holds the lease") >= 0; }, kPatience));
    Clock::time_point resumed{};
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        Host& host = *hosts[i];
        ASSERT_TRUE(eventually([&] { return host.quoting(marks[i]); }, kPatience)) << host.output.path();
        const int online = host.output.find("Tellivar is online", marks[i]);
        // A host that went offline meanwhile is back online before its data.
        if (host.output.find("Tellivar is offline", marks[i]) >= 0) {
            EXPECT_GE(online, 0) << host.output.path();
        }
        resumed = std::max(resumed, host.output.lines().back().seen);
    }
    std::printf("[ measured ] active gateway SIGKILL -> every host quoting from the standby: %.0f ms\n",
                millisecondsSince(killed, resumed));

    // A new standby; the active is paused past its lease: the standby takes
    // over, and the paused one, resumed, publishes nothing and steps down.
    gateways.push_back(std::make_unique<GatewayProcess>(dir, "3", server.url(), standby));
    ASSERT_TRUE(eventually([&] { return gateways[2]->output.find("standby: waiting") >= 0; }, kPatience));
    GatewayProcess& paused = *gateways[1];
    GatewayProcess& next = *gateways[2];
    paused.process.pause();
    ASSERT_TRUE(eventually([&] { return next.output.find("active: holds the lease") >= 0; }, kPatience));
    const auto tookOver = Clock::now();
    ASSERT_TRUE(eventually([&] { return !probe.epochsSince(tookOver).empty(); }, kPatience));
    const std::set<std::uint64_t> nextEpoch = probe.epochsSince(tookOver);
    ASSERT_EQ(nextEpoch.size(), 1u);
    const auto resumedAt = Clock::now();
    paused.process.resume();
    ASSERT_TRUE(eventually([&] { return paused.output.find("stepping down to standby") >= 0; }, kPatience))
        << "see " << paused.output.path();
    const int restartedAsStandby = paused.output.find("stepping down to standby");
    ASSERT_TRUE(eventually([&] { return paused.output.find("standby: waiting", static_cast<std::size_t>(restartedAsStandby)) >= 0; },
                           kPatience));
    // A heartbeat of the new active since, so that anything sent before it has arrived.
    const auto settled = Clock::now();
    ASSERT_TRUE(eventually([&] { return !probe.epochsSince(settled).empty(); }, kPatience));
    EXPECT_EQ(probe.epochsSince(resumedAt), nextEpoch) << "a gateway without the lease published";
    for (std::size_t i = 0; i < hosts.size(); ++i) marks[i] = hosts[i]->output.lines().size();
    for (std::size_t i = 0; i < hosts.size(); ++i)
        EXPECT_TRUE(eventually([&] { return hosts[i]->quoting(marks[i]); }, kPatience)) << hosts[i]->output.path();

    for (auto& host : hosts) EXPECT_TRUE(host->process.terminate());
    for (std::size_t i = 1; i < gateways.size(); ++i)  // the first was killed
        EXPECT_TRUE(gateways[i]->process.terminate()) << gateways[i]->output.path();
    // Every gateway has opened the bucket, some twice: a single server keeps
    // one copy, and its configuration says so.
    EXPECT_EQ(bucketPlacement(server.url(), "tellivar-test").copies, 1);
}

// A recording gateway is killed: its standby goes on recording into the same
// stream, from a session-start keyframe of its own.
TEST(GatewayStandby, ShouldGoOnRecordingIntoTheSameStreamFromASessionKeyframeAfterATakeover) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsServer::Options options;
    options.jetStreamStore = dir + "/jetstream";
    options.output = dir + "/nats-server.log";
    NatsServer server(options);
    ASSERT_TRUE(server.running());
    std::ofstream(dir + "/universe") << "ACME\nGLOBEX\n";
    const std::vector<std::string> recording = {"--standby-bucket", "tellivar-test", "--takeover", "1",
                                                "--record", "desk", "--record-symbols", dir + "/universe",
                                                "--record-keyframe", "1"};
    GatewayProcess first(dir, "1", server.url(), recording);
    ASSERT_TRUE(eventually([&] { return first.output.find("active: holds the lease") >= 0; }, kPatience))
        << "see " << first.output.path();
    GatewayProcess second(dir, "2", server.url(), recording);
    ASSERT_TRUE(eventually([&] { return second.output.find("standby: waiting") >= 0; }, kPatience));
    natsConnection* nats = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&nats, server.url().c_str()), NATS_OK);
    const auto updates = [](const std::vector<Recorded>& all, std::size_t from) {
        return std::count_if(all.begin() + static_cast<std::ptrdiff_t>(from), all.end(),
                             [](const Recorded& r) { return r.record.type == wire::RecordType::Update; });
    };
    std::vector<Recorded> all;
    ASSERT_TRUE(eventually([&] {
        all = readRecording(nats, "desk");
        return !keyframesOf(all).empty() && updates(all, 0) > 0;
    }, kPatience)) << "see " << first.output.path();
    const std::uint64_t before = all.front().record.session;

    first.process.kill();
    ASSERT_TRUE(eventually([&] { return second.output.find("active: holds the lease") >= 0; }, kPatience));
    std::size_t takeover = 0;
    ASSERT_TRUE(eventually([&] {
        all = readRecording(nats, "desk");
        const auto next = std::find_if(all.begin(), all.end(), [&](const Recorded& r) { return r.record.session != before; });
        takeover = static_cast<std::size_t>(next - all.begin());
        return next != all.end() && updates(all, takeover) > 0;
    }, kPatience)) << "the standby recorded nothing; see " << second.output.path();

    const std::vector<Keyframe> keyframes = keyframesOf(all);
    const auto resumed = std::find_if(keyframes.begin(), keyframes.end(), [&](const Keyframe& k) { return k.at == takeover; });
    ASSERT_NE(resumed, keyframes.end()) << "the standby's first record begins a keyframe: " << describe(all);
    EXPECT_EQ(resumed->flags, wire::kSessionStart);
    EXPECT_TRUE(resumed->whole);
    EXPECT_EQ(resumed->subjects, (std::set<std::string>{"tellivar.rec.desk.q.ACME", "tellivar.rec.desk.q.GLOBEX",
                                                         "tellivar.rec.desk.s.ACME.1", "tellivar.rec.desk.s.GLOBEX.1"}));
    EXPECT_EQ(all.front().record.flags, wire::kSessionStart);
    for (std::size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].record.session, i < takeover ? before : all[takeover].record.session) << "record " << i;
        EXPECT_GE(all[i].record.timeNs, all[i - 1].record.timeNs) << "record " << i;
    }
    // The new active's stats count what it recorded.
    BusProbe probe(server.url());
    nlohmann::json stats;
    EXPECT_TRUE(eventually([&] {
        stats = probe.stats();
        return stats.is_object() && stats.value("keyframesWritten", 0) >= 1 && stats.value("recordedMessages", 0) > 0 &&
               stats.value("recordedBytes", 0) > stats.value("recordedMessages", 0) * 20;
    }, kPatience)) << stats.dump();
    EXPECT_EQ(stats.value("recordErrors", -1), 0) << stats.dump();
    natsConnection_Destroy(nats);
    EXPECT_TRUE(second.process.terminate()) << second.output.path();
}

// How many nodes of `cluster` hold the messages of a key-value bucket's
// stream in their own store (a copy still catching up holds none).
int copiesHeld(NatsCluster& cluster, const std::string& bucket) {
    int held = 0;
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        const nlohmann::json jsz = cluster.node(i).monitor("/jsz?streams=true");
        if (!jsz.is_object()) continue;
        for (const auto& account : jsz.value("account_details", nlohmann::json::array())) {
            for (const auto& stream : account.value("stream_detail", nlohmann::json::array())) {
                const bool holds = stream.value("name", std::string()) == "KV_" + bucket &&
                                   stream.value("state", nlohmann::json::object()).value("messages", 0) > 0;
                if (holds) ++held;
            }
        }
    }
    return held;
}

// The node of `cluster` named `name` ("n1": 1).
std::size_t nodeNamed(const NatsCluster& cluster, const std::string& name) {
    const std::size_t node = name.empty() ? cluster.size() : static_cast<std::size_t>(name.back() - '0');
    EXPECT_LT(node, cluster.size()) << "no node is named '" << name << "'";
    return node;
}

// On a cluster the recording keeps three copies, and goes on when the
// server leading its stream is killed.
TEST(ClusterRecording, ShouldKeepThreeCopiesAndGoOnWhenTheStreamsLeaderIsKilled) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsCluster cluster(dir + "/cluster", true);
    ASSERT_TRUE(cluster.ready()) << "the cluster formed no routes or no JetStream leader; logs in " << dir;
    std::ofstream(dir + "/universe") << "ACME\n";
    GatewayProcess gateway(dir, "1", cluster.urls(), {"--record", "desk", "--record-symbols", dir + "/universe"});
    BucketPlacement placement;
    std::uint64_t held = 0;
    ASSERT_TRUE(eventually([&] {
        placement = streamPlacement(cluster.urls(), "desk", &held);
        return placement.copies == 3 && !placement.leader.empty() && held > 0;
    }, kPatience)) << "copies " << placement.copies << ", " << held << " records; see " << gateway.output.path();
    EXPECT_GE(gateway.output.find("recording into the stream desk (keeps 3 copies)"), 0) << gateway.output.path();

    const std::size_t node = nodeNamed(cluster, placement.leader);
    ASSERT_LT(node, cluster.size());
    cluster.node(node).kill();
    std::string others;
    for (std::size_t i = 0; i < cluster.size(); ++i)
        if (i != node) others += (others.empty() ? "" : ",") + cluster.node(i).url();
    std::uint64_t after = 0;
    ASSERT_TRUE(eventually([&] { return streamPlacement(others, "desk", &after).copies == 3 && after > 0; },
                           kPatience));
    const std::uint64_t mark = after;
    EXPECT_TRUE(eventually([&] { return streamPlacement(others, "desk", &after).copies == 3 && after > mark; },
                           kPatience))
        << "no record after the leader was killed; see " << gateway.output.path();
    EXPECT_TRUE(gateway.process.terminate()) << gateway.output.path();
}

// Two gateways on the lease bucket "tellivar-test" with `--takeover 2` and
// `extra` options, the first active and the second a standby, and a host they
// serve.
struct LeaseScene {
    std::unique_ptr<GatewayProcess> first, second;
    std::unique_ptr<Host> host;
};

void startLeaseScene(LeaseScene* scene, const std::string& dir, const std::string& urls,
                     const std::vector<std::string>& extra = {}) {
    std::vector<std::string> standby = {"--standby-bucket", "tellivar-test", "--takeover", "2"};
    standby.insert(standby.end(), extra.begin(), extra.end());
    scene->first = std::make_unique<GatewayProcess>(dir, "1", urls, standby);
    ASSERT_TRUE(eventually([&] { return scene->first->output.find("active: holds the lease") >= 0; }, kPatience))
        << "see " << scene->first->output.path();
    scene->second = std::make_unique<GatewayProcess>(dir, "2", urls, standby);
    ASSERT_TRUE(eventually([&] { return scene->second->output.find("standby: waiting") >= 0; }, kPatience));
    scene->host = std::make_unique<Host>(dir, "a", urls);
    ASSERT_TRUE(eventually([&] { return scene->host->quoting(0); }, kPatience)) << "see " << scene->host->output.path();
}

// Kills the node named `leader`, the one leading the scene's bucket, and
// expects the host served after it.
void expectServingAfterTheBucketLeaderIsKilled(NatsCluster& cluster, const std::string& leader, LeaseScene& scene) {
    const std::size_t node = nodeNamed(cluster, leader);
    if (node >= cluster.size()) return;
    cluster.node(node).kill();
    // Past three takeover times, a lease that could not be renewed has ended
    // and every gateway has gone quiet; one that goes on (or passed to the
    // standby) serves the host.
    std::this_thread::sleep_for(6s);
    const std::size_t mark = scene.host->output.lines().size();
    EXPECT_TRUE(eventually([&] { return scene.host->quoting(mark, 3); }, kPatience))
        << "no gateway served after the lease's server died; see " << scene.first->output.path() << " and "
        << scene.second->output.path();
    EXPECT_TRUE(scene.host->process.terminate());
    EXPECT_TRUE(scene.first->process.terminate()) << scene.first->output.path();
    EXPECT_TRUE(scene.second->process.terminate()) << scene.second->output.path();
}

TEST(GatewayStandby, ShouldKeepServingWhenTheServerLeadingTheLeaseBucketIsKilled) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsCluster cluster(dir + "/cluster", true);
    ASSERT_TRUE(cluster.ready()) << "the cluster formed no routes or no JetStream leader; logs in " << dir;
    LeaseScene scene;
    ASSERT_NO_FATAL_FAILURE(startLeaseScene(&scene, dir, cluster.urls()));

    BucketPlacement placement;
    ASSERT_TRUE(eventually([&] { return !(placement = bucketPlacement(cluster.urls(), "tellivar-test")).leader.empty(); },
                           kPatience));
    EXPECT_EQ(placement.copies, 3) << "every server of the cluster keeps a copy of the lease";
    expectServingAfterTheBucketLeaderIsKilled(cluster, placement.leader, scene);
}

// A desk starts its gateways while a node is down for maintenance: the bucket
// is created with one copy, and gets its three once the node is back.
TEST(GatewayStandby, ShouldKeepServingWhenTheBucketLeaderIsKilledAfterANodeDownAtItsCreationCameBack) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsCluster cluster(dir + "/cluster", true);
    ASSERT_TRUE(cluster.ready()) << "the cluster formed no routes or no JetStream leader; logs in " << dir;
    // A node other than the JetStream meta leader stops, so that the others
    // need no election.
    std::string metaLeader;
    ASSERT_TRUE(eventually(
        [&] {
            const nlohmann::json jsz = cluster.node(0).monitor("/jsz");
            if (jsz.is_object()) {
                metaLeader = jsz.value("meta_cluster", nlohmann::json::object()).value("leader", std::string());
            }
            return !metaLeader.empty();
        },
        kPatience));
    const std::size_t down = (nodeNamed(cluster, metaLeader) + 1) % cluster.size();
    cluster.node(down).stop();
    ASSERT_TRUE(cluster.ready()) << "logs in " << dir;

    LeaseScene scene;
    ASSERT_NO_FATAL_FAILURE(startLeaseScene(&scene, dir, cluster.urls(), {"--replicas-retry", "0.5"}));
    BucketPlacement placement = bucketPlacement(cluster.urls(), "tellivar-test");
    ASSERT_EQ(placement.copies, 1) << "two servers up cannot place three copies";

    ASSERT_TRUE(cluster.node(down).start());
    ASSERT_TRUE(cluster.ready()) << "logs in " << dir;
    // Killing the leader before the new copies caught up would lose the
    // bucket whatever its configuration says.
    int held = 0;
    EXPECT_TRUE(eventually(
        [&] {
            placement = bucketPlacement(cluster.urls(), "tellivar-test");
            held = copiesHeld(cluster, "tellivar-test");
            return placement.copies == 3 && held == 3 && !placement.leader.empty();
        },
        kPatience))
        << "the bucket is to keep " << placement.copies << " copies, " << held << " held; see "
        << scene.first->output.path();
    expectServingAfterTheBucketLeaderIsKilled(cluster, placement.leader, scene);
}

// ---- Restarts of everything, and a host killed mid-history ------------------------------

// The order in which server, gateway and host are killed and started again.
class Restarts : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(Restarts, ShouldComeBackAndLeaveNoFeedSetBehind) {
    SKIP_WITHOUT_NATS_SERVER();
    const std::string dir = sceneDirectory();
    NatsServer server;
    ASSERT_TRUE(server.running());
    // Histories never finish: a host killed while waiting for one leaves a load in flight.
    const std::vector<std::string> stalled = {"SIMFEED_HISTORY=stall"};
    auto gateway = std::make_unique<GatewayProcess>(dir, "0", server.url(), std::vector<std::string>{}, stalled);
    auto host = std::make_unique<Host>(dir, "0", server.url());
    ASSERT_TRUE(eventually([&] { return host->quoting(0); }, kPatience));

    int round = 0;
    for (const std::string& what : GetParam()) {
        const std::string name = std::to_string(++round);
        if (what == "server") {
            server.kill();
            ASSERT_TRUE(server.start());
        } else if (what == "gateway") {
            gateway->process.kill();
            gateway = std::make_unique<GatewayProcess>(dir, name, server.url(), std::vector<std::string>{}, stalled);
        } else {
            host->process.kill();
            host = std::make_unique<Host>(dir, name, server.url());
        }
        const std::size_t mark = host->output.lines().size();
        ASSERT_TRUE(eventually([&] { return host->quoting(mark); }, kPatience))
            << "no quotes after restarting the " << what << "; see " << host->output.path();
    }
    EXPECT_TRUE(gateway->process.running()) << "the gateway died; see " << gateway->output.path();

    BusProbe probe(server.url());
    Host history(dir, "history", server.url(), {"history", "ACME", "--interval", "1", "--count", "100000"});
    ASSERT_TRUE(eventually(
        [&] {
            const nlohmann::json stats = probe.stats();
            return stats.is_object() && stats.value("historyRequests", 0) >= 1;
        },
        kPatience));
    history.process.kill();
    host->process.kill();
    nlohmann::json stats;
    EXPECT_TRUE(eventually(
        [&] {
            stats = probe.stats();
            return stats.is_object() && stats.value("sets", -1) == 0 && stats.value("clients", -1) == 0;
        },
        kPatience))
        << "the gateway kept feed sets of dead hosts: " << stats.dump();
    EXPECT_TRUE(gateway->process.terminate()) << "see " << gateway->output.path();
}

INSTANTIATE_TEST_SUITE_P(EveryComponentFirstOnce, Restarts,
                         testing::Values(std::vector<std::string>{"server", "gateway", "host"},
                                         std::vector<std::string>{"gateway", "host", "server"},
                                         std::vector<std::string>{"host", "server", "gateway"}),
                         [](const testing::TestParamInfo<std::vector<std::string>>& info) {
                             std::string name;
                             for (const std::string& what : info.param) name += what + "Then";
                             return name.substr(0, name.size() - 4);
                         });

}  // namespace
