// tellivar-gateway --metrics, as a process: scraped over HTTP and read with
// the text format's parser of python3-prometheus-client (scrape_metrics.py),
// while the test drives requests at it over NATS; and the addresses it
// refuses. Every wait is bounded; nothing is timed.
#include <gtest/gtest.h>

#include <nats/nats.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "nats/nats_support.h"
#include "wire/inbox.h"
#include "wire/wire.h"

namespace {

using Labels = std::map<std::string, std::string>;
constexpr const char kPython[] = "/usr/bin/python3";  // Debian's, which has the parser

#define SKIP_WITHOUT_PARSER()                                                                            \
    do {                                                                                                 \
        SKIP_WITHOUT_NATS_SERVER();                                                                      \
        if (std::system((std::string(kPython) + " -c 'import prometheus_client' 2>/dev/null").c_str())) \
            GTEST_SKIP() << "python3-prometheus-client is not installed";                               \
    } while (false)

// The test's own file in the build tree, named after the test and `what`.
std::string testFile(const std::string& what) {
    const std::string name = std::string("metrics-") + testing::UnitTest::GetInstance()->current_test_info()->name() +
                             "-" + what;
    std::filesystem::remove_all(name);
    return std::filesystem::absolute(name).string();
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// What the parser makes of http://127.0.0.1:<port>/metrics: each family by
// its name (a counter's without "_total") with its type and samples; null when
// the scrape or the parse failed.
nlohmann::json scrape(int port) {
    const std::string command = std::string(kPython) + " " + TELLIVAR_SCRAPE_SCRIPT + " http://127.0.0.1:" +
                                std::to_string(port) + "/metrics 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return nullptr;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (pclose(pipe) != 0) return nullptr;
    return nlohmann::json::parse(text, nullptr, false);
}

// The value of `family`'s sample with exactly `labels`; NaN when there is none.
double valueOf(const nlohmann::json& families, const std::string& family, const Labels& labels = {}) {
    if (!families.is_object() || !families.contains(family)) return NAN;
    for (const auto& sample : families[family]["samples"])
        if (sample["labels"].get<Labels>() == labels) return sample["value"].get<double>();
    return NAN;
}

// The gateway program on the stand-in, with --metrics on a free port.
struct MetricsGateway {
    MetricsGateway(const std::string& nats, std::vector<std::string> extra, const std::string& name,
                   const std::vector<std::string>& env = {})
        : port(freeLoopbackPort()), log(testFile(name + ".log")) {
        std::vector<std::string> args = {TELLIVAR_GATEWAY_PROGRAM, "--feed-library", TELLIVAR_STANDIN_PATH, "--nats",
                                         nats, "--metrics", "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        process.start(args, env, log);
    }
    double scraped(const std::string& family, const Labels& labels = {}) {
        return valueOf(last = scrape(port), family, labels);
    }
    // Waits until the scraped value satisfies `wanted`.
    bool until(const std::string& family, const Labels& labels, const std::function<bool(double)>& wanted) {
        return eventually([&] { return wanted(scraped(family, labels)); });
    }
    bool until(const std::string& family, const Labels& labels, double wanted) {
        return until(family, labels, [wanted](double v) { return v == wanted; });
    }
    int port;
    std::string log;
    ChildProcess process;
    nlohmann::json last;  // the latest scrape
};

// A request as a client of the user "trader" sends it, answered to `reply`.
void send(natsConnection* nats, const std::string& subject, const std::string& reply, const wire::Message& message) {
    const std::vector<std::uint8_t> bytes = wire::encode(message);
    ASSERT_EQ(natsConnection_PublishRequest(nats, subject.c_str(), reply.c_str(), bytes.data(),
                                            static_cast<int>(bytes.size())),
              NATS_OK);
    natsConnection_Flush(nats);
}

TEST(GatewayMetricsOption, ShouldRefuseAnAddressItCannotServeOnWithExitStatus2) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), length), 0);
    listen(taken, 1);
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string inUse = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const std::string notOurs = "192.0.2.1:9464";  // a documentation address: no machine's own
    const std::pair<std::string, std::string> cases[] = {
        {"127.0.0.1", "--metrics 127.0.0.1: no port (ADDRESS:PORT"},
        {"127.0.0.1:0", "--metrics 127.0.0.1:0: the port 0 is not a number from 1 to 65535"},
        {"localhost:9464", "--metrics localhost:9464: localhost is not a numeric IPv4 address"},
        {inUse, "cannot serve metrics on " + inUse + ": Address already in use"},
        {notOurs, "cannot serve metrics on " + notOurs + ": Cannot assign requested address"},
    };
    // Refused before the feed is loaded or NATS reached: neither is there.
    const std::string nowhere = "nats://127.0.0.1:" + std::to_string(freeLoopbackPort());
    for (const auto& [value, says] : cases) {
        const std::string log = testFile("bad.log");
        ChildProcess gateway({TELLIVAR_GATEWAY_PROGRAM, "--nats", nowhere, "--metrics", value}, {}, log);
        const int status = gateway.wait(std::chrono::seconds(30));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << value << ": status " << status;
        EXPECT_NE(readFile(log).find("tellivar-gateway: " + says), std::string::npos) << value << ": " << readFile(log);
    }
    close(taken);
}

TEST(GatewayMetrics, ShouldShowEveryMetricWithItsTypeAndCountTheTrafficDrivenAtIt) {
    SKIP_WITHOUT_PARSER();
    NatsServer server;
    ASSERT_TRUE(server.running());
    // Histories stall in the stand-in, so that identical requests meet in flight.
    MetricsGateway gateway(server.url(), {"--lease", "4", "--history-in-flight", "2"}, "gateway",
                           {"SIMFEED_HISTORY=stall", "SIMFEED_RATE=20"});
    ASSERT_TRUE(gateway.until("tellivar_gateway_feed_up", {}, 1)) << readFile(gateway.log);
    const nlohmann::json before = gateway.last;
    const std::pair<const char*, const char*> families[] = {  // as the parser names them: counters without _total
        {"tellivar_gateway_clients", "gauge"},
        {"tellivar_gateway_feed_sets", "gauge"},
        {"tellivar_gateway_feed_up", "gauge"},
        {"tellivar_gateway_role", "gauge"},
        {"tellivar_gateway_feed_updates", "counter"},
        {"tellivar_gateway_published_messages", "counter"},
        {"tellivar_gateway_published_bytes", "counter"},
        {"tellivar_gateway_publish_errors", "counter"},
        {"tellivar_gateway_history_requests", "counter"},
        {"tellivar_gateway_history_requests_coalesced", "counter"},
        {"tellivar_gateway_history_requests_refused", "counter"},
        {"tellivar_gateway_history_feed_requests", "counter"},
        {"tellivar_gateway_subscriptions_refused", "counter"},
        {"tellivar_gateway_client_lease_expiries", "counter"},
        {"tellivar_gateway_slow_consumer_dropped_requests", "counter"},
        {"tellivar_gateway_lingering_sinks", "gauge"},
        {"tellivar_gateway_nats_connection_state", "gauge"},
        {"tellivar_gateway_nats_reconnects", "counter"},
    };
    for (const auto& [name, type] : families) {
        ASSERT_TRUE(before.contains(name)) << name << " missing from " << before.dump();
        EXPECT_EQ(before[name]["type"], type) << name;
        for (const auto& sample : before[name]["samples"])
            EXPECT_EQ(sample["name"], std::string(name) + (std::string(type) == "counter" ? "_total" : ""));
    }
    EXPECT_EQ(valueOf(before, "tellivar_gateway_role", {{"role", "active"}}), 1);
    EXPECT_EQ(valueOf(before, "tellivar_gateway_nats_connection_state", {{"state", "connected"}}), 1);
    EXPECT_EQ(valueOf(before, "tellivar_gateway_clients"), 0);

    // A quote subscription, and three identical histories from another client:
    // the first reaches the feed (and stalls there), the second joins it, the
    // third is over the client's two in flight.
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server.url().c_str()), NATS_OK);
    send(raw, wire::subscribeSubject(false, "ACME"),
         wire::replySubject(wire::inboxFor("trader", 1), wire::ReplyKind::Image, 1), wire::Subscribe{1, false, "ACME"});
    for (std::uint64_t id = 1; id <= 3; ++id)
        send(raw, wire::historySubject("ACME,1"),
             wire::replySubject(wire::inboxFor("trader", 2), wire::ReplyKind::History, id),
             wire::HistoryRequest{id, 100, "ACME,1"});
    ASSERT_TRUE(gateway.until("tellivar_gateway_history_requests", {}, 3)) << gateway.last.dump();
    const nlohmann::json& latest = gateway.last;  // each scrape's, as until() goes on
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_history_feed_requests"), 1);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_history_requests_coalesced"), 1);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_history_requests_refused"), 1);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_feed_sets", {{"kind", "history"}}), 1);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_feed_sets", {{"kind", "quote"}}), 1);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_feed_sets", {{"kind", "stream"}}), 0);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_clients"), 2);
    // The stand-in trades ACME: updates come in and go out.
    EXPECT_TRUE(gateway.until("tellivar_gateway_feed_updates", {}, [](double v) { return v >= 3; }));
    EXPECT_GT(valueOf(latest, "tellivar_gateway_published_messages"),
              valueOf(before, "tellivar_gateway_published_messages") + 3);
    EXPECT_GT(valueOf(latest, "tellivar_gateway_published_bytes"), valueOf(before, "tellivar_gateway_published_bytes"));
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_publish_errors"), 0);

    // Neither client renews: both leases run out, their sets go.
    EXPECT_TRUE(gateway.until("tellivar_gateway_client_lease_expiries", {}, 2)) << gateway.last.dump();
    EXPECT_TRUE(gateway.until("tellivar_gateway_feed_sets", {{"kind", "quote"}}, 0));
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_feed_sets", {{"kind", "history"}}), 0);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_clients"), 0);

    // The server restarts where the gateway looks for it: one reconnect.
    natsConnection_Destroy(raw);
    EXPECT_EQ(valueOf(latest, "tellivar_gateway_nats_reconnects"), 0);
    server.kill();
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(gateway.until("tellivar_gateway_nats_reconnects", {}, 1)) << gateway.last.dump();
    EXPECT_TRUE(gateway.until("tellivar_gateway_nats_connection_state", {{"state", "connected"}}, 1));
    EXPECT_TRUE(gateway.process.terminate()) << readFile(gateway.log);
}

TEST(GatewayMetrics, ShouldCountAMessageNatsWouldNotTakeAsAPublishError) {
    SKIP_WITHOUT_PARSER();
    // A server that takes 2 kB at most: a history chunk of 200 bars (48 bytes each) is more.
    const std::string config = testFile("server.conf");
    std::ofstream(config) << "max_payload: 2048\n";
    NatsServer server(config);
    ASSERT_TRUE(server.running());
    MetricsGateway gateway(server.url(), {}, "gateway");
    ASSERT_TRUE(gateway.until("tellivar_gateway_feed_up", {}, 1)) << readFile(gateway.log);
    EXPECT_EQ(valueOf(gateway.last, "tellivar_gateway_publish_errors"), 0);
    const double sent = valueOf(gateway.last, "tellivar_gateway_published_messages");
    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server.url().c_str()), NATS_OK);
    send(raw, wire::historySubject("ACME,1"),
         wire::replySubject(wire::inboxFor("trader", 3), wire::ReplyKind::History, 1),
         wire::HistoryRequest{1, 200, "ACME,1"});
    EXPECT_TRUE(gateway.until("tellivar_gateway_publish_errors", {}, [](double v) { return v >= 1; }))
        << gateway.last.dump();
    EXPECT_EQ(valueOf(gateway.last, "tellivar_gateway_history_feed_requests"), 1);
    EXPECT_GT(valueOf(gateway.last, "tellivar_gateway_published_messages"), sent);  // the rest went out
    natsConnection_Destroy(raw);
    EXPECT_TRUE(gateway.process.terminate()) << readFile(gateway.log);
}

TEST(GatewayMetrics, ShouldShowTheStandbyAsSuchUntilItTakesOver) {
    SKIP_WITHOUT_PARSER();
    NatsServer::Options options;
    options.name = "standby";
    options.jetStreamStore = testFile("store");
    NatsServer server(options);
    ASSERT_TRUE(server.running());
    const std::vector<std::string> standby = {"--standby-bucket", "metrics_lease"};
    MetricsGateway first(server.url(), standby, "first");
    ASSERT_TRUE(first.until("tellivar_gateway_feed_up", {}, 1)) << readFile(first.log);
    EXPECT_EQ(valueOf(first.last, "tellivar_gateway_role", {{"role", "active"}}), 1);
    // Served while it waits: a standby, without its feed, on NATS.
    MetricsGateway second(server.url(), standby, "second");
    ASSERT_TRUE(second.until("tellivar_gateway_role", {{"role", "standby"}}, 1)) << readFile(second.log);
    EXPECT_EQ(valueOf(second.last, "tellivar_gateway_role", {{"role", "active"}}), 0);
    EXPECT_EQ(valueOf(second.last, "tellivar_gateway_feed_up"), 0);
    EXPECT_EQ(valueOf(second.last, "tellivar_gateway_nats_connection_state", {{"state", "connected"}}), 1);
    // The active stops and hands the lease over.
    EXPECT_TRUE(first.process.terminate()) << readFile(first.log);
    EXPECT_TRUE(second.until("tellivar_gateway_role", {{"role", "active"}}, 1)) << readFile(second.log);
    EXPECT_TRUE(second.until("tellivar_gateway_feed_up", {}, 1));
    EXPECT_EQ(valueOf(second.last, "tellivar_gateway_role", {{"role", "standby"}}), 0);
    EXPECT_TRUE(second.process.terminate()) << readFile(second.log);
    std::filesystem::remove_all(options.jetStreamStore);
}

}  // namespace
