#include "library/isolated/process_vm_memory.h"

#include <sys/uio.h>

#include <vector>

namespace {

ssize_t Copy(pid_t process, std::uintptr_t address, void* local_bytes, std::size_t size, bool write) {
    iovec local{local_bytes, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    return write ? process_vm_writev(process, &local, 1, &remote, 1, 0)
                 : process_vm_readv(process, &local, 1, &remote, 1, 0);
}

}  // namespace

bool ProcessVmMemory::Read(std::uintptr_t address, void* destination, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address) return false;
    return Copy(m_process, address, destination, size, false) == static_cast<ssize_t>(size);
}

bool ProcessVmMemory::Write(std::uintptr_t address, const void* source, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address) return false;
    // Within one page a write is taken whole or not at all (pages are at
    // least this large), so there is nothing to undo.
    constexpr std::uintptr_t kPage = 4096;
    if (address / kPage == (address + size - 1) / kPage)
        return Copy(m_process, address, const_cast<void*>(source), size, true) == static_cast<ssize_t>(size);
    std::vector<unsigned char> before(size);
    if (!Read(address, before.data(), size)) return false;
    if (Copy(m_process, address, const_cast<void*>(source), size, true) == static_cast<ssize_t>(size)) return true;
    Copy(m_process, address, before.data(), size, true);
    return false;
}
