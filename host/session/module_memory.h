// Typed access to the module's memory through the library seam: 32-bit
// words, address-sized fields of the module's width, floats and texts.
// Every read can fail (the module handed over an address it cannot read);
// none of them can fault.
#pragma once

#include "library/module_library.h"

#include <cstdint>
#include <string>

class ModuleMemory {
public:
    explicit ModuleMemory(ModuleLibrary& library) : m_library(library) {}

    const RecordLayout& layout() const { return m_library.layout(); }
    unsigned pointer_size() const { return m_library.layout().pointer_size; }

    bool ReadU32(ModuleAddress address, std::uint32_t& value) const;
    bool ReadI32(ModuleAddress address, std::int32_t& value) const;
    // An address-sized field: a pointer, zero-extended.
    bool ReadAddress(ModuleAddress address, ModuleAddress& value) const;
    // An address-sized integer (intptr_t), sign-extended.
    bool ReadIntptr(ModuleAddress address, std::int64_t& value) const;

    bool WriteU32(ModuleAddress address, std::uint32_t value) const;
    bool WriteAddress(ModuleAddress address, ModuleAddress value) const;
    bool Fill(ModuleAddress address, unsigned char byte, std::size_t size) const;

    // A zero-terminated text of up to `limit` bytes (longer ones are cut
    // there). False when a byte before the end cannot be read.
    bool ReadText(ModuleAddress address, std::string& text, std::size_t limit = 64 * 1024) const;

    ModuleLibrary& library() const { return m_library; }

private:
    ModuleLibrary& m_library;
};

// A block of host memory lent to the module for the scope of one call or
// one object: freed with its owner.
class HostBlock {
public:
    HostBlock(ModuleLibrary& library, std::size_t size)
        : m_library(&library), m_address(library.AllocateHostMemory(size)), m_size(size) {}
    ~HostBlock() { Release(); }
    HostBlock(HostBlock&& other) noexcept
        : m_library(other.m_library), m_address(other.m_address), m_size(other.m_size) {
        other.m_address = 0;
    }
    HostBlock(const HostBlock&) = delete;
    HostBlock& operator=(const HostBlock&) = delete;
    HostBlock& operator=(HostBlock&&) = delete;

    ModuleAddress address() const { return m_address; }
    std::size_t size() const { return m_size; }

private:
    void Release() {
        if (m_address != 0) m_library->FreeHostMemory(m_address);
        m_address = 0;
    }

    ModuleLibrary* m_library;
    ModuleAddress m_address;
    std::size_t m_size;
};
