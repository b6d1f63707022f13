// The feed thread of a feed client. See feed_thread.h.
#include "feedcommon/feed_thread.h"

#include <utility>

// The Itanium C++ ABI's exit registration and the handle of the library that
// links this code.
extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dsoHandle);
extern "C" void* __dso_handle;

namespace feedcommon {

FeedThread::~FeedThread() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the process exits from a callback
    } else {
        thread_.join();
    }
}

bool FeedThread::start() {
    if (running_) {
        if (stopping_ && !exiting_) {
            runAgain_ = true;
            stopAgain_ = false;
        }
        return false;
    }
    // A thread that stopped itself has left the loop and released `mu_` for
    // good: joining it here cannot wait on this lock.
    if (thread_.joinable()) thread_.join();
    running_ = true;
    stopping_ = exiting_ = runAgain_ = stopAgain_ = false;
    thread_ = std::thread(&FeedThread::main, this);
    id_ = thread_.get_id();
    return true;
}

bool FeedThread::requestStop() {
    if (!running_ || exiting_) return false;
    if (stopping_) {
        if (!runAgain_ || stopAgain_) return false;
        stopAgain_ = true;  // the run asked behind the stop serves what it was asked, then stops
        return true;
    }
    stopping_ = true;
    return true;
}

bool FeedThread::requestExit() {
    if (!running_) return false;
    exiting_ = stopping_ = true;
    runAgain_ = stopAgain_ = false;
    return true;
}

void FeedThread::awaitStop(std::unique_lock<std::mutex>& lock) {
    if (onFeedThread()) {
        // A Shutdown from a callback: the loop returns once the callback
        // does. An exit from a callback: this thread runs the exit itself.
        if (exiting_ && thread_.joinable()) thread_.detach();
        return;
    }
    const std::uint64_t target = runsEnded_ + (runAgain_ && stopAgain_ ? 2 : 1);
    returned_.wait(lock, [&] { return !running_ || runsEnded_ >= target; });
    joinEnded(lock);
}

void FeedThread::joinEnded(std::unique_lock<std::mutex>& lock) {
    if (running_ || !thread_.joinable()) return;
    std::thread ended = std::move(thread_);
    lock.unlock();
    ended.join();
    lock.lock();
}

void FeedThread::main() {
    std::unique_lock<std::mutex> lock(mu_);
    while (true) {
        loop_(lock);
        ++runsEnded_;
        if (!runAgain_ || exiting_) break;
        // Started during the stop: serve what was asked behind it.
        runAgain_ = false;
        stopping_ = std::exchange(stopAgain_, false);
        returned_.notify_all();
    }
    running_ = false;
    stopping_ = true;
    runAgain_ = stopAgain_ = false;
    returned_.notify_all();
}

void callAtExit(void (*handler)()) {
    static std::once_flag registered;
    static void (*registeredHandler)() = nullptr;
    std::call_once(registered, [handler] {
        registeredHandler = handler;
        // Registered with this library's handle, as std::atexit does in a
        // shared library, so that dlclose runs and drops it. Called directly
        // because ThreadSanitizer's atexit drops the handle, and the handler
        // would then run at exit after the library is gone.
        __cxa_atexit([](void*) { registeredHandler(); }, nullptr, &__dso_handle);
    });
}

}  // namespace feedcommon
