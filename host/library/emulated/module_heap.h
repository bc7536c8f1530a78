// The module's heap, kept apart from everything else and watched: every
// block is on record, each sits between guard bytes that are checked when it
// is freed, and a freed block's memory is neither handed out again at once
// nor left with its old contents.
#pragma once

#include "library/emulated/address_range_allocator.h"
#include "library/emulated/emulated_cpu.h"
#include "library/module_library.h"

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

class ModuleHeap {
public:
    enum class Check { Fine, NotABlock, WrittenPastEnd, WrittenBeforeStart };

    // After `fail_after` successful allocations every further one fails;
    // negative: never.
    ModuleHeap(EmulatedCpu& cpu, long fail_after);

    // A new block's address, or 0 (failing on purpose, or the heap is full).
    std::uint32_t Allocate(std::uint32_t size);
    // calloc: zero-filled; 0 also when count * size overflows.
    std::uint32_t AllocateZeroed(std::uint32_t count, std::uint32_t size);
    // Fine when `address` was a block, now freed; otherwise nothing changes.
    Check Free(std::uint32_t address);
    // realloc of a block to a nonzero size: `moved_to` is the new block, its
    // contents copied and the old one freed, or 0 with the old one kept.
    Check Resize(std::uint32_t address, std::uint32_t size, std::uint32_t& moved_to);

    bool SizeOf(std::uint32_t address, std::uint32_t& size) const;
    // Allocations and frees asked for so far, failed ones too (a resize is one of each).
    std::uint64_t operations() const { return m_operations; }
    std::vector<HeldBlock> Held() const;

private:
    static constexpr std::uint32_t kGuardSize = 16;
    static constexpr std::uint32_t kQuarantineBytes = 1u << 20;

    Check CheckGuards(std::uint32_t address, std::uint32_t size) const;
    bool MayAllocate() const { return m_fail_after < 0 || m_allocations < m_fail_after; }

    EmulatedCpu& m_cpu;
    AddressRangeAllocator m_ranges;
    long m_fail_after;
    long m_allocations = 0;
    std::uint64_t m_operations = 0;
    std::map<std::uint32_t, std::uint32_t> m_blocks;  // address -> size
    std::deque<std::pair<std::uint32_t, std::uint32_t>> m_quarantine;  // ranges freed lately
    std::uint32_t m_quarantined_bytes = 0;
};
