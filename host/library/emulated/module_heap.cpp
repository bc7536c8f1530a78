#include "library/emulated/module_heap.h"

#include "library/emulated/address_space.h"

#include <algorithm>
#include <vector>

namespace {

constexpr unsigned char kGuardByte = 0xFD;
constexpr unsigned char kFreedByte = 0xDD;

// The span of a block: front guard, the block, and at least a guard's worth
// of rear guard up to the next granule.
std::uint32_t SpanSize(std::uint32_t size, std::uint32_t guard) {
    return guard + AddressRangeAllocator::Round(size + guard);
}

}  // namespace

ModuleHeap::ModuleHeap(EmulatedCpu& cpu, long fail_after)
    : m_cpu(cpu), m_ranges(cpu, address_space::kHeapBase, address_space::kHeapLimit), m_fail_after(fail_after) {}

std::uint32_t ModuleHeap::Allocate(std::uint32_t size) {
    ++m_operations;
    if (!MayAllocate() || size > address_space::kHeapLimit - address_space::kHeapBase) return 0;
    const std::uint32_t span_size = SpanSize(size, kGuardSize);
    const std::uint32_t span = m_ranges.Allocate(span_size);
    if (span == 0) return 0;
    const std::uint32_t address = span + kGuardSize;
    m_cpu.Fill(span, kGuardByte, kGuardSize);
    m_cpu.Fill(address + size, kGuardByte, span + span_size - (address + size));
    m_blocks.emplace(address, size);
    ++m_allocations;
    return address;
}

std::uint32_t ModuleHeap::AllocateZeroed(std::uint32_t count, std::uint32_t size) {
    const std::uint64_t total = std::uint64_t{count} * size;
    if (total > 0xFFFFFFFFu) return 0;
    const std::uint32_t address = Allocate(static_cast<std::uint32_t>(total));
    if (address != 0) m_cpu.Fill(address, 0, static_cast<std::uint32_t>(total));
    return address;
}

ModuleHeap::Check ModuleHeap::CheckGuards(std::uint32_t address, std::uint32_t size) const {
    unsigned char front[kGuardSize];
    std::vector<unsigned char> rear(SpanSize(size, kGuardSize) - kGuardSize - size);
    m_cpu.Read(address - kGuardSize, front, sizeof front);
    m_cpu.Read(address + size, rear.data(), rear.size());
    auto intact = [](const unsigned char* begin, const unsigned char* end) {
        return std::all_of(begin, end, [](unsigned char byte) { return byte == kGuardByte; });
    };
    if (!intact(rear.data(), rear.data() + rear.size())) return Check::WrittenPastEnd;
    if (!intact(front, front + sizeof front)) return Check::WrittenBeforeStart;
    return Check::Fine;
}

ModuleHeap::Check ModuleHeap::Free(std::uint32_t address) {
    ++m_operations;
    const auto block = m_blocks.find(address);
    if (block == m_blocks.end()) return Check::NotABlock;
    const Check check = CheckGuards(address, block->second);
    if (check != Check::Fine) return check;
    const std::uint32_t span = address - kGuardSize;
    const std::uint32_t span_size = SpanSize(block->second, kGuardSize);
    m_blocks.erase(block);
    // A use after the free reads a pattern, and the range waits before it
    // is handed out again, so that a double free is still recognised.
    m_cpu.Fill(span, kFreedByte, span_size);
    m_quarantine.emplace_back(span, span_size);
    m_quarantined_bytes += span_size;
    while (m_quarantined_bytes > kQuarantineBytes && m_quarantine.size() > 1) {
        m_ranges.Release(m_quarantine.front().first, m_quarantine.front().second);
        m_quarantined_bytes -= m_quarantine.front().second;
        m_quarantine.pop_front();
    }
    return Check::Fine;
}

ModuleHeap::Check ModuleHeap::Resize(std::uint32_t address, std::uint32_t size, std::uint32_t& moved_to) {
    moved_to = 0;
    const auto block = m_blocks.find(address);
    if (block == m_blocks.end()) return Check::NotABlock;
    const std::uint32_t old_size = block->second;
    const Check check = CheckGuards(address, old_size);
    if (check != Check::Fine) return check;
    // Always moves, as a block may move on Windows: a pointer kept into
    // the old block then reads freed memory.
    const std::uint32_t fresh = Allocate(size);
    if (fresh == 0) return Check::Fine;
    std::vector<unsigned char> contents(std::min(old_size, size));
    m_cpu.Read(address, contents.data(), contents.size());
    m_cpu.Load(fresh, contents.data(), contents.size());
    Free(address);
    moved_to = fresh;
    return Check::Fine;
}

bool ModuleHeap::SizeOf(std::uint32_t address, std::uint32_t& size) const {
    const auto block = m_blocks.find(address);
    if (block == m_blocks.end()) return false;
    size = block->second;
    return true;
}

std::vector<HeldBlock> ModuleHeap::Held() const {
    std::vector<HeldBlock> held;
    held.reserve(m_blocks.size());
    for (const auto& [address, size] : m_blocks) held.push_back({address, size});
    return held;
}
