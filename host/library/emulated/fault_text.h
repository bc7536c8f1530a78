// Faults of the emulated CPU in words, with addresses named relative to the
// image where they lie inside it.
#pragma once

#include "library/emulated/emulated_cpu.h"
#include "library/emulated/pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

class ImageAddresses {
public:
    ImageAddresses(std::string name, std::uint32_t base, std::uint32_t size, std::vector<PeSection> sections)
        : m_name(std::move(name)), m_base(base), m_size(size), m_sections(std::move(sections)) {}

    bool Contains(std::uint32_t address) const { return address - m_base < m_size; }
    // "Quillmark.sem+0x1A2B" inside the image, else "0x00001A2B".
    std::string Describe(std::uint64_t address) const;
    // The section holding an image address, or null (the headers, a gap).
    const PeSection* SectionOf(std::uint32_t address) const;
    const std::string& name() const { return m_name; }
    std::uint32_t base() const { return m_base; }
    std::uint32_t size() const { return m_size; }

private:
    std::string m_name;
    std::uint32_t m_base;
    std::uint32_t m_size;
    std::vector<PeSection> m_sections;
};

// "crashed: invalid write of 4 bytes at 0x00000010 (at Quillmark.sem+0x1234)",
// "hung: no return within 50000000 instructions (at ...)" and the like.
// `budget` is the instruction budget a Hung stop ran out of.
std::string DescribeStop(const CpuStop& stop, const ImageAddresses& image, std::uint64_t budget);
