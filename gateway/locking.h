// The gateway's lock, annotated for Clang's thread-safety analysis
// (scripts/thread_safety.sh): a std::mutex as a capability, and the one guard
// that holds it, which can also wait on a condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "PluginManager/tellivar/thread_annotations.h"

namespace gateway {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its lifetime. The waits let it go meanwhile and hold it
// again when they return, as std::condition_variable does.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets the mutex go for a while, and takes it back.
    void unlock() RELEASE() { lock_.unlock(); }
    void lock() ACQUIRE() { lock_.lock(); }

    void wait(std::condition_variable& changed) { changed.wait(lock_); }
    // False once `deadline` has passed.
    bool waitUntil(std::condition_variable& changed, std::chrono::steady_clock::time_point deadline) {
        return changed.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace gateway
