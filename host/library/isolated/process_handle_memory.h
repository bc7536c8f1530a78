// Windows: the child's memory through its process handle. Each range is
// checked with VirtualQueryEx before it is copied: ReadProcessMemory would
// copy a part of it, and WriteProcessMemory writes even into read-only
// pages (as a debugger needs), which the module's code must never see.
#pragma once

#include "library/isolated/remote_memory.h"

class ProcessHandleMemory : public RemoteMemory {
public:
    // `process`: a HANDLE with PROCESS_VM_READ, _WRITE, _OPERATION and
    // QUERY_INFORMATION access, owned by the caller.
    explicit ProcessHandleMemory(void* process) : m_process(process) {}
    bool Read(std::uintptr_t address, void* destination, std::size_t size) override;
    bool Write(std::uintptr_t address, const void* source, std::size_t size) override;

private:
    // Whether every page of the range is committed with one of `wanted`'s
    // protections (and not a guard page).
    bool RangeHasProtection(std::uintptr_t address, std::size_t size, unsigned long wanted) const;

    void* m_process;
};
