#include "support/heap_count.h"

#include <cstdlib>
#include <new>

namespace {

// Each block carries its size and whether it was made while its thread was
// counting, so a scope can tell how much of what it counted is still held.
struct BlockHeader {
    std::size_t size;
    std::size_t counted;
};
static_assert(sizeof(BlockHeader) == 16, "keeps malloc's 16-byte alignment");

thread_local bool tCounting = false;
thread_local long tAllocations = 0;
thread_local long tBytesHeld = 0;
thread_local std::size_t tFailSize = 0;

bool armedToFail(std::size_t size) {
    if (tFailSize == 0 || size != tFailSize) return false;
    tFailSize = 0;
    return true;
}

void* allocate(std::size_t size) noexcept {
    if (armedToFail(size)) return nullptr;
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (header == nullptr) return nullptr;
    header->size = size;
    header->counted = tCounting ? 1 : 0;
    if (tCounting) {
        ++tAllocations;
        tBytesHeld += static_cast<long>(size);
    }
    return header + 1;
}

void* allocateOrThrow(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}

// Out of line so the compiler never pairs an inlined operator new with free.
[[gnu::noinline]] void release(void* p) noexcept {
    if (p == nullptr) return;
    BlockHeader* header = static_cast<BlockHeader*>(p) - 1;
    if (header->counted != 0) tBytesHeld -= static_cast<long>(header->size);
    std::free(header);
}

}  // namespace

HeapCount::HeapCount() {
    tAllocations = 0;
    tBytesHeld = 0;
    tCounting = true;
}

HeapCount::~HeapCount() { tCounting = false; }
long HeapCount::allocations() const { return tAllocations; }
long HeapCount::bytesHeld() const { return tBytesHeld; }

HeapCountPause::HeapCountPause() : was_(tCounting) { tCounting = false; }
HeapCountPause::~HeapCountPause() { tCounting = was_; }

void failNextAllocationOfSize(std::size_t size) { tFailSize = size; }

void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
