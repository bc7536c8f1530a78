#include "library/emulated/process_setup.h"

#include "library/emulated/address_space.h"
#include "library/emulated/thread_block.h"

#include <vector>

namespace {

unsigned SectionProtection(std::uint32_t characteristics) {
    unsigned protection = kProtNone;
    if ((characteristics & kSectionRead) != 0) protection |= kProtRead;
    // On i386 pages a writable page is readable, and so is an executable one.
    if ((characteristics & kSectionWrite) != 0) protection |= kProtReadWrite;
    if ((characteristics & kSectionExecute) != 0) protection |= kProtReadExecute;
    return protection;
}

void Put32(std::vector<unsigned char>& page, std::uint32_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) page[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

bool MapImage(EmulatedCpu& cpu, const MappedImage& mapped, const PeImage& image, std::uint32_t base) {
    // Each piece is mapped with its own protection from the start: changing
    // the protection of part of a mapped region makes the engine copy the
    // whole region, and doing that for every section of a large image costs
    // the image's size once per section.
    auto map = [&](std::uint32_t begin, std::uint32_t end, unsigned protection) {
        return begin >= end || cpu.Map(base + begin, end - begin, protection);
    };
    // ParsePeImage has checked that the sections lie in order after the
    // headers, inside the image, without overlapping.
    std::uint32_t mapped_up_to = static_cast<std::uint32_t>(address_space::PageUp(image.size_of_headers));
    if (!map(0, mapped_up_to, kProtRead)) return false;
    for (const PeSection& section : image.sections) {
        if (section.memory_size == 0) continue;
        const std::uint32_t end = section.virtual_address + section.memory_size;
        if (!map(mapped_up_to, section.virtual_address, kProtNone) ||
            !map(section.virtual_address, end, SectionProtection(section.characteristics)))
            return false;
        mapped_up_to = end;
    }
    return map(mapped_up_to, mapped.size(), kProtNone) && cpu.Load(base, mapped.bytes().data(), mapped.size());
}

bool SetUpProcess(EmulatedCpu& cpu, std::uint32_t image_base) {
    using namespace address_space;
    if (!cpu.Map(kStackLow, kStackHigh - kStackLow, kProtReadWrite) || !cpu.Map(kGdtAddress, kPageSize, kProtRead) ||
        !cpu.Map(kTebAddress, 2 * kPageSize, kProtReadWrite) ||
        !cpu.Map(kHostFunctionBase, kHostFunctionSize, kProtRead))
        return false;

    std::vector<unsigned char> teb(kPageSize, 0);
    Put32(teb, thread_block::kExceptionList, 0xFFFFFFFFu);
    Put32(teb, thread_block::kStackBase, kStackHigh);
    Put32(teb, thread_block::kStackLimit, kStackLow);
    Put32(teb, thread_block::kSelf, kTebAddress);
    Put32(teb, thread_block::kProcessId, thread_block::kOwnProcessId);
    Put32(teb, thread_block::kThreadId, thread_block::kOwnThreadId);
    Put32(teb, thread_block::kProcessBlock, kPebAddress);
    std::vector<unsigned char> peb(kPageSize, 0);
    Put32(peb, thread_block::kImageBaseAddress, image_base);
    // int3 throughout the function page: were it ever executable, it would
    // still stop at once.
    const std::vector<unsigned char> traps(kHostFunctionSize, 0xCC);
    return cpu.Load(kTebAddress, teb.data(), teb.size()) && cpu.Load(kPebAddress, peb.data(), peb.size()) &&
           cpu.Load(kHostFunctionBase, traps.data(), traps.size()) && cpu.SetUpSegments(kGdtAddress, kTebAddress);
}
