// An image laid out as the loader maps it (headers, then each section at
// its address, zeros elsewhere), still in host memory: relocations and
// import binding are applied here before the emulator receives it. Every
// read and write is checked against the image's size.
#pragma once

#include "library/emulated/pe_image.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class MappedImage {
public:
    MappedImage(const unsigned char* file, const PeImage& image);

    std::uint32_t size() const { return static_cast<std::uint32_t>(m_bytes.size()); }
    const std::vector<unsigned char>& bytes() const { return m_bytes; }
    bool Contains(std::uint32_t rva, std::uint32_t length) const {
        return std::uint64_t{rva} + length <= m_bytes.size();
    }

    bool ReadU16(std::uint32_t rva, std::uint16_t& value) const;
    bool ReadU32(std::uint32_t rva, std::uint32_t& value) const;
    bool WriteU32(std::uint32_t rva, std::uint32_t value);
    // A NUL-terminated text of at most `max_length` characters.
    bool ReadText(std::uint32_t rva, std::size_t max_length, std::string& text) const;

private:
    std::vector<unsigned char> m_bytes;
};
