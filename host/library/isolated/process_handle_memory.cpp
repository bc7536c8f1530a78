#include "library/isolated/process_handle_memory.h"

#include <windows.h>

bool ProcessHandleMemory::RangeHasProtection(std::uintptr_t address, std::size_t size, unsigned long wanted) const {
    std::uintptr_t at = address;
    const std::uintptr_t end = address + size;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQueryEx(m_process, reinterpret_cast<const void*>(at), &region, sizeof region) == 0) return false;
        if (region.State != MEM_COMMIT || (region.Protect & PAGE_GUARD) != 0 || (region.Protect & wanted) == 0)
            return false;
        const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (next <= at) return false;
        at = next;
    }
    return true;
}

bool ProcessHandleMemory::Read(std::uintptr_t address, void* destination, std::size_t size) {
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (size == 0) return true;
    if (address + size < address || !RangeHasProtection(address, size, kReadable)) return false;
    SIZE_T copied = 0;
    return ReadProcessMemory(m_process, reinterpret_cast<const void*>(address), destination, size, &copied) &&
           copied == size;
}

bool ProcessHandleMemory::Write(std::uintptr_t address, const void* source, std::size_t size) {
    constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (size == 0) return true;
    if (address + size < address || !RangeHasProtection(address, size, kWritable)) return false;
    SIZE_T copied = 0;
    return WriteProcessMemory(m_process, reinterpret_cast<void*>(address), source, size, &copied) && copied == size;
}
