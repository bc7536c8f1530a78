// The exports of an ELF library: the symbols of its dynamic symbol table
// that it defines, as dlsym finds them.
#include "library/native/exported_names.h"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// Whether `offset .. +size` lies inside a file of `file_size` bytes.
bool Inside(std::uint64_t offset, std::uint64_t size, std::size_t file_size) {
    return offset <= file_size && size <= file_size - offset;
}

template <typename Header, typename Section, typename Symbol>
bool ReadDynamicSymbols(const std::vector<unsigned char>& file, std::vector<std::string>& names,
                        std::string& problem) {
    Header header;
    std::memcpy(&header, file.data(), sizeof header);
    if (header.e_shoff == 0 || header.e_shnum == 0) {
        problem = "the file has no section headers to find its dynamic symbols by";
        return false;
    }
    if (header.e_shentsize != sizeof(Section) ||
        !Inside(header.e_shoff, std::uint64_t{header.e_shnum} * sizeof(Section), file.size())) {
        problem = "its section headers lie outside the file";
        return false;
    }
    const auto section = [&](std::size_t index) {
        Section read;
        std::memcpy(&read, file.data() + header.e_shoff + index * sizeof(Section), sizeof read);
        return read;
    };
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        const Section symbols = section(i);
        if (symbols.sh_type != SHT_DYNSYM) continue;
        if (symbols.sh_link >= header.e_shnum || symbols.sh_entsize != sizeof(Symbol) ||
            !Inside(symbols.sh_offset, symbols.sh_size, file.size())) {
            problem = "its dynamic symbol table lies outside the file";
            return false;
        }
        const Section strings = section(symbols.sh_link);
        if (!Inside(strings.sh_offset, strings.sh_size, file.size())) {
            problem = "its dynamic symbols' names lie outside the file";
            return false;
        }
        for (std::size_t at = 0; at + sizeof(Symbol) <= symbols.sh_size; at += sizeof(Symbol)) {
            Symbol symbol;
            std::memcpy(&symbol, file.data() + symbols.sh_offset + at, sizeof symbol);
            const unsigned type = symbol.st_info & 0xF;
            const unsigned binding = symbol.st_info >> 4;
            // Weak definitions are what the compiler emits for templates
            // and inline functions the library happens to instantiate,
            // not entries its author chose to export.
            if (symbol.st_shndx == SHN_UNDEF || binding != STB_GLOBAL ||
                (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC) ||
                (symbol.st_other & 0x3) == STV_HIDDEN || symbol.st_name >= strings.sh_size)
                continue;
            const char* name = reinterpret_cast<const char*>(file.data() + strings.sh_offset + symbol.st_name);
            names.emplace_back(name, strnlen(name, strings.sh_size - symbol.st_name));
        }
        return true;
    }
    problem = "the file has no dynamic symbol table";
    return false;
}

}  // namespace

bool ReadExportedNames(const std::string& path, std::vector<std::string>& names, std::string& problem) {
    names.clear();
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
        file[EI_DATA] != ELFDATA2LSB) {
        problem = "it is no little-endian ELF file";
        return false;
    }
    if (file[EI_CLASS] == ELFCLASS64 && file.size() >= sizeof(Elf64_Ehdr))
        return ReadDynamicSymbols<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(file, names, problem);
    if (file[EI_CLASS] == ELFCLASS32 && file.size() >= sizeof(Elf32_Ehdr))
        return ReadDynamicSymbols<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(file, names, problem);
    problem = "its ELF header is cut short";
    return false;
}
