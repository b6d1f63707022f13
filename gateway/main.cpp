// tellivar-gateway: loads a feed client library, logs on once, and serves its
// quotes, update streams and histories to NATS feed clients (gateway.h).
// Runs until SIGINT or SIGTERM. Its options come from flags, the environment
// and a configuration file (config_file.h); under systemd it reports its
// state (service.h) and logs in the journal's form (log_line.h).
#include <dlfcn.h>
#include <nats/nats.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <sstream>
#include <memory>
#include <optional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config_file.h"
#include "gateway/gateway.h"
#include "gateway/lease.h"
#include "gateway/log_line.h"
#include "gateway/metrics.h"
#include "gateway/service.h"
#include "gateway/standby.h"
#include "wire/nats_config.h"
#include "wire/record.h"

namespace {

constexpr const char* kDefaultConfigFile = "/etc/tellivar/gateway.conf";
constexpr const char* kEnvironmentPrefix = "TELLIVAR_GATEWAY_";

// The first of `relatives` (to this program's folder) that exists; empty if none.
std::string besideProgram(std::initializer_list<const char*> relatives) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string dir(self, static_cast<std::size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    for (const char* relative : relatives) {
        const std::string path = dir + relative;
        if (access(path.c_str(), R_OK) == 0) return path;
    }
    return {};
}

// The stand-in feed client: installed in ../lib/tellivar/simfeed beside this
// program, built in ../lib; the loader's search path otherwise.
std::string defaultFeedLibrary() {
    const std::string found =
        besideProgram({"/../lib/tellivar/simfeed/libTellivarClient.so.1", "/../lib/libTellivarClient.so.1"});
    return found.empty() ? "libTellivarClient.so.1" : found;
}

// --feed-library: a path, or "replay" for the replay feed client installed
// (or built) in ../lib/tellivar/replay beside this program, which serves a
// whole desk a recording in step.
std::string feedLibraryPath(const std::string& choice) {
    if (choice != "replay") return choice;
    const std::string found = besideProgram({"/../lib/tellivar/replay/libTellivarClient.so.1"});
    return found.empty() ? choice : found;
}

void logLine(const std::string& line) { gateway::logLine(gateway::Priority::Info, line); }
void logError(const std::string& line) { gateway::logLine(gateway::Priority::Error, line, false); }

std::string holderName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host) + "/" + std::to_string(getpid());
}

// Every option of the program, with its default. Each is also a key of the
// configuration file and an environment variable (config_file.h).
struct Settings {
    std::string feedLibrary = defaultFeedLibrary();
    std::string user = "demo", password = "demo";
    std::string servers = "nats://127.0.0.1:4222";
    std::string natsUser, natsPassword, natsCreds;
    std::string tlsCa, tlsCert, tlsKey, tlsServerName;
    bool quiet = false;
    double leaseSeconds = 10;
    int historyInFlight = 32;
    double historyPerSecond = 50;
    int subscriptions = 10000;
    std::string standbyBucket;
    double takeoverSeconds = 2;
    double replicasRetrySeconds = 30;
    std::string metrics;
    std::string record, recordSymbols;
    std::int64_t recordMaxAgeSeconds = 7 * 24 * 3600;
    std::int64_t recordMaxBytes = 0;
    double recordKeyframeSeconds = 60;
};

// A file that exists, or "" for none (the example configuration's empty values).
const CLI::Validator kFileOrNone(
    [](std::string& path) { return path.empty() ? std::string() : CLI::ExistingFile(path); }, "FILE");

// A recording's name, or "" for none.
const CLI::Validator kRecordingName(
    [](std::string& name) {
        return name.empty() || wire::isValidRecordingName(name)
                   ? std::string()
                   : "a recording's name is 1 to " + std::to_string(wire::kMaxRecordingName) +
                         " of A-Z a-z 0-9 - _: " + name;
    },
    "NAME");

void defineOptions(CLI::App& app, Settings& s) {
    app.add_option("--feed-library", s.feedLibrary,
                   "Feed client library to load: a path, or replay (the replay feed client, docs/replay.md)")
        ->capture_default_str();
    app.add_option("--user", s.user, "Feed user name");
    app.add_option("--password", s.password,
                   "Feed password (better the environment or the configuration file: a command line shows in ps)");
    app.add_option("--nats", s.servers, "NATS servers, comma-separated (tls://HOST:PORT for TLS)")
        ->capture_default_str();
    app.add_option("--nats-user", s.natsUser, "NATS user name");
    app.add_option("--nats-password", s.natsPassword,
                   "NATS password (better the environment or the configuration file: a command line shows in ps)");
    app.add_option("--credentials,--nats-creds", s.natsCreds, "NATS credentials file (JWT and nkey seed)")
        ->check(kFileOrNone);
    app.add_option("--tls-ca", s.tlsCa, "CA certificates (PEM) to verify the NATS servers against; turns TLS on")
        ->check(kFileOrNone);
    app.add_option("--tls-cert", s.tlsCert, "Client certificate (PEM) for mutual TLS, with --tls-key")
        ->check(kFileOrNone);
    app.add_option("--tls-key", s.tlsKey, "The client certificate's private key (PEM)")->check(kFileOrNone);
    app.add_option("--tls-server-name", s.tlsServerName,
                   "Name the servers' certificates must carry, when not the host name of --nats");
    // Clients renew every 3 s: a shorter lease would drop the interest of
    // every client between two renewals, and with it their feed sets.
    app.add_option("--lease", s.leaseSeconds,
                   "Seconds a client's interest lasts without renewal (clients renew every 3 s)")
        ->capture_default_str()
        ->check(CLI::Range(4.0, 3600.0));
    app.add_option("--history-in-flight", s.historyInFlight,
                   "History requests a client may have under way (a user's clients together: 8 times as many)")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--history-per-second", s.historyPerSecond,
                   "History requests a client may make a second (a user's clients together: 8 times as many)")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1e6));
    app.add_option("--subscriptions", s.subscriptions,
                   "Quotes and streams a client may subscribe to at once (a user's clients together: 8 times as many)")
        ->capture_default_str()
        ->check(CLI::Range(1, 10000000));
    app.add_option("--standby-bucket", s.standbyBucket,
                   "JetStream key-value bucket whose lease decides which of several gateways on the same "
                   "subjects is active; the others wait as standbys");
    app.add_option("--takeover", s.takeoverSeconds,
                   "With --standby-bucket: seconds the active gateway's lease lasts without renewal")
        ->capture_default_str()
        ->check(CLI::Range(0.5, 60.0));
    app.add_option("--replicas-retry", s.replicasRetrySeconds,
                   "With --standby-bucket: seconds between tries to raise a bucket kept in fewer than 3 copies "
                   "(created while a cluster node was down) to 3; shorter only for tests")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--metrics", s.metrics,
                   "Serve Prometheus metrics over HTTP on ADDRESS:PORT (/metrics), ADDRESS an IPv4 address, "
                   "as 127.0.0.1:9464");
    app.add_option("--record", s.record,
                   "Record what the gateway publishes into the JetStream stream NAME (subjects tellivar.rec.NAME.>)")
        ->check(kRecordingName);
    app.add_option("--record-symbols", s.recordSymbols,
                   "With --record: a file of symbols, one a line, whose quotes and minute stream are kept "
                   "subscribed and recorded whether or not a client wants them")
        ->check(kFileOrNone);
    app.add_option("--record-max-age", s.recordMaxAgeSeconds, "With --record: seconds the stream keeps a record")
        ->capture_default_str()
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{100} * 365 * 24 * 3600));
    app.add_option("--record-max-bytes", s.recordMaxBytes,
                   "With --record: bytes the stream keeps at most, the oldest records going first (0: no limit)")
        ->capture_default_str()
        ->check(CLI::Range(std::int64_t{0}, std::numeric_limits<std::int64_t>::max()));
    app.add_option("--record-keyframe", s.recordKeyframeSeconds,
                   "With --record: seconds between keyframes (the image of every live quote and stream)")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 86400.0));
    app.add_flag("--quiet", s.quiet, "No log lines");
}

// The recording's options, the universe file read. False, with `error`, for
// a universe that is not one, or record options without --record.
bool recordingOptions(const Settings& s, gateway::RecordOptions* options, std::string* error) {
    if (s.record.empty()) {
        if (!s.recordSymbols.empty()) {
            *error = "--record-symbols needs --record NAME";
            return false;
        }
        return true;
    }
    options->name = s.record;
    options->maxAge = std::chrono::seconds(s.recordMaxAgeSeconds);
    options->maxBytes = s.recordMaxBytes;
    options->keyframe = std::chrono::milliseconds(static_cast<std::int64_t>(s.recordKeyframeSeconds * 1000));
    if (s.recordSymbols.empty()) return true;
    std::ifstream file(s.recordSymbols);
    std::ostringstream text;
    text << file.rdbuf();
    std::string why;
    const auto symbols = gateway::parseUniverse(text.str(), &why);
    if (!file || !symbols) {
        *error = "--record-symbols " + s.recordSymbols + ": " + (file ? why : std::string("cannot read it"));
        return false;
    }
    options->symbols = *symbols;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Market-data gateway: one feed logon, fanned out over NATS"};
    Settings program, scratch;
    gateway::config::Setup setup;
    setup.prefix = kEnvironmentPrefix;
    setup.defaultFile = kDefaultConfigFile;
    setup.define = [&program](CLI::App& a) { defineOptions(a, program); };
    setup.scratch = [&scratch](CLI::App& a) {
        scratch = Settings{};
        defineOptions(a, scratch);
    };
    const gateway::config::Outcome parsed = gateway::config::parseProgram(app, argc, argv, setup);
    if (!parsed.run) {
        if (parsed.status == 0) {
            std::fputs(parsed.output.c_str(), stdout);
        } else {
            logError(parsed.output);
        }
        return parsed.status;
    }
    const std::string feedLibrary = feedLibraryPath(program.feedLibrary);
    const std::string& user = program.user;
    const std::string& password = program.password;
    const std::string& servers = program.servers;
    const std::string& natsUser = program.natsUser;
    const std::string& natsPassword = program.natsPassword;
    const std::string& natsCreds = program.natsCreds;
    const bool quiet = program.quiet;
    const double leaseSeconds = program.leaseSeconds;
    const int historyInFlight = program.historyInFlight;
    const double historyPerSecond = program.historyPerSecond;
    const int subscriptions = program.subscriptions;
    const std::string& standbyBucket = program.standbyBucket;
    const double takeoverSeconds = program.takeoverSeconds;
    const double replicasRetrySeconds = program.replicasRetrySeconds;
    // Anyone on the machine reads a command line (ps, /proc): say so.
    for (int i = 1; i < argc; ++i) {
        for (const char* flag : {"--password", "--nats-password"}) {
            const std::size_t length = std::strlen(flag);
            if (std::strncmp(argv[i], flag, length) == 0 && (argv[i][length] == '\0' || argv[i][length] == '='))
                gateway::logLine(gateway::Priority::Warning,
                                 std::string("warning: ") + flag +
                                     " on the command line shows in ps to every user of this machine; use the "
                                     "environment or the configuration file",
                                 false);
        }
    }
    std::optional<gateway::ListenAddress> metricsWhere;
    if (!program.metrics.empty()) {
        std::string error;
        metricsWhere = gateway::parseListenAddress(program.metrics, &error);
        if (!metricsWhere) {
            logError("--metrics " + program.metrics + ": " + error);
            return 2;
        }
    }
    gateway::RecordOptions recording;
    if (std::string error; !recordingOptions(program, &recording, &error)) {
        logError(error);
        return 2;
    }
    gateway::ServiceNotifier service = gateway::ServiceNotifier::fromEnvironment();

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
            logError("cannot serve metrics on " + metricsWhere->text() + ": " + e.what());
            return 2;
        }
        if (!quiet) logLine("metrics on http://" + metricsWhere->text() + "/metrics");
    }

    void* library = dlopen(feedLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto** client = library != nullptr ? static_cast<TellivarClient**>(dlsym(library, "pTellivarClient")) : nullptr;
    if (client == nullptr || *client == nullptr) {
        logError("cannot load a feed client from " + feedLibrary + ": " +
                 (library == nullptr ? dlerror() : "no pTellivarClient"));
        return 2;
    }

    natsconfig::Settings bus;
    bus.servers = natsconfig::parseServers(servers);
    bus.name = "tellivar-gateway";
    bus.user = natsUser;
    bus.password = natsPassword;
    bus.credentialsFile = natsCreds;
    bus.tlsCa = program.tlsCa;
    bus.tlsCert = program.tlsCert;
    bus.tlsKey = program.tlsKey;
    bus.tlsServerName = program.tlsServerName;
    if (const std::string wrong = natsconfig::checkSettings(bus); !wrong.empty()) {
        logError(wrong);
        return 2;
    }
    // Each message goes out at once: buffered, libnats's flusher would hold it
    // for a millisecond to batch, the largest part of a quote's way to a host.
    bus.sendAsap = true;
    natsOptions* options = nullptr;
    natsConnection* nats = nullptr;
    std::string error;
    natsStatus s = natsconfig::makeOptions(bus, &options, &error);
    if (s == NATS_OK) {
        s = natsConnection_Connect(&nats, options);
        if (s != NATS_OK)
            error = "cannot connect to NATS at " + natsconfig::joinServers(bus.servers) + ": " +
                    natsconfig::connectFailure(bus, natsconfig::errorText(s));
    }
    natsOptions_Destroy(options);
    if (s != NATS_OK) {
        logError(error);
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
        gateway::StandbyReport report;
        if (service.enabled()) {
            report.waiting = [&service] { service.standby(); };
            report.alive = [&service] { service.keepAlive(); };
            report.every = service.reportEvery();
        }
        const auto end = gateway::waitAsStandby(*lease, standbyBucket, stopSignals, takeover,
                                                quiet ? gateway::ActiveLease::Log() : logLine, &error, report);
        if (end == gateway::StandbyEnd::Failed) {
            logError(error);
            lease.reset();
            closeNats();
            return 3;
        }
        stopped = end == gateway::StandbyEnd::Stopped;
        if (stopped) service.stopping("stopping");
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
    settings.record = recording;
    if (!quiet) settings.log = logLine;
    if (service.enabled()) {
        // READY, STATUS and the watchdog's keep-alive come from the
        // gateway's housekeeping: a gateway whose lock or feed thread is
        // stuck stops sending them, and systemd restarts it.
        settings.report = [&service](const gateway::Health& health) { service.report(health); };
        settings.reportEvery = service.reportEvery();
        settings.feedStallLimit = service.stallLimit();
    }
    int status = 0;
    bool steppedDown = false;
    if (!stopped) {
        gateway::Gateway gateway(*client, nats, settings);
        if (lease) gateway.holdUntil(lease->validUntil());
        std::string error;
        if (!gateway.start(&error)) {
            logError(error);
            status = 3;
        } else {
            if (metrics) metrics->attach(&gateway);
            if (!quiet) logLine("serving on " + natsconfig::joinServers(bus.servers) + " with the feed client " + feedLibrary);
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
            } else {
                const std::string why = std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM");
                service.stopping(why);
                if (!quiet) logLine(why);
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
        logError(std::string("cannot restart as a standby: ") + std::strerror(errno));
        return 4;
    }
    return status;
}
