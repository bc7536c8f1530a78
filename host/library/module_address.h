// Addresses in a module's own address space.
#pragma once

#include <cstdint>

// An address as the module sees it: 32 bits wide for an emulated i386
// module, the process's own pointers for a native one. semhost never
// dereferences one: it reads and writes through the module library.
using ModuleAddress = std::uint64_t;
