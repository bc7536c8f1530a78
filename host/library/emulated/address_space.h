// Where everything lies in the emulated module's 32-bit address space.
//
// The low 64 KB stay unmapped, so that a null pointer (and a small offset
// from one) faults. Each region is far from the others, so that a run past
// the end of one meets unmapped memory before it meets another.
#pragma once

#include <cstdint>

namespace address_space {

inline constexpr std::uint32_t kPageSize = 0x1000;

// The image always moves from its preferred base, so that its relocations
// are exercised on every load; the alternative is taken when the preferred
// base is the usual one.
inline constexpr std::uint32_t kImageBase = 0x10000000;
inline constexpr std::uint32_t kAlternateImageBase = 0x20000000;
inline constexpr std::uint32_t kMaxImageSize = 0x04000000;  // 64 MB

// The module's heap (malloc and friends), watched block by block.
inline constexpr std::uint32_t kHeapBase = 0x30000000;
inline constexpr std::uint32_t kHeapLimit = 0x40000000;

// Memory the host lends the module: records, slots, texts, buffers.
inline constexpr std::uint32_t kHostMemoryBase = 0x50000000;
inline constexpr std::uint32_t kHostMemoryLimit = 0x60000000;

// The one thread's stack; the megabyte below it stays unmapped, so that an
// overflow faults and can be named as one.
inline constexpr std::uint32_t kStackLow = 0x6FF00000;
inline constexpr std::uint32_t kStackHigh = 0x70000000;
inline constexpr std::uint32_t kStackGuardLow = kStackLow - 0x100000;

// The descriptor table that gives FS its base, and the thread and process
// blocks FS reaches.
inline constexpr std::uint32_t kGdtAddress = 0x7FFC0000;
inline constexpr std::uint32_t kTebAddress = 0x7FFDE000;
inline constexpr std::uint32_t kPebAddress = 0x7FFDF000;

// semhost's functions as the module sees them: readable, never executable,
// so that reaching one stops the emulated CPU and hands control to the host.
inline constexpr std::uint32_t kHostFunctionBase = 0x7FFE0000;
inline constexpr std::uint32_t kHostFunctionSize = 0x10000;

inline constexpr std::uint32_t PageDown(std::uint32_t value) { return value & ~(kPageSize - 1); }
inline constexpr std::uint64_t PageUp(std::uint64_t value) { return (value + kPageSize - 1) & ~std::uint64_t{kPageSize - 1}; }

}  // namespace address_space
