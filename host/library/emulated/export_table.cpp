#include "library/emulated/export_table.h"

namespace {

constexpr std::size_t kMaxNameLength = 1024;

ExportLookup Malformed(std::string& problem, const std::string& what) {
    problem = "not a valid i386 PE image: the export directory's " + what + " lies outside the image";
    return ExportLookup::Malformed;
}

}  // namespace

ExportLookup FindExport(const MappedImage& mapped, const PeImage& image, const std::string& name,
                        std::uint32_t& rva, std::string& problem) {
    const PeDirectory& directory = image.directories[kExportDirectory];
    if (directory.rva == 0 || directory.size == 0) return ExportLookup::Missing;
    std::uint32_t function_count = 0, name_count = 0, functions = 0, names = 0, ordinals = 0;
    if (!mapped.ReadU32(directory.rva + 20, function_count) || !mapped.ReadU32(directory.rva + 24, name_count) ||
        !mapped.ReadU32(directory.rva + 28, functions) || !mapped.ReadU32(directory.rva + 32, names) ||
        !mapped.ReadU32(directory.rva + 36, ordinals))
        return Malformed(problem, "header");
    if (!mapped.Contains(names, 0) || name_count > (mapped.size() - names) / 4) return Malformed(problem, "name table");
    if (!mapped.Contains(ordinals, 0) || name_count > (mapped.size() - ordinals) / 2)
        return Malformed(problem, "ordinal table");
    if (!mapped.Contains(functions, 0) || function_count > (mapped.size() - functions) / 4)
        return Malformed(problem, "address table");

    for (std::uint32_t i = 0; i < name_count; ++i) {
        std::uint32_t name_rva = 0;
        std::string candidate;
        mapped.ReadU32(names + 4 * i, name_rva);
        if (!mapped.ReadText(name_rva, kMaxNameLength, candidate)) return Malformed(problem, "name of an export");
        if (candidate != name) continue;
        std::uint16_t index = 0;
        mapped.ReadU16(ordinals + 2 * i, index);
        if (index >= function_count) return Malformed(problem, "ordinal of \"" + name + "\"");
        mapped.ReadU32(functions + 4 * index, rva);
        // An address inside the directory itself is a forwarder text.
        if (rva >= directory.rva && rva - directory.rva < directory.size) return ExportLookup::Missing;
        if (rva == 0 || rva >= mapped.size()) return Malformed(problem, "address of \"" + name + "\"");
        return ExportLookup::Found;
    }
    return ExportLookup::Missing;
}
