// The NATS feed client's own life: stopped from inside its callbacks, and a
// connection abandoned while it was being made. Each case frees the client
// right after: a thread or callback still reaching it is caught by the
// sanitizer builds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nats/fanout_support.h"

// LeakSanitizer's own hook. libnats keeps the part of a message its reader
// has when the connection closes in a buffer it does not free with the
// connection (the connection and its subscriptions are freed): a client
// closed in a flood of large messages, as below, leaves that buffer.
extern "C" const char* __lsan_default_suppressions() { return "leak:natsBuf_Create\n"; }

namespace {

// Calls `action` on the client from inside its first onReady.
class ActingStatus : public StatusLog {
public:
    void onReady() override {
        StatusLog::onReady();
        if (!acted.exchange(true) && action) action();
    }
    std::function<void()> action;
    std::atomic<bool> acted{false};
};

TEST_F(FanOut, ShouldJoinTheFeedThreadOfAClientShutDownFromItsOwnCallbackBeforeFreeingIt) {
    for (int round = 0; round < 3; ++round) {
        auto client = std::make_unique<natsfeed::NatsClient>();
        ActingStatus status;
        status.client = client.get();
        std::mutex mutex;
        std::condition_variable changed;
        bool stopped = false, freeing = false;
        // Shut down, then stay in the callback a while after the client
        // begins to be freed: the feed thread has more to do after it.
        status.action = [&] {
            client->Shutdown();
            std::unique_lock<std::mutex> lock(mutex);
            stopped = true;
            changed.notify_all();
            changed.wait(lock, [&] { return freeing; });
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        };
        client->Connect(&status);
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return stopped; }));
            freeing = true;
            changed.notify_all();
        }
        client.reset();  // waits for the feed thread, which is still in onReady
        EXPECT_EQ(status.count("ready"), 1);
    }
    // A feed thread left running would wake meanwhile and touch its freed client.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

TEST_F(FanOut, ShouldLogOnAgainWhenAConnectFollowsAShutdownInsideACallback) {
    Client& c = *clients.emplace_back(std::make_unique<Client>(natsfeed::NatsClient::kDefaultBacklogLimit));
    ActingStatus status;
    status.client = &c.client;
    status.action = [&] {
        c.client.Shutdown();
        c.client.Connect(&status);
    };
    c.client.Connect(&status);
    EXPECT_TRUE(eventually([&] { return status.count("ready") == 2; })) << "the Connect queued behind the stop ran";
    QuoteLog quotes;
    SnapshotSet* set = openQuote(c, "ACME", quotes);
    EXPECT_TRUE(eventually([&] { return quotes.calls >= 1; })) << "the client serves after its restart";
    c.client.DeleteSnapshotSet(set);
    c.client.Disconnect();
    c.client.Shutdown();
}

// A TCP relay to the server that holds back the server's first bytes for a
// while: a client's connect through it is under way for that long.
class SlowRelay {
public:
    SlowRelay(int serverPort, std::chrono::milliseconds holdBack) : serverPort_(serverPort), holdBack_(holdBack) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 8);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~SlowRelay() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
    std::atomic<int> accepted{0};

private:
    void serve() {
        std::vector<std::pair<int, int>> pairs;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (auto [a, b] : pairs) {
                fds.push_back({a, POLLIN, 0});
                fds.push_back({b, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                const int client = accept(listener_, nullptr, nullptr);
                ++accepted;
                std::this_thread::sleep_for(holdBack_);  // the server's greeting waits
                const int server = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(static_cast<std::uint16_t>(serverPort_));
                connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
                pairs.emplace_back(client, server);
                continue;
            }
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                for (int side = 0; side < 2; ++side) {
                    if ((fds[1 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                    char buffer[65536];
                    const int from = side == 0 ? pairs[i].first : pairs[i].second;
                    const int to = side == 0 ? pairs[i].second : pairs[i].first;
                    const ssize_t n = read(from, buffer, sizeof buffer);
                    if (n <= 0 || write(to, buffer, static_cast<std::size_t>(n)) != n) {
                        shutdown(to, SHUT_RDWR);
                        shutdown(from, SHUT_RDWR);
                    }
                }
            }
        }
        for (auto [a, b] : pairs) {
            close(a);
            close(b);
        }
    }
    int listener_ = -1, port_ = 0, serverPort_;
    std::chrono::milliseconds holdBack_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A Disconnect while the bus connection is being made leaves that connection
// to the feed thread, which closes it once made; its callbacks, the closed
// one last, must not reach a client freed meanwhile.
TEST_F(FanOut, ShouldWaitForAnAbandonedConnectionsClosedCallbackBeforeFreeingTheClient) {
    const int serverPort = std::stoi(server->url().substr(server->url().rfind(':') + 1));
    SlowRelay relay(serverPort, std::chrono::milliseconds(300));
    setenv("TELLIVAR_NATS_URL", relay.url().c_str(), 1);
    for (int round = 0; round < 3; ++round) {
        auto client = std::make_unique<natsfeed::NatsClient>();
        StatusLog status;
        status.client = client.get();
        client->Connect(&status);
        ASSERT_TRUE(eventually([&] { return relay.accepted.load() > round; })) << "the connect is under way";
        client->Disconnect();
        // The NATS library runs every connection's callbacks on one thread:
        // another connection's slow one holds back those of the abandoned
        // connection until after the client is freed, unless it waits for them.
        natsOptions* options = nullptr;
        natsConnection* other = nullptr;
        ASSERT_EQ(natsOptions_Create(&options), NATS_OK);
        natsOptions_SetURL(options, server->url().c_str());
        natsOptions_SetClosedCB(
            options, [](natsConnection*, void*) { std::this_thread::sleep_for(std::chrono::milliseconds(500)); },
            nullptr);
        ASSERT_EQ(natsConnection_Connect(&other, options), NATS_OK);
        natsOptions_Destroy(options);
        natsConnection_Close(other);
        client.reset();  // joins the feed thread, which abandons the connection once made
        natsConnection_Destroy(other);
        EXPECT_FALSE(status.saw("ready"));
    }
    // Callbacks held back would run meanwhile and touch their freed client.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
}

// libnats's delivery thread may be inside the client's message callback when
// the connection closes, and the closed callback does not wait for it: a
// client freed while messages flood in must wait for that callback to return.
TEST_F(FanOut, ShouldWaitForAMessageCallbackInFlightBeforeFreeingTheClient) {
    natsConnection* flooder = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&flooder, server->url().c_str()), NATS_OK);
    rawConnections.push_back(flooder);
    // Large messages: most of the delivery thread's time is the callback's copy.
    const std::vector<char> payload(wire::kMaxMessage - 1024, 'x');
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding.load()) {
            natsConnection_Publish(flooder, wire::kMessageSubject, payload.data(), static_cast<int>(payload.size()));
            natsConnection_FlushTimeout(flooder, 1000);
        }
    });
    for (int round = 0; round < 8; ++round) {
        auto client = std::make_unique<natsfeed::NatsClient>();
        StatusLog status;
        status.client = client.get();
        client->Connect(&status);
        ASSERT_TRUE(eventually([&] { return status.saw("ready"); }));
        const std::uint64_t arrived = client->backlogStats().arrived;
        ASSERT_TRUE(eventually([&] { return client->backlogStats().arrived > arrived + 20; }))
            << "the flood reaches the client";
        client.reset();  // closes the connection while a callback copies a message
    }
    flooding = false;
    flood.join();
}

}  // namespace
