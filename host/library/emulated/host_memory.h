// Memory the host lends the module (records, slots, texts, buffers): a
// region of its own, zero-filled at each allocation, readable and writable
// by the module.
#pragma once

#include "library/emulated/address_range_allocator.h"
#include "library/emulated/emulated_cpu.h"

#include <cstdint>
#include <map>

class HostMemory {
public:
    explicit HostMemory(EmulatedCpu& cpu);
    // 0 only when the region is full.
    std::uint32_t Allocate(std::uint32_t size);
    // Ignores an address it never gave.
    void Free(std::uint32_t address);

private:
    EmulatedCpu& m_cpu;
    AddressRangeAllocator m_ranges;
    std::map<std::uint32_t, std::uint32_t> m_sizes;
};
