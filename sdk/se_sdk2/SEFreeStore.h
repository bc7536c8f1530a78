// Where the framework's objects live: the C runtime's free store, reached
// without exceptions. A failed allocation answers null, which the host knows
// as a refusal. The C++ runtime's std::nothrow object is not linked into a
// module, so each allocation makes its own tag: `new (std::nothrow_t{}) T`.
// Classes derive from SEFreeStoreObject for these operators; being empty, it
// adds nothing to their layout.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

class SEFreeStoreObject {
public:
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size); }
    static void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size); }
    static void operator delete(void* storage) noexcept { std::free(storage); }
    static void operator delete[](void* storage) noexcept { std::free(storage); }
    // Used only when a constructor run by a nothrow new throws.
    static void operator delete(void* storage, const std::nothrow_t&) noexcept { std::free(storage); }
    static void operator delete[](void* storage, const std::nothrow_t&) noexcept { std::free(storage); }
    // Placement for objects in storage the caller owns (tests, embedding).
    static void* operator new(std::size_t, void* storage) noexcept { return storage; }
    static void operator delete(void*, void*) noexcept {}

protected:
    SEFreeStoreObject() = default;
    ~SEFreeStoreObject() = default;
};
