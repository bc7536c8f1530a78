#include "library/emulated/pe_version.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace {

constexpr std::uint32_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectoryBit = 0x80000000;
constexpr std::uint32_t kNameBit = 0x80000000;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;
constexpr std::size_t kBlockHeaderSize = 6;  // length, value length, type
constexpr std::size_t kFixedFileInfoSize = 52;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr std::size_t kMaxVersionText = 64;
constexpr std::uintmax_t kMaxFileSize = 256u << 20;

std::uint16_t U16(const unsigned char* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }
std::uint32_t U32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}
std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// Bytes of the file, their length checked before this is made.
struct Span {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

// The file bytes of the image's [rva, rva + size), when one section's data
// in the file holds them all (memory a section has beyond its file data is
// zeros the loader adds, which no table of the file can lie in).
bool ImageBytes(const unsigned char* bytes, std::size_t file_size, const PeImage& image, std::uint32_t rva,
                std::uint32_t size, Span& span) {
    for (const PeSection& section : image.sections) {
        if (rva < section.virtual_address || rva - section.virtual_address >= section.memory_size) continue;
        const std::uint64_t start = rva - section.virtual_address;
        if (start + size > section.raw_size) return false;
        // ParsePeImage has checked each section's data against the file;
        // checked again here, as the bytes must come from the same file.
        if (section.raw_offset + start + size > file_size) return false;
        span = {bytes + section.raw_offset + start, size};
        return true;
    }
    return false;
}

// A resource directory's entry: for `id` the entry with that number,
// otherwise the first entry of any name (Windows would pick a name or
// language by preference; any one will do to read a version). `target` is
// the entry's offset in the tree, of a subdirectory or of a data entry as
// `subdirectory` asks. False with `problem` when the tree is malformed;
// true with `found` false when there is no such entry.
bool FindEntry(const Span& tree, std::uint32_t directory, const std::uint32_t* id, bool subdirectory,
               bool& found, std::uint32_t& target, std::string& problem) {
    found = false;
    if (std::uint64_t{directory} + kDirectoryHeaderSize > tree.size) {
        problem = "a resource directory lies outside the resource section";
        return false;
    }
    const std::size_t count = std::size_t{U16(tree.data + directory + 12)} + U16(tree.data + directory + 14);
    if (directory + kDirectoryHeaderSize + count * kDirectoryEntrySize > tree.size) {
        problem = "a resource directory's entries run past the resource section";
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* entry = tree.data + directory + kDirectoryHeaderSize + i * kDirectoryEntrySize;
        const std::uint32_t name = U32(entry);
        if (id != nullptr && ((name & kNameBit) != 0 || name != *id)) continue;
        const std::uint32_t offset = U32(entry + 4);
        if (((offset & kSubdirectoryBit) != 0) != subdirectory) {
            problem = subdirectory ? "a resource entry names data where a directory belongs"
                                   : "a resource entry names a directory where data belongs";
            return false;
        }
        target = offset & ~kSubdirectoryBit;
        found = true;
        return true;
    }
    return true;
}

// One block of a version resource: a length, a value and children.
struct Block {
    std::string key;
    bool text = false;
    std::size_t value = 0;       // offset of the value
    std::size_t value_size = 0;  // in bytes
    std::size_t children = 0;    // offset of the first child
    std::size_t end = 0;         // offset past the block
};

bool ReadBlock(const Span& data, std::size_t offset, std::size_t limit, Block& block, std::string& problem) {
    if (offset + kBlockHeaderSize > limit) {
        problem = "a block of the version resource runs past its parent";
        return false;
    }
    const std::size_t length = U16(data.data + offset);
    const std::size_t value_length = U16(data.data + offset + 2);
    block.text = U16(data.data + offset + 4) == 1;
    if (length < kBlockHeaderSize + 2) {
        problem = "a block of the version resource is shorter than its header";
        return false;
    }
    if (offset + length > limit) {
        problem = "a block of the version resource runs past its parent";
        return false;
    }
    block.end = offset + length;
    block.key.clear();
    std::size_t at = offset + kBlockHeaderSize;
    for (;; at += 2) {
        if (at + 2 > block.end) {
            problem = "a key of the version resource has no terminating zero";
            return false;
        }
        const std::uint16_t unit = U16(data.data + at);
        if (unit == 0) break;
        block.key += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
    }
    block.value = Align4(at + 2);
    // A text's length counts UTF-16 units, a binary value's bytes. Some
    // resource compilers count a text's bytes instead: a text is cut at the
    // block's end rather than refused.
    block.value_size = block.text ? 2 * value_length : value_length;
    if (block.value > block.end) block.value = block.end;
    if (block.value + block.value_size > block.end) {
        if (!block.text) {
            problem = "a value of the version resource runs past its block";
            return false;
        }
        block.value_size = block.end - block.value;
    }
    block.children = Align4(block.value + block.value_size);
    if (block.children > block.end) block.children = block.end;
    return true;
}

// The blocks from `offset` up to `limit`, each after the one before on a
// 4-byte boundary; fewer bytes than a header at the end are padding.
template <typename Visit>
bool ForEachBlock(const Span& data, std::size_t offset, std::size_t limit, std::string& problem, Visit visit) {
    while (offset < limit && limit - offset >= kBlockHeaderSize) {
        Block block;
        if (!ReadBlock(data, offset, limit, block, problem)) return false;
        if (!visit(block)) return false;
        offset = Align4(block.end);
    }
    return true;
}

std::string Text(const Span& data, const Block& block) {
    std::string text;
    for (std::size_t at = block.value; at + 2 <= block.value + block.value_size; at += 2) {
        const std::uint16_t unit = U16(data.data + at);
        if (unit == 0) break;
        if (text.size() == kMaxVersionText) break;
        text += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    return text;
}

bool ReadVersionBlocks(const Span& data, PeVersion& result) {
    Block root;
    if (!ReadBlock(data, 0, data.size, root, result.problem)) return false;
    if (root.key != "VS_VERSION_INFO") {
        result.problem = "the version resource does not start with VS_VERSION_INFO";
        return false;
    }
    std::string fixed;
    if (root.value_size != 0) {
        if (root.value_size < kFixedFileInfoSize || U32(data.data + root.value) != kFixedFileInfoSignature) {
            result.problem = "the version resource's fixed file information has no valid signature";
            return false;
        }
        const std::uint32_t high = U32(data.data + root.value + 8);
        const std::uint32_t low = U32(data.data + root.value + 12);
        fixed = std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
                std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
    }
    std::string text;
    std::string& problem = result.problem;
    const bool read = ForEachBlock(data, root.children, root.end, problem, [&](const Block& child) {
        if (child.key != "StringFileInfo") return true;
        return ForEachBlock(data, child.children, child.end, problem, [&](const Block& table) {
            return ForEachBlock(data, table.children, table.end, problem, [&](const Block& string) {
                if (text.empty() && string.key == "FileVersion" && string.text) text = Text(data, string);
                return true;
            });
        });
    });
    if (!read) return false;
    result.version = text.empty() ? fixed : text;
    return true;
}

}  // namespace

PeVersion ReadPeVersion(const unsigned char* bytes, std::size_t size, const PeImage& image) {
    PeVersion result;
    const PeDirectory& directory = image.directories[kResourceDirectory];
    if (directory.rva == 0 && directory.size == 0) return result;
    Span tree;
    if (directory.size < kDirectoryHeaderSize || !ImageBytes(bytes, size, image, directory.rva, directory.size, tree)) {
        result.problem = "the resource directory lies outside the file's data";
        return result;
    }

    bool found = false;
    std::uint32_t names = 0;
    std::uint32_t languages = 0;
    std::uint32_t data_entry = 0;
    if (!FindEntry(tree, 0, &kVersionType, true, found, names, result.problem)) return result;
    if (!found) return result;
    if (!FindEntry(tree, names, nullptr, true, found, languages, result.problem)) return result;
    if (found && !FindEntry(tree, languages, nullptr, false, found, data_entry, result.problem)) return result;
    if (!found) {
        result.problem = "the version resource has a directory but no data";
        return result;
    }
    if (std::uint64_t{data_entry} + kDataEntrySize > tree.size) {
        result.problem = "the version resource's data entry lies outside the resource section";
        return result;
    }
    Span data;
    if (!ImageBytes(bytes, size, image, U32(tree.data + data_entry), U32(tree.data + data_entry + 4), data)) {
        result.problem = "the version resource's data lies outside the file's data";
        return result;
    }
    if (!ReadVersionBlocks(data, result)) result.version.clear();
    return result;
}

PeVersion ReadPeFileVersion(const std::string& path) {
    PeVersion result;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxFileSize) {
        result.problem = error ? "the file cannot be read" : "the file is larger than 256 MB";
        return result;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    std::ifstream stream(path, std::ios::binary);
    if (!stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        result.problem = "the file cannot be read";
        return result;
    }
    if (!LooksLikeI386PeImage(bytes.data(), bytes.size())) return result;
    PeImage image;
    if (!ParsePeImage(bytes.data(), bytes.size(), image, result.problem)) return result;
    return ReadPeVersion(bytes.data(), bytes.size(), image);
}
