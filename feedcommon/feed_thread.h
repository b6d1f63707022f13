// The feed thread of a feed client: its start, its stop by Shutdown (from a
// host thread or from a sink callback on the thread itself), and its stop at
// process exit. Shared by the stand-in and the NATS feed client.
//
// Threads and locks: the owner's mutex (`mu`, given at construction) guards
// every member; each call below is made with it held, and those that wait
// release it meanwhile through the `lock` they are given. The thread runs
// the owner's loop with `mu` held (the loop releases it as it needs to) and
// the loop returns, `mu` held, once stopping() is true.
//
// Stops:
// - A stop asked on a host thread waits for the loop to return and joins the
//   thread.
// - A stop asked on the feed thread (Shutdown inside a callback) cannot wait
//   for itself: the loop returns after the callback, and the thread stays
//   joinable until the next start, the next stop or the exit stop joins it.
//   It is never detached, so a client is not freed while its thread runs.
// - A start while a stop is under way (a Connect queued behind a Shutdown
//   made in a callback) makes the thread run the loop again once it has
//   returned: what was asked behind the stop is served.
// - At exit the loop returns at its next check whatever is queued, and the
//   thread is joined; on the feed thread itself (exit called from a callback)
//   it is detached, as nothing of the process runs after the exit anyway.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace feedcommon {

class FeedThread {
public:
    // `loop` runs on the thread, `mu` held, and returns once stopping().
    using Loop = std::function<void(std::unique_lock<std::mutex>& lock)>;

    FeedThread(std::mutex& mu, Loop loop) : mu_(mu), loop_(std::move(loop)) {}
    FeedThread(const FeedThread&) = delete;
    FeedThread& operator=(const FeedThread&) = delete;
    // Joins a thread still there; the owner stops it first (stopAtExit).
    ~FeedThread();

    // Starts the thread unless it runs; during a stop, has the loop run once
    // more after it returns. Joins a thread that ended by itself first.
    // Returns true when a new thread started.
    bool start();

    // Asks the loop to stop once it has served what was asked before; true
    // when a run is to stop for this request (the owner then marks its queue
    // and wakes the loop), false when no loop runs or it stops already.
    bool requestStop();
    // Asks the loop to stop at its next check, dropping what is queued, and
    // cancels a run again; false when no loop runs. The owner wakes the loop.
    bool requestExit();
    // After requestStop or requestExit: on a host thread, waits until the
    // loop that ran at the request has returned and joins the thread unless
    // it runs the loop again; on the feed thread, returns at once (at exit,
    // detaches it). Releases `lock` (on `mu`) while it waits.
    void awaitStop(std::unique_lock<std::mutex>& lock);

    bool running() const { return running_; }
    // The loop is to return: a stop or the exit was asked, or no loop runs.
    bool stopping() const { return !running_ || stopping_; }
    bool exiting() const { return exiting_; }
    bool onFeedThread() const { return running_ && std::this_thread::get_id() == id_; }

private:
    void main();
    void joinEnded(std::unique_lock<std::mutex>& lock);

    std::mutex& mu_;
    const Loop loop_;
    std::condition_variable returned_;  // with mu_: a run of the loop returned
    std::thread thread_;                // mu_
    std::thread::id id_;                // mu_
    bool running_ = false;              // mu_: the thread is in or between runs of the loop
    bool stopping_ = false;             // mu_: this run is to return
    bool exiting_ = false;              // mu_
    bool runAgain_ = false;             // mu_: started during the stop: one more run
    bool stopAgain_ = false;            // mu_: and asked to stop during the stop: that run stops
    std::uint64_t runsEnded_ = 0;       // mu_
};

// Runs `handler` at process exit, before the static objects made before the
// call are destroyed, or when this shared library is unloaded if that comes
// first. Registered once per load of the library that links this; any
// thread. `handler` stops the library's client (FeedThread::requestExit).
void callAtExit(void (*handler)());

}  // namespace feedcommon
