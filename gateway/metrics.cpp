// The gateway's Prometheus metrics (metrics.h).
#include "gateway/metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>

#include "gateway/gateway.h"

namespace gateway {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr const char kExample[] = " (ADDRESS:PORT, as 127.0.0.1:9464 or 0.0.0.0:9464)";

// One sample: a counter's or a gauge's value, with its labels.
ClientMetric sample(MetricType type, double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric metric;
    metric.label = std::move(labels);
    if (type == MetricType::Counter) metric.counter.value = value;
    else metric.gauge.value = value;
    return metric;
}

MetricFamily family(const char* name, const char* help, MetricType type, std::vector<ClientMetric> samples) {
    return MetricFamily{name, help, type, std::move(samples)};
}

MetricFamily counter(const char* name, const char* help, std::uint64_t value) {
    return family(name, help, MetricType::Counter, {sample(MetricType::Counter, static_cast<double>(value))});
}

MetricFamily gauge(const char* name, const char* help, double value) {
    return family(name, help, MetricType::Gauge, {sample(MetricType::Gauge, value)});
}

// A gauge per state, 1 for the state `current` and 0 for the others.
MetricFamily stateSet(const char* name, const char* help, const char* label,
                      const std::vector<std::pair<const char*, bool>>& states) {
    std::vector<ClientMetric> samples;
    for (const auto& [state, current] : states)
        samples.push_back(sample(MetricType::Gauge, current ? 1 : 0, {{label, state}}));
    return family(name, help, MetricType::Gauge, std::move(samples));
}

// The connection's state, as named in the metric; null for none.
const char* natsStateName(const std::optional<natsConnStatus>& status) {
    if (!status) return nullptr;
    switch (*status) {
        case NATS_CONN_STATUS_DISCONNECTED: return "disconnected";
        case NATS_CONN_STATUS_CONNECTING: return "connecting";
        case NATS_CONN_STATUS_CONNECTED: return "connected";
        case NATS_CONN_STATUS_RECONNECTING: return "reconnecting";
        case NATS_CONN_STATUS_DRAINING_SUBS:
        case NATS_CONN_STATUS_DRAINING_PUBS: return "draining";
        case NATS_CONN_STATUS_CLOSED: return "closed";
    }
    return nullptr;
}

bool isPort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *port = std::stoi(text);
    return *port >= 1 && *port <= 65535;
}

// Why `where` cannot be listened on, as the system says it; empty when a
// socket binds to it now. The exposer's own error says only that it failed.
std::string whyCannotListen(const ListenAddress& where) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(where.port));
    inet_pton(AF_INET, where.address.c_str(), &address.sin_addr);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    std::string why;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) why = std::strerror(errno);
    close(fd);
    return why;
}

}  // namespace

std::optional<ListenAddress> parseListenAddress(const std::string& text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<ListenAddress> {
        if (error != nullptr) *error = why + kExample;
        return std::nullopt;
    };
    // Debian's civetweb, under the exposer, is built without IPv6.
    if (text.find('[') != std::string::npos || std::count(text.begin(), text.end(), ':') > 1)
        return fail("an IPv6 address: the metrics are served on IPv4 only");
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return fail("no port");
    ListenAddress where;
    where.address = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty()) return fail("no port");
    if (!isPort(port, &where.port)) return fail("the port " + port + " is not a number from 1 to 65535");
    if (where.address.empty()) return fail("no address");
    in_addr binary{};
    if (inet_pton(AF_INET, where.address.c_str(), &binary) != 1)
        return fail(where.address + " is not a numeric IPv4 address");
    return where;
}

std::vector<MetricFamily> metricFamilies(const MetricsSnapshot& m) {
    const Stats& s = m.stats;
    const char* nats = natsStateName(m.nats);
    std::vector<std::pair<const char*, bool>> natsStates;
    for (const char* state : {"connecting", "connected", "reconnecting", "disconnected", "draining", "closed"})
        natsStates.emplace_back(state, nats != nullptr && std::string(nats) == state);
    const std::uint64_t quoteSets = s.symbols, streamSets = s.streams, historySets = s.historyLoads;
    return {
        gauge("tellivar_gateway_clients", "Clients holding interest or waiting for a history",
              static_cast<double>(s.clients)),
        family("tellivar_gateway_feed_sets", "Feed sets open, by kind (quote: one per symbol; stream: one per "
                                             "stream query; history: loads in flight)",
               MetricType::Gauge,
               {sample(MetricType::Gauge, static_cast<double>(quoteSets), {{"kind", "quote"}}),
                sample(MetricType::Gauge, static_cast<double>(streamSets), {{"kind", "stream"}}),
                sample(MetricType::Gauge, static_cast<double>(historySets), {{"kind", "history"}})}),
        gauge("tellivar_gateway_feed_up", "1 while the feed is logged on and ready, else 0", s.feedUp ? 1 : 0),
        stateSet("tellivar_gateway_role",
                 "1 for this gateway's role: active (serves: holds the standby lease, or has no standby "
                 "bucket) or standby (waits for the lease)",
                 "role", {{"active", m.role == Role::Active}, {"standby", m.role == Role::Standby}}),
        counter("tellivar_gateway_feed_updates_total", "Quote updates and stream events taken from the feed",
                s.updatesIn),
        counter("tellivar_gateway_published_messages_total", "Messages published on NATS", s.messagesOut),
        counter("tellivar_gateway_published_bytes_total", "Bytes of the messages published on NATS", s.bytesOut),
        counter("tellivar_gateway_publish_errors_total", "Messages NATS did not take for publishing",
                s.publishErrors),
        counter("tellivar_gateway_history_requests_total",
                "History requests received (each refused, coalesced or sent to the feed)", s.historyRequests),
        counter("tellivar_gateway_history_requests_coalesced_total",
                "History requests that joined an identical one in flight", s.historyCoalesced),
        counter("tellivar_gateway_history_requests_refused_total", "History requests refused by a quota",
                s.historyRefused),
        counter("tellivar_gateway_history_feed_requests_total", "History requests that reached the feed",
                s.historyFeedRequests),
        counter("tellivar_gateway_subscriptions_refused_total", "Subscriptions refused by a quota",
                s.subscriptionsRefused),
        counter("tellivar_gateway_client_lease_expiries_total", "Clients dropped because they stopped renewing",
                s.leaseExpiries),
        counter("tellivar_gateway_slow_consumer_dropped_requests_total",
                "Requests NATS dropped because the gateway fell behind them (slow consumer)",
                s.slowConsumerDrops),
        counter("tellivar_gateway_recorded_messages_total",
                "Records JetStream stored in the recording (--record): updates and keyframe parts",
                s.recordedMessages),
        counter("tellivar_gateway_recorded_bytes_total", "Bytes of the records JetStream stored", s.recordedBytes),
        counter("tellivar_gateway_recording_errors_total",
                "Records JetStream refused or did not answer, and failed tries to add the recording's stream",
                s.recordErrors),
        counter("tellivar_gateway_recording_dropped_total",
                "Records never sent: too many awaited JetStream's answer, or the stream was not there",
                s.recordDropped),
        counter("tellivar_gateway_keyframes_written_total", "Keyframes written whole into the recording",
                s.keyframesWritten),
        gauge("tellivar_gateway_lingering_sinks",
              "Sinks of deleted feed sets kept until no feed callback can reach them",
              static_cast<double>(s.lingeringSinks)),
        stateSet("tellivar_gateway_nats_connection_state", "1 for the NATS connection's state, 0 for the others",
                 "state", natsStates),
        counter("tellivar_gateway_nats_reconnects_total", "Times the NATS connection reconnected", m.reconnects),
    };
}

// ---- The collector: an exposer thread --------------------------------------------------

class MetricsServer::Collector final : public prometheus::Collectable {
public:
    std::vector<MetricFamily> Collect() const override {
        MetricsSnapshot snapshot;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (gateway_ != nullptr) last_ = gateway_->stats();
            snapshot.stats = last_;
            snapshot.role = role_;
            if (nats_ != nullptr) {
                snapshot.nats = natsConnection_Status(nats_);
                natsStatistics* statistics = nullptr;
                if (natsStatistics_Create(&statistics) == NATS_OK &&
                    natsConnection_GetStats(nats_, statistics) == NATS_OK) {
                    std::uint64_t reconnects = 0;
                    natsStatistics_GetCounts(statistics, nullptr, nullptr, nullptr, nullptr, &reconnects);
                    reconnects_ = std::max(reconnects_, reconnects);
                }
                natsStatistics_Destroy(statistics);
            }
            snapshot.reconnects = reconnects_;
        }
        return metricFamilies(snapshot);
    }

    void attach(Gateway* gateway) {
        std::lock_guard<std::mutex> lock(mu_);
        if (gateway_ != nullptr) last_ = gateway_->stats();
        gateway_ = gateway;
    }
    void setRole(Role role) {
        std::lock_guard<std::mutex> lock(mu_);
        role_ = role;
    }
    void setNats(natsConnection* nats) {
        std::lock_guard<std::mutex> lock(mu_);
        nats_ = nats;
    }

private:
    mutable std::mutex mu_;
    // All guarded by mu_; last_ and reconnects_ are what scrapes read last.
    Gateway* gateway_ = nullptr;
    mutable Stats last_;
    Role role_ = Role::Active;
    natsConnection* nats_ = nullptr;
    mutable std::uint64_t reconnects_ = 0;
};

MetricsServer::MetricsServer(const ListenAddress& where) : collector_(std::make_shared<Collector>()) {
    try {
        exposer_ = std::make_unique<prometheus::Exposer>(where.text());
    } catch (const std::exception& e) {
        const std::string why = whyCannotListen(where);
        throw std::runtime_error(why.empty() ? e.what() : why);
    }
    exposer_->RegisterCollectable(collector_);
}

MetricsServer::~MetricsServer() { exposer_.reset(); }

void MetricsServer::attach(Gateway* gateway) { collector_->attach(gateway); }
void MetricsServer::setRole(Role role) { collector_->setRole(role); }
void MetricsServer::setNats(natsConnection* nats) { collector_->setNats(nats); }

}  // namespace gateway
