// Linux: the child's memory through process_vm_readv/writev, which report
// an unmapped or protected page as an error where a plain copy would fault.
#pragma once

#include "library/isolated/remote_memory.h"

#include <sys/types.h>

class ProcessVmMemory : public RemoteMemory {
public:
    explicit ProcessVmMemory(pid_t process) : m_process(process) {}
    bool Read(std::uintptr_t address, void* destination, std::size_t size) override;
    bool Write(std::uintptr_t address, const void* source, std::size_t size) override;

private:
    pid_t m_process;
};
