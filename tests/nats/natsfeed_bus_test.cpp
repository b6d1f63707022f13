// The NATS feed client's bus alone (natsfeed/bus.h) against a nats-server of
// its own: what it subscribes, delivers and reports, without a client or a
// gateway.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "nats/nats_support.h"
#include "natsfeed/bus.h"

namespace {

using natsfeed::Bus;
using natsfeed::BusConnectionId;

// Records what the bus tells its owner (the library's threads).
class Recorder : public natsfeed::BusEvents {
public:
    void onBusMessage(std::string subject, const std::uint8_t* data, std::size_t size) override {
        std::lock_guard<std::mutex> lock(mu_);
        messages_.push_back(subject + "=" + std::string(reinterpret_cast<const char*>(data), size));
        changed_.notify_all();
    }
    void onBusSlowConsumer(const char*) override {}
    void onBusPermissionRefused(std::string subject, std::string) override {
        std::lock_guard<std::mutex> lock(mu_);
        refused_.push_back(std::move(subject));
        changed_.notify_all();
    }
    void onBusError(std::string) override {}
    void onBusDisconnected(BusConnectionId) override {}
    void onBusReconnected(BusConnectionId) override {}

    // The messages so far once `last` came (bounded wait; empty when it never did).
    std::vector<std::string> messagesThrough(const std::string& last) {
        std::unique_lock<std::mutex> lock(mu_);
        const bool came = changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return !messages_.empty() && messages_.back() == last;
        });
        return came ? messages_ : std::vector<std::string>{};
    }
    bool refusedOnce(const std::string& subject) {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !refused_.empty(); }) &&
               refused_ == std::vector<std::string>{subject};
    }

private:
    std::mutex mu_;
    std::condition_variable changed_;
    std::vector<std::string> messages_;  // mu_
    std::vector<std::string> refused_;   // mu_
};

class BusTest : public ::testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_NATS_SERVER(); }

    natsconfig::Settings settingsFor(const NatsServer& server, const std::string& user = "",
                                     const std::string& password = "") {
        natsconfig::Settings settings;
        settings.servers = {server.url()};
        settings.user = user;
        settings.password = password;
        // One delivery thread: messages come in the order they were published.
        settings.globalDelivery = true;
        settings.connectTimeoutMs = 2000;
        return settings;
    }
    void open(NatsServer& server, const std::string& user = "", const std::string& password = "") {
        Bus::Opened opened = bus.connect(settingsFor(server, user, password));
        ASSERT_NE(opened.connection, nullptr) << opened.error;
        bus.adopt(std::move(opened.connection), user, password);
    }
    void send(const std::string& subject, const std::string& text) {
        bus.publish(subject, std::vector<std::uint8_t>(text.begin(), text.end()), "");
    }

    Recorder events;
    Bus bus{events};
};

TEST_F(BusTest, ShouldDeliverEachMessageOnceWhenASubjectIsWatchedTwice) {
    NatsServer server;
    open(server);
    bus.watch("tellivar.quote.ACME");
    bus.watch("tellivar.quote.ACME");
    send("tellivar.quote.ACME", "1");
    send("tellivar.quote.ACME", "2");
    EXPECT_EQ(events.messagesThrough("tellivar.quote.ACME=2"),
              (std::vector<std::string>{"tellivar.quote.ACME=1", "tellivar.quote.ACME=2"}));
}

TEST_F(BusTest, ShouldDeliverNothingMoreOnceUnwatched) {
    NatsServer server;
    open(server);
    bus.subscribeFixed("tellivar.msg");
    bus.watch("tellivar.quote.ACME");
    bus.unwatch("tellivar.quote.ACME");
    send("tellivar.quote.ACME", "late");
    send("tellivar.msg", "end");
    EXPECT_EQ(events.messagesThrough("tellivar.msg=end"), std::vector<std::string>{"tellivar.msg=end"});
}

TEST_F(BusTest, ShouldTellRejectedCredentialsFromAnUnreachableServer) {
    std::ofstream("bus_test_users.conf") << "authorization { users = [ {user: trader, password: secret} ] }\n";
    NatsServer server("bus_test_users.conf");
    Bus::Opened wrong = bus.connect(settingsFor(server, "trader", "wrong"));
    EXPECT_EQ(wrong.connection, nullptr);
    EXPECT_TRUE(wrong.rejected);

    NatsServer gone;
    gone.stop();
    Bus::Opened unreachable = bus.connect(settingsFor(gone, "trader", "secret"));
    EXPECT_EQ(unreachable.connection, nullptr);
    EXPECT_FALSE(unreachable.rejected);
    EXPECT_FALSE(unreachable.error.empty());

    open(server, "trader", "secret");
    EXPECT_TRUE(bus.usableFor("trader", "secret"));
    EXPECT_FALSE(bus.usableFor("trader", "other"));
    bus.close();
    EXPECT_FALSE(bus.usableFor("trader", "secret"));
}

TEST_F(BusTest, ShouldNameTheSubjectTheServerRefused) {
    std::ofstream("bus_test_denied.conf")
        << "authorization { users = [ {user: bob, password: secret, permissions: {subscribe: {deny: "
           "\"tellivar.quote.GLOBEX\"}}} ] }\n";
    NatsServer server("bus_test_denied.conf");
    open(server, "bob", "secret");
    bus.watch("tellivar.quote.GLOBEX");
    EXPECT_TRUE(events.refusedOnce("tellivar.quote.GLOBEX"));
}

// A connection made but not adopted (a Disconnect came while it connected)
// closes when dropped and leaves the adopted one working.
TEST_F(BusTest, ShouldKeepTheAdoptedConnectionWhenAnotherIsDropped) {
    NatsServer server;
    open(server);
    bus.subscribeFixed("tellivar.msg");
    Bus::Opened stray = bus.connect(settingsFor(server));
    ASSERT_NE(stray.connection, nullptr);
    stray.connection.reset();
    EXPECT_TRUE(bus.isOpen());
    EXPECT_TRUE(bus.connected());
    send("tellivar.msg", "after");
    EXPECT_EQ(events.messagesThrough("tellivar.msg=after"), std::vector<std::string>{"tellivar.msg=after"});
}

}  // namespace
