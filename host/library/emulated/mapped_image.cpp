#include "library/emulated/mapped_image.h"

#include <algorithm>
#include <cstring>

MappedImage::MappedImage(const unsigned char* file, const PeImage& image) : m_bytes(image.size_of_image, 0) {
    // ParsePeImage has checked that each of these lies inside the file and the image.
    std::memcpy(m_bytes.data(), file, image.size_of_headers);
    for (const PeSection& section : image.sections)
        if (section.raw_size != 0)
            std::memcpy(m_bytes.data() + section.virtual_address, file + section.raw_offset, section.raw_size);
}

bool MappedImage::ReadU16(std::uint32_t rva, std::uint16_t& value) const {
    if (!Contains(rva, 2)) return false;
    value = static_cast<std::uint16_t>(m_bytes[rva] | m_bytes[rva + 1] << 8);
    return true;
}

bool MappedImage::ReadU32(std::uint32_t rva, std::uint32_t& value) const {
    if (!Contains(rva, 4)) return false;
    value = static_cast<std::uint32_t>(m_bytes[rva]) | static_cast<std::uint32_t>(m_bytes[rva + 1]) << 8 |
            static_cast<std::uint32_t>(m_bytes[rva + 2]) << 16 | static_cast<std::uint32_t>(m_bytes[rva + 3]) << 24;
    return true;
}

bool MappedImage::WriteU32(std::uint32_t rva, std::uint32_t value) {
    if (!Contains(rva, 4)) return false;
    for (int i = 0; i < 4; ++i) m_bytes[rva + i] = static_cast<unsigned char>(value >> (8 * i));
    return true;
}

bool MappedImage::ReadText(std::uint32_t rva, std::size_t max_length, std::string& text) const {
    if (rva >= m_bytes.size()) return false;
    const std::size_t available = std::min(max_length + 1, m_bytes.size() - rva);
    const unsigned char* start = m_bytes.data() + rva;
    const void* end = std::memchr(start, 0, available);
    if (end == nullptr) return false;
    text.assign(reinterpret_cast<const char*>(start), static_cast<const unsigned char*>(end) - start);
    return true;
}
