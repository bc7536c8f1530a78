// The emulated i386 CPU and its memory: a wrapper of one unicorn engine.
//
// The engine runs module code in stretches (Run): each ends where the code
// returns to the stop address, faults (reaching a host function is a fetch
// from the non-executable function page, which the caller tells apart), or
// exhausts its instruction budget. Hooks only record why a stretch stopped; the engine is never
// restarted from inside one.
//
// The engine keeps the code it translates for each stretch it starts,
// about 300 bytes a stretch, until its 1 GiB cache is full; so after
// kStretchesPerEngine stretches the owner renews it between calls (Renew),
// which bounds the memory a long session holds.
//
// The budget is counted by a hook of every instruction the CPU starts, so
// each iteration of a repeated string instruction (rep movs, rep stos)
// counts as one: a rep with a huge ECX runs out of budget as a loop does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct uc_struct;
struct uc_context;

// Page protections, the module's view: the bits of unicorn's UC_PROT_*.
enum : unsigned {
    kProtNone = 0,
    kProtRead = 1,
    kProtWrite = 2,
    kProtExecute = 4,
    kProtReadWrite = kProtRead | kProtWrite,
    kProtReadExecute = kProtRead | kProtExecute,
};

enum class CpuRegister { Eax, Ecx, Edx, Ebx, Esp, Ebp, Esi, Edi, Eip, Eflags };

// Why a stretch of module code stopped.
struct CpuStop {
    enum class Kind {
        Returned,            // reached the stop address
        InvalidRead,         // `size` bytes at `address`, unmapped or unreadable
        InvalidWrite,        // unmapped
        ProtectedWrite,      // mapped, not writable
        FetchNotCode,        // jumped to `address`, mapped but not executable
        FetchUnmapped,       // jumped to unmapped memory
        CpuException,        // interrupt `vector` (a division fault is 0)
        InvalidInstruction,
        Halted,              // executed hlt
        Hung,                // the budget ran out
        EmulatorError,       // the engine refused to run: `error`
        Untranslatable,      // the engine's translator gave up on the code at or after `eip`
    };
    Kind kind = Kind::Returned;
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::uint32_t eip = 0;  // where it stopped: the faulting instruction, or the next one after a trap
    std::uint32_t vector = 0;
    int error = 0;
    std::uint64_t instructions = 0;  // how many the stretch started (at most its budget)
};

class EmulatedCpu {
public:
    // Stretches an engine runs before worn() asks for a fresh one: some
    // 6 MiB of translated code.
    static constexpr std::uint64_t kStretchesPerEngine = 20000;

    // Opens the engine in 32-bit protected mode. Check ok() after.
    EmulatedCpu();
    ~EmulatedCpu();
    EmulatedCpu(const EmulatedCpu&) = delete;
    EmulatedCpu& operator=(const EmulatedCpu&) = delete;
    bool ok() const { return m_engine != nullptr; }

    // Page-aligned ranges.
    bool Map(std::uint32_t base, std::uint32_t size, unsigned protection);
    bool Protect(std::uint32_t base, std::uint32_t size, unsigned protection);
    // The protection of the page holding `address`, and whether it is mapped.
    bool ProtectionAt(std::uint32_t address, unsigned& protection, std::uint32_t& region_end) const;
    // True when every byte of the range is mapped with all of `needed`;
    // else the first byte that is not.
    bool Allows(std::uint32_t address, std::size_t size, unsigned needed, std::uint32_t& first_refused) const;

    // The module's view: false, and nothing copied, where it may not read
    // (or write) every byte.
    bool Read(std::uint32_t address, void* destination, std::size_t size) const;
    bool Write(std::uint32_t address, const void* source, std::size_t size);
    // The loader's and the host's own access to mapped memory, whatever its protection.
    bool Load(std::uint32_t address, const void* source, std::size_t size);
    bool Fill(std::uint32_t address, unsigned char value, std::size_t size);

    std::uint32_t Get(CpuRegister which) const;
    void Set(CpuRegister which, std::uint32_t value);
    // Loads the descriptor table at `gdt_address` (mapped, one page) with
    // flat code and data segments and an FS segment based at `fs_base`, and
    // loads the segment registers from it.
    bool SetUpSegments(std::uint32_t gdt_address, std::uint32_t fs_base);

    // Runs from `from` until the code reaches `stop_at` or stops otherwise;
    // at most `budget` instructions (0: no limit).
    CpuStop Run(std::uint32_t from, std::uint32_t stop_at, std::uint64_t budget);

    // Bytes the host has read, written or filled through this object so far
    // (Read, Write, Load, Fill, and the regions Protect splits, which the
    // engine copies): the work of the host functions a module calls, which
    // the caller counts against the module's budget.
    std::uint64_t bytes_moved() const { return m_bytes_moved; }

    // Counts, from now on, the instructions started at addresses in
    // [begin, begin + size): the module image's own code, told apart from
    // everything else the CPU runs. Repeated string instructions count one
    // per iteration, as the budget does.
    void CountInstructionsIn(std::uint32_t begin, std::uint32_t size);
    std::uint64_t counted_instructions() const { return m_counted; }

    // Whether the engine has run kStretchesPerEngine stretches.
    bool worn() const { return m_stretches >= kStretchesPerEngine; }
    // Moves the memory (every region, its contents and protection), the
    // segments, the general registers and flags, and the state a thread
    // keeps between calls (x87 control word, MXCSR) to a fresh engine and
    // closes the old one. Only between outermost calls: no context is kept
    // and the x87 stack is empty. On failure the old engine runs on.
    bool Renew();
    // Engines opened so far (1 after the constructor).
    unsigned engines_opened() const { return m_engines_opened; }

    // The whole CPU state, kept per nesting depth around a nested call.
    void SaveContext(unsigned depth);
    void RestoreContext(unsigned depth);

private:
    struct Region {
        std::uint32_t begin;
        std::uint64_t end;
        unsigned protection;
    };
    friend struct CpuHooks;  // the engine's callbacks, which record m_stop
    void SplitAt(std::uint64_t address);
    bool MappedWith(std::uint32_t address, std::size_t size, unsigned needed) const;

    // A new engine with this object's hooks, or null.
    uc_struct* OpenEngine();

    uc_struct* m_engine = nullptr;
    std::uint64_t m_stretches = 0;  // run by this engine
    unsigned m_engines_opened = 0;
    std::vector<Region> m_regions;  // sorted, not overlapping
    std::vector<uc_context*> m_contexts;
    CpuStop m_stop;
    bool m_stopped_by_hook = false;
    std::uint64_t m_executed = 0;  // instructions started in this stretch
    std::uint64_t m_limit = 0;     // of this stretch
    std::uint32_t m_count_begin = 0;  // the range CountInstructionsIn counts
    std::uint32_t m_count_size = 0;
    std::uint64_t m_counted = 0;
    mutable std::uint64_t m_bytes_moved = 0;
};
// The engine's own words for one of its errors.
const char* EmulatorErrorText(int error);
