#include "counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace {

std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::size_t> g_refuse_from{0};

bool Refused(std::size_t size) {
    const std::size_t limit = g_refuse_from.load();
    return limit != 0 && size >= limit;
}

void* Counted(void* block) {
    if (block != nullptr) {
        ++g_allocations;
        ++g_live;
    }
    return block;
}

void* Allocate(std::size_t size) { return Refused(size) ? nullptr : Counted(__real_malloc(size)); }

void Release(void* block) {
    if (block == nullptr) return;
    --g_live;
    __real_free(block);
}

void* NewBlock(std::size_t size) {
    void* block = Allocate(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

namespace counting_allocator {

std::uint64_t Allocations() { return g_allocations.load(); }
std::int64_t LiveBlocks() { return g_live.load(); }
void RefuseFrom(std::size_t bytes) { g_refuse_from = bytes; }

}  // namespace counting_allocator

extern "C" {

void* __wrap_malloc(std::size_t size) { return Allocate(size); }
void* __wrap_calloc(std::size_t count, std::size_t size) {
    return Refused(count * size) ? nullptr : Counted(__real_calloc(count, size));
}
void* __wrap_realloc(void* block, std::size_t size) {
    // A new block when there was none; a moved block is still one block.
    void* moved = __real_realloc(block, size);
    if (block == nullptr) return Counted(moved);
    if (moved != nullptr) ++g_allocations;
    return moved;
}
void __wrap_free(void* block) { Release(block); }

}  // extern "C"

void* operator new(std::size_t size) { return NewBlock(size); }
void* operator new[](std::size_t size) { return NewBlock(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size ? size : 1); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
