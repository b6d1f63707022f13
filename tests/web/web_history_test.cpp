// The server's history requests against a data interface of the test's own:
// one whose histories complete inside their creation, and one whose
// histories never complete (answered by the timeout, or by stop()).
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "web_server.h"

namespace {

using namespace std::chrono_literals;

// Bars whose close is their place in the history: 0 is the oldest.
class FakeBars final : public data::TickIterator {
public:
    explicit FakeBars(int bars) : bars_(bars) {}
    data::CalendarRecord* getTime() override { return &(time_.tm_mday = at_ + 1, time_); }
    double getValue(const char*) override { return at_; }
    bool hasValue(const char* name) override { return std::string(name) == "C"; }
    int isValid() override { return at_ < bars_; }
    void setOption(int) override {}
    void next() override { ++at_; }

private:
    const int bars_;
    int at_ = 0;
    data::CalendarRecord time_{0, 0, 0, 1, 0, 120, 0, 0, 0};
};

// Histories complete inside their creation, or never; nothing else is made.
class FakeHistories final : public data::DataInterface {
public:
    explicit FakeHistories(bool completeAtOnce) : completeAtOnce_(completeAtOnce) {}
    data::HistorySupplier* createHistorySupplier(data::SupplierRequest* request, data::HistoryConsumer* consumer,
                                                 data::RequestContext*) override {
        auto* supplier = new History(alive_, request->recordCount() + 1);  // one bar more, as the plug-in may give
        if (completeAtOnce_) consumer->historyReady(supplier);
        std::lock_guard<std::mutex> lock(mutex_);
        if (++made_ == 4) fourMade_.notify_all();
        return supplier;
    }
    data::TickSupplier* createTickSupplier(data::SupplierRequest*, data::TickConsumer*, data::RequestContext*) override {
        return nullptr;
    }
    data::TickSupplier* createUpdateSupplier(data::SupplierRequest*, data::TickConsumer*,
                                             data::RequestContext*) override {
        return nullptr;
    }
    bool waitForFour() {
        std::unique_lock<std::mutex> lock(mutex_);
        return fourMade_.wait_for(lock, 30s, [this] { return made_ >= 4; });
    }
    int alive() const { return alive_; }

private:
    class History final : public data::HistorySupplier {
    public:
        History(std::atomic<int>& alive, int bars) : alive_(alive), bars_(bars) { ++alive_; }
        ~History() override { --alive_; }
        data::TickIterator* makeIterator() override { return &bars_; }
        data::TickIterator* makeReverseIterator() override { return nullptr; }

    private:
        std::atomic<int>& alive_;
        FakeBars bars_;
    };

    const bool completeAtOnce_;
    std::atomic<int> alive_{0};
    std::mutex mutex_;
    std::condition_variable fourMade_;
    int made_ = 0;  // guarded by mutex_
};

// An answer; status 0 when none came.
struct Answer {
    int status = 0;
    std::string body;
    std::string retryAfter;
};

// A started server on a free loopback port, online, over `histories`.
class HistoryServer {
public:
    HistoryServer(FakeHistories& histories, WebLimits limits)
        : feed_(board_, &histories, nullptr),
          server_(board_, feed_, WebInfo{"fake", {5}, "D", {"5"}}, limits, WebAccess{{"127.0.0.1"}, false, ""}) {
        board_.onEvent(OnlineEvent{"fake", true});
        std::string error;
        started_ = server_.start(WebServer::listenOn("127.0.0.1", 0, error), error);
    }
    bool started() const { return started_; }
    Answer get(int count) {
        httplib::Client client("127.0.0.1", server_.port());
        client.set_read_timeout(30, 0);
        const auto answer = client.Get("/api/history?symbol=ACME&interval=5&count=" + std::to_string(count));
        if (!answer) return {};
        return {answer->status, answer->body, answer->get_header_value("Retry-After")};
    }
    void stop() { server_.stop(); }

private:
    LiveBoard board_{{"ACME"}, {"Last"}};
    WebFeed feed_;
    WebServer server_;
    bool started_ = false;
};

std::size_t threadCount() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(WebHistory, ShouldAnswerHistoriesCompleteInsideTheirCreationAndFreeTheirSlot) {
    FakeHistories histories(true);
    WebLimits limits;
    limits.maxHistories = 1;  // a slot kept by an early answer refuses the next one
    HistoryServer server(histories, limits);
    ASSERT_TRUE(server.started());
    for (const int count : {3, 1, 3}) {
        const Answer answer = server.get(count);
        ASSERT_EQ(answer.status, 200) << answer.body;
        // The newest `count` of the count + 1 bars, oldest first.
        const Json bars = Json::parse(answer.body)["bars"];
        ASSERT_EQ(bars.size(), static_cast<std::size_t>(count)) << answer.body;
        for (int i = 0; i < count; ++i) EXPECT_EQ(bars[i]["close"], i + 1) << answer.body;
    }
    server.stop();
    EXPECT_EQ(histories.alive(), 0);
}

TEST(WebHistory, ShouldAnswer504ToAHistoryNotCompleteInTime) {
    FakeHistories histories(false);
    WebLimits limits;
    limits.historyTimeout = 50ms;
    limits.maxHistories = 1;
    HistoryServer server(histories, limits);
    ASSERT_TRUE(server.started());
    for (int i = 0; i < 2; ++i) {  // the first one's slot is free again
        const Answer answer = server.get(3);
        EXPECT_EQ(answer.status, 504) << answer.body;
        EXPECT_NE(answer.body.find("history not complete within"), std::string::npos) << answer.body;
    }
    server.stop();
    EXPECT_EQ(histories.alive(), 0);
}

TEST(WebHistory, ShouldHoldWaitingHistoriesWithoutAThreadEachAndAnswerThemWhenStopped) {
    FakeHistories histories(false);
    std::thread([] {}).join();  // a sanitizer's runtime starts its own thread with the first one
    const std::size_t before = threadCount();
    HistoryServer server(histories, WebLimits{});  // four histories at once
    ASSERT_TRUE(server.started());
    std::vector<Answer> answers(4);
    std::vector<std::thread> clients;
    for (auto& answer : answers) clients.emplace_back([&server, &answer] { answer = server.get(3); });
    EXPECT_TRUE(histories.waitForFour());
    // The fifth is refused while four wait.
    const Answer refused = server.get(3);
    EXPECT_EQ(refused.status, 503) << refused.body;
    EXPECT_EQ(refused.retryAfter, "5");
    // The engine's polling thread and the housekeeper, and the four clients: no thread per history.
    EXPECT_EQ(threadCount(), before + 2 + clients.size());
    server.stop();
    for (std::thread& client : clients) client.join();
    for (const Answer& answer : answers) {
        EXPECT_EQ(answer.status, 503) << answer.body;
        EXPECT_EQ(answer.retryAfter, "5");
        EXPECT_NE(answer.body.find("the server is stopping"), std::string::npos) << answer.body;
    }
    EXPECT_EQ(histories.alive(), 0);
}

}  // namespace
