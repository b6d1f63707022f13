// A std::mutex that Clang's thread-safety analysis knows (checked by
// scripts/thread_safety.sh), and its guard MutexLock, which holds it for a
// scope and can wait on a condition variable. Code that lets a held mutex go
// around a call into the host calls unlock() and lock() on the Mutex itself,
// which the analysis follows; the guard holding it is then consistent again
// when it is released. Used by the gateway and the NATS feed client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "PluginManager/tellivar/thread_annotations.h"

#define TELLIVAR_ASSERT_CAPABILITY(x) TELLIVAR_THREAD_ANNOTATION(assert_capability(x))
#define TELLIVAR_RETURN_CAPABILITY(x) TELLIVAR_THREAD_ANNOTATION(lock_returned(x))
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) TELLIVAR_THREAD_ANNOTATION(pt_guarded_by(x))
#endif

namespace feedcommon {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    // Tells the analysis that the calling code holds it where it cannot see
    // the acquire: a loop entered with it held by code of another unit.
    void assertHeld() const TELLIVAR_ASSERT_CAPABILITY(this) {}
    // The mutex itself, for code that takes a std::mutex (FeedThread) and
    // for condition variables.
    std::mutex& native() TELLIVAR_RETURN_CAPABILITY(this) { return mutex_; }

private:
    std::mutex mutex_;
};

// Holds a Mutex for its lifetime, except between unlock() and lock(). The waits let it go
// meanwhile and hold it again when they return, as std::condition_variable
// does.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

    void wait(std::condition_variable& changed) { changed.wait(lock_); }
    // False once `deadline` has passed.
    bool waitUntil(std::condition_variable& changed, std::chrono::steady_clock::time_point deadline) {
        return changed.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }
    // Waits until `done()` (called with the mutex held) or `timeout`; returns done().
    template <class Rep, class Period, class Done>
    bool waitFor(std::condition_variable& changed, std::chrono::duration<Rep, Period> timeout, Done done) {
        return changed.wait_for(lock_, timeout, done);
    }
    // For a call that takes the held lock and lets it go while it waits
    // (FeedThread::awaitStop): held again when it returns.
    std::unique_lock<std::mutex>& native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace feedcommon
