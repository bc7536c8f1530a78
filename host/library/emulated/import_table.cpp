#include "library/emulated/import_table.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::uint32_t kDescriptorSize = 20;
constexpr std::uint32_t kImportByOrdinal = 0x80000000;
constexpr std::size_t kMaxNameLength = 1024;

bool Malformed(std::string& problem, const std::string& what) {
    problem = "not a valid i386 PE image: " + what;
    return false;
}

// Names go into one-line messages: anything but printable ASCII becomes '?'
// (no system library or function has such a character in its name).
void MakePrintable(std::string& name) {
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
}

bool ReadFunctions(const MappedImage& mapped, const std::string& library, std::uint32_t lookup,
                   std::uint32_t slots, std::vector<ImportedFunction>& imports, std::string& problem) {
    // A table ends at its zero entry; one that never ends runs out of the image.
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t entry = 0;
        if (std::uint64_t{lookup} + 4ull * i + 4 > mapped.size() || !mapped.ReadU32(lookup + 4 * i, entry))
            return Malformed(problem, "the import table of " + library + " runs past the end of the image");
        if (entry == 0) return true;
        const std::uint64_t slot = slots + 4ull * i;
        if (slot + 4 > mapped.size())
            return Malformed(problem, "the import address table of " + library + " runs past the end of the image");
        ImportedFunction function{library, {}, 0, static_cast<std::uint32_t>(slot)};
        if ((entry & kImportByOrdinal) != 0) {
            function.ordinal = static_cast<std::uint16_t>(entry);
        } else if (entry > mapped.size() - 2 || !mapped.ReadText(entry + 2, kMaxNameLength, function.name) ||
                   function.name.empty()) {
            return Malformed(problem, "the name of a function imported from " + library + " lies outside the image");
        }
        MakePrintable(function.name);
        imports.push_back(std::move(function));
    }
}

}  // namespace

bool ReadImports(const MappedImage& mapped, const PeImage& image, std::vector<ImportedFunction>& imports,
                 std::string& problem) {
    imports.clear();
    const PeDirectory& directory = image.directories[kImportDirectory];
    if (directory.rva == 0 || directory.size == 0) return true;
    // The descriptor array ends at its all-zero entry, wherever the
    // directory's size says it ends.
    for (std::uint64_t at = directory.rva;; at += kDescriptorSize) {
        if (at + kDescriptorSize > mapped.size())
            return Malformed(problem, "the import directory runs past the end of the image");
        const std::uint32_t rva = static_cast<std::uint32_t>(at);
        std::uint32_t lookup = 0, name = 0, slots = 0;
        mapped.ReadU32(rva, lookup);
        mapped.ReadU32(rva + 12, name);
        mapped.ReadU32(rva + 16, slots);
        if (name == 0 && slots == 0) return true;
        std::string library;
        if (!mapped.ReadText(name, kMaxNameLength, library) || library.empty())
            return Malformed(problem, "the name of an imported library lies outside the image");
        MakePrintable(library);
        if (!ReadFunctions(mapped, library, lookup != 0 ? lookup : slots, slots, imports, problem)) return false;
    }
}

std::string DescribeImport(const ImportedFunction& function) {
    if (function.name.empty()) return function.library + "#" + std::to_string(function.ordinal);
    return function.library + "!" + function.name;
}
