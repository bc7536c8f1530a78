#include "library/emulated/address_range_allocator.h"

#include <iterator>


namespace {
constexpr std::uint64_t kMapStep = 0x100000;
}

bool AddressRangeAllocator::MapUpTo(std::uint64_t end) {
    if (end <= m_mapped_end) return true;
    const std::uint64_t rounded = (end + kMapStep - 1) / kMapStep * kMapStep;
    const std::uint64_t new_end = rounded < m_limit ? rounded : m_limit;
    if (end > new_end) return false;
    if (!m_cpu.Map(m_mapped_end, static_cast<std::uint32_t>(new_end - m_mapped_end), kProtReadWrite)) return false;
    m_mapped_end = static_cast<std::uint32_t>(new_end);
    return true;
}

std::uint32_t AddressRangeAllocator::Allocate(std::uint32_t size) {
    if (size == 0 || size > m_limit - m_base) return 0;
    size = Round(size);
    for (auto range = m_free.begin(); range != m_free.end(); ++range) {
        if (range->second < size) continue;
        const std::uint32_t begin = range->first;
        const std::uint32_t rest = range->second - size;
        m_free.erase(range);
        if (rest != 0) m_free.emplace(begin + size, rest);
        return begin;
    }
    const std::uint64_t end = std::uint64_t{m_top} + size;
    if (end > m_limit || !MapUpTo(end)) return 0;
    const std::uint32_t begin = m_top;
    m_top = static_cast<std::uint32_t>(end);
    return begin;
}

void AddressRangeAllocator::Release(std::uint32_t begin, std::uint32_t size) {
    size = Round(size);
    auto next = m_free.lower_bound(begin);
    if (next != m_free.end() && begin + size == next->first) {
        size += next->second;
        next = m_free.erase(next);
    }
    if (next != m_free.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second == begin) {
            begin = previous->first;
            size += previous->second;
            m_free.erase(previous);
        }
    }
    if (std::uint64_t{begin} + size == m_top) {
        m_top = begin;  // the top range goes back to the unused part
        return;
    }
    m_free.emplace(begin, size);
}
