#include "session/module_memory.h"

#include <algorithm>
#include <vector>

bool ModuleMemory::ReadU32(ModuleAddress address, std::uint32_t& value) const {
    unsigned char bytes[4];
    if (!m_library.Read(address, bytes, sizeof bytes)) return false;
    // Both targets are little-endian.
    value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

bool ModuleMemory::ReadI32(ModuleAddress address, std::int32_t& value) const {
    std::uint32_t bits;
    if (!ReadU32(address, bits)) return false;
    value = static_cast<std::int32_t>(bits);
    return true;
}

bool ModuleMemory::ReadAddress(ModuleAddress address, ModuleAddress& value) const {
    unsigned char bytes[8] = {};
    if (!m_library.Read(address, bytes, pointer_size())) return false;
    value = 0;
    for (unsigned i = pointer_size(); i-- > 0;) value = value << 8 | bytes[i];
    return true;
}

bool ModuleMemory::ReadIntptr(ModuleAddress address, std::int64_t& value) const {
    ModuleAddress bits;
    if (!ReadAddress(address, bits)) return false;
    value = pointer_size() == 4 ? static_cast<std::int64_t>(static_cast<std::int32_t>(bits))
                                : static_cast<std::int64_t>(bits);
    return true;
}

bool ModuleMemory::WriteU32(ModuleAddress address, std::uint32_t value) const {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 24)};
    return m_library.Write(address, bytes, sizeof bytes);
}

bool ModuleMemory::WriteAddress(ModuleAddress address, ModuleAddress value) const {
    unsigned char bytes[8];
    for (unsigned i = 0; i < pointer_size(); ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    return m_library.Write(address, bytes, pointer_size());
}

bool ModuleMemory::Fill(ModuleAddress address, unsigned char byte, std::size_t size) const {
    const std::vector<unsigned char> bytes(size, byte);
    return m_library.Write(address, bytes.data(), size);
}

bool ModuleMemory::ReadText(ModuleAddress address, std::string& text, std::size_t limit) const {
    text.clear();
    if (address == 0) return false;
    // Page by page: a text that ends just before an unreadable page is
    // whole, and no read crosses into that page.
    constexpr ModuleAddress kPage = 4096;
    char chunk[kPage];
    while (text.size() < limit) {
        const std::size_t to_page_end = static_cast<std::size_t>(kPage - address % kPage);
        const std::size_t part = std::min(to_page_end, limit - text.size());
        if (!m_library.Read(address, chunk, part)) return false;
        const char* end = std::find(chunk, chunk + part, '\0');
        text.append(chunk, static_cast<std::size_t>(end - chunk));
        if (end != chunk + part) return true;
        address += part;
    }
    return true;
}
