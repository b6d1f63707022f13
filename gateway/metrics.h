// The gateway's Prometheus metrics (`--metrics ADDRESS:PORT`): prometheus-cpp's
// exposer serves them over HTTP on /metrics, and every scrape reads them
// afresh from their one source, the gateway's stats (counters.h) and the NATS
// connection's own state and statistics. Nothing is counted twice and the
// publishing path pays nothing for the metrics: a scrape takes the gateway's
// lock once, as the JSON stats request does.
//
// Threads: a scrape runs on one of the exposer's threads; attach, setRole
// and setNats on the program's main thread. A mutex of the collector guards
// what they set; a scrape holds it while it reads the gateway, so the main
// thread's attach(nullptr) waits for a scrape under way before the gateway
// may go.
#pragma once

#include <nats/nats.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "gateway/counters.h"

namespace prometheus {
class Exposer;
}

namespace gateway {

class Gateway;

// Where the metrics are served: a numeric IPv4 address and a port (the
// exposer's HTTP server, Debian's civetweb, has no IPv6).
struct ListenAddress {
    std::string address;
    int port = 0;
    std::string text() const { return address + ":" + std::to_string(port); }
};
// "127.0.0.1:9464", "0.0.0.0:9464"; nullopt, with `error` set to what is
// wrong, for anything else.
std::optional<ListenAddress> parseListenAddress(const std::string& text, std::string* error);

// Whether this gateway serves or waits for the lease of its standby bucket
// (standby.h). A gateway without a bucket is active.
enum class Role { Active, Standby };

// What one scrape shows.
struct MetricsSnapshot {
    Stats stats;
    Role role = Role::Active;
    // The NATS connection's state; nullopt before it connected and after it
    // was freed.
    std::optional<natsConnStatus> nats;
    std::uint64_t reconnects = 0;
};

// The metric families of `snapshot`, named and typed for Prometheus.
std::vector<prometheus::MetricFamily> metricFamilies(const MetricsSnapshot& snapshot);

class MetricsServer {
public:
    // Listens on `where` at once. Throws std::runtime_error, saying why, when
    // it cannot (the port taken, the address not this machine's).
    explicit MetricsServer(const ListenAddress& where);
    // Stops serving; waits for a scrape under way.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // The gateway whose stats scrapes read. Null: none; the last stats read
    // are shown from then on, so counters never go back while the process
    // lives. Returns once no scrape reads the previous gateway.
    void attach(Gateway* gateway);
    void setRole(Role role);
    // The connection whose state and reconnects scrapes read; null before
    // freeing it. Returns once no scrape reads the previous one.
    void setNats(natsConnection* nats);

private:
    class Collector;
    std::shared_ptr<Collector> collector_;
    // Declared last: destroyed first, so no scrape runs once the collector goes.
    std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace gateway
