// Counts every heap allocation of the program: each form of operator new and
// delete is replaced, and the program's own calls of malloc, calloc, realloc
// and free are wrapped at link time (the framework's objects come from malloc).
#pragma once

#include <cstddef>
#include <cstdint>

namespace counting_allocator {

// Allocations made since the program started.
std::uint64_t Allocations();

// Blocks allocated and not yet freed.
std::int64_t LiveBlocks();

// From now on every allocation of `bytes` or more fails, as in a host whose
// memory is exhausted: operator new throws std::bad_alloc, the no-throw forms
// and malloc answer null. 0 lets every size through again.
void RefuseFrom(std::size_t bytes);

}  // namespace counting_allocator
