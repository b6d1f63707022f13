// The gateway's metrics without a server: the --metrics address, and which
// metric each of the gateway's figures becomes.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gateway/metrics.h"

namespace {

using gateway::MetricsSnapshot;
using prometheus::MetricType;

TEST(MetricsAddress, ShouldTakeANumericAddressAndAPort) {
    struct Case {
        const char* text;
        const char* address;
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:9464", "127.0.0.1", 9464},
        {"0.0.0.0:1", "0.0.0.0", 1},
        {"10.1.2.3:65535", "10.1.2.3", 65535},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto where = gateway::parseListenAddress(c.text, &error);
        ASSERT_TRUE(where.has_value()) << c.text << ": " << error;
        EXPECT_EQ(where->address, c.address) << c.text;
        EXPECT_EQ(where->port, c.port) << c.text;
        EXPECT_EQ(where->text(), c.text);
    }
}

TEST(MetricsAddress, ShouldRejectAnythingElseSayingWhy) {
    struct Case {
        const char* text;
        const char* why;
    };
    const Case cases[] = {
        {"", "no port"},
        {"127.0.0.1", "no port"},
        {"127.0.0.1:", "no port"},
        {":9464", "no address"},
        {"127.0.0.1:0", "the port 0 is not a number from 1 to 65535"},
        {"127.0.0.1:65536", "the port 65536 is not a number from 1 to 65535"},
        {"127.0.0.1:099999", "the port 099999 is not a number from 1 to 65535"},
        {"127.0.0.1:http", "the port http is not a number"},
        {"127.0.0.1:+80", "the port +80 is not a number"},
        {"127.0.0.1:-1", "the port -1 is not a number"},
        {"127.0.0.1: 80", "the port  80 is not a number"},
        {"localhost:9464", "localhost is not a numeric IPv4 address"},
        {"256.0.0.1:9464", "256.0.0.1 is not a numeric IPv4 address"},
        {"[::1]:9464", "an IPv6 address: the metrics are served on IPv4 only"},
        {"::1:9464", "an IPv6 address"},
        {"[127.0.0.1]:9464", "an IPv6 address"},
        {"127.0.0.1:9464:1", "an IPv6 address"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(gateway::parseListenAddress(c.text, &error).has_value()) << c.text;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " gave: " << error;
        EXPECT_NE(error.find("ADDRESS:PORT"), std::string::npos) << c.text << " gave: " << error;
    }
}

// Every sample of `families`, keyed by name and labels.
std::map<std::string, double> samples(const std::vector<prometheus::MetricFamily>& families) {
    std::map<std::string, double> all;
    for (const auto& family : families) {
        for (const auto& metric : family.metric) {
            std::string key = family.name;
            for (const auto& label : metric.label) key += "{" + label.name + "=" + label.value + "}";
            all[key] = family.type == MetricType::Counter ? metric.counter.value : metric.gauge.value;
        }
    }
    return all;
}

TEST(MetricFamilies, ShouldShowEachFigureInItsOwnMetricAndNoOther) {
    struct Case {
        const char* figure;
        std::function<void(MetricsSnapshot&)> set;
        std::map<std::string, double> changed;  // every sample that differs from a fresh snapshot's
    };
    const std::vector<Case> cases = {
        {"clients", [](MetricsSnapshot& m) { m.stats.clients = 3; }, {{"tellivar_gateway_clients", 3}}},
        {"quote sets", [](MetricsSnapshot& m) { m.stats.symbols = 4; },
         {{"tellivar_gateway_feed_sets{kind=quote}", 4}}},
        {"stream sets", [](MetricsSnapshot& m) { m.stats.streams = 5; },
         {{"tellivar_gateway_feed_sets{kind=stream}", 5}}},
        {"history loads", [](MetricsSnapshot& m) { m.stats.historyLoads = 6; },
         {{"tellivar_gateway_feed_sets{kind=history}", 6}}},
        {"feed up", [](MetricsSnapshot& m) { m.stats.feedUp = true; }, {{"tellivar_gateway_feed_up", 1}}},
        {"standby", [](MetricsSnapshot& m) { m.role = gateway::Role::Standby; },
         {{"tellivar_gateway_role{role=active}", 0}, {"tellivar_gateway_role{role=standby}", 1}}},
        {"updates in", [](MetricsSnapshot& m) { m.stats.updatesIn = 7; },
         {{"tellivar_gateway_feed_updates_total", 7}}},
        {"messages out", [](MetricsSnapshot& m) { m.stats.messagesOut = 8; },
         {{"tellivar_gateway_published_messages_total", 8}}},
        {"bytes out", [](MetricsSnapshot& m) { m.stats.bytesOut = 9; },
         {{"tellivar_gateway_published_bytes_total", 9}}},
        {"publish errors", [](MetricsSnapshot& m) { m.stats.publishErrors = 10; },
         {{"tellivar_gateway_publish_errors_total", 10}}},
        {"history requests", [](MetricsSnapshot& m) { m.stats.historyRequests = 11; },
         {{"tellivar_gateway_history_requests_total", 11}}},
        {"coalesced", [](MetricsSnapshot& m) { m.stats.historyCoalesced = 12; },
         {{"tellivar_gateway_history_requests_coalesced_total", 12}}},
        {"refused", [](MetricsSnapshot& m) { m.stats.historyRefused = 13; },
         {{"tellivar_gateway_history_requests_refused_total", 13}}},
        {"reached the feed", [](MetricsSnapshot& m) { m.stats.historyFeedRequests = 14; },
         {{"tellivar_gateway_history_feed_requests_total", 14}}},
        {"subscriptions refused", [](MetricsSnapshot& m) { m.stats.subscriptionsRefused = 15; },
         {{"tellivar_gateway_subscriptions_refused_total", 15}}},
        {"lease expiries", [](MetricsSnapshot& m) { m.stats.leaseExpiries = 16; },
         {{"tellivar_gateway_client_lease_expiries_total", 16}}},
        {"slow-consumer drops", [](MetricsSnapshot& m) { m.stats.slowConsumerDrops = 17; },
         {{"tellivar_gateway_slow_consumer_dropped_requests_total", 17}}},
        {"recorded messages", [](MetricsSnapshot& m) { m.stats.recordedMessages = 20; },
         {{"tellivar_gateway_recorded_messages_total", 20}}},
        {"recorded bytes", [](MetricsSnapshot& m) { m.stats.recordedBytes = 21; },
         {{"tellivar_gateway_recorded_bytes_total", 21}}},
        {"recording errors", [](MetricsSnapshot& m) { m.stats.recordErrors = 22; },
         {{"tellivar_gateway_recording_errors_total", 22}}},
        {"records dropped", [](MetricsSnapshot& m) { m.stats.recordDropped = 23; },
         {{"tellivar_gateway_recording_dropped_total", 23}}},
        {"keyframes", [](MetricsSnapshot& m) { m.stats.keyframesWritten = 24; },
         {{"tellivar_gateway_keyframes_written_total", 24}}},
        {"lingering sinks", [](MetricsSnapshot& m) { m.stats.lingeringSinks = 18; },
         {{"tellivar_gateway_lingering_sinks", 18}}},
        {"reconnects", [](MetricsSnapshot& m) { m.reconnects = 19; },
         {{"tellivar_gateway_nats_reconnects_total", 19}}},
        {"connected", [](MetricsSnapshot& m) { m.nats = NATS_CONN_STATUS_CONNECTED; },
         {{"tellivar_gateway_nats_connection_state{state=connected}", 1}}},
        {"reconnecting", [](MetricsSnapshot& m) { m.nats = NATS_CONN_STATUS_RECONNECTING; },
         {{"tellivar_gateway_nats_connection_state{state=reconnecting}", 1}}},
        {"draining publishers", [](MetricsSnapshot& m) { m.nats = NATS_CONN_STATUS_DRAINING_PUBS; },
         {{"tellivar_gateway_nats_connection_state{state=draining}", 1}}},
        {"closed", [](MetricsSnapshot& m) { m.nats = NATS_CONN_STATUS_CLOSED; },
         {{"tellivar_gateway_nats_connection_state{state=closed}", 1}}},
    };
    const auto fresh = samples(gateway::metricFamilies(MetricsSnapshot{}));
    for (const Case& c : cases) {
        MetricsSnapshot snapshot;
        c.set(snapshot);
        const auto shown = samples(gateway::metricFamilies(snapshot));
        ASSERT_EQ(shown.size(), fresh.size()) << c.figure;
        std::map<std::string, double> changed;
        for (const auto& [key, value] : shown)
            if (fresh.count(key) == 0 || fresh.at(key) != value) changed[key] = value;
        EXPECT_EQ(changed, c.changed) << c.figure;
    }
}

TEST(MetricFamilies, ShouldFollowPrometheusNamingWithoutPerClientLabels) {
    MetricsSnapshot snapshot;
    snapshot.nats = NATS_CONN_STATUS_CONNECTED;
    const auto families = gateway::metricFamilies(snapshot);
    ASSERT_FALSE(families.empty());
    std::map<std::string, int> names;
    for (const auto& family : families) {
        ++names[family.name];
        EXPECT_EQ(family.name.rfind("tellivar_gateway_", 0), 0u) << family.name;
        EXPECT_FALSE(family.help.empty()) << family.name;
        const bool total = family.name.size() > 6 && family.name.compare(family.name.size() - 6, 6, "_total") == 0;
        if (family.type == MetricType::Counter) EXPECT_TRUE(total) << family.name << ": a counter ends in _total";
        else EXPECT_FALSE(total) << family.name << ": only counters end in _total";
        EXPECT_TRUE(family.type == MetricType::Counter || family.type == MetricType::Gauge) << family.name;
        ASSERT_FALSE(family.metric.empty()) << family.name;
        for (const auto& metric : family.metric)
            for (const auto& label : metric.label)
                EXPECT_TRUE(label.name == "kind" || label.name == "role" || label.name == "state")
                    << family.name << " has the label " << label.name;
    }
    for (const auto& [name, count] : names) EXPECT_EQ(count, 1) << name << " is shown twice";
}

std::string readSource(const std::string& path) {
    std::ifstream in(std::string(TELLIVAR_SOURCE_DIR) + "/" + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The docs name what the gateway shows: every family is in the gateway's
// doc, and every metric an example alert uses exists.
TEST(MetricFamilies, ShouldBeTheOnesTheDocsAndTheExampleAlertsName) {
    std::set<std::string> shown;
    for (const auto& family : gateway::metricFamilies(MetricsSnapshot{})) shown.insert(family.name);
    struct Doc {
        const char* path;
        bool namesEveryFamily;
    };
    const Doc docs[] = {{"docs/fanout.md", true}, {"docs/alerts.yml", false}};
    for (const Doc& doc : docs) {
        const std::string text = readSource(doc.path);
        ASSERT_FALSE(text.empty()) << doc.path;
        std::set<std::string> named;
        const std::regex metric("tellivar_gateway_[a-z_]+");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), metric); it != std::sregex_iterator(); ++it)
            named.insert(it->str());
        EXPECT_FALSE(named.empty()) << doc.path;
        for (const std::string& name : named) EXPECT_EQ(shown.count(name), 1u) << doc.path << " names " << name;
        if (doc.namesEveryFamily) {
            for (const std::string& name : shown) EXPECT_EQ(named.count(name), 1u) << doc.path << " lacks " << name;
        }
    }
}

}  // namespace
