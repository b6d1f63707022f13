// RAII guards for ACE_RW_Thread_Mutex that remember whether the acquire
// succeeded. A failed acquire lets the caller go on without the lock, and the
// guard then releases nothing. The locks are not recursive: never take one
// twice on the same thread.
#pragma once

#include <ace/RW_Thread_Mutex.h>

enum class LockMode { Read, Write };

template <LockMode Mode>
class RwGuard {
public:
    explicit RwGuard(ACE_RW_Thread_Mutex& lock) : lock_(lock), held_(acquire(lock) != -1) {}
    ~RwGuard() {
        if (held_) lock_.release();
    }
    RwGuard(const RwGuard&) = delete;
    RwGuard& operator=(const RwGuard&) = delete;

    bool held() const { return held_; }

private:
    static int acquire(ACE_RW_Thread_Mutex& lock) {
        return Mode == LockMode::Read ? lock.acquire_read() : lock.acquire_write();
    }

    ACE_RW_Thread_Mutex& lock_;
    const bool held_;
};

using ReadGuard = RwGuard<LockMode::Read>;
using WriteGuard = RwGuard<LockMode::Write>;
