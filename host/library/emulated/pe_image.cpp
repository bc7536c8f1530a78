#include "library/emulated/pe_image.h"

#include "library/emulated/address_space.h"
#include "library/emulated/hex_text.h"

#include <algorithm>

namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kOptionalHeaderFixedSize = 96;  // PE32, up to the data directories
constexpr std::size_t kSectionHeaderSize = 40;
constexpr unsigned kMaxSections = 96;  // the Windows loader's own limit

std::uint16_t U16(const unsigned char* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }
std::uint32_t U32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }
std::uint64_t AlignUp(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool Malformed(std::string& problem, const std::string& what) {
    problem = "not a valid i386 PE image: " + what;
    return false;
}

// A file that ends before what its own headers say it holds: most often a
// copy or download that stopped early.
bool CutShort(std::string& problem, const char* image, const char* part, std::uint64_t needed,
              std::size_t size) {
    problem = std::string(image) + " cut short: its " + part + " need " + std::to_string(needed) +
              " bytes, the file has " + std::to_string(size);
    return false;
}

std::string SectionName(const unsigned char* field) {
    std::string name;
    for (int i = 0; i < 8 && field[i] != 0; ++i)
        name += (field[i] >= 0x20 && field[i] < 0x7F) ? static_cast<char>(field[i]) : '?';
    return name.empty() ? "(unnamed)" : name;
}

const char* DirectoryName(unsigned index) {
    switch (index) {
    case kExportDirectory: return "export directory";
    case kImportDirectory: return "import directory";
    case kRelocationDirectory: return "relocation directory";
    default: return "TLS directory";
    }
}

// The section table; the file holds every section's data (checked before).
bool ReadSections(const unsigned char* bytes, std::size_t table, unsigned count, PeImage& image,
                  std::string& problem) {
    std::uint64_t previous_end = AlignUp(image.size_of_headers, image.section_alignment);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* header = bytes + table + i * kSectionHeaderSize;
        PeSection section;
        section.name = SectionName(header);
        const std::uint32_t virtual_size = U32(header + 8);
        section.virtual_address = U32(header + 12);
        const std::uint32_t raw_size = U32(header + 16);
        section.raw_offset = U32(header + 20);
        section.characteristics = U32(header + 36);
        const std::string named = "section " + section.name;

        if (section.virtual_address % image.section_alignment != 0)
            return Malformed(problem, named + " is not aligned to the section alignment");
        if (section.virtual_address < previous_end)
            return Malformed(problem, named + " overlaps the headers or the section before it");
        // A virtual size of 0 means "as much as the file holds", as linkers of old wrote it.
        const std::uint64_t memory_size =
            AlignUp(virtual_size != 0 ? virtual_size : raw_size, image.section_alignment);
        if (section.virtual_address + memory_size > image.size_of_image)
            return Malformed(problem, named + " runs past the end of the image");
        section.memory_size = static_cast<std::uint32_t>(memory_size);
        section.raw_size = raw_size < memory_size ? raw_size : section.memory_size;
        previous_end = section.virtual_address + memory_size;
        image.sections.push_back(section);
    }
    return true;
}

}  // namespace

bool LooksLikeI386PeImage(const unsigned char* bytes, std::size_t size) {
    if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
    const std::uint32_t pe = U32(bytes + 0x3C);
    if (std::uint64_t{pe} + 6 > size) return false;
    return bytes[pe] == 'P' && bytes[pe + 1] == 'E' && bytes[pe + 2] == 0 && bytes[pe + 3] == 0 &&
           U16(bytes + pe + 4) == kMachineI386;
}

bool ParsePeImage(const unsigned char* bytes, std::size_t size, PeImage& image, std::string& problem) {
    image = PeImage{};
    if (size < 2 || bytes[0] != 'M' || bytes[1] != 'Z') return Malformed(problem, "it does not start with MZ");
    if (size < 0x40) return CutShort(problem, "a PE image", "headers", 0x40, size);
    const std::uint32_t pe = U32(bytes + 0x3C);
    const std::uint64_t pe_end = std::uint64_t{pe} + 4 + kFileHeaderSize;
    // An offset no image has is a broken header; a plausible one past the
    // end, a file cut short.
    if (pe_end > size && pe > address_space::kMaxImageSize)
        return Malformed(problem, "the PE header offset " + Hex(pe) + " lies past the end of the file");
    if (pe_end > size) return CutShort(problem, "a PE image", "headers", pe_end, size);
    if (U32(bytes + pe) != 0x00004550) return Malformed(problem, "there is no PE signature at " + Hex(pe));

    const unsigned char* file_header = bytes + pe + 4;
    const std::uint16_t machine = U16(file_header);
    if (machine != kMachineI386) {
        problem = "not an i386 image: its machine is " + Hex(machine);
        return false;
    }
    const unsigned section_count = U16(file_header + 2);
    const std::size_t optional_size = U16(file_header + 16);
    image.characteristics = U16(file_header + 18);
    if ((image.characteristics & kImageFileDll) == 0) {
        problem = "is a program, not a DLL";
        return false;
    }
    if ((image.characteristics & kImageFileExecutable) == 0)
        return Malformed(problem, "it is not marked executable");

    const std::size_t optional = pe + 4 + kFileHeaderSize;
    if (optional + optional_size > size)
        return CutShort(problem, "an i386 PE image", "headers", optional + optional_size, size);
    if (optional_size < kOptionalHeaderFixedSize)
        return Malformed(problem, "the optional header is too short for PE32");
    const unsigned char* header = bytes + optional;
    if (U16(header) != kPe32Magic)
        return Malformed(problem, "the optional header is not PE32 (magic " + Hex(U16(header)) + ")");

    image.entry_point = U32(header + 16);
    image.preferred_base = U32(header + 28);
    image.image_base_offset = static_cast<std::uint32_t>(optional + 28);
    image.section_alignment = U32(header + 32);
    const std::uint32_t file_alignment = U32(header + 36);
    const std::uint32_t size_of_image = U32(header + 56);
    image.size_of_headers = U32(header + 60);
    std::uint32_t directory_count = U32(header + 92);
    if (directory_count > image.directories.size()) directory_count = image.directories.size();

    if (!IsPowerOfTwo(image.section_alignment) || image.section_alignment < address_space::kPageSize)
        return Malformed(problem, "the section alignment " + Hex(image.section_alignment) +
                                      " is not a power of two of at least the page size");
    if (!IsPowerOfTwo(file_alignment) || file_alignment > image.section_alignment)
        return Malformed(problem, "the file alignment " + Hex(file_alignment) + " is not a power of two up to the section alignment");
    if (size_of_image == 0) return Malformed(problem, "the image size is 0");
    if (size_of_image > address_space::kMaxImageSize) {
        problem = "the image size " + Hex(size_of_image) + " is more than semhost maps (64 MB)";
        return false;
    }
    image.size_of_image = static_cast<std::uint32_t>(AlignUp(size_of_image, image.section_alignment));
    if (kOptionalHeaderFixedSize + 8 * directory_count > optional_size)
        return Malformed(problem, "the data directories run past the optional header");
    for (unsigned i = 0; i < directory_count; ++i)
        image.directories[i] = {U32(header + kOptionalHeaderFixedSize + 8 * i),
                                U32(header + kOptionalHeaderFixedSize + 8 * i + 4)};

    if (section_count == 0) return Malformed(problem, "it has no sections");
    if (section_count > kMaxSections)
        return Malformed(problem, "it has " + std::to_string(section_count) + " sections, more than 96");
    const std::size_t table = optional + optional_size;
    const std::size_t table_end = table + section_count * kSectionHeaderSize;
    if (table_end > size)
        return CutShort(problem, "an i386 PE image", "headers",
                        std::max<std::uint64_t>(table_end, image.size_of_headers), size);
    if (image.size_of_headers < table_end)
        return Malformed(problem, "the section table lies outside the headers");
    if (image.size_of_headers > size)
        return CutShort(problem, "an i386 PE image", "headers", image.size_of_headers, size);
    std::uint64_t data_end = 0;
    for (unsigned i = 0; i < section_count; ++i) {
        const unsigned char* header = bytes + table + i * kSectionHeaderSize;
        if (U32(header + 16) != 0)
            data_end = std::max<std::uint64_t>(data_end, std::uint64_t{U32(header + 20)} + U32(header + 16));
    }
    if (data_end > size) return CutShort(problem, "an i386 PE image", "sections", data_end, size);
    if (image.size_of_headers > image.size_of_image) return Malformed(problem, "the headers are larger than the image");

    if (!ReadSections(bytes, table, section_count, image, problem)) return false;

    if (image.entry_point >= image.size_of_image)
        return Malformed(problem, "the entry point " + Hex(image.entry_point) + " lies outside the image");
    for (const unsigned index : {kExportDirectory, kImportDirectory, kRelocationDirectory, kTlsDirectory}) {
        const PeDirectory& directory = image.directories[index];
        if (directory.size != 0 && std::uint64_t{directory.rva} + directory.size > image.size_of_image)
            return Malformed(problem, std::string("the ") + DirectoryName(index) + " lies outside the image");
    }
    return true;
}
