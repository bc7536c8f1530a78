#include "library/emulated/export_table.h"

namespace {

constexpr std::size_t kMaxNameLength = 1024;

// Says which part of the export directory lies outside the image; false.
bool Outside(std::string& problem, const std::string& what) {
    problem = "not a valid i386 PE image: the export directory's " + what + " lies outside the image";
    return false;
}

ExportLookup Malformed(std::string& problem, const std::string& what) {
    Outside(problem, what);
    return ExportLookup::Malformed;
}

// The export directory's tables, checked to lie inside the image.
struct ExportDirectory {
    std::uint32_t ordinal_base = 0, function_count = 0, name_count = 0, functions = 0, names = 0, ordinals = 0;
};

bool ReadDirectory(const MappedImage& mapped, const PeDirectory& directory, ExportDirectory& tables,
                   std::string& problem) {
    if (!mapped.ReadU32(directory.rva + 16, tables.ordinal_base) ||
        !mapped.ReadU32(directory.rva + 20, tables.function_count) ||
        !mapped.ReadU32(directory.rva + 24, tables.name_count) ||
        !mapped.ReadU32(directory.rva + 28, tables.functions) || !mapped.ReadU32(directory.rva + 32, tables.names) ||
        !mapped.ReadU32(directory.rva + 36, tables.ordinals))
        return Outside(problem, "header");
    if (!mapped.Contains(tables.names, 0) || tables.name_count > (mapped.size() - tables.names) / 4)
        return Outside(problem, "name table");
    if (!mapped.Contains(tables.ordinals, 0) || tables.name_count > (mapped.size() - tables.ordinals) / 2)
        return Outside(problem, "ordinal table");
    if (!mapped.Contains(tables.functions, 0) || tables.function_count > (mapped.size() - tables.functions) / 4)
        return Outside(problem, "address table");
    return true;
}

}  // namespace

bool ListExports(const MappedImage& mapped, const PeImage& image, std::vector<std::string>& names,
                 std::string& problem) {
    names.clear();
    const PeDirectory& directory = image.directories[kExportDirectory];
    if (directory.rva == 0 || directory.size == 0) return true;
    ExportDirectory tables;
    if (!ReadDirectory(mapped, directory, tables, problem)) return false;
    std::vector<bool> named(tables.function_count, false);
    for (std::uint32_t i = 0; i < tables.name_count; ++i) {
        std::uint32_t name_rva = 0;
        std::string name;
        std::uint16_t index = 0;
        mapped.ReadU32(tables.names + 4 * i, name_rva);
        if (!mapped.ReadText(name_rva, kMaxNameLength, name)) return Outside(problem, "name of an export");
        mapped.ReadU16(tables.ordinals + 2 * i, index);
        if (index < tables.function_count) named[index] = true;
        names.push_back(name);
    }
    // The address table has gaps (address 0) where an ordinal is unused.
    for (std::uint32_t index = 0; index < tables.function_count; ++index) {
        std::uint32_t rva = 0;
        mapped.ReadU32(tables.functions + 4 * index, rva);
        if (!named[index] && rva != 0) names.push_back("ordinal " + std::to_string(tables.ordinal_base + index));
    }
    return true;
}

ExportLookup FindExport(const MappedImage& mapped, const PeImage& image, const std::string& name,
                        std::uint32_t& rva, std::string& problem) {
    const PeDirectory& directory = image.directories[kExportDirectory];
    if (directory.rva == 0 || directory.size == 0) return ExportLookup::Missing;
    ExportDirectory tables;
    if (!ReadDirectory(mapped, directory, tables, problem)) return ExportLookup::Malformed;
    const std::uint32_t function_count = tables.function_count, name_count = tables.name_count,
                        functions = tables.functions, names = tables.names, ordinals = tables.ordinals;

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
