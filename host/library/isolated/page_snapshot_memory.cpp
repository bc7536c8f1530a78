#include "library/isolated/page_snapshot_memory.h"

#include <algorithm>
#include <cstring>

const PageSnapshotMemory::Page* PageSnapshotMemory::Find(std::uintptr_t base) {
    for (const Page& page : m_pages)
        if (page.held && page.base == base) return &page;
    Page& page = m_pages[m_next_victim];
    m_next_victim = (m_next_victim + 1) % kPages;
    page.held = m_memory.Read(base, page.bytes, kPageSize);
    page.base = base;
    return page.held ? &page : nullptr;
}

bool PageSnapshotMemory::Read(std::uintptr_t address, void* destination, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address) return false;
    // A large read is not worth keeping, and a page that is readable only
    // in part (none on the systems semhost runs on) is left to the system.
    if (size > kPageSize) return m_memory.Read(address, destination, size);
    unsigned char* to = static_cast<unsigned char*>(destination);
    std::uintptr_t at = address;
    const std::uintptr_t end = address + size;
    while (at < end) {
        const std::uintptr_t base = at - at % kPageSize;
        const Page* page = Find(base);
        if (page == nullptr) return m_memory.Read(address, destination, size);
        const std::size_t part = static_cast<std::size_t>(std::min<std::uintptr_t>(end, base + kPageSize) - at);
        std::memcpy(to, page->bytes + (at - base), part);
        to += part;
        at += part;
    }
    return true;
}

bool PageSnapshotMemory::Write(std::uintptr_t address, const void* source, std::size_t size) {
    const bool written = m_memory.Write(address, source, size);
    if (size == 0 || address + size < address) return written;
    // The held copies of the written pages are stale either way.
    const std::uintptr_t last = address + size - 1;
    for (Page& page : m_pages)
        if (page.held && page.base <= last && address < page.base + kPageSize) page.held = false;
    return written;
}

void PageSnapshotMemory::Forget() {
    for (Page& page : m_pages) page.held = false;
}
