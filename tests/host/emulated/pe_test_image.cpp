#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

PeTestImage PeTestImage::Shipped() {
    PeTestImage image;
    const std::string path = std::string(QUILL_WIN32_DIR) + "/Quillmark.sem";
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        ADD_FAILURE() << path << " is missing: build the win32 preset first: ./quill build win32";
        return image;
    }
    image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return image;
}

std::uint32_t PeTestImage::U16(std::uint32_t offset) const {
    if (offset + 2 > bytes.size()) return 0;
    return bytes[offset] | bytes[offset + 1] << 8;
}

std::uint32_t PeTestImage::U32(std::uint32_t offset) const {
    if (offset + 4 > bytes.size()) return 0;
    return U16(offset) | U16(offset + 2) << 16;
}

void PeTestImage::Put16(std::uint32_t offset, std::uint32_t value) {
    bytes.at(offset) = static_cast<unsigned char>(value);
    bytes.at(offset + 1) = static_cast<unsigned char>(value >> 8);
}

void PeTestImage::Put32(std::uint32_t offset, std::uint32_t value) {
    Put16(offset, value & 0xFFFF);
    Put16(offset + 2, value >> 16);
}

std::uint32_t PeTestImage::FileOffset(std::uint32_t rva) const {
    for (unsigned i = 0; i < section_count(); ++i) {
        const std::uint32_t header = section_table() + 40 * i;
        const std::uint32_t address = U32(header + 12);
        if (rva >= address && rva - address < U32(header + 16)) return U32(header + 20) + (rva - address);
    }
    return 0;
}

std::uint32_t PeTestImage::SectionHeader(const std::string& name) const {
    for (unsigned i = 0; i < section_count(); ++i) {
        const std::uint32_t header = section_table() + 40 * i;
        if (std::strncmp(reinterpret_cast<const char*>(&bytes[header]), name.c_str(), 8) == 0) return header;
    }
    return 0;
}

std::uint32_t PeTestImage::ExportRva(const std::string& name) const {
    const std::uint32_t directory = FileOffset(U32(directory_field(0)));
    const std::uint32_t names = FileOffset(U32(directory + 32));
    for (std::uint32_t i = 0; i < U32(directory + 24); ++i) {
        const char* text = reinterpret_cast<const char*>(&bytes[FileOffset(U32(names + 4 * i))]);
        if (name != text) continue;
        const std::uint32_t ordinal = U16(FileOffset(U32(directory + 36)) + 2 * i);
        return U32(FileOffset(U32(directory + 28)) + 4 * ordinal);
    }
    return 0;
}

std::uint32_t PeTestImage::ImportSlotRva(const std::string& function) const {
    for (std::uint32_t descriptor = FileOffset(U32(directory_field(1))); U32(descriptor + 12) != 0; descriptor += 20) {
        const std::uint32_t lookup = U32(descriptor) != 0 ? U32(descriptor) : U32(descriptor + 16);
        for (std::uint32_t i = 0; U32(FileOffset(lookup) + 4 * i) != 0; ++i) {
            const std::uint32_t entry = U32(FileOffset(lookup) + 4 * i);
            if ((entry & 0x80000000u) == 0 &&
                function == reinterpret_cast<const char*>(&bytes[FileOffset(entry) + 2]))
                return U32(descriptor + 16) + 4 * i;
        }
    }
    return 0;
}

std::uint32_t PeTestImage::ImportedLibraryNameOffset(const std::string& library) const {
    for (std::uint32_t descriptor = FileOffset(U32(directory_field(1))); U32(descriptor + 12) != 0; descriptor += 20) {
        const std::uint32_t offset = FileOffset(U32(descriptor + 12));
        if (library == reinterpret_cast<const char*>(&bytes[offset])) return offset;
    }
    return 0;
}

bool PeTestImage::FreeOfRelocations(std::uint32_t rva, std::uint32_t size) const {
    const std::uint32_t start = FileOffset(U32(directory_field(5)));
    const std::uint32_t end = start + U32(directory_field(5) + 4);
    for (std::uint32_t block = start; block < end && U32(block + 4) >= 8; block += U32(block + 4)) {
        for (std::uint32_t entry = block + 8; entry < block + U32(block + 4); entry += 2) {
            const std::uint32_t target = U32(block) + (U16(entry) & 0xFFF);
            if ((U16(entry) >> 12) != 0 && target + 4 > rva && target < rva + size) return false;
        }
    }
    return true;
}

void PeTestImage::PatchCode(std::uint32_t rva, const std::vector<unsigned char>& code) {
    ASSERT_TRUE(FreeOfRelocations(rva, static_cast<std::uint32_t>(code.size())))
        << "a relocation would change the patched code";
    std::memcpy(&bytes.at(FileOffset(rva)), code.data(), code.size());
}

std::uint32_t PeTestImage::CodeRoom(std::uint32_t entry_rva, std::uint32_t size) const {
    if (FreeOfRelocations(entry_rva, size)) return entry_rva;
    constexpr std::uint32_t kJumpBytes = 5;
    constexpr std::uint32_t kEntryPointBytes = 16;  // DllMain: mov eax, 1; ret 12, and its padding
    const std::uint32_t text = SectionHeader(".text");
    const std::uint32_t begin = U32(text + 12);
    const std::uint32_t end = begin + U32(text + 8);
    auto overlaps = [&](std::uint32_t rva, std::uint32_t start, std::uint32_t length) {
        return rva < start + length && start < rva + size;
    };
    for (std::uint32_t rva = begin; rva + size <= end; ++rva)
        if (!overlaps(rva, entry_rva, kJumpBytes) && !overlaps(rva, entry_point(), kEntryPointBytes) &&
            FreeOfRelocations(rva, size))
            return rva;
    ADD_FAILURE() << "no " << size << " bytes of the code section are free of relocations";
    return entry_rva;
}

void PeTestImage::PatchReach(std::uint32_t entry_rva, std::uint32_t room_rva) {
    if (room_rva == entry_rva) return;
    // jmp rel32: relative, so no relocation touches it either.
    const std::uint32_t relative = room_rva - (entry_rva + 5);
    PatchCode(entry_rva, {0xE9, static_cast<unsigned char>(relative), static_cast<unsigned char>(relative >> 8),
                          static_cast<unsigned char>(relative >> 16), static_cast<unsigned char>(relative >> 24)});
}

std::unique_ptr<ModuleLibrary> PeTestImage::Open(const LibraryOptions& options, ModuleLibrary::Status& status,
                                                 std::string& problem) const {
    return OpenEmulatedLibraryFromBytes(bytes, "Quillmark.sem", options, status, problem);
}

std::unique_ptr<ModuleLibrary> PeTestImage::Open(const LibraryOptions& options) const {
    ModuleLibrary::Status status;
    std::string problem;
    std::unique_ptr<ModuleLibrary> library = Open(options, status, problem);
    EXPECT_NE(library, nullptr) << problem;
    return library;
}

std::vector<unsigned char> CallImportCode(std::uint32_t code_rva, std::uint32_t slot_rva, bool cdecl) {
    // call $+5; pop eax       eax = base + code_rva + 5
    // push dword [esp+4]      the first argument again
    // call [eax + disp32]     the slot
    // (pop ecx)               cdecl: the caller pops
    // ret
    const std::uint32_t disp = slot_rva - (code_rva + 5);
    std::vector<unsigned char> code = {0xE8, 0, 0, 0, 0, 0x58, 0xFF, 0x74, 0x24, 0x04, 0xFF, 0x90};
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<unsigned char>(disp >> (8 * i)));
    if (cdecl) code.push_back(0x59);
    code.push_back(0xC3);
    return code;
}
