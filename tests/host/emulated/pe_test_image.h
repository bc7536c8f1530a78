// The shipped DLL's bytes, read the way the tests need them: to find an
// export, an import's slot or a section, and to patch code and headers
// before the emulated back end loads the result.
#pragma once

#include "library/emulated/emulated_library.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PeTestImage {
public:
    // The shipped Quillmark.sem; fails the test (and leaves bytes empty)
    // when it has not been built.
    static PeTestImage Shipped();

    std::vector<unsigned char> bytes;

    std::uint32_t U16(std::uint32_t offset) const;
    std::uint32_t U32(std::uint32_t offset) const;
    void Put16(std::uint32_t offset, std::uint32_t value);
    void Put32(std::uint32_t offset, std::uint32_t value);

    std::uint32_t pe_header() const { return U32(0x3C); }
    std::uint32_t file_header() const { return pe_header() + 4; }
    std::uint32_t optional_header() const { return pe_header() + 24; }
    std::uint32_t section_table() const { return optional_header() + U16(file_header() + 16); }
    unsigned section_count() const { return U16(file_header() + 2); }
    std::uint32_t preferred_base() const { return U32(optional_header() + 28); }
    std::uint32_t entry_point() const { return U32(optional_header() + 16); }
    // File offsets of a data directory's RVA and size fields.
    std::uint32_t directory_field(unsigned index) const { return optional_header() + 96 + 8 * index; }

    std::uint32_t FileOffset(std::uint32_t rva) const;
    // The header of the section called `name` (file offset), or 0.
    std::uint32_t SectionHeader(const std::string& name) const;
    std::uint32_t ExportRva(const std::string& name) const;
    // The import address table entry of a function imported by name (RVA).
    std::uint32_t ImportSlotRva(const std::string& function) const;
    // File offset of the text naming an imported library, or 0.
    std::uint32_t ImportedLibraryNameOffset(const std::string& library) const;
    // True when no base relocation patches any of the bytes [rva, rva + size).
    bool FreeOfRelocations(std::uint32_t rva, std::uint32_t size) const;

    // Code at an RVA, written over what is there.
    void PatchCode(std::uint32_t rva, const std::vector<unsigned char>& code);
    // Where `size` bytes of code reached from `entry_rva` can go: there
    // itself when no relocation falls in them, else the first such stretch
    // of the code section clear of the image's entry point and of the jump
    // that PatchReach then writes at `entry_rva`. The shipped code's layout
    // changes with every build; this keeps a patch off its relocations.
    std::uint32_t CodeRoom(std::uint32_t entry_rva, std::uint32_t size) const;
    void PatchReach(std::uint32_t entry_rva, std::uint32_t room_rva);

    std::unique_ptr<ModuleLibrary> Open(const LibraryOptions& options, ModuleLibrary::Status& status,
                                        std::string& problem) const;
    std::unique_ptr<ModuleLibrary> Open(const LibraryOptions& options = {}) const;
};

// Position-independent code that calls the import whose slot is at
// `slot_rva` with its own first argument, from code placed at `code_rva`,
// and returns what it answers; `cdecl` pops the argument after the call.
std::vector<unsigned char> CallImportCode(std::uint32_t code_rva, std::uint32_t slot_rva, bool cdecl);
