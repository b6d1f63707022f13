// RAII guards for ACE_RW_Thread_Mutex that remember whether the acquire
// succeeded. A failed acquire lets the caller go on without the lock, and the
// guard then releases nothing. The locks are not recursive: never take one
// twice on the same thread.
#pragma once

#include <ace/RW_Thread_Mutex.h>

class ReadGuard {
public:
    explicit ReadGuard(ACE_RW_Thread_Mutex& lock) : lock_(lock), held_(lock.acquire_read() != -1) {}
    ~ReadGuard() { if (held_) lock_.release(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

    bool held() const { return held_; }

private:
    ACE_RW_Thread_Mutex& lock_;
    bool held_;
};

class WriteGuard {
public:
    explicit WriteGuard(ACE_RW_Thread_Mutex& lock) : lock_(lock), held_(lock.acquire_write() != -1) {}
    ~WriteGuard() { if (held_) lock_.release(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

    bool held() const { return held_; }

private:
    ACE_RW_Thread_Mutex& lock_;
    bool held_;
};
