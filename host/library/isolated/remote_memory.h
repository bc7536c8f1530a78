// The memory of the child process that holds a module, as semhost reaches
// it from outside. Every copy is checked by the system: false, and nothing
// copied, where any byte is not readable (or writable) in the child.
#pragma once

#include <cstddef>
#include <cstdint>

class RemoteMemory {
public:
    virtual ~RemoteMemory() = default;
    virtual bool Read(std::uintptr_t address, void* destination, std::size_t size) = 0;
    // A write that stops at a protected page is undone, so that the module
    // never sees half of it.
    virtual bool Write(std::uintptr_t address, const void* source, std::size_t size) = 0;
};
