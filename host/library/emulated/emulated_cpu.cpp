#include "library/emulated/emulated_cpu.h"

#include "platform/host_platform.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

int RegisterId(CpuRegister which) {
    switch (which) {
    case CpuRegister::Eax: return UC_X86_REG_EAX;
    case CpuRegister::Ecx: return UC_X86_REG_ECX;
    case CpuRegister::Edx: return UC_X86_REG_EDX;
    case CpuRegister::Ebx: return UC_X86_REG_EBX;
    case CpuRegister::Esp: return UC_X86_REG_ESP;
    case CpuRegister::Ebp: return UC_X86_REG_EBP;
    case CpuRegister::Esi: return UC_X86_REG_ESI;
    case CpuRegister::Edi: return UC_X86_REG_EDI;
    case CpuRegister::Eip: return UC_X86_REG_EIP;
    case CpuRegister::Eflags: return UC_X86_REG_EFLAGS;
    }
    return UC_X86_REG_INVALID;
}

// A segment descriptor: present, 32-bit, of the given privilege; code is
// execute/read, data read/write; both marked accessed, so that loading one
// never writes to the (read-only) table.
std::uint64_t Descriptor(std::uint32_t base, std::uint32_t limit, bool page_granular, bool code, unsigned privilege) {
    const std::uint64_t access = 0x80 | (privilege << 5) | 0x10 | (code ? 0x0B : 0x03);
    const std::uint64_t flags = 0x4 | (page_granular ? 0x8 : 0x0);
    return (limit & 0xFFFFull) | (std::uint64_t{base} & 0xFFFFFF) << 16 | access << 40 |
           std::uint64_t{(limit >> 16) & 0xF} << 48 | flags << 52 | std::uint64_t{base >> 24} << 56;
}

}  // namespace

struct CpuHooks {
    static bool OnInvalidMemory(uc_engine* engine, uc_mem_type type, std::uint64_t address, int size,
                                std::int64_t, void* user) {
        EmulatedCpu& cpu = *static_cast<EmulatedCpu*>(user);
        CpuStop& stop = cpu.m_stop;
        stop.address = static_cast<std::uint32_t>(address);
        stop.size = static_cast<std::uint32_t>(size);
        switch (type) {
        case UC_MEM_WRITE_UNMAPPED: stop.kind = CpuStop::Kind::InvalidWrite; break;
        case UC_MEM_WRITE_PROT: stop.kind = CpuStop::Kind::ProtectedWrite; break;
        case UC_MEM_FETCH_UNMAPPED: stop.kind = CpuStop::Kind::FetchUnmapped; break;
        case UC_MEM_FETCH_PROT: stop.kind = CpuStop::Kind::FetchNotCode; break;
        default: stop.kind = CpuStop::Kind::InvalidRead; break;
        }
        std::uint32_t eip = 0;
        uc_reg_read(engine, UC_X86_REG_EIP, &eip);
        stop.eip = eip;
        cpu.m_stopped_by_hook = true;
        return false;  // stop: the engine returns the matching error
    }

    static void OnInterrupt(uc_engine* engine, std::uint32_t vector, void* user) {
        EmulatedCpu& cpu = *static_cast<EmulatedCpu*>(user);
        std::uint32_t eip = 0;
        uc_reg_read(engine, UC_X86_REG_EIP, &eip);
        cpu.m_stop.kind = CpuStop::Kind::CpuException;
        cpu.m_stop.vector = vector;
        cpu.m_stop.eip = eip;
        cpu.m_stopped_by_hook = true;
        uc_emu_stop(engine);
    }

    // Every instruction the CPU starts; the one past the budget is not run.
    static void OnInstruction(uc_engine* engine, std::uint64_t address, std::uint32_t, void* user) {
        EmulatedCpu& cpu = *static_cast<EmulatedCpu*>(user);
        if (++cpu.m_executed <= cpu.m_limit) {
            if (static_cast<std::uint32_t>(address) - cpu.m_count_begin < cpu.m_count_size) ++cpu.m_counted;
            return;
        }
        cpu.m_executed = cpu.m_limit;
        cpu.m_stop.kind = CpuStop::Kind::Hung;
        cpu.m_stop.eip = static_cast<std::uint32_t>(address);
        cpu.m_stopped_by_hook = true;
        uc_emu_stop(engine);
    }

    static bool OnInvalidInstruction(uc_engine* engine, void* user) {
        EmulatedCpu& cpu = *static_cast<EmulatedCpu*>(user);
        std::uint32_t eip = 0;
        uc_reg_read(engine, UC_X86_REG_EIP, &eip);
        cpu.m_stop.kind = CpuStop::Kind::InvalidInstruction;
        cpu.m_stop.eip = eip;
        cpu.m_stopped_by_hook = true;
        return false;
    }
};

EmulatedCpu::EmulatedCpu() { m_engine = OpenEngine(); }

uc_engine* EmulatedCpu::OpenEngine() {
    uc_engine* engine = nullptr;
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &engine) != UC_ERR_OK) return nullptr;
    uc_hook hook;
    // Begin 1, end 0: the hooks cover every address.
    if (uc_hook_add(engine, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&CpuHooks::OnInvalidMemory), this, 1,
                    0) != UC_ERR_OK ||
        uc_hook_add(engine, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&CpuHooks::OnInterrupt), this, 1, 0) !=
            UC_ERR_OK ||
        uc_hook_add(engine, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(&CpuHooks::OnInvalidInstruction),
                    this, 1, 0) != UC_ERR_OK ||
        uc_hook_add(engine, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&CpuHooks::OnInstruction), this, 1, 0) !=
            UC_ERR_OK) {
        uc_close(engine);
        return nullptr;
    }
    ++m_engines_opened;
    return engine;
}

namespace {

// Copies the regions' contents from one engine to another, where the other
// has them mapped; pages of zeros are left as the fresh engine maps them.
bool CopyMemory(uc_engine* from, uc_engine* to, std::uint64_t begin, std::uint64_t end) {
    static const unsigned char kZeros[4096] = {};
    unsigned char page[4096];
    for (std::uint64_t at = begin; at < end; at += sizeof page) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof page, end - at));
        if (uc_mem_read(from, at, page, part) != UC_ERR_OK) return false;
        if (std::memcmp(page, kZeros, part) != 0 && uc_mem_write(to, at, page, part) != UC_ERR_OK) return false;
    }
    return true;
}

// Registers whose values a fresh engine takes over, in this order: the
// segment registers after the descriptor table (copied with the memory and
// GDTR) they are loaded from.
constexpr int kCarriedRegisters[] = {UC_X86_REG_SS,  UC_X86_REG_CS,  UC_X86_REG_DS,  UC_X86_REG_ES,
                                     UC_X86_REG_FS,  UC_X86_REG_GS,  UC_X86_REG_EAX, UC_X86_REG_ECX,
                                     UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP, UC_X86_REG_EBP,
                                     UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EIP, UC_X86_REG_EFLAGS,
                                     UC_X86_REG_MXCSR};

bool CarryRegisters(uc_engine* from, uc_engine* to) {
    uc_x86_mmr gdtr{};
    std::uint16_t control = 0;
    if (uc_reg_read(from, UC_X86_REG_GDTR, &gdtr) != UC_ERR_OK || uc_reg_write(to, UC_X86_REG_GDTR, &gdtr) != UC_ERR_OK ||
        uc_reg_read(from, UC_X86_REG_FPCW, &control) != UC_ERR_OK ||
        uc_reg_write(to, UC_X86_REG_FPCW, &control) != UC_ERR_OK)
        return false;
    for (const int id : kCarriedRegisters) {
        std::uint32_t value = 0;
        if (uc_reg_read(from, id, &value) != UC_ERR_OK || uc_reg_write(to, id, &value) != UC_ERR_OK) return false;
    }
    return true;
}

}  // namespace

bool EmulatedCpu::Renew() {
    m_stretches = 0;  // a failed renewal is tried again after as many
    uc_engine* fresh = OpenEngine();
    if (fresh == nullptr) return false;
    bool moved = true;
    for (const Region& region : m_regions)
        moved = moved && uc_mem_map(fresh, region.begin, region.end - region.begin, region.protection) == UC_ERR_OK &&
                CopyMemory(m_engine, fresh, region.begin, region.end);
    if (!moved || !CarryRegisters(m_engine, fresh)) {
        uc_close(fresh);
        return false;
    }
    for (uc_context* context : m_contexts)
        if (context != nullptr) uc_context_free(context);
    m_contexts.clear();
    uc_close(m_engine);
    m_engine = fresh;
    return true;
}

EmulatedCpu::~EmulatedCpu() {
    for (uc_context* context : m_contexts)
        if (context != nullptr) uc_context_free(context);
    if (m_engine != nullptr) uc_close(m_engine);
}

bool EmulatedCpu::Map(std::uint32_t base, std::uint32_t size, unsigned protection) {
    if (size == 0 || uc_mem_map(m_engine, base, size, protection) != UC_ERR_OK) return false;
    const Region region{base, std::uint64_t{base} + size, protection};
    m_regions.insert(std::upper_bound(m_regions.begin(), m_regions.end(), region,
                                      [](const Region& a, const Region& b) { return a.begin < b.begin; }),
                     region);
    return true;
}

void EmulatedCpu::SplitAt(std::uint64_t address) {
    for (std::size_t i = 0; i < m_regions.size(); ++i) {
        Region& region = m_regions[i];
        if (region.begin < address && address < region.end) {
            const Region upper{static_cast<std::uint32_t>(address), region.end, region.protection};
            region.end = address;
            m_regions.insert(m_regions.begin() + static_cast<std::ptrdiff_t>(i) + 1, upper);
            return;
        }
    }
}

bool EmulatedCpu::Protect(std::uint32_t base, std::uint32_t size, unsigned protection) {
    if (size == 0) return true;
    if (!MappedWith(base, size, kProtNone)) return false;
    // A region the range starts or ends inside is split, and the engine
    // copies all of it to do so: work the caller counts as bytes moved.
    for (const Region& region : m_regions)
        if ((region.begin < base && base < region.end) ||
            (region.begin < std::uint64_t{base} + size && std::uint64_t{base} + size < region.end))
            m_bytes_moved += region.end - region.begin;
    if (uc_mem_protect(m_engine, base, size, protection) != UC_ERR_OK) return false;
    const std::uint64_t end = std::uint64_t{base} + size;
    SplitAt(base);
    SplitAt(end);
    for (Region& region : m_regions)
        if (region.begin >= base && region.end <= end) region.protection = protection;
    return true;
}

bool EmulatedCpu::ProtectionAt(std::uint32_t address, unsigned& protection, std::uint32_t& region_end) const {
    auto after = std::upper_bound(m_regions.begin(), m_regions.end(), address,
                                  [](std::uint32_t value, const Region& region) { return value < region.begin; });
    if (after == m_regions.begin()) return false;
    const Region& region = *(after - 1);
    if (address >= region.end) return false;
    protection = region.protection;
    region_end = static_cast<std::uint32_t>(std::min<std::uint64_t>(region.end, 0xFFFFFFFFu));
    return true;
}

bool EmulatedCpu::Allows(std::uint32_t address, std::size_t size, unsigned needed,
                         std::uint32_t& first_refused) const {
    constexpr std::uint64_t kTop = 0x100000000ull;
    const std::uint64_t end = std::uint64_t{address} + size;
    std::uint64_t at = address;
    while (at < end && at < kTop) {
        unsigned protection = 0;
        std::uint32_t region_end = 0;
        if (!ProtectionAt(static_cast<std::uint32_t>(at), protection, region_end) ||
            (protection & needed) != needed) {
            first_refused = static_cast<std::uint32_t>(at);
            return false;
        }
        // A region reaching the very top of the address space ends there.
        at = region_end == 0xFFFFFFFFu ? kTop : region_end;
    }
    if (end > kTop) {
        first_refused = 0;  // the range wraps past the top
        return false;
    }
    return true;
}

bool EmulatedCpu::MappedWith(std::uint32_t address, std::size_t size, unsigned needed) const {
    std::uint32_t refused = 0;
    return Allows(address, size, needed, refused);
}

bool EmulatedCpu::Read(std::uint32_t address, void* destination, std::size_t size) const {
    if (size == 0) return true;
    if (!MappedWith(address, size, kProtRead)) return false;
    m_bytes_moved += size;
    return uc_mem_read(m_engine, address, destination, size) == UC_ERR_OK;
}

bool EmulatedCpu::Write(std::uint32_t address, const void* source, std::size_t size) {
    if (size == 0) return true;
    if (!MappedWith(address, size, kProtWrite)) return false;
    m_bytes_moved += size;
    return uc_mem_write(m_engine, address, source, size) == UC_ERR_OK;
}

bool EmulatedCpu::Load(std::uint32_t address, const void* source, std::size_t size) {
    if (size == 0) return true;
    if (!MappedWith(address, size, kProtNone)) return false;
    m_bytes_moved += size;
    return uc_mem_write(m_engine, address, source, size) == UC_ERR_OK;
}

bool EmulatedCpu::Fill(std::uint32_t address, unsigned char value, std::size_t size) {
    unsigned char chunk[4096];
    std::memset(chunk, value, sizeof chunk);
    while (size > 0) {
        const std::size_t part = std::min(size, sizeof chunk);
        if (!Load(address, chunk, part)) return false;
        address += static_cast<std::uint32_t>(part);
        size -= part;
    }
    return true;
}

std::uint32_t EmulatedCpu::Get(CpuRegister which) const {
    std::uint32_t value = 0;
    uc_reg_read(m_engine, RegisterId(which), &value);
    return value;
}

void EmulatedCpu::Set(CpuRegister which, std::uint32_t value) { uc_reg_write(m_engine, RegisterId(which), &value); }

bool EmulatedCpu::SetUpSegments(std::uint32_t gdt_address, std::uint32_t fs_base) {
    // Entries: 0 null, 1 flat code, 2 flat data, 3 the thread block (one page).
    // The CPU runs at privilege 0, so the stack segment is of privilege 0 too.
    const std::uint64_t table[4] = {0, Descriptor(0, 0xFFFFF, true, true, 0), Descriptor(0, 0xFFFFF, true, false, 0),
                                    Descriptor(fs_base, 0xFFF, false, false, 3)};
    if (!Load(gdt_address, table, sizeof table)) return false;
    uc_x86_mmr gdtr{};
    gdtr.base = gdt_address;
    gdtr.limit = sizeof table - 1;
    const std::uint32_t code = 1 << 3, data = 2 << 3, thread = 3 << 3 | 3;
    return uc_reg_write(m_engine, UC_X86_REG_GDTR, &gdtr) == UC_ERR_OK &&
           uc_reg_write(m_engine, UC_X86_REG_SS, &data) == UC_ERR_OK &&
           uc_reg_write(m_engine, UC_X86_REG_CS, &code) == UC_ERR_OK &&
           uc_reg_write(m_engine, UC_X86_REG_DS, &data) == UC_ERR_OK &&
           uc_reg_write(m_engine, UC_X86_REG_ES, &data) == UC_ERR_OK &&
           uc_reg_write(m_engine, UC_X86_REG_FS, &thread) == UC_ERR_OK;
}

namespace {

// The engine's translator aborts the process on a few encodings it does not
// handle (a far jump or call through a register, FF /3 or FF /5 with a
// register operand) instead of raising an invalid-instruction fault. A
// module must not take semhost down so: the abort is caught and ends the
// run. The engine stays usable enough to be closed; the library counts as
// faulted and runs nothing more.
struct EngineRun {
    uc_engine* engine;
    std::uint32_t from;
    std::uint32_t stop_at;
    uc_err error;
};

uc_err StartGuardedAgainstTranslatorAbort(uc_engine* engine, std::uint32_t from, std::uint32_t stop_at,
                                          bool& untranslatable) {
    EngineRun run{engine, from, stop_at, UC_ERR_OK};
    untranslatable = !host_platform::RunCatchingAbort(
        [](void* context) {
            EngineRun& run = *static_cast<EngineRun*>(context);
            run.error = uc_emu_start(run.engine, run.from, run.stop_at, 0, 0);
        },
        &run);
    return untranslatable ? UC_ERR_OK : run.error;
}

}  // namespace

CpuStop EmulatedCpu::Run(std::uint32_t from, std::uint32_t stop_at, std::uint64_t budget) {
    m_stop = CpuStop{};
    m_stopped_by_hook = false;
    // The budget is this object's own count (OnInstruction), not the
    // engine's: the engine's count cannot be read after a stretch that ended
    // otherwise, and dropping it again flushes every translated block.
    m_executed = 0;
    ++m_stretches;
    m_limit = budget == 0 ? std::numeric_limits<std::uint64_t>::max() : budget;
    bool untranslatable = false;
    const uc_err error = StartGuardedAgainstTranslatorAbort(m_engine, from, stop_at, untranslatable);
    m_stop.instructions = m_executed;
    if (untranslatable) {
        m_stop.kind = CpuStop::Kind::Untranslatable;
        m_stop.eip = Get(CpuRegister::Eip);
        return m_stop;
    }
    if (m_stopped_by_hook) {
        if (m_stop.kind == CpuStop::Kind::FetchNotCode && m_stop.address == stop_at) m_stop.kind = CpuStop::Kind::Returned;
        return m_stop;
    }
    const std::uint32_t eip = Get(CpuRegister::Eip);
    m_stop.eip = eip;
    if (error != UC_ERR_OK) {
        m_stop.kind = CpuStop::Kind::EmulatorError;
        m_stop.error = error;
        return m_stop;
    }
    if (eip == stop_at) {
        m_stop.kind = CpuStop::Kind::Returned;
        return m_stop;
    }
    // hlt ends the run without a fault; the byte before tells it apart.
    unsigned char previous = 0;
    if (eip != 0 && Read(eip - 1, &previous, 1) && previous == 0xF4) {
        m_stop.kind = CpuStop::Kind::Halted;
        m_stop.eip = eip - 1;
        return m_stop;
    }
    m_stop.kind = CpuStop::Kind::Hung;
    return m_stop;
}

void EmulatedCpu::CountInstructionsIn(std::uint32_t begin, std::uint32_t size) {
    m_count_begin = begin;
    m_count_size = size;
}

void EmulatedCpu::SaveContext(unsigned depth) {
    if (m_contexts.size() <= depth) m_contexts.resize(depth + 1, nullptr);
    if (m_contexts[depth] == nullptr && uc_context_alloc(m_engine, &m_contexts[depth]) != UC_ERR_OK) {
        m_contexts[depth] = nullptr;
        return;
    }
    uc_context_save(m_engine, m_contexts[depth]);
}

void EmulatedCpu::RestoreContext(unsigned depth) {
    if (depth < m_contexts.size() && m_contexts[depth] != nullptr) uc_context_restore(m_engine, m_contexts[depth]);
}

const char* EmulatorErrorText(int error) { return uc_strerror(static_cast<uc_err>(error)); }
