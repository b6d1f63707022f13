// tellivar-fanout-latency: how long after the feed has an update a host's
// consumer is told of it through the plug-in, side by side on three paths:
//   direct   the plug-in on the driver feed in one process (tellivar-latency --cell);
//   nats     a tellivar-gateway process on the stamping driver feed
//            (libTellivarClient.so.1 in lib/tellivar/stamp), one nats-server,
//            and host processes with the plug-in on the NATS feed client;
//   cluster  the same through three routed nats-servers, the gateway on the
//            first and the hosts on the other two.
// Before each NATS cell the same cell runs on the bus alone (bus_baseline.h):
// a bare libnats publisher and bare libnats subscribers, so that each NATS
// row reads as ratios to the bus itself; --split adds the gateway with bare
// subscribers, which tells the gateway's share from the host's.
// A measured host process subscribes every symbol through the plug-in, checks
// each update's per-symbol count (a gap is a lost update, a lower count a
// wrong one, the same count an image of what it had) and sends its latency
// histogram back. Of several hosts one is measured and the others are load
// only, a bare NATS subscriber to every update (--measure-all: all measured).
// The gateway's CPU time and resident memory come from /proc.
// Prints a markdown table (and a CSV for the plot); exits 1 when an update was
// lost, a value was wrong or a host did not finish.
//
// Run: scripts/latency.sh (the whole matrix and the plot), or
//      build/bench/latency/tellivar-fanout-latency [--quick] [--csv FILE] [...]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus_baseline.h"
#include "driver_feed.h"
#include "fanout_cells.h"
#include "host_side.h"
#include "report_text.h"
#include "natsfeed/client.h"

// The feed client the plug-in reaches: the NATS feed client, in a host process.
TellivarClient* pTellivarClient = nullptr;

namespace {

using namespace latency;
using std::chrono::milliseconds;

double seconds(Nanos ns) { return static_cast<double>(ns) / 1e9; }

void sleepFor(double secondsToSleep) { std::this_thread::sleep_for(std::chrono::duration<double>(secondsToSleep)); }

const char* kindName(Kind kind) { return kind == Kind::Snapshot ? "quotes" : "bars"; }

// ---- A host process ------------------------------------------------------------------

// Prints "recording" when its window opens and, at the end, the RESULT line
// (printResult).
int runHost(Kind kind, std::size_t symbols, double window, double patience) {
    silenceAceDebug();
    auto* client = new natsfeed::NatsClient;  // lives to the process's end
    pTellivarClient = client;
    auto recorder = std::make_unique<RemoteRecorder>(symbols);
    Nanos elapsed = 0;
    bool imaged = false;
    {
        PluginHost host(nullptr);
        std::vector<std::unique_ptr<Subscription>> subscriptions;
        const Nanos deadline = nowNanos() + static_cast<Nanos>(patience * 1e9);
        for (std::size_t s = 0; s < symbols && nowNanos() < deadline;) {
            // The plug-in refuses requests until the client has logged on.
            if (auto subscription = host.subscribe(Sink::Plugin, kind, s, recorder.get())) {
                subscriptions.push_back(std::move(subscription));
                ++s;
            } else {
                std::this_thread::sleep_for(milliseconds(20));
            }
        }
        while (recorder->seen.load(std::memory_order_acquire) < symbols && nowNanos() < deadline)
            std::this_thread::sleep_for(milliseconds(10));
        imaged = recorder->seen.load(std::memory_order_acquire) == symbols;
        if (imaged) {
            sleepFor(0.3 + static_cast<double>(symbols) / 1000.0);  // the images' own backlog drains
            recorder->recording = true;
            const Nanos start = nowNanos();
            std::printf("recording\n");
            std::fflush(stdout);
            sleepFor(window);
            recorder->recording = false;
            elapsed = nowNanos() - start;
            sleepFor(0.2);  // what was in flight still counts for loss
        }
        for (auto& subscription : subscriptions) subscription->close();
    }
    client->Shutdown();  // joins the feed thread: the recorder is ours alone
    if (!imaged) {
        std::printf("FAILED only %zu of %zu symbols had an image\n", recorder->seen.load(), symbols);
        return 1;
    }
    printResult(*recorder, elapsed);
    return 0;
}

std::atomic<bool> loadCounting{false};  // SIGUSR2: the measured window opens
std::atomic<bool> loadStopped{false};   // SIGUSR1: it closes

// A load-only host: one NATS connection subscribed to every quote (or stream)
// subject, which costs the servers what a host's does, reading and counting
// the messages. Prints "recording" once subscribed; counts from SIGUSR2 to
// SIGUSR1 (or `window` seconds), then prints
// LOAD received dropped elapsed_ns (dropped: by libnats, the reader too slow).
int runLoad(Kind kind, double window) {
    signal(SIGUSR2, [](int) { loadCounting = true; });
    signal(SIGUSR1, [](int) { loadStopped = true; });
    const char* url = std::getenv("TELLIVAR_NATS_URL");
    natsConnection* nats = nullptr;
    natsSubscription* sub = nullptr;
    if (url == nullptr || natsConnection_ConnectTo(&nats, url) != NATS_OK ||
        natsConnection_SubscribeSync(&sub, nats, kind == Kind::Snapshot ? "tellivar.quote.>" : "tellivar.stream.>") != NATS_OK ||
        natsSubscription_SetPendingLimits(sub, 1'000'000, 512 * 1024 * 1024) != NATS_OK ||
        natsConnection_Flush(nats) != NATS_OK) {
        std::printf("FAILED cannot subscribe on %s\n", url != nullptr ? url : "(TELLIVAR_NATS_URL unset)");
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    std::uint64_t received = 0;
    Nanos start = nowNanos();
    const Nanos end = start + static_cast<Nanos>(window * 1e9);
    bool counting = false;
    while (nowNanos() < end && !loadStopped) {
        if (!counting && loadCounting) {
            counting = true;
            received = 0;
            start = nowNanos();
        }
        natsMsg* msg = nullptr;
        if (natsSubscription_NextMsg(&msg, sub, 50) == NATS_OK) {
            ++received;
            natsMsg_Destroy(msg);
        }
    }
    const Nanos elapsed = nowNanos() - start;
    int64_t dropped = 0;
    natsSubscription_GetDropped(sub, &dropped);
    std::printf("LOAD %llu %lld %lld\n", static_cast<unsigned long long>(received), static_cast<long long>(dropped),
                static_cast<long long>(elapsed));
    std::fflush(stdout);
    _exit(0);  // no teardown of a backlog nobody reads
}

// ---- Processes -------------------------------------------------------------------------

struct Process {
    pid_t pid = 0;
    int out = -1;        // the child's stdout, when captured
    std::string buffer;  // read but not yet taken as lines
};

// Starts `args` with `env` added; the child dies with this process. Its
// stdout is captured, or else with its stderr dropped when `quiet`.
Process spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, bool captureOut,
              bool quiet = false) {
    int pipeFds[2] = {-1, -1};
    if (captureOut && pipe(pipeFds) != 0) return {};
    Process p;
    p.pid = fork();
    if (p.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (captureOut) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
        } else if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
        }
        for (const std::string& assignment : env) putenv(const_cast<char*>(assignment.c_str()));
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (captureOut) {
        close(pipeFds[1]);
        p.out = pipeFds[0];
    }
    if (p.pid < 0) p.pid = 0;
    return p;
}

// The next line of the child's stdout, or "" at its end or after `timeout`.
std::string readLine(Process& p, double timeout) {
    const Nanos deadline = nowNanos() + static_cast<Nanos>(timeout * 1e9);
    for (;;) {
        const std::size_t end = p.buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = p.buffer.substr(0, end);
            p.buffer.erase(0, end + 1);
            return line;
        }
        const Nanos left = deadline - nowNanos();
        if (p.out < 0 || left <= 0) return "";
        pollfd fd{p.out, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left / 1'000'000) + 1) <= 0) continue;
        char chunk[65536];
        const ssize_t n = read(p.out, chunk, sizeof chunk);
        if (n <= 0) {
            close(p.out);
            p.out = -1;
        } else {
            p.buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
}

// Asks it to stop (`signal`), then kills it after `patience`; reaps it.
void finish(Process& p, int signal, double patience) {
    if (p.pid <= 0) return;
    if (signal != 0) kill(p.pid, signal);
    const Nanos deadline = nowNanos() + static_cast<Nanos>(patience * 1e9);
    int status = 0;
    while (waitpid(p.pid, &status, WNOHANG) == 0) {
        if (nowNanos() > deadline) {
            kill(p.pid, SIGKILL);
            waitpid(p.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    if (p.out >= 0) close(p.out);
    p = Process{};
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// A GET on loopback; the whole answer, or "" when nothing answers.
std::string httpGet(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

// CPU seconds (user + system) of a process so far, and its resident memory in kB.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long residentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// ---- The bus -------------------------------------------------------------------------------

// One nats-server, or three routed into a cluster; the gateway connects to
// the first, hosts to the others.
class Bus {
public:
    Bus(const std::string& server, bool cluster) {
        const int nodes = cluster ? 3 : 1;
        std::vector<int> clusterPorts, monitorPorts;
        for (int i = 0; i < nodes; ++i) {
            ports_.push_back(freePort());
            clusterPorts.push_back(freePort());
            monitorPorts.push_back(freePort());
        }
        for (int i = 0; i < nodes; ++i) {
            std::vector<std::string> args = {server, "-a", "127.0.0.1", "-p", std::to_string(ports_[i]),
                                             "-m", std::to_string(monitorPorts[i])};
            if (cluster) {
                std::string routes;
                for (int j = 0; j < nodes; ++j)
                    if (j != i) routes += (routes.empty() ? "" : ",") + url(clusterPorts[j]);
                for (const std::string& arg : {std::string("--cluster"), url(clusterPorts[i]), std::string("--routes"),
                                               routes, std::string("--cluster_name"), std::string("tellivar-latency")})
                    args.push_back(arg);
            }
            servers_.push_back(spawn(args, {}, false, true));
        }
        // Ready: each answers on its monitoring port, and in a cluster has a
        // route to every other node.
        const Nanos deadline = nowNanos() + 10'000'000'000;
        for (int i = 0; i < nodes; ++i) {
            for (;;) {
                const std::string answer = httpGet(monitorPorts[i], cluster ? "/routez" : "/varz");
                const bool ready = !answer.empty() && (!cluster || answer.find("\"num_routes\": " + std::to_string(nodes - 1)) != std::string::npos);
                if (ready) break;
                if (nowNanos() > deadline) {
                    error = "nats-server on port " + std::to_string(ports_[i]) + " not ready";
                    return;
                }
                std::this_thread::sleep_for(milliseconds(50));
            }
        }
    }
    ~Bus() {
        for (Process& p : servers_) finish(p, SIGTERM, 5);
    }

    std::string gatewayUrl() const { return url(ports_[0]); }
    // Host `i`'s server: never the gateway's when there is another.
    std::string hostUrl(std::size_t i) const {
        return ports_.size() == 1 ? url(ports_[0]) : url(ports_[1 + i % (ports_.size() - 1)]);
    }
    double cpuSeconds() const {
        double total = 0;
        for (const Process& p : servers_) total += ::cpuSeconds(p.pid);
        return total;
    }

    std::string error;

private:
    static std::string url(int port) { return "nats://127.0.0.1:" + std::to_string(port); }
    std::vector<int> ports_;
    std::vector<Process> servers_;
};

// ---- Cells ---------------------------------------------------------------------------------

struct Outcome {
    std::unique_ptr<LatencyHistogram> latency = std::make_unique<LatencyHistogram>();
    double deliveredPerHost = 0;  // mean over the hosts
    std::uint64_t lost = 0, reimaged = 0, wrong = 0;
    std::size_t hostsFinished = 0;
    double gatewayCpu = -1;  // share of one core over the window; -1: not measured
    double serverCpu = -1;
    double hostCpu = -1;  // mean share of one core per measured host
    double loadDelivered = -1;  // messages per second per load-only host (mean)
    std::uint64_t loadDropped = 0;
    long gatewayRssKb = 0;
    bool keptUp = false;
    std::vector<std::string> faults;
    // Direct cells give percentiles only (from tellivar-latency's CSV).
    std::uint64_t p50 = 0, p99 = 0, p999 = 0, max = 0;
};

struct Tools {
    std::string self, latency, gateway, stampFeed, server;
};

constexpr int kQuoteFieldsChanged = kQuotedFields;  // the stamp, the count and eight more

Outcome runDirect(const Tools& tools, const Cell& cell, double window) {
    Outcome o;
    const std::string csv = "/tmp/tellivar-fanout-direct-" + std::to_string(getpid()) + ".csv";
    char cellText[128];
    std::snprintf(cellText, sizeof cellText, "%s,%zu,%d,0,%.0f,%g", kindName(cell.kind), cell.symbols,
                  cell.kind == Kind::Snapshot ? kQuoteFieldsChanged : 1, cell.rate, window);
    Process p = spawn({tools.latency, "--cell", cellText, "--csv", csv}, {}, true);
    while (!readLine(p, 120).empty()) {
    }
    finish(p, 0, 30);
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);  // the header
    bool found = false;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string item; std::getline(fields, item, ',');) f.push_back(item);
        if (f.size() < 16 || f[6] != "plug-in") continue;
        o.deliveredPerHost = std::stod(f[7]);
        o.keptUp = f[8] == "1";
        o.p50 = std::stoull(f[9]);
        o.p99 = std::stoull(f[10]);
        o.p999 = std::stoull(f[11]);
        o.max = std::stoull(f[12]);
        found = true;
    }
    std::remove(csv.c_str());
    o.hostsFinished = found ? 1 : 0;
    if (!found) o.faults.push_back("tellivar-latency --cell gave no result (or reported a fault)");
    return o;
}

Outcome runOverNats(const Tools& tools, const Bus& bus, const Cell& cell, double window) {
    Outcome o;
    char plan[96];
    std::snprintf(plan, sizeof plan, "TELLIVAR_STAMP_PLAN=%s,%zu,%.0f,%d", kindName(cell.kind), cell.symbols, cell.rate,
                  kQuoteFieldsChanged);
    // The publisher: the gateway on the stamping feed, or for the bus alone a
    // bare publisher on the gateway's server.
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.0f", cell.rate);
    Process gateway =
        cell.bus ? spawn({tools.self, "--bus-publish", kindName(cell.kind), "--symbols", std::to_string(cell.symbols), "--rates",
                          rateText},
                         {"TELLIVAR_NATS_URL=" + bus.gatewayUrl()}, false)
                 : spawn({tools.gateway, "--feed-library", tools.stampFeed, "--nats", bus.gatewayUrl(), "--quiet"}, {plan}, false);
    const double patience = 20 + static_cast<double>(cell.hosts * cell.symbols) / 2000.0;
    std::vector<Process> hosts, loads;
    char windowText[32];
    std::snprintf(windowText, sizeof windowText, "%g", window);
    for (std::size_t i = 0; i < cell.hosts; ++i) {
        const std::string url = "TELLIVAR_NATS_URL=" + bus.hostUrl(i);
        if (i < cell.measured) {
            const char* role = cell.bus ? "--bus-host" : cell.bareHosts ? "--gateway-bus-host" : "--host";
            hosts.push_back(spawn({tools.self, role, kindName(cell.kind), "--symbols", std::to_string(cell.symbols),
                                   "--seconds", windowText, "--patience", std::to_string(patience)},
                                  {url}, true));
        } else {
            // Load-only hosts read for the measured hosts' whole wait and window.
            loads.push_back(spawn({tools.self, "--load", kindName(cell.kind), "--seconds", std::to_string(patience + window + 5)},
                                  {url}, true));
        }
    }
    std::size_t recording = 0;
    for (Process& load : loads)
        if (readLine(load, 10) == "recording") ++recording;
    for (Process& host : hosts)
        if (readLine(host, patience + 5) == "recording") ++recording;
    // The gateway's and the servers' CPU over most of the hosts' window.
    for (Process& load : loads) kill(load.pid, SIGUSR2);
    auto hostsCpu = [&hosts] {
        double total = 0;
        for (const Process& host : hosts) total += cpuSeconds(host.pid);
        return total;
    };
    const double gatewayCpu0 = cpuSeconds(gateway.pid), serverCpu0 = bus.cpuSeconds(), hostCpu0 = hostsCpu();
    const Nanos t0 = nowNanos();
    sleepFor(window * 0.8);
    const double span = seconds(nowNanos() - t0);
    o.gatewayCpu = (cpuSeconds(gateway.pid) - gatewayCpu0) / span;
    o.serverCpu = (bus.cpuSeconds() - serverCpu0) / span;
    o.hostCpu = (hostsCpu() - hostCpu0) / span / static_cast<double>(cell.measured);
    o.gatewayRssKb = residentKb(gateway.pid);
    for (Process& load : loads) kill(load.pid, SIGUSR1);  // the measured hosts are still subscribed

    double deliveredSum = 0;
    for (Process& host : hosts) {
        std::string line;
        for (int i = 0; i < 4 && line.rfind("RESULT ", 0) != 0 && line.rfind("FAILED", 0) != 0; ++i)
            line = readLine(host, window + 30);
        unsigned long long notified = 0, lost = 0, reimaged = 0, wrong = 0;
        long long elapsed = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "RESULT %llu %llu %llu %llu %lld %n", &notified, &lost, &reimaged, &wrong,
                        &elapsed, &used) == 5 &&
            used > 0 && elapsed > 0) {
            LatencyHistogram h;
            if (h.decode(line.substr(static_cast<std::size_t>(used)))) {
                o.latency->add(h);
                ++o.hostsFinished;
                deliveredSum += static_cast<double>(notified) / seconds(elapsed);
                o.lost += lost;
                o.reimaged += reimaged;
                o.wrong += wrong;
            }
        }
        finish(host, SIGTERM, 10);
    }
    // The load-only hosts end on a signal; their rate is over their own reading time.
    double loadSum = 0;
    std::size_t loadsFinished = 0;
    for (Process& load : loads) {
        const std::string line = readLine(load, 30);
        unsigned long long received = 0;
        long long dropped = 0, elapsed = 0;
        if (std::sscanf(line.c_str(), "LOAD %llu %lld %lld", &received, &dropped, &elapsed) == 3 && elapsed > 0) {
            loadSum += static_cast<double>(received) / seconds(elapsed);
            o.loadDropped += static_cast<std::uint64_t>(dropped);
            ++loadsFinished;
        }
        finish(load, SIGTERM, 5);
    }
    if (!loads.empty()) o.loadDelivered = loadsFinished == 0 ? 0 : loadSum / static_cast<double>(loadsFinished);
    if (loadsFinished < loads.size()) o.faults.push_back(std::to_string(loads.size() - loadsFinished) + " load-only host(s) gave no count");
    if (o.loadDropped != 0) o.faults.push_back(std::to_string(o.loadDropped) + " message(s) dropped by load-only hosts");
    finish(gateway, SIGTERM, 10);
    if (recording < cell.hosts) o.faults.push_back(std::to_string(cell.hosts - recording) + " host(s) never started");
    if (o.hostsFinished < cell.measured)
        o.faults.push_back(std::to_string(cell.measured - o.hostsFinished) + " host(s) gave no result");
    if (o.lost != 0) o.faults.push_back(std::to_string(o.lost) + " update(s) lost (a gap in a symbol's counts)");
    if (o.wrong != 0) o.faults.push_back(std::to_string(o.wrong) + " notification(s) with a stamp from the future or an older count");
    o.deliveredPerHost = o.hostsFinished == 0 ? 0 : deliveredSum / static_cast<double>(o.hostsFinished);
    o.keptUp = o.faults.empty() && o.deliveredPerHost >= 0.97 * cell.rate && (loads.empty() || o.loadDelivered >= 0.97 * cell.rate);
    o.p50 = o.latency->valueAtPercentile(50);
    o.p99 = o.latency->valueAtPercentile(99);
    o.p999 = o.latency->valueAtPercentile(99.9);
    o.max = o.latency->max();
    return o;
}

// ---- Report --------------------------------------------------------------------------------

std::string ratio(std::uint64_t value, std::uint64_t base) {
    return base == 0 ? "" : times(static_cast<double>(value) / static_cast<double>(base));
}

std::string percent(double share) {
    if (share < 0) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", share * 100);
    return text;
}

struct Row {
    Cell cell;
    Outcome outcome;
};

// The bare-bus row a NATS row is read against, or null.
const Outcome* busOutcome(const std::vector<Row>& rows, const Cell& cell) {
    for (const Row& other : rows)
        if (isBusOf(other.cell, cell)) return &other.outcome;
    return nullptr;
}

// A measured host's CPU per 1,000 updates a second, as a share of one core; -1 when not measured.
double hostCpuPer1k(const Row& row) {
    return row.outcome.hostCpu < 0 || row.cell.path == Path::Direct ? -1 : row.outcome.hostCpu / (row.cell.rate / 1000);
}

void printTable(const std::vector<Row>& rows) {
    std::printf("\n| path | kind | symbols | rate/s | hosts | delivered/s per host | kept up | lost | p50 | p99 | p99.9 | max "
                "| p50 / direct | p99 / direct | p50 / bus | p99 / bus | gateway CPU %% | gateway CPU %% per 1k/s | gateway RSS MB "
                "| servers CPU %% | CPU %% per host | host CPU %% per 1k/s | host CPU / bus |\n");
    std::printf("|:--|:--|---:|---:|---:|---:|:--|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        const Cell& c = row.cell;
        const Outcome& o = row.outcome;
        const Outcome* direct = nullptr;
        for (const Row& other : rows)
            if (other.cell.path == Path::Direct && other.cell.kind == c.kind && other.cell.symbols == c.symbols &&
                other.cell.rate == c.rate)
                direct = &other.outcome;
        const Outcome* bare = busOutcome(rows, c);
        const bool remote = c.path != Path::Direct;
        const std::string hostsText = c.measured == c.hosts ? std::to_string(c.hosts)
                                                            : std::to_string(c.hosts) + " (" + std::to_string(c.measured) + " + " +
                                                                  std::to_string(c.hosts - c.measured) + " load)";
        const std::string cpuRatio =
            bare != nullptr && bare->hostCpu > 0 && o.hostCpu >= 0 ? times(o.hostCpu / bare->hostCpu) : std::string();
        std::printf("| %s | %s | %zu | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
                    cellPathName(c), kindName(c.kind), c.symbols, count(c.rate).c_str(), hostsText.c_str(),
                    (count(o.deliveredPerHost) + (o.loadDelivered >= 0 ? " (load " + count(o.loadDelivered) + ")" : "")).c_str(), o.keptUp ? "yes" : "NO",
                    remote ? (count(static_cast<double>(o.lost)) + (o.reimaged ? " (" + count(static_cast<double>(o.reimaged)) + " re-imaged)" : "")).c_str() : "", micros(o.p50).c_str(),
                    micros(o.p99).c_str(), micros(o.p999).c_str(), micros(o.max).c_str(),
                    remote && direct ? ratio(o.p50, direct->p50).c_str() : "",
                    remote && direct ? ratio(o.p99, direct->p99).c_str() : "",
                    bare != nullptr ? ratio(o.p50, bare->p50).c_str() : "", bare != nullptr ? ratio(o.p99, bare->p99).c_str() : "",
                    percent(o.gatewayCpu).c_str(),
                    remote && o.gatewayCpu >= 0 ? percent(o.gatewayCpu / (c.rate / 1000)).c_str() : "",
                    remote ? std::to_string(o.gatewayRssKb / 1024).c_str() : "", percent(o.serverCpu).c_str(),
                    percent(o.hostCpu).c_str(), percent(hostCpuPer1k(row)).c_str(), cpuRatio.c_str());
    }
}

void writeCsv(const std::string& path, const std::vector<Row>& rows) {
    if (path.empty()) return;
    std::ofstream out(path);
    out << "path,kind,symbols,rate,hosts,measured,delivered_per_host,kept_up,lost,p50_ns,p99_ns,p999_ns,max_ns,gateway_cpu,"
           "gateway_rss_kb,servers_cpu,host_cpu,load_delivered,reimaged\n";
    for (const Row& row : rows) {
        const Cell& c = row.cell;
        const Outcome& o = row.outcome;
        out << cellPathName(c) << ',' << kindName(c.kind) << ',' << c.symbols << ',' << c.rate << ',' << c.hosts << ',' << c.measured << ','
            << o.deliveredPerHost << ',' << (o.keptUp ? 1 : 0) << ',' << o.lost << ',' << o.p50 << ',' << o.p99 << ','
            << o.p999 << ',' << o.max << ',' << o.gatewayCpu << ',' << o.gatewayRssKb << ',' << o.serverCpu << ','
            << o.hostCpu << ',' << o.loadDelivered << ',' << o.reimaged << '\n';
    }
}

// This program itself: its host and publisher processes run the same binary,
// also when it was copied under another name (a build of the NATS feed client
// compared with another).
std::string selfPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n <= 0 ? std::string("tellivar-fanout-latency") : std::string(self, static_cast<std::size_t>(n));
}

std::string besideSelf(const std::string& relative) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return relative;
    std::string dir(self, static_cast<std::size_t>(n));
    return dir.substr(0, dir.rfind('/')) + "/" + relative;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Feed update to host consumer through the plug-in: directly, through one nats-server, through a cluster"};
    std::string hostKind;
    double window = 2, patience = 30;
    app.add_option("--host", hostKind, "run as one measured host process (quotes|bars)")->group("");
    app.add_option("--patience", patience, "a host's wait for its images, seconds")->group("");
    std::string loadKind, busHostKind, busPublishKind;
    app.add_option("--load", loadKind, "run as one load-only host (quotes|bars)")->group("");
    app.add_option("--bus-host", busHostKind, "run as one bare measured subscriber (quotes|bars)")->group("");
    app.add_option("--bus-publish", busPublishKind, "run as the bare publisher (quotes|bars)")->group("");
    std::string gatewayBusHostKind;
    app.add_option("--gateway-bus-host", gatewayBusHostKind, "run as one bare subscriber to the gateway (quotes|bars)")->group("");
    bool noBus = false, split = false;
    app.add_flag("--no-bus", noBus, "leave out the bare-bus cell beside each NATS cell");
    app.add_flag("--split", split, "also run each NATS cell with bare subscribers in place of the measured hosts");
    bool measureAll = false;
    app.add_flag("--measure-all", measureAll, "every host runs the plug-in (default: one does, the others are load only)");
    bool quick = false;
    std::string csvPath;
    std::vector<std::string> paths = {"direct", "nats", "cluster"}, kinds = {"quotes", "bars"};
    std::vector<std::size_t> symbols = {100, 1000}, hostCounts = {1, 10, 50};
    std::vector<double> rates = {1000, 10000, 100000};
    Tools tools{selfPath(), besideSelf("tellivar-latency"),
                besideSelf("../../bin/tellivar-gateway"), besideSelf("../../lib/tellivar/stamp/libTellivarClient.so.1"),
                "nats-server"};
    app.add_flag("--quick", quick, "CI's short run: quotes and bars through one server, quotes through a cluster");
    app.add_option("--csv", csvPath, "also write every cell to this CSV file");
    app.add_option("--paths", paths, "direct, nats, cluster")->delimiter(',');
    app.add_option("--kinds", kinds, "quotes, bars")->delimiter(',')->check(CLI::IsMember({"quotes", "bars"}));
    app.add_option("--symbols", symbols, "symbol counts (1-1000)")->delimiter(',')->check(CLI::Range(1, 1000));
    app.add_option("--rates", rates, "updates per second over all symbols")->delimiter(',')->check(CLI::PositiveNumber);
    app.add_option("--hosts", hostCounts, "host process counts")->delimiter(',')->check(CLI::Range(1, 200));
    app.add_option("--seconds", window, "measured window of each cell")->check(CLI::PositiveNumber);
    app.add_option("--nats-server", tools.server, "the nats-server program");
    CLI11_PARSE(app, argc, argv);

    if (!loadKind.empty()) return runLoad(loadKind == "bars" ? Kind::Bars : Kind::Snapshot, window);
    const auto kindOf = [](const std::string& text) { return text == "bars" ? Kind::Bars : Kind::Snapshot; };
    if (!busPublishKind.empty()) return runBusPublisher(kindOf(busPublishKind), symbols.front(), rates.front());
    if (!busHostKind.empty()) return runBusHost(kindOf(busHostKind), symbols.front(), window, patience, false);
    if (!gatewayBusHostKind.empty()) return runBusHost(kindOf(gatewayBusHostKind), symbols.front(), window, patience, true);
    if (!hostKind.empty()) return runHost(hostKind == "bars" ? Kind::Bars : Kind::Snapshot, symbols.front(), window, patience);

    std::vector<Cell> cells;
    if (quick) {
        window = 1;
        cells = {{Path::Nats, Kind::Snapshot, 100, 10000, 3, 3},
                 {Path::Nats, Kind::Bars, 100, 10000, 3, 3},
                 {Path::Cluster, Kind::Snapshot, 100, 10000, 3, 3}};
    } else {
        for (const std::string& pathText : paths) {
            const Path path = pathText == "direct" ? Path::Direct : pathText == "nats" ? Path::Nats : Path::Cluster;
            for (const std::string& kind : kinds)
                for (std::size_t n : symbols)
                    for (double rate : rates)
                        for (std::size_t hosts : hostCounts) {
                            if (path == Path::Direct && hosts != hostCounts.front()) continue;  // one host in-process
                            const std::size_t h = path == Path::Direct ? 1 : hosts;
                            cells.push_back({path, kind == "bars" ? Kind::Bars : Kind::Snapshot, n, rate, h,
                                             measureAll ? h : 1});
                        }
        }
    }

    if (!noBus || split) {
        // The bus alone first, then the gateway with bare hosts, then the
        // same cell through the gateway and the plug-in.
        std::vector<Cell> withBus;
        for (const Cell& cell : cells) {
            if (cell.path != Path::Direct && !noBus) withBus.push_back(busTwin(cell));
            if (cell.path != Path::Direct && split) withBus.push_back(bareHostTwin(cell));
            withBus.push_back(cell);
        }
        cells = std::move(withBus);
    }

    std::printf("load average before: %s\n", loadAverage().c_str());
    std::fflush(stdout);
    const Nanos start = nowNanos();
    std::vector<Row> rows;
    int faults = 0;
    std::unique_ptr<Bus> bus;
    Path busPath = Path::Direct;
    for (const Cell& cell : cells) {
        if (cell.path != Path::Direct && (!bus || busPath != cell.path)) {
            bus.reset();
            bus = std::make_unique<Bus>(tools.server, cell.path == Path::Cluster);
            busPath = cell.path;
            if (!bus->error.empty()) {
                std::fprintf(stderr, "FAULT %s\n", bus->error.c_str());
                return 1;
            }
        }
        Row row{cell, cell.path == Path::Direct ? runDirect(tools, cell, window) : runOverNats(tools, *bus, cell, window)};
        for (const std::string& fault : row.outcome.faults) {
            std::fprintf(stderr, "FAULT %s %s %zu symbols %.0f/s %zu hosts: %s\n", cellPathName(cell),
                         kindName(cell.kind), cell.symbols, cell.rate, cell.hosts, fault.c_str());
            ++faults;
        }
        std::fprintf(stderr, "%s %s %zu symbols %.0f/s %zu hosts: p99 %s us, %s/s per host\n", cellPathName(cell),
                     kindName(cell.kind), cell.symbols, cell.rate, cell.hosts, micros(row.outcome.p99).c_str(),
                     count(row.outcome.deliveredPerHost).c_str());
        rows.push_back(std::move(row));
    }
    bus.reset();
    printTable(rows);
    writeCsv(csvPath, rows);
    std::printf("\nload average after: %s; %.0f s\n%d fault(s)\n", loadAverage().c_str(), seconds(nowNanos() - start), faults);
    return faults == 0 ? 0 : 1;
}
