// tellivar-gateway --metrics, as a process: scraped over HTTP and read with
// the text format's parser of python3-prometheus-client (scrape_metrics.py),
// while the test drives requests at it over NATS; and the addresses it
// refuses. Every wait is bounded; nothing is timed.
#include <gtest/gtest.h>

#include <nats/nats.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "nats/nats_support.h"
#include "wire/inbox.h"
#include "wire/wire.h"

namespace {

using namespace std::chrono_literals;

constexpr const char kPython[] = "/usr/bin/python3";  // Debian's, which has the parser

// The test's own file in the build tree for a process's output.
std::string outputFile(const std::string& what) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("metrics-") + test->name() + "-" + what + ".log";
    for (char& c : name)
        if (c == '/') c = '_';
    std::filesystem::remove(name);
    return std::filesystem::absolute(name).string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
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

bool parserInstalled() {
    const std::string command = std::string(kPython) + " -c 'import prometheus_client.parser' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

// The value of `family`'s sample with exactly `labels`; NaN when there is none.
double valueOf(const nlohmann::json& families, const std::string& family,
               const std::map<std::string, std::string>& labels = {}) {
    if (!families.is_object() || !families.contains(family)) return NAN;
    for (const auto& sample : families[family]["samples"]) {
        if (sample["labels"].get<std::map<std::string, std::string>>() == labels) return sample["value"].get<double>();
    }
    return NAN;
}

// A socket listening on a free loopback port, closed with the object.
struct Listener {
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 1);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
    int fd = -1;
    int port = 0;
};

TEST(GatewayMetricsOption, ShouldRefuseAnAddressItCannotServeOnWithExitStatus2) {
    const Listener taken;
    const std::string inUse = "127.0.0.1:" + std::to_string(taken.port);
    // 192.0.2.0/24 is for documentation: no machine's own address.
    const std::string notOurs = "192.0.2.1:" + std::to_string(freeLoopbackPort());
    struct Case {
        std::string value;
        std::string says;
    };
    const Case cases[] = {
        {"127.0.0.1", "--metrics 127.0.0.1: no port (ADDRESS:PORT"},
        {"127.0.0.1:", "--metrics 127.0.0.1:: no port"},
        {"127.0.0.1:0", "--metrics 127.0.0.1:0: the port 0 is not a number from 1 to 65535"},
        {"127.0.0.1:70000", "the port 70000 is not a number from 1 to 65535"},
        {"localhost:9464", "localhost is not a numeric IPv4 address"},
        {"[::1]:9464", "an IPv6 address: the metrics are served on IPv4 only"},
        {inUse, "cannot serve metrics on " + inUse + ": Address already in use"},
        {notOurs, "cannot serve metrics on " + notOurs + ": Cannot assign requested address"},
    };
    // Refused before the feed is loaded or NATS reached: neither is there.
    const std::string nowhere = "nats://127.0.0.1:" + std::to_string(freeLoopbackPort());
    for (const Case& c : cases) {
        const std::string output = outputFile("bad");
        ChildProcess gateway({TELLIVAR_GATEWAY_PROGRAM, "--feed-library", TELLIVAR_STANDIN_PATH, "--nats", nowhere,
                              "--metrics", c.value},
                             {}, output);
        const int status = gateway.wait(30s);
        ASSERT_NE(status, -1) << c.value << ": still running";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.value << ": status " << status;
        const std::string said = readFile(output);
        EXPECT_NE(said.find("tellivar-gateway: "), std::string::npos) << c.value << ": " << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << c.value << ": " << said;
    }
}

class GatewayMetrics : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_NATS_SERVER();
        if (!parserInstalled())
            GTEST_SKIP() << "python3-prometheus-client is not installed "
                            "(Debian: apt-get install python3-prometheus-client)";
        server = std::make_unique<NatsServer>();
        ASSERT_TRUE(server->running());
        port = freeLoopbackPort();
        log = outputFile("gateway");
        // Histories stall in the stand-in, so that identical requests meet in flight.
        gateway.start({TELLIVAR_GATEWAY_PROGRAM, "--feed-library", TELLIVAR_STANDIN_PATH, "--nats", server->url(),
                       "--metrics", "127.0.0.1:" + std::to_string(port), "--lease", "4", "--history-in-flight", "2"},
                      {"SIMFEED_HISTORY=stall", "SIMFEED_RATE=20"}, log);
        ASSERT_TRUE(eventually([&] { return valueOf(scrape(port), "tellivar_gateway_feed_up") == 1; }))
            << readFile(log);
        ASSERT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
    }
    void TearDown() override {
        if (raw != nullptr) natsConnection_Destroy(raw);
        EXPECT_TRUE(gateway.terminate()) << readFile(log);
    }

    // A request as a client of the user "trader" sends it, answered to `reply`.
    void send(const std::string& subject, const std::string& reply, const wire::Message& message) {
        const std::vector<std::uint8_t> bytes = wire::encode(message);
        ASSERT_EQ(natsConnection_PublishRequest(raw, subject.c_str(), reply.c_str(), bytes.data(),
                                                static_cast<int>(bytes.size())),
                  NATS_OK);
    }

    // Waits until the scraped value of `family` (with `labels`) satisfies `wanted`.
    template <class F>
    bool scrapedUntil(const std::string& family, const std::map<std::string, std::string>& labels, F wanted) {
        return eventually([&] { return wanted(valueOf(last = scrape(port), family, labels)); });
    }

    std::unique_ptr<NatsServer> server;
    int port = 0;
    std::string log;
    ChildProcess gateway;
    natsConnection* raw = nullptr;
    nlohmann::json last;  // the latest scrape
};

TEST_F(GatewayMetrics, ShouldShowEveryMetricWithItsTypeAndCountTheTrafficDrivenAtIt) {
    const nlohmann::json before = scrape(port);
    ASSERT_TRUE(before.is_object());
    struct Family {
        const char* name;  // as the parser names it: a counter without "_total"
        const char* type;
    };
    const Family families[] = {
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
    for (const Family& f : families) {
        ASSERT_TRUE(before.contains(f.name)) << f.name << " missing from " << before.dump();
        EXPECT_EQ(before[f.name]["type"], f.type) << f.name;
        for (const auto& sample : before[f.name]["samples"]) {
            const std::string name = sample["name"];
            EXPECT_EQ(name, std::string(f.name) + (std::string(f.type) == "counter" ? "_total" : "")) << f.name;
        }
    }
    EXPECT_EQ(valueOf(before, "tellivar_gateway_role", {{"role", "active"}}), 1);
    EXPECT_EQ(valueOf(before, "tellivar_gateway_role", {{"role", "standby"}}), 0);
    EXPECT_EQ(valueOf(before, "tellivar_gateway_nats_connection_state", {{"state", "connected"}}), 1);
    EXPECT_EQ(valueOf(before, "tellivar_gateway_clients"), 0);
    EXPECT_EQ(valueOf(before, "tellivar_gateway_history_requests"), 0);

    // A quote subscription, and three identical histories from another client:
    // the first reaches the feed (and stalls there), the second joins it, the
    // third is over the client's two in flight.
    const std::string quoter = wire::inboxFor("trader", 1), historian = wire::inboxFor("trader", 2);
    send(wire::subscribeSubject(false, "ACME"), wire::replySubject(quoter, wire::ReplyKind::Image, 1),
         wire::Subscribe{1, false, "ACME"});
    for (std::uint64_t id = 1; id <= 3; ++id)
        send(wire::historySubject("ACME,1"), wire::replySubject(historian, wire::ReplyKind::History, id),
             wire::HistoryRequest{id, 100, "ACME,1"});
    natsConnection_Flush(raw);

    ASSERT_TRUE(scrapedUntil("tellivar_gateway_history_requests", {}, [](double v) { return v == 3; }))
        << last.dump();
    EXPECT_EQ(valueOf(last, "tellivar_gateway_history_feed_requests"), 1);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_history_requests_coalesced"), 1);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_history_requests_refused"), 1);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_feed_sets", {{"kind", "history"}}), 1);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_feed_sets", {{"kind", "quote"}}), 1);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_feed_sets", {{"kind", "stream"}}), 0);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_clients"), 2);
    // The stand-in trades ACME: updates come in and go out.
    const double messagesBefore = valueOf(before, "tellivar_gateway_published_messages");
    const double bytesBefore = valueOf(before, "tellivar_gateway_published_bytes");
    EXPECT_TRUE(scrapedUntil("tellivar_gateway_feed_updates", {}, [](double v) { return v >= 3; })) << last.dump();
    EXPECT_GT(valueOf(last, "tellivar_gateway_published_messages"), messagesBefore + 3);
    EXPECT_GT(valueOf(last, "tellivar_gateway_published_bytes"), bytesBefore);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_publish_errors"), 0);

    // Neither client renews: both leases run out, their sets go.
    EXPECT_TRUE(scrapedUntil("tellivar_gateway_client_lease_expiries", {}, [](double v) { return v == 2; }))
        << last.dump();
    EXPECT_TRUE(scrapedUntil("tellivar_gateway_feed_sets", {{"kind", "quote"}}, [](double v) { return v == 0; }));
    EXPECT_EQ(valueOf(last, "tellivar_gateway_feed_sets", {{"kind", "history"}}), 0);
    EXPECT_EQ(valueOf(last, "tellivar_gateway_clients"), 0);

    // The server restarts where the gateway looks for it: one reconnect.
    EXPECT_EQ(valueOf(last, "tellivar_gateway_nats_reconnects"), 0);
    server->kill();
    ASSERT_TRUE(server->start());
    EXPECT_TRUE(scrapedUntil("tellivar_gateway_nats_reconnects", {}, [](double v) { return v == 1; }))
        << last.dump();
    EXPECT_TRUE(scrapedUntil("tellivar_gateway_nats_connection_state", {{"state", "connected"}},
                             [](double v) { return v == 1; }));
    natsConnection_Destroy(std::exchange(raw, nullptr));  // its own reconnect would be the test's business
}

// A gateway program with --metrics on a port of its own, for the tests below.
struct MetricsGateway {
    MetricsGateway(const std::string& nats, const std::vector<std::string>& extra, const std::string& name,
                   const std::vector<std::string>& env = {})
        : port(freeLoopbackPort()), log(outputFile(name)) {
        std::vector<std::string> args = {TELLIVAR_GATEWAY_PROGRAM, "--feed-library", TELLIVAR_STANDIN_PATH, "--nats",
                                         nats, "--metrics", "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        process.start(args, env, log);
    }
    double scraped(const std::string& family, const std::map<std::string, std::string>& labels = {}) {
        return valueOf(last = scrape(port), family, labels);
    }
    int port;
    std::string log;
    ChildProcess process;
    nlohmann::json last;
};

TEST(GatewayMetricsPublishing, ShouldCountAMessageNatsWouldNotTakeAsAPublishError) {
    SKIP_WITHOUT_NATS_SERVER();
    if (!parserInstalled()) GTEST_SKIP() << "python3-prometheus-client is not installed";
    // A server that takes messages of 2 kB at most: a history chunk of 200
    // bars (48 bytes each) is more.
    const std::string config = std::filesystem::absolute("metrics-small-payload.conf").string();
    std::ofstream(config) << "max_payload: 2048\n";
    NatsServer server(config);
    ASSERT_TRUE(server.running());
    MetricsGateway gateway(server.url(), {}, "gateway");
    ASSERT_TRUE(eventually([&] { return gateway.scraped("tellivar_gateway_feed_up") == 1; })) << readFile(gateway.log);
    EXPECT_EQ(gateway.scraped("tellivar_gateway_publish_errors"), 0);
    const double sent = gateway.scraped("tellivar_gateway_published_messages");

    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, server.url().c_str()), NATS_OK);
    const std::vector<std::uint8_t> bytes = wire::encode(wire::HistoryRequest{1, 200, "ACME,1"});
    const std::string reply = wire::replySubject(wire::inboxFor("trader", 3), wire::ReplyKind::History, 1);
    EXPECT_EQ(natsConnection_PublishRequest(raw, wire::historySubject("ACME,1").c_str(), reply.c_str(), bytes.data(),
                                            static_cast<int>(bytes.size())),
              NATS_OK);
    natsConnection_Flush(raw);
    EXPECT_TRUE(eventually([&] { return gateway.scraped("tellivar_gateway_publish_errors") >= 1; }))
        << gateway.last.dump();
    EXPECT_EQ(gateway.scraped("tellivar_gateway_history_feed_requests"), 1);
    // The messages around it still went out.
    EXPECT_GT(gateway.scraped("tellivar_gateway_published_messages"), sent);
    natsConnection_Destroy(raw);
    EXPECT_TRUE(gateway.process.terminate()) << readFile(gateway.log);
}

TEST(GatewayMetricsStandby, ShouldShowTheStandbyAsSuchUntilItTakesOver) {
    SKIP_WITHOUT_NATS_SERVER();
    if (!parserInstalled()) GTEST_SKIP() << "python3-prometheus-client is not installed";
    NatsServer::Options options;
    options.name = "standby";
    // JetStream's store, left by no earlier run.
    options.jetStreamStore = std::filesystem::absolute("metrics-standby-store").string();
    std::filesystem::remove_all(options.jetStreamStore);
    NatsServer server(options);
    ASSERT_TRUE(server.running());
    const std::vector<std::string> standby = {"--standby-bucket", "metrics_lease"};
    MetricsGateway first(server.url(), standby, "first");
    ASSERT_TRUE(eventually([&] { return first.scraped("tellivar_gateway_feed_up") == 1; })) << readFile(first.log);
    EXPECT_EQ(first.scraped("tellivar_gateway_role", {{"role", "active"}}), 1);
    MetricsGateway second(server.url(), standby, "second");
    // Served while it waits: a standby, no feed.
    ASSERT_TRUE(eventually([&] { return second.scraped("tellivar_gateway_role", {{"role", "standby"}}) == 1; }))
        << readFile(second.log);
    EXPECT_EQ(second.scraped("tellivar_gateway_role", {{"role", "active"}}), 0);
    EXPECT_EQ(second.scraped("tellivar_gateway_feed_up"), 0);
    EXPECT_EQ(second.scraped("tellivar_gateway_nats_connection_state", {{"state", "connected"}}), 1);
    // The active stops and hands the lease over.
    EXPECT_TRUE(first.process.terminate()) << readFile(first.log);
    EXPECT_TRUE(eventually([&] { return second.scraped("tellivar_gateway_role", {{"role", "active"}}) == 1; }))
        << readFile(second.log);
    EXPECT_TRUE(eventually([&] { return second.scraped("tellivar_gateway_feed_up") == 1; }));
    EXPECT_EQ(second.scraped("tellivar_gateway_role", {{"role", "standby"}}), 0);
    EXPECT_TRUE(second.process.terminate()) << readFile(second.log);
    std::filesystem::remove_all(options.jetStreamStore);
}

}  // namespace
