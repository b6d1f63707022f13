// The plug-in's reader-writer lock and its RAII guards. The guards remember
// whether the acquire succeeded: a failed acquire lets the caller go on
// without the lock, and the guard then releases nothing. The locks are not
// recursive: never take one twice on the same thread.
#pragma once

#include <ace/RW_Thread_Mutex.h>

#include "PluginManager/tellivar/thread_annotations.h"

// ACE's reader-writer lock, constructed with no name and no attributes, as a
// capability that Clang's analysis knows. ACE's own operations stay usable;
// the annotated ones below are those the guards use.
class CAPABILITY("mutex") RwLock : public ACE_RW_Thread_Mutex {
public:
    RwLock() = default;

    int lockWrite() ACQUIRE() { return acquire_write(); }
    int lockRead() ACQUIRE_SHARED() { return acquire_read(); }
    void unlock() RELEASE() { release(); }
};

enum class LockMode { Read, Write };

// Holds `lock` as writer for the guard's lifetime.
class SCOPED_CAPABILITY WriteGuard {
public:
    explicit WriteGuard(RwLock& lock) ACQUIRE(lock) : lock_(lock), held_(lock.lockWrite() != -1) {}
    ~WriteGuard() RELEASE() {
        if (held_) lock_.unlock();
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    RwLock& lock_;
    const bool held_;
};

// Holds `lock` as reader for the guard's lifetime.
class SCOPED_CAPABILITY ReadGuard {
public:
    explicit ReadGuard(RwLock& lock) ACQUIRE_SHARED(lock) : lock_(lock), held_(lock.lockRead() != -1) {}
    ~ReadGuard() RELEASE() {
        if (held_) lock_.unlock();
    }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    RwLock& lock_;
    const bool held_;
};
