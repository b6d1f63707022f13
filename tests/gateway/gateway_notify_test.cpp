// The gateway as systemd sees it, through a real NOTIFY_SOCKET: a Unix
// datagram socket of the test's own (no systemd), on a nats-server of the
// test's own. In the test's process, a gateway whose housekeeping reports to
// the notifier, with the stand-in feed whose thread the test can hold inside
// a callback; as a program, tellivar-gateway itself (READY, WATCHDOG,
// STOPPING on SIGTERM, journal-form log lines, a standby's READY).
//
// Nothing here is timed: the tests wait (boundedly) for what must arrive,
// and prove what must not by the reports the gateway made meanwhile.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <poll.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "gateway/service.h"
#include "nats/fanout_support.h"

namespace {

using namespace std::chrono_literals;

bool hasLine(const std::string& datagram, const std::string& line) {
    std::istringstream lines(datagram);
    for (std::string each; std::getline(lines, each);)
        if (each == line) return true;
    return false;
}

// A service manager's notification socket, as systemd opens one for a
// Type=notify service.
class NotifySocket {
public:
    NotifySocket() {
        char pattern[] = "/tmp/gateway-notify-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        path = dir_ + "/notify";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool open() const { return fd_ >= 0; }

    // Reads datagrams (each kept in `seen`) until one holds `line`; false when
    // none did within `patience`. The one that did is `last`.
    bool waitFor(const std::string& line, std::chrono::milliseconds patience = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            std::string datagram;
            if (!receive(static_cast<int>(std::max<long>(left.count(), 1)), &datagram)) continue;
            if (hasLine(datagram, line)) {
                last = datagram;
                return true;
            }
        }
        return false;
    }
    // Reads until `count` datagrams holding `line` came; false when they did not within `patience`.
    bool waitForTimes(const std::string& line, int count, std::chrono::milliseconds patience = 30s) {
        for (int i = 0; i < count; ++i)
            if (!waitFor(line, patience)) return false;
        return true;
    }
    // Every datagram queued now (sd_notify's send has returned for each).
    std::vector<std::string> pending() {
        std::vector<std::string> all;
        std::string datagram;
        while (receive(0, &datagram)) all.push_back(datagram);
        return all;
    }

    std::string path;
    std::vector<std::string> seen;
    std::string last;

private:
    bool receive(int timeoutMs, std::string* datagram) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return false;
        datagram->assign(buffer, static_cast<std::size_t>(n));
        seen.push_back(*datagram);
        return true;
    }

    std::string dir_;
    int fd_ = -1;
};

// ---- In the test's process -------------------------------------------------------------

// A gateway reporting through ServiceNotifier::fromEnvironment, as the
// program does, with a 300 ms watchdog: a report every 100 ms, a feed
// callback stuck for 150 ms stops the keep-alive.
class NotifiedGateway : public FanOut {
protected:
    NotifiedGateway() {
        setenv("NOTIFY_SOCKET", notify.path.c_str(), 1);
        setenv("WATCHDOG_USEC", "300000", 1);
        setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
        notifier.reset(new gateway::ServiceNotifier(gateway::ServiceNotifier::fromEnvironment()));
        adjustGateway = [this](gateway::Options& options) {
            options.report = [this](const gateway::Health& health) {
                notifier->report(health);
                ++reports;  // after the send: the datagram is queued by then
            };
            options.reportEvery = notifier->reportEvery();
            options.feedStallLimit = notifier->stallLimit();
            options.beforeFeedCallback = [this] { dispatch.pass(); };
        };
    }
    ~NotifiedGateway() override {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
    }
    void SetUp() override {
        ASSERT_TRUE(notify.open());
        FanOut::SetUp();
        ASSERT_TRUE(notifier->enabled());
        ASSERT_EQ(notifier->watchdog(), 300ms);
    }
    void TearDown() override {
        dispatch.release();  // a test that failed while the feed was held lets it go
        FanOut::TearDown();
    }

    NotifySocket notify;
    std::unique_ptr<gateway::ServiceNotifier> notifier;
    std::atomic<int> reports{0};
    Gate dispatch;
};

TEST_F(NotifiedGateway, ShouldStopTheWatchdogWhileTheFeedThreadIsStuckInACallbackAndResumeAfter) {
    ASSERT_TRUE(notify.waitFor("READY=1"));
    EXPECT_TRUE(hasLine(notify.last, "STATUS=active, 0 clients, 0 symbols")) << notify.last;
    ASSERT_TRUE(notify.waitFor("WATCHDOG=1"));
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog acme;
    SnapshotSet* set = openQuote(c, "ACME", acme);
    ASSERT_NE(set, nullptr);
    ASSERT_TRUE(eventually([&] { return acme.calls >= 1; }));
    ASSERT_TRUE(notify.waitFor("STATUS=active, 1 client, 1 symbol"));

    // The feed thread enters the gateway's quote callback and is held there.
    dispatch.arm();
    feed.advanceClock(5);
    feed.tradeNow();
    ASSERT_TRUE(eventually([&] { return dispatch.held(); }));
    ASSERT_TRUE(notify.waitFor("STATUS=active, feed thread stuck in a callback, 1 client, 1 symbol"));
    EXPECT_FALSE(hasLine(notify.last, "WATCHDOG=1")) << notify.last;
    // Three more reports while it is held: none sends the keep-alive.
    const int seen = reports;
    ASSERT_TRUE(eventually([&] { return reports >= seen + 3; }));
    for (const std::string& datagram : notify.pending())
        EXPECT_FALSE(hasLine(datagram, "WATCHDOG=1")) << "a keep-alive while the feed thread is stuck";

    dispatch.release();
    ASSERT_TRUE(notify.waitFor("WATCHDOG=1")) << "no keep-alive once the feed thread goes on";
    EXPECT_TRUE(hasLine(notify.last, "STATUS=active, 1 client, 1 symbol")) << notify.last;
    c.client.DeleteSnapshotSet(set);
}

// ---- tellivar-gateway, the program ---------------------------------------------------------

class GatewayProgram : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_NATS_SERVER();
        char pattern[] = "/tmp/gateway-program-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        gateways.clear();
        server.reset();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    // Starts a gateway reporting to `socket`, its stderr in the journal's
    // stream (a file named by JOURNAL_STREAM); its options in a file.
    ChildProcess& startGateway(NotifySocket& socket, const std::string& name, const std::string& configText) {
        const std::string config = dir + "/" + name + ".conf";
        std::ofstream(config) << configText;
        const std::string output = dir + "/" + name + ".log";
        std::ofstream(output).flush();
        struct stat info {};
        stat(output.c_str(), &info);
        gateways.push_back(std::make_unique<ChildProcess>());
        gateways.back()->start({TELLIVAR_GATEWAY_PROGRAM, "--config", config, "--nats", server->url()},
                               {"NOTIFY_SOCKET=" + socket.path, "WATCHDOG_USEC=300000",
                                "JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino)},
                               output);
        return *gateways.back();
    }
    std::string logOf(const std::string& name) {
        std::ifstream input(dir + "/" + name + ".log");
        std::ostringstream all;
        all << input.rdbuf();
        return all.str();
    }

    std::string dir;
    std::unique_ptr<NatsServer> server;
    std::vector<std::unique_ptr<ChildProcess>> gateways;
};

TEST_F(GatewayProgram, ShouldNotifyReadyWatchdogAndStoppingAndLogInTheJournalsForm) {
    server = std::make_unique<NatsServer>();
    ASSERT_TRUE(server->running());
    NotifySocket notify;
    ASSERT_TRUE(notify.open());
    ChildProcess& gateway = startGateway(notify, "one", std::string("feed-library = \"") + TELLIVAR_STANDIN_PATH +
                                                             "\"\nlease = 5\n");
    ASSERT_TRUE(notify.waitFor("READY=1")) << logOf("one");
    EXPECT_TRUE(hasLine(notify.last, "STATUS=active, 0 clients, 0 symbols")) << notify.last;
    EXPECT_TRUE(notify.waitForTimes("WATCHDOG=1", 2)) << logOf("one");

    gateway.signal(SIGTERM);
    ASSERT_TRUE(notify.waitFor("STOPPING=1")) << logOf("one");
    EXPECT_TRUE(hasLine(notify.last, "STATUS=stopping on SIGTERM")) << notify.last;
    const int status = gateway.wait(30000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Under the journal: a priority first, no time of its own.
    const std::string log = logOf("one");
    std::istringstream lines(log);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        if (line.find("AddressSanitizer") != std::string::npos) continue;  // not ours to format
        EXPECT_TRUE(line.size() > 3 && line[0] == '<' && std::isdigit(static_cast<unsigned char>(line[1])) &&
                    line[2] == '>')
            << line;
        EXPECT_EQ(line.find("tellivar-gateway:"), std::string::npos) << line;
    }
    EXPECT_GT(count, 0);
    EXPECT_NE(log.find("<6>serving on "), std::string::npos) << log;
    EXPECT_NE(log.find("<6>stopping on SIGTERM"), std::string::npos) << log;
}

TEST_F(GatewayProgram, ShouldSayReadyAndStandbyWhileWaitingForTheLease) {
    NatsServer::Options options;
    options.jetStreamStore = dir + "/jetstream";
    server = std::make_unique<NatsServer>(options);
    ASSERT_TRUE(server->running());
    const std::string config = std::string("feed-library = \"") + TELLIVAR_STANDIN_PATH +
                               "\"\nstandby-bucket = \"notify-test\"\ntakeover = 2\n";
    NotifySocket first, second;
    ASSERT_TRUE(first.open() && second.open());
    startGateway(first, "active", config);
    ASSERT_TRUE(first.waitFor("READY=1")) << logOf("active");
    EXPECT_TRUE(hasLine(first.last, "STATUS=active, 0 clients, 0 symbols")) << first.last;

    ChildProcess& standby = startGateway(second, "standby", config);
    ASSERT_TRUE(second.waitFor("READY=1")) << logOf("standby");
    EXPECT_TRUE(hasLine(second.last, "STATUS=standby")) << second.last;
    EXPECT_TRUE(second.waitForTimes("WATCHDOG=1", 2)) << "a standby keeps the watchdog going";
    standby.signal(SIGTERM);
    ASSERT_TRUE(second.waitFor("STOPPING=1")) << logOf("standby");
    const int status = standby.wait(30000ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
