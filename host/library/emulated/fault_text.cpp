#include "library/emulated/fault_text.h"

#include "library/emulated/address_space.h"
#include "library/emulated/hex_text.h"

std::string ImageAddresses::Describe(std::uint64_t address) const {
    if (address <= 0xFFFFFFFFu && Contains(static_cast<std::uint32_t>(address)))
        return m_name + "+" + Hex(address - m_base);
    if (address > 0xFFFFFFFFu) return Hex(address);
    return HexAddress(static_cast<std::uint32_t>(address));
}

const PeSection* ImageAddresses::SectionOf(std::uint32_t address) const {
    if (!Contains(address)) return nullptr;
    const std::uint32_t rva = address - m_base;
    for (const PeSection& section : m_sections)
        if (rva - section.virtual_address < section.memory_size) return &section;
    return nullptr;
}

namespace {

std::string Bytes(std::uint32_t size) { return std::to_string(size) + (size == 1 ? " byte" : " bytes"); }

bool InStackGuard(std::uint32_t address) {
    return address >= address_space::kStackGuardLow && address < address_space::kStackLow;
}

// Where a jump landed, and what lies there.
std::string Landing(std::uint32_t address, const ImageAddresses& image) {
    const std::string where = image.Describe(address);
    if (const PeSection* section = image.SectionOf(address))
        return where + ", in the section " + section->name + ", which is not code";
    if (image.Contains(address)) return where + ", in the image's headers, which are not code";
    return where + ", which is not code";
}

std::string Exception(std::uint32_t vector, std::uint32_t eip, const ImageAddresses& image) {
    const std::string at = " (at " + image.Describe(eip) + ")";
    const std::string after_one = " (at " + image.Describe(eip - 1) + ")";
    switch (vector) {
    case 0: return "crashed: division fault (a division by zero or a quotient too large)" + at;
    case 1: return "crashed: debug trap (the trap flag was set)" + at;
    case 3: return "crashed: breakpoint (int3)" + after_one;
    case 4: return "crashed: overflow trap (into)" + after_one;
    case 5: return "crashed: bound range exceeded" + at;
    case 6: return "crashed: invalid instruction" + at;
    case 7: return "crashed: floating-point unit not available" + at;
    case 12: return "crashed: stack segment fault" + at;
    case 13: return "crashed: general protection fault" + at;
    case 14: return "crashed: page fault" + at;
    case 16: return "crashed: floating-point exception" + at;
    case 17: return "crashed: alignment check" + at;
    case 19: return "crashed: SIMD floating-point exception" + at;
    default: break;
    }
    if (vector < 32) return "crashed: CPU exception " + std::to_string(vector) + at;
    // A software interrupt (int n) leaves EIP after its two bytes: Windows
    // system calls go through here.
    return "crashed: software interrupt " + Hex(vector) + " (at " + image.Describe(eip - 2) + ")";
}

}  // namespace

std::string DescribeStop(const CpuStop& stop, const ImageAddresses& image, std::uint64_t budget) {
    const std::string at = " (at " + image.Describe(stop.eip) + ")";
    const std::string access = Bytes(stop.size) + " at " + image.Describe(stop.address);
    switch (stop.kind) {
    case CpuStop::Kind::InvalidRead:
        if (InStackGuard(stop.address)) return "crashed: stack overflow: invalid read of " + access + at;
        return "crashed: invalid read of " + access + at;
    case CpuStop::Kind::InvalidWrite:
        if (InStackGuard(stop.address)) return "crashed: stack overflow: invalid write of " + access + at;
        return "crashed: invalid write of " + access + at;
    case CpuStop::Kind::ProtectedWrite:
        if (const PeSection* section = image.SectionOf(stop.address))
            return "crashed: invalid write of " + access + ", in the read-only section " + section->name + at;
        return "crashed: invalid write of " + access + ", which is read-only" + at;
    case CpuStop::Kind::FetchNotCode: return "crashed: jumped to " + Landing(stop.address, image);
    case CpuStop::Kind::FetchUnmapped:
        return "crashed: jumped to " + image.Describe(stop.address) + ", where nothing is mapped";
    case CpuStop::Kind::CpuException: return Exception(stop.vector, stop.eip, image);
    case CpuStop::Kind::InvalidInstruction: return "crashed: invalid instruction" + at;
    case CpuStop::Kind::Halted: return "crashed: executed hlt, a privileged instruction" + at;
    case CpuStop::Kind::Hung: return "hung: no return within " + std::to_string(budget) + " instructions" + at;
    case CpuStop::Kind::Untranslatable:
        return "crashed: the emulator cannot translate the code at or after " + image.Describe(stop.eip) +
               " (an encoding its translator does not handle, such as a far jump or call through a register)";
    case CpuStop::Kind::EmulatorError:
        return std::string("crashed: the emulator stopped: ") + EmulatorErrorText(stop.error) + at;
    case CpuStop::Kind::Returned: break;
    }
    return "crashed: stopped for no known reason" + at;
}
