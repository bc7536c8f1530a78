#include "library/emulated/host_memory.h"

#include "library/emulated/address_space.h"

HostMemory::HostMemory(EmulatedCpu& cpu)
    : m_cpu(cpu), m_ranges(cpu, address_space::kHostMemoryBase, address_space::kHostMemoryLimit) {}

std::uint32_t HostMemory::Allocate(std::uint32_t size) {
    const std::uint32_t span = AddressRangeAllocator::Round(size == 0 ? 1 : size);
    const std::uint32_t address = m_ranges.Allocate(span);
    if (address == 0) return 0;
    m_cpu.Fill(address, 0, span);
    m_sizes.emplace(address, span);
    return address;
}

void HostMemory::Free(std::uint32_t address) {
    const auto block = m_sizes.find(address);
    if (block == m_sizes.end()) return;
    m_ranges.Release(block->first, block->second);
    m_sizes.erase(block);
}
