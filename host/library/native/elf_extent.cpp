#include "library/native/elf_extent.h"

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

template <typename Header, typename ProgramHeader>
bool SegmentsFit(std::ifstream& file, std::uint64_t file_size, std::string& problem) {
    Header header;
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) {
        problem = "is cut short: it ends inside its ELF header";
        return false;
    }
    const std::uint64_t table_end =
        static_cast<std::uint64_t>(header.e_phoff) + std::uint64_t{header.e_phnum} * sizeof(ProgramHeader);
    if (header.e_phentsize != sizeof(ProgramHeader) || table_end > file_size) {
        problem = "is cut short: its program headers need " + std::to_string(table_end) + " bytes, the file has " +
                  std::to_string(file_size);
        return false;
    }
    std::vector<ProgramHeader> segments(header.e_phnum);
    file.seekg(static_cast<std::streamoff>(header.e_phoff));
    file.read(reinterpret_cast<char*>(segments.data()),
              static_cast<std::streamsize>(segments.size() * sizeof(ProgramHeader)));
    std::uint64_t needed = 0;
    for (const ProgramHeader& segment : segments)
        if (segment.p_type == PT_LOAD || segment.p_type == PT_DYNAMIC)
            needed = std::max<std::uint64_t>(needed, std::uint64_t{segment.p_offset} + segment.p_filesz);
    if (needed > file_size) {
        problem = "is cut short: its segments need " + std::to_string(needed) + " bytes, the file has " +
                  std::to_string(file_size);
        return false;
    }
    return true;
}

}  // namespace

bool ElfSegmentsFitFile(const std::string& path, std::string& problem) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return true;
    const std::uint64_t file_size = static_cast<std::uint64_t>(file.tellg());
    unsigned char ident[EI_NIDENT] = {};
    file.seekg(0);
    file.read(reinterpret_cast<char*>(ident), sizeof ident);
    if (static_cast<std::size_t>(file.gcount()) < SELFMAG || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return true;
    if (ident[EI_CLASS] == ELFCLASS64) return SegmentsFit<Elf64_Ehdr, Elf64_Phdr>(file, file_size, problem);
    if (ident[EI_CLASS] == ELFCLASS32) return SegmentsFit<Elf32_Ehdr, Elf32_Phdr>(file, file_size, problem);
    return true;
}
