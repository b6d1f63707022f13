// The feed thread shared by the feed clients, driven by a small owner whose
// loop runs a test's script at the start of each run, then waits until it is
// to stop: stops from a host thread and from the thread itself, a start
// during a stop, and the exit stop.
#include "feedcommon/feed_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

constexpr auto kPatience = std::chrono::seconds(30);

// Raised by the destructor of a thread_local of the loop's thread: it ended.
std::atomic<int> threadsEnded{0};
struct EndMarker {
    ~EndMarker() { threadsEnded.fetch_add(1); }
};

struct Owner {
    using Script = std::function<void(Owner& owner, int run, std::unique_lock<std::mutex>& lock)>;
    explicit Owner(Script script) : script_(std::move(script)) {}
    ~Owner() { stop(true); }

    void start() {
        std::lock_guard<std::mutex> lock(mu);
        feed.start();
        wake.notify_all();
    }
    // As Shutdown (or, with `exit`, the exit stop) does; any thread.
    void stop(bool exit = false) {
        std::unique_lock<std::mutex> lock(mu);
        if (exit ? feed.requestExit() : feed.requestStop()) wake.notify_all();
        feed.awaitStop(lock);
    }
    // Waits on the loop's thread, `mu` released, until `pred` holds.
    template <class Pred>
    bool waitUntil(std::unique_lock<std::mutex>& lock, Pred pred) {
        return wake.wait_for(lock, kPatience, pred);
    }
    int runs() {
        std::lock_guard<std::mutex> lock(mu);
        return runs_;
    }
    bool running() {
        std::lock_guard<std::mutex> lock(mu);
        return feed.running();
    }

    void loop(std::unique_lock<std::mutex>& lock) {
        thread_local EndMarker marker;
        static_cast<void>(&marker);
        const int run = ++runs_;
        script_(*this, run, lock);
        wake.notify_all();
        waitUntil(lock, [&] { return feed.stopping(); });
    }

    const Script script_;
    std::mutex mu;
    std::condition_variable wake;
    bool go = false;  // mu: the test lets a waiting script go on
    int runs_ = 0;    // mu
    feedcommon::FeedThread feed{mu, [this](std::unique_lock<std::mutex>& lock) { loop(lock); }};
};

// The feed thread's Shutdown from a callback: it asks, and cannot wait.
void stopFromTheLoop(feedcommon::FeedThread& feed, std::unique_lock<std::mutex>& lock) {
    ASSERT_TRUE(feed.requestStop());
    feed.awaitStop(lock);
}

TEST(FeedThread, ShouldJoinTheThreadWhenAHostThreadStopsIt) {
    const int endedBefore = threadsEnded.load();
    Owner owner([](Owner&, int, std::unique_lock<std::mutex>&) {});
    owner.start();
    owner.stop();
    EXPECT_FALSE(owner.running());
    EXPECT_EQ(threadsEnded.load(), endedBefore + 1) << "the thread was joined, not left running";
    EXPECT_EQ(owner.runs(), 1);
}

TEST(FeedThread, ShouldRunTheLoopAgainWhenStartedDuringAStopFromItsOwnThread) {
    Owner owner([](Owner& self, int run, std::unique_lock<std::mutex>& lock) {
        if (run != 1) return;
        stopFromTheLoop(self.feed, lock);
        self.feed.start();  // a Connect queued behind the Shutdown
    });
    owner.start();
    std::unique_lock<std::mutex> lock(owner.mu);
    EXPECT_TRUE(owner.waitUntil(lock, [&] { return owner.runs_ == 2; })) << "the start behind the stop was lost";
    EXPECT_TRUE(owner.feed.running());
}

TEST(FeedThread, ShouldJoinAThreadThatStoppedItselfAtTheExitStop) {
    const int endedBefore = threadsEnded.load();
    Owner owner([](Owner& self, int, std::unique_lock<std::mutex>& lock) { stopFromTheLoop(self.feed, lock); });
    owner.start();
    {
        std::unique_lock<std::mutex> lock(owner.mu);
        ASSERT_TRUE(owner.waitUntil(lock, [&] { return owner.runs_ == 1; }));  // the loop has stopped itself
    }
    owner.stop(true);
    EXPECT_EQ(threadsEnded.load(), endedBefore + 1) << "the exit stop returned with the thread still there";
    EXPECT_FALSE(owner.running());
}

// A host Shutdown while the loop, stopped from its own thread, is to run
// again for a start behind that stop; or the exit stop at that moment.
struct StopDuringRestartCase {
    const char* name;
    bool exit;
    int runs;  // the run asked behind the stop runs, then stops; the exit cancels it
};

TEST(FeedThread, ShouldReturnFromAStopDuringARestartOnlyOnceTheThreadIsGone) {
    const StopDuringRestartCase cases[] = {{"Shutdown", false, 2}, {"exit", true, 1}};
    for (const StopDuringRestartCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int endedBefore = threadsEnded.load();
        Owner owner([](Owner& self, int run, std::unique_lock<std::mutex>& lock) {
            if (run != 1) return;
            stopFromTheLoop(self.feed, lock);
            self.feed.start();
            self.wake.notify_all();
            self.waitUntil(lock, [&] { return self.go; });  // the host stops meanwhile
        });
        owner.start();
        {
            // The script waits with `mu` released: it has asked its stop and start.
            std::unique_lock<std::mutex> lock(owner.mu);
            ASSERT_TRUE(owner.waitUntil(lock, [&] { return owner.runs_ == 1; }));
            owner.go = true;  // goes on once this stop is asked and `mu` released
            if (c.exit ? owner.feed.requestExit() : owner.feed.requestStop()) owner.wake.notify_all();
            owner.feed.awaitStop(lock);
        }
        EXPECT_FALSE(owner.running());
        EXPECT_EQ(owner.runs(), c.runs);
        EXPECT_EQ(threadsEnded.load(), endedBefore + 1);
    }
}

}  // namespace
