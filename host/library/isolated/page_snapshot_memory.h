// Reads of the child's memory a page at a time, kept until the child runs
// again. The session reads each record field by field after every call; one
// copy of the page serves all those reads, where each would otherwise cost
// a system call of its own. The owner calls Forget before the child may run
// (any message to it), so that no read sees memory older than the last
// stop of the child.
#pragma once

#include "library/isolated/remote_memory.h"

#include <array>
#include <cstdint>

class PageSnapshotMemory : public RemoteMemory {
public:
    explicit PageSnapshotMemory(RemoteMemory& memory) : m_memory(memory) {}

    bool Read(std::uintptr_t address, void* destination, std::size_t size) override;
    bool Write(std::uintptr_t address, const void* source, std::size_t size) override;
    void Forget();

private:
    static constexpr std::size_t kPageSize = 4096;
    static constexpr std::size_t kPages = 16;
    struct Page {
        bool held = false;
        std::uintptr_t base = 0;
        unsigned char bytes[kPageSize];
    };
    // The held copy of the page at `base`, read now if need be; null where
    // the page cannot be read whole.
    const Page* Find(std::uintptr_t base);

    RemoteMemory& m_memory;
    std::array<Page, kPages> m_pages;
    std::size_t m_next_victim = 0;
};
