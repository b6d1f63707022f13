// Counting of the calling thread's heap use, for tests that prove a path
// allocates nothing. Linking any of these functions into a test executable
// replaces the global operator new/delete of that executable (every plain,
// nothrow and sized form, so they all pair up); executables that use none of
// them keep the standard ones.
#pragma once

#include <cstddef>

// Counts this thread's allocations, and the bytes of them still held, for its
// lifetime. Scopes do not nest.
class HeapCount {
public:
    HeapCount();
    ~HeapCount();
    HeapCount(const HeapCount&) = delete;
    HeapCount& operator=(const HeapCount&) = delete;

    long allocations() const;
    long bytesHeld() const;
};

// Stops counting on this thread for its lifetime (a fake's own bookkeeping, say).
class HeapCountPause {
public:
    HeapCountPause();
    ~HeapCountPause();
    HeapCountPause(const HeapCountPause&) = delete;
    HeapCountPause& operator=(const HeapCountPause&) = delete;

private:
    bool was_;
};

// The next allocation of exactly `size` bytes on this thread fails: plain new
// throws std::bad_alloc, nothrow new gives null. 0 disarms.
void failNextAllocationOfSize(std::size_t size);
