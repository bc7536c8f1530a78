// Counts every heap allocation of the program: each form of operator new and
// delete is replaced, and the program's own calls of malloc, calloc, realloc
// and free are wrapped at link time (the framework's objects come from malloc).
#pragma once

#include <cstdint>

namespace counting_allocator {

// Allocations made since the program started.
std::uint64_t Allocations();

// Blocks allocated and not yet freed.
std::int64_t LiveBlocks();

}  // namespace counting_allocator
