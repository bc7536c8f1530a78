#include "library/emulated/base_relocation.h"

#include "library/emulated/hex_text.h"

namespace {

constexpr unsigned kRelocationAbsolute = 0;
constexpr unsigned kRelocationHighLow = 3;
constexpr std::uint32_t kBlockHeaderSize = 8;

}  // namespace

bool ApplyBaseRelocations(MappedImage& mapped, const PeImage& image, std::uint32_t load_base,
                          std::string& problem) {
    const std::string cannot_move = "cannot be moved from its preferred base " + Hex(image.preferred_base) + ": ";
    if ((image.characteristics & kImageFileRelocsStripped) != 0) {
        problem = cannot_move + "its relocations are stripped";
        return false;
    }
    const PeDirectory& directory = image.directories[kRelocationDirectory];
    if (directory.rva == 0 || directory.size == 0) {
        problem = cannot_move + "it has no relocations";
        return false;
    }
    const std::uint32_t delta = load_base - image.preferred_base;
    const std::string malformed = "not a valid i386 PE image: ";
    // ParsePeImage has checked that the directory lies inside the image; each
    // block is at least 8 bytes, so the walk ends within size / 8 steps.
    std::uint32_t offset = 0;
    while (directory.size - offset >= kBlockHeaderSize) {
        std::uint32_t page = 0;
        std::uint32_t block_size = 0;
        mapped.ReadU32(directory.rva + offset, page);
        mapped.ReadU32(directory.rva + offset + 4, block_size);
        if (block_size < kBlockHeaderSize) {
            problem = malformed + "a relocation block has the size " + std::to_string(block_size);
            return false;
        }
        if (block_size > directory.size - offset) {
            problem = malformed + "a relocation block of " + Hex(block_size) + " bytes runs past the relocation directory";
            return false;
        }
        const std::uint32_t entries = (block_size - kBlockHeaderSize) / 2;
        for (std::uint32_t i = 0; i < entries; ++i) {
            std::uint16_t entry = 0;
            mapped.ReadU16(directory.rva + offset + kBlockHeaderSize + 2 * i, entry);
            const unsigned type = entry >> 12;
            const std::uint32_t target = page + (entry & 0xFFFu);
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationHighLow) {
                problem = "uses relocation type " + std::to_string(type) + " (at RVA " + Hex(target) +
                          "), which semhost does not apply";
                return false;
            }
            std::uint32_t value = 0;
            if (target < page || !mapped.ReadU32(target, value)) {
                problem = malformed + "a relocation at RVA " + Hex(target) + " lies outside the image";
                return false;
            }
            mapped.WriteU32(target, value + delta);
        }
        offset += block_size;
    }
    // As the Windows loader does: the headers tell where the image now lies.
    mapped.WriteU32(image.image_base_offset, load_base);
    return true;
}
