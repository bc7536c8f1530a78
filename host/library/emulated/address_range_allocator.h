// Hands out ranges of one region of the emulated address space, first fit,
// merging released ranges with their neighbours. The region is mapped as it
// fills, a megabyte at a time.
#pragma once

#include "library/emulated/emulated_cpu.h"

#include <cstdint>
#include <map>

class AddressRangeAllocator {
public:
    static constexpr std::uint32_t kGranule = 16;  // every range starts and ends on 16 bytes

    AddressRangeAllocator(EmulatedCpu& cpu, std::uint32_t base, std::uint32_t limit)
        : m_cpu(cpu), m_base(base), m_limit(limit), m_top(base), m_mapped_end(base) {}

    // A range of `size` bytes (rounded up to the granule), or 0 when the
    // region is full.
    std::uint32_t Allocate(std::uint32_t size);
    void Release(std::uint32_t begin, std::uint32_t size);
    static std::uint32_t Round(std::uint32_t size) { return (size + kGranule - 1) & ~(kGranule - 1); }

private:
    bool MapUpTo(std::uint64_t end);

    EmulatedCpu& m_cpu;
    std::uint32_t m_base;
    std::uint32_t m_limit;
    std::uint32_t m_top;         // everything from here up is unused
    std::uint32_t m_mapped_end;  // mapped read/write up to here
    std::map<std::uint32_t, std::uint32_t> m_free;  // begin -> size, below m_top
};
