// The headers of a PE image, read from the file's bytes and checked as the
// Windows loader checks them before it maps anything. Pure: no emulator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PeSection {
    std::string name;               // up to 8 characters
    std::uint32_t virtual_address;  // RVA, aligned to the section alignment
    std::uint32_t memory_size;      // bytes in memory, rounded up to the section alignment
    std::uint32_t raw_offset;       // where its data lies in the file
    std::uint32_t raw_size;         // bytes taken from the file (never more than memory_size)
    std::uint32_t characteristics;  // IMAGE_SCN_* bits
};

struct PeDirectory {
    std::uint32_t rva;
    std::uint32_t size;
};

enum PeDirectoryIndex : unsigned {
    kExportDirectory = 0,
    kImportDirectory = 1,
    kResourceDirectory = 2,
    kRelocationDirectory = 5,
    kTlsDirectory = 9,
};

enum : std::uint32_t {
    kImageFileRelocsStripped = 0x0001,
    kImageFileExecutable = 0x0002,
    kImageFileDll = 0x2000,
    kSectionExecute = 0x20000000,
    kSectionRead = 0x40000000,
    kSectionWrite = 0x80000000,
};

struct PeImage {
    std::uint16_t characteristics;
    std::uint32_t preferred_base;
    std::uint32_t size_of_image;    // rounded up to the section alignment
    std::uint32_t size_of_headers;  // bytes of headers taken from the file
    std::uint32_t entry_point;      // RVA; 0: none
    std::uint32_t section_alignment;
    std::uint32_t image_base_offset;  // file offset of the ImageBase field
    std::array<PeDirectory, 16> directories;
    std::vector<PeSection> sections;
};

// True when `bytes` start like an i386 PE image (MZ, PE\0\0, machine 0x14C),
// whatever else is wrong with it.
bool LooksLikeI386PeImage(const unsigned char* bytes, std::size_t size);

// Reads and checks the headers of an i386 PE32 DLL. False with one line in
// `problem` when the file is malformed or is no such DLL.
bool ParsePeImage(const unsigned char* bytes, std::size_t size, PeImage& image, std::string& problem);
