// tellivar-gateway: loads a feed client library, logs on once, and serves its
// quotes, update streams and histories to NATS feed clients (gateway.h).
// Runs until SIGINT or SIGTERM.
#include <dlfcn.h>
#include <nats/nats.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway.h"
#include "gateway/lease.h"
#include "gateway/metrics.h"
#include "gateway/standby.h"
#include "wire/nats_config.h"

namespace {

std::string envOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The stand-in feed client: installed in ../lib/tellivar/simfeed beside this
// program, built in ../lib; the loader's search path otherwise.
std::string defaultFeedLibrary() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        for (const char* relative : {"/../lib/tellivar/simfeed/libTellivarClient.so.1", "/../lib/libTellivarClient.so.1"}) {
            const std::string path = dir + relative;
            if (access(path.c_str(), R_OK) == 0) return path;
        }
    }
    return "libTellivarClient.so.1";
}

void logLine(const std::string& line) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::fprintf(stderr, "%s tellivar-gateway: %s\n", stamp, line.c_str());
}

std::string holderName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host) + "/" + std::to_string(getpid());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Market-data gateway: one feed logon, fanned out over NATS"};
    std::string feedLibrary = defaultFeedLibrary();
    std::string user = envOr("TELLIVAR_GATEWAY_USER", "demo");
    std::string password = envOr("TELLIVAR_GATEWAY_PASSWORD", "demo");
    std::string servers = "nats://127.0.0.1:4222";
    std::string natsUser, natsPassword, natsCreds;
    bool quiet = false;
    double leaseSeconds = 10;
    app.add_option("--feed-library", feedLibrary, "Feed client library to load")->capture_default_str();
    app.add_option("--user", user, "Feed user name (TELLIVAR_GATEWAY_USER)");
    app.add_option("--password", password, "Feed password (TELLIVAR_GATEWAY_PASSWORD)");
    app.add_option("--nats", servers, "NATS servers, comma-separated")->capture_default_str();
    app.add_option("--nats-user", natsUser, "NATS user name");
    app.add_option("--nats-password", natsPassword, "NATS password");
    app.add_option("--nats-creds", natsCreds, "NATS credentials file");
    // Clients renew every 3 s: a shorter lease would drop the interest of
    // every client between two renewals, and with it their feed sets.
    app.add_option("--lease", leaseSeconds,
                   "Seconds a client's interest lasts without renewal (clients renew every 3 s)")
        ->capture_default_str()
        ->check(CLI::Range(4.0, 3600.0));
    int historyInFlight = 32;
    double historyPerSecond = 50;
    app.add_option("--history-in-flight", historyInFlight,
                   "History requests a client may have under way (a user's clients together: 8 times as many)")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--history-per-second", historyPerSecond,
                   "History requests a client may make a second (a user's clients together: 8 times as many)")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1e6));
    int subscriptions = 10000;
    app.add_option("--subscriptions", subscriptions,
                   "Quotes and streams a client may subscribe to at once (a user's clients together: 8 times as many)")
        ->capture_default_str()
        ->check(CLI::Range(1, 10000000));
    std::string standbyBucket;
    double takeoverSeconds = 2;
    app.add_option("--standby-bucket", standbyBucket,
                   "JetStream key-value bucket whose lease decides which of several gateways on the same "
                   "subjects is active; the others wait as standbys");
    app.add_option("--takeover", takeoverSeconds,
                   "With --standby-bucket: seconds the active gateway's lease lasts without renewal")
        ->capture_default_str()
        ->check(CLI::Range(0.5, 60.0));
    double replicasRetrySeconds = 30;
    app.add_option("--replicas-retry", replicasRetrySeconds,
                   "With --standby-bucket: seconds between tries to raise a bucket kept in fewer than 3 copies "
                   "(created while a cluster node was down) to 3; shorter only for tests")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    std::string metricsAddress;
    app.add_option("--metrics", metricsAddress,
                   "Serve Prometheus metrics over HTTP on ADDRESS:PORT (/metrics), ADDRESS an IPv4 address, "
                   "as 127.0.0.1:9464");
    app.add_flag("--quiet", quiet, "No log lines");
    CLI11_PARSE(app, argc, argv);
    std::optional<gateway::ListenAddress> metricsWhere;
    if (app.count("--metrics") != 0) {
        std::string error;
        metricsWhere = gateway::parseListenAddress(metricsAddress, &error);
        if (!metricsWhere) {
            std::fprintf(stderr, "tellivar-gateway: --metrics %s: %s\n", metricsAddress.c_str(), error.c_str());
            return 2;
        }
    }

    // Signals go to sigwait below, not to any thread libnats or the feed starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Started after the mask above: its threads inherit it. It serves from
    // here on, as a standby too, until the process ends or starts afresh.
    std::unique_ptr<gateway::MetricsServer> metrics;
    if (metricsWhere) {
        try {
            metrics = std::make_unique<gateway::MetricsServer>(*metricsWhere);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tellivar-gateway: cannot serve metrics on %s: %s\n",
                         metricsWhere->text().c_str(), e.what());
            return 2;
        }
        if (!quiet) logLine("metrics on http://" + metricsWhere->text() + "/metrics");
    }

    void* library = dlopen(feedLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto** client = library != nullptr ? static_cast<TellivarClient**>(dlsym(library, "pTellivarClient")) : nullptr;
    if (client == nullptr || *client == nullptr) {
        std::fprintf(stderr, "tellivar-gateway: cannot load a feed client from %s: %s\n", feedLibrary.c_str(),
                     library == nullptr ? dlerror() : "no pTellivarClient");
        return 2;
    }

    natsconfig::Settings bus;
    bus.servers = natsconfig::parseServers(servers);
    bus.name = "tellivar-gateway";
    bus.user = natsUser;
    bus.password = natsPassword;
    bus.credentialsFile = natsCreds;
    // Each message goes out at once: buffered, libnats's flusher would hold it
    // for a millisecond to batch, the largest part of a quote's way to a host.
    bus.sendAsap = true;
    natsOptions* options = nullptr;
    natsConnection* nats = nullptr;
    natsStatus s = natsconfig::makeOptions(bus, &options);
    if (s == NATS_OK) s = natsConnection_Connect(&nats, options);
    natsOptions_Destroy(options);
    if (s != NATS_OK) {
        std::fprintf(stderr, "tellivar-gateway: cannot connect to NATS at %s: %s\n", servers.c_str(),
                     natsStatus_GetText(s));
        return 3;
    }
    if (metrics) metrics->setNats(nats);
    // Scrapes stop reading the connection before it is freed.
    auto closeNats = [&metrics, nats] {
        if (metrics) metrics->setNats(nullptr);
        natsConnection_Destroy(nats);
    };

    // With a standby bucket: wait as a standby until this gateway holds the lease.
    std::unique_ptr<gateway::ActiveLease> lease;
    const auto takeover = std::chrono::milliseconds(static_cast<long>(takeoverSeconds * 1000));
    bool stopped = false;
    if (!standbyBucket.empty()) {
        if (metrics) metrics->setRole(gateway::Role::Standby);
        lease = std::make_unique<gateway::ActiveLease>(
            nats, standbyBucket, takeover, holderName(), quiet ? gateway::ActiveLease::Log() : logLine,
            std::chrono::milliseconds(static_cast<long>(replicasRetrySeconds * 1000)));
        std::string error;
        const auto end = gateway::waitAsStandby(*lease, standbyBucket, stopSignals, takeover,
                                                quiet ? gateway::ActiveLease::Log() : logLine, &error);
        if (end == gateway::StandbyEnd::Failed) {
            std::fprintf(stderr, "tellivar-gateway: %s\n", error.c_str());
            lease.reset();
            closeNats();
            return 3;
        }
        stopped = end == gateway::StandbyEnd::Stopped;
        if (metrics && !stopped) metrics->setRole(gateway::Role::Active);
    }

    gateway::Options settings;
    settings.user = user;
    settings.password = password;
    settings.lease = std::chrono::milliseconds(static_cast<long>(leaseSeconds * 1000));
    settings.quotas.historyInFlight = historyInFlight;
    settings.quotas.historyPerSecond = historyPerSecond;
    settings.quotas.subscriptions = subscriptions;
    settings.fenced = lease != nullptr;
    if (!quiet) settings.log = logLine;
    int status = 0;
    bool steppedDown = false;
    if (!stopped) {
        gateway::Gateway gateway(*client, nats, settings);
        if (lease) gateway.holdUntil(lease->validUntil());
        std::string error;
        if (!gateway.start(&error)) {
            std::fprintf(stderr, "tellivar-gateway: %s\n", error.c_str());
            status = 3;
        } else {
            if (metrics) metrics->attach(&gateway);
            if (!quiet) logLine("serving on " + servers + " with the feed client " + feedLibrary);
            int signal = 0;
            if (!lease) {
                sigwait(&stopSignals, &signal);
            } else {
                signal = gateway::serveWhileActive(*lease, gateway, stopSignals, takeover);
                steppedDown = signal == 0;
            }
            if (steppedDown) {
                if (!quiet) logLine("lost the lease in the bucket " + standbyBucket + "; stepping down to standby");
                gateway.holdUntil({});
            } else if (!quiet) {
                logLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            }
            gateway.stop();
            // The last counters stay on show; the gateway goes at the end of this scope.
            if (metrics) metrics->attach(nullptr);
            if (metrics && steppedDown) metrics->setRole(gateway::Role::Standby);
        }
    }
    // A planned stop hands the lease over at once.
    if (lease && !steppedDown) lease->release();
    lease.reset();
    // Drain: what was published goes out, then the connection closes. Drain
    // returns at once; the connection is freed only once it is closed.
    if (natsConnection_DrainTimeout(nats, 5000) == NATS_OK) {
        for (int i = 0; i < 600 && !natsConnection_IsClosed(nats); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    closeNats();
    nats_CloseAndWait(5000);
    // A gateway that lost its lease starts afresh as a standby: same program,
    // arguments and process, a new feed client and NATS connection.
    if (steppedDown) {
        metrics.reset();  // its port is free for the program started afresh
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "tellivar-gateway: cannot restart as a standby: %s\n", std::strerror(errno));
        return 4;
    }
    return status;
}
