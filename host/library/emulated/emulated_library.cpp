#include "library/emulated/emulated_library.h"

#include "library/emulated/address_space.h"
#include "library/emulated/base_relocation.h"
#include "library/emulated/emulated_cpu.h"
#include "library/emulated/export_table.h"
#include "library/emulated/fault_text.h"
#include "library/emulated/hex_text.h"
#include "library/emulated/host_function_table.h"
#include "library/emulated/host_memory.h"
#include "library/emulated/import_binding.h"
#include "library/emulated/import_table.h"
#include "library/emulated/mapped_image.h"
#include "library/emulated/module_heap.h"
#include "library/emulated/pe_image.h"
#include "library/emulated/process_setup.h"
#include "library/emulated/system_stand_ins.h"
#include "library/emulated/thread_block.h"
#include "library/emulated/thread_local_storage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

constexpr std::uint32_t kDllProcessDetach = 0;
constexpr std::uint32_t kDllProcessAttach = 1;
constexpr std::uint32_t kDllMainArgumentBytes = 12;
constexpr unsigned kMaxNesting = 64;
// A nested call's frame starts this far below the caller's stack pointer.
constexpr std::uint32_t kNestedGap = 64;
constexpr std::uint32_t kDirectionFlag = 0x400;
constexpr std::uint32_t kInitialFlags = 0x202;  // interrupts on, as in user mode; the rest clear
constexpr std::uintmax_t kMaxFileSize = 256u << 20;
// What the host functions a module calls count against its budget: each
// call one instruction, and one more per this many bytes they read, write
// or fill (about what the module's own string instructions would take).
constexpr std::uint64_t kBytesPerInstruction = 16;

// Recognisable values in the registers a callee must keep; as pointers they
// all lie in unmapped memory, so a module that uses one faults at once.
struct KeptRegister {
    const char* name;
    CpuRegister which;
    std::uint32_t value;
};
constexpr KeptRegister kKeptRegisters[] = {
    {"EBX", CpuRegister::Ebx, 0xEB0C0DE1},
    {"ESI", CpuRegister::Esi, 0xE510C0DE},
    {"EDI", CpuRegister::Edi, 0xED10C0DE},
    {"EBP", CpuRegister::Ebp, 0xEB9C0DE5},
};

// Registers that carry arguments in other conventions (ECX: a member
// function's object; ECX and EDX: fastcall), set at each entry to values
// that lie in unmapped memory: a routine called as cdecl that takes an
// argument from one faults at once, instead of quietly using whatever the
// last call left there.
struct EntryRegister {
    const char* name;
    CpuRegister which;
    std::uint32_t value;
    const char* likely;  // the mistake that reads it
};
constexpr EntryRegister kEntryRegisters[] = {
    {"ECX", CpuRegister::Ecx, 0xEC0C0DEC, "a member function (thiscall) called as a plain routine?"},
    {"EDX", CpuRegister::Edx, 0xED0C0DED, "a fastcall routine called as cdecl?"},
};
constexpr std::uint32_t kEntryRegisterReach = 0x10000;  // offsets from one still count as it

// What a fault's address says when it comes from an entry register.
std::string EntryRegisterHint(const CpuStop& stop) {
    if (stop.kind != CpuStop::Kind::InvalidRead && stop.kind != CpuStop::Kind::InvalidWrite &&
        stop.kind != CpuStop::Kind::FetchUnmapped)
        return {};
    for (const EntryRegister& entry : kEntryRegisters)
        if (stop.address - (entry.value - kEntryRegisterReach) < 2 * kEntryRegisterReach)
            return std::string(": the address comes from ") + entry.name +
                   ", which a call into the module does not set (" + entry.likely + ")";
    return {};
}

std::uint32_t LoadBaseFor(const PeImage& image) {
    return image.preferred_base == address_space::kImageBase ? address_space::kAlternateImageBase
                                                             : address_space::kImageBase;
}

}  // namespace

// ---------------------------------------------------------------------------
// What the stand-ins reach
// ---------------------------------------------------------------------------

class EmulatedLibrary::StandInBridge final : public StandInHost {
public:
    explicit StandInBridge(EmulatedLibrary& library) : m_library(library) {}

    std::uint32_t Argument(unsigned index) override {
        std::uint32_t value = 0;
        const std::uint32_t at = m_library.m_host_call.esp + 4 + 4 * index;
        if (!m_library.m_cpu->Read(at, &value, 4))
            Crash("invalid read of 4 bytes at " + HexAddress(at) + " (the arguments of a system function)");
        return value;
    }

    bool CheckAccess(std::uint32_t address, std::uint32_t size, bool write, const char* function) override {
        std::uint32_t refused = 0;
        if (m_library.m_cpu->Allows(address, size, write ? kProtWrite : kProtRead, refused)) return true;
        Crash(std::string("invalid ") + (write ? "write" : "read") + " of " + std::to_string(size) + " bytes at " +
              m_library.DescribeAddress(address) + " in " + function + " (the first refused byte at " +
              m_library.DescribeAddress(refused) + ")");
        return false;
    }

    bool ReadMemory(std::uint32_t address, void* destination, std::uint32_t size, const char* function) override {
        return CheckAccess(address, size, false, function) && m_library.m_cpu->Read(address, destination, size);
    }

    bool WriteMemory(std::uint32_t address, const void* source, std::uint32_t size, const char* function) override {
        return CheckAccess(address, size, true, function) && m_library.m_cpu->Write(address, source, size);
    }

    bool TextLength(std::uint32_t address, std::uint32_t max_length, std::uint32_t& length,
                    const char* function) override {
        length = 0;
        char chunk[256];
        while (length < max_length) {
            unsigned protection = 0;
            std::uint32_t region_end = 0;
            const std::uint32_t at = address + length;
            if (!m_library.m_cpu->ProtectionAt(at, protection, region_end) || (protection & kProtRead) == 0) {
                Crash(std::string("invalid read at ") + m_library.DescribeAddress(at) + " in " + function +
                      " (a text that does not end before it)");
                return false;
            }
            std::uint32_t part = static_cast<std::uint32_t>(sizeof chunk);
            if (region_end != 0xFFFFFFFFu && region_end - at < part) part = region_end - at;
            if (max_length - length < part) part = max_length - length;
            m_library.m_cpu->Read(at, chunk, part);
            if (const void* nul = std::memchr(chunk, 0, part)) {
                length += static_cast<std::uint32_t>(static_cast<const char*>(nul) - chunk);
                return true;
            }
            length += part;
            if (at + part < at) break;  // the top of the address space
        }
        return true;
    }

    std::string MessageText(std::uint32_t address, bool wide, std::size_t max_length) override {
        std::string text;
        const std::uint32_t unit = wide ? 2 : 1;
        for (std::size_t i = 0; i < max_length; ++i) {
            std::uint16_t character = 0;
            if (!m_library.m_cpu->Read(address + static_cast<std::uint32_t>(i) * unit, &character, unit)) {
                if (i == 0) return "(unreadable)";
                break;
            }
            if (character == 0) break;
            // One line of printable ASCII: a fault is reported as one line.
            text += character >= 0x20 && character < 0x7F ? static_cast<char>(character) : '?';
        }
        return text;
    }

    void Crash(const std::string& text) override {
        const std::uint32_t site = m_library.CallSite(m_library.m_host_call.return_address);
        m_library.Fault("crashed: " + text + " (at " + m_library.DescribeAddress(site) + ")");
    }

    void BreakContract(const std::string& text) override { m_library.Fault("reported a broken contract: " + text); }

    bool CallModule(std::uint32_t function) override {
        std::uint32_t eax = 0;
        return m_library.RunModuleFunction(function, {}, 0, eax);
    }

    void AddExitFunction(std::uint32_t function) override {
        if (function != 0) m_library.m_exit_functions.push_back(function);
    }

    ModuleHeap& heap() override { return *m_library.m_heap; }
    const LibraryOptions& options() const override { return m_library.m_options; }
    std::uint32_t MillisecondsSinceLoad() const override {
        return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - m_library.m_loaded_at)
                                              .count());
    }
    std::uint32_t image_base() const override { return m_library.m_image_base; }
    const std::string& image_name() const override { return m_library.m_name; }

    bool QueryRegion(std::uint32_t address, std::uint32_t& base, std::uint32_t& size,
                     unsigned& protection) const override {
        std::uint32_t region_end = 0;
        if (!m_library.m_cpu->ProtectionAt(address, protection, region_end)) return false;
        const ImageAddresses& image = *m_library.m_addresses;
        if (image.Contains(address)) {
            base = image.base();
            size = image.size();
        } else {
            base = address_space::PageDown(address);
            size = region_end - base;
        }
        return true;
    }

    bool ProtectImagePages(std::uint32_t address, std::uint32_t size, unsigned protection,
                           unsigned& old_protection) override {
        const ImageAddresses& image = *m_library.m_addresses;
        const std::uint32_t first = address_space::PageDown(address);
        const std::uint64_t end = address_space::PageUp(std::uint64_t{address} + (size == 0 ? 1 : size));
        // Only the image's own pages: the function page, the descriptor
        // table and the thread block must stay as they are.
        if (!image.Contains(first) || end > std::uint64_t{image.base()} + image.size()) return false;
        std::uint32_t region_end = 0;
        m_library.m_cpu->ProtectionAt(first, old_protection, region_end);
        return m_library.m_cpu->Protect(first, static_cast<std::uint32_t>(end - first), protection);
    }

    std::uint32_t& rand_seed() override { return m_library.m_rand_seed; }
    std::uint32_t errno_address() const override { return address_space::kTebAddress + thread_block::kErrno; }

private:
    EmulatedLibrary& m_library;
};

// ---------------------------------------------------------------------------
// Loading and unloading
// ---------------------------------------------------------------------------

EmulatedLibrary::EmulatedLibrary(const std::string& name, const LibraryOptions& options)
    : ModuleLibrary(kI386Layout),
      m_name(name),
      m_options(options),
      m_cpu(std::make_unique<EmulatedCpu>()),
      m_functions(std::make_unique<HostFunctionTable>()),
      m_bridge(std::make_unique<StandInBridge>(*this)),
      m_loaded_at(std::chrono::steady_clock::now()) {
    m_heap = std::make_unique<ModuleHeap>(*m_cpu, options.fail_allocations_after);
    m_host_memory = std::make_unique<HostMemory>(*m_cpu);
}

EmulatedLibrary::~EmulatedLibrary() {
    std::string ignored;
    Unload(ignored);
}

bool EmulatedLibrary::Unload(std::string& fault) {
    fault.clear();
    if (m_unloaded || m_faulted) {
        m_unloaded = true;
        return true;
    }
    m_unloaded = true;
    // As at a process's FreeLibrary: DllMain hears of the detach, then the
    // exit functions the module registered run, the latest first. All of it
    // shares one budget, so that an exit function which registers another
    // cannot keep the unload going for ever.
    StartBudget();
    m_budget_held = true;
    if (m_attached) {
        std::string problem;
        NotifyImage(kDllProcessDetach, problem);
    }
    while (!m_exit_functions.empty() && !m_faulted) {
        const std::uint32_t function = m_exit_functions.back();
        m_exit_functions.pop_back();
        std::uint32_t eax = 0;
        RunModuleFunction(function, {}, 0, eax);
    }
    if (m_faulted) fault = m_fault;
    return !m_faulted;
}

bool EmulatedLibrary::Load(const std::vector<unsigned char>& bytes, const PeImage& image,
                           ModuleLibrary::Status& status, std::string& problem) {
    status = Status::NotLoadable;
    MappedImage mapped(bytes.data(), image);
    m_image_base = LoadBaseFor(image);
    if (!ApplyBaseRelocations(mapped, image, m_image_base, problem)) return false;
    std::vector<ImportedFunction> imports;
    if (!ReadImports(mapped, image, imports, problem) ||
        !BindImports(mapped, imports, *m_functions, m_warnings, problem))
        return false;
    ThreadLocalStorage storage;
    if (!ReadThreadLocalStorage(mapped, image, m_image_base, storage, problem)) return false;
    m_tls_callbacks = storage.callbacks;

    const char* const names[] = {"getModuleProperties", "makeModule"};
    ModuleAddress* const addresses[] = {&m_get_module_properties, &m_make_module};
    for (int i = 0; i < 2; ++i) {
        std::uint32_t rva = 0;
        const ExportLookup lookup = FindExport(mapped, image, names[i], rva, problem);
        if (lookup == ExportLookup::Malformed) return false;
        if (lookup == ExportLookup::Missing) {
            status = Status::MissingExport;
            problem = std::string("lacks the export \"") + names[i] + "\"";
            return false;
        }
        *addresses[i] = m_image_base + rva;
    }
    std::vector<std::string> exported;
    if (ListExports(mapped, image, exported, m_exports_problem)) m_exported_names = std::move(exported);

    m_addresses = std::make_unique<ImageAddresses>(m_name, m_image_base, image.size_of_image, image.sections);
    m_cpu->CountInstructionsIn(m_image_base, image.size_of_image);
    if (!m_cpu->ok() || !MapImage(*m_cpu, mapped, image, m_image_base) || !SetUpProcess(*m_cpu, m_image_base) ||
        !SetUpThreadLocalStorage(mapped, storage)) {
        problem = "the emulator could not set up the module's memory";
        return false;
    }
    if (image.entry_point != 0) m_entry_point = m_image_base + image.entry_point;
    // The TLS callbacks and DllMain share one budget, as the unload does.
    StartBudget();
    m_budget_held = true;
    const bool attached = NotifyImage(kDllProcessAttach, problem);
    m_budget_held = false;
    if (!attached) {
        // A crash or hang there is the module's fault; a FALSE answer is
        // its refusal to load.
        if (m_faulted) status = Status::Faulted;
        return false;
    }
    m_attached = true;
    status = Status::Loaded;
    return true;
}

bool EmulatedLibrary::SetUpThreadLocalStorage(const MappedImage& mapped, const ThreadLocalStorage& storage) {
    if (storage.template_size == 0 && storage.zero_fill == 0 && storage.index_rva == 0) return true;
    // The one thread's block: the template, then zeros. The loader's own
    // memory, kept with what the host lends (not on the module's heap).
    const std::uint32_t block = m_host_memory->Allocate(storage.template_size + storage.zero_fill);
    const std::uint32_t pointers = m_host_memory->Allocate(4);
    const std::uint32_t index = 0;
    return block != 0 && pointers != 0 &&
           m_cpu->Load(block, mapped.bytes().data() + storage.template_rva, storage.template_size) &&
           m_cpu->Load(pointers, &block, 4) &&
           m_cpu->Load(address_space::kTebAddress + thread_block::kThreadLocalStoragePointer, &pointers, 4) &&
           (storage.index_rva == 0 || m_cpu->Load(m_image_base + storage.index_rva, &index, 4));
}

bool EmulatedLibrary::NotifyImage(std::uint32_t reason, std::string& problem) {
    // As the Windows loader orders them: the TLS callbacks before DllMain
    // at the attach, after it at the detach.
    auto run_callbacks = [&] {
        for (const std::uint32_t callback : m_tls_callbacks) {
            std::uint32_t ignored = 0;
            if (!RunModuleFunction(callback, {m_image_base, reason, 0}, kDllMainArgumentBytes, ignored)) {
                problem = "a TLS callback " + m_fault;
                return false;
            }
        }
        return true;
    };
    if (reason == kDllProcessAttach && !run_callbacks()) return false;
    if (m_entry_point != 0) {
        std::uint32_t answer = 0;
        if (!RunModuleFunction(m_entry_point, {m_image_base, reason, 0}, kDllMainArgumentBytes, answer)) {
            problem = "DllMain " + m_fault;
            return false;
        }
        if (reason == kDllProcessAttach && answer == 0) {
            problem = "DllMain answered FALSE to process attach";
            return false;
        }
    }
    return reason == kDllProcessAttach || run_callbacks();
}

std::unique_ptr<ModuleLibrary> EmulatedLibrary::Create(const std::vector<unsigned char>& bytes,
                                                       const std::string& name, const std::string& path,
                                                       const LibraryOptions& options, ModuleLibrary::Status& status,
                                                       std::string& problem) {
    status = ModuleLibrary::Status::NotLoadable;
    problem.clear();
    PeImage image;
    if (!ParsePeImage(bytes.data(), bytes.size(), image, problem)) return nullptr;
    std::unique_ptr<EmulatedLibrary> library(new EmulatedLibrary(name, options));
    library->m_path = path;
    // A library that never attached is not told of a detach.
    if (!library->Load(bytes, image, status, problem)) return nullptr;
    return library;
}

std::unique_ptr<ModuleLibrary> OpenEmulatedLibraryFromBytes(std::vector<unsigned char> bytes,
                                                            const std::string& name, const LibraryOptions& options,
                                                            ModuleLibrary::Status& status, std::string& problem) {
    return EmulatedLibrary::Create(bytes, name, name, options, status, problem);
}

std::unique_ptr<ModuleLibrary> OpenEmulatedLibrary(const std::string& path, const LibraryOptions& options,
                                                   ModuleLibrary::Status& status, std::string& problem) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status file = fs::status(path, error);
    if (!fs::exists(file)) {
        status = ModuleLibrary::Status::Missing;
        problem = "no such file";
        return nullptr;
    }
    status = ModuleLibrary::Status::NotLoadable;
    if (fs::is_directory(file)) {
        problem = "is a directory, not a library file";
        return nullptr;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > kMaxFileSize) {
        problem = error ? "cannot be read" : "is larger than a module can be (" + std::to_string(size) + " bytes)";
        return nullptr;
    }
    std::ifstream stream(path, std::ios::binary);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    if (!stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        problem = "cannot be read";
        return nullptr;
    }
    return EmulatedLibrary::Create(bytes, fs::path(path).filename().string(), path, options, status, problem);
}

// ---------------------------------------------------------------------------
// Calls into the module, and the host functions it calls
// ---------------------------------------------------------------------------

void EmulatedLibrary::Fault(const std::string& text) {
    if (m_faulted) return;  // the first fault is the one that counts
    m_faulted = true;
    m_fault = text;
}

bool EmulatedLibrary::RunOutermost(const std::function<void()>& body, const std::string&, std::string& fault) {
    // The description serves a back end that needs a watchdog; the emulator
    // counts instructions instead.
    if (!m_faulted) body();
    fault = m_faulted ? m_fault : std::string();
    return !m_faulted;
}

bool EmulatedLibrary::Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
                           std::uint64_t& result) {
    result = 0;
    if (m_faulted) return false;
    if (function > 0xFFFFFFFFu) {
        Fault("crashed: called " + Hex(function) + ", which is no 32-bit address");
        return false;
    }
    std::vector<std::uint32_t> words;
    words.reserve(arguments.size());
    for (const std::uint64_t argument : arguments) words.push_back(static_cast<std::uint32_t>(argument));
    std::uint32_t eax = 0;
    if (!RunModuleFunction(static_cast<std::uint32_t>(function), words, 0, eax)) return false;
    switch (shape) {
    case CallShape::GetModuleProperties: result = eax & 0xFF; break;  // a bool comes back in AL alone
    case CallShape::MakeModule: result = eax; break;
    case CallShape::Dispatcher:
        result = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(eax)));
        break;
    case CallShape::Process:
    case CallShape::Event: break;
    }
    return true;
}

bool EmulatedLibrary::RunModuleFunction(std::uint32_t function, const std::vector<std::uint32_t>& arguments,
                                        std::uint32_t callee_pops, std::uint32_t& eax) {
    eax = 0;
    if (m_faulted) return false;
    if (m_depth >= kMaxNesting) {
        Fault("crashed: calls into the module nested more than " + std::to_string(kMaxNesting) + " deep");
        return false;
    }
    // An outermost call starts a budget; the calls nested in it share it.
    if (m_depth == 0 && !m_budget_held) StartBudget();
    // Between outermost calls the engine may be renewed (see EmulatedCpu).
    if (m_depth == 0 && m_cpu->worn()) m_cpu->Renew();
    // A nested call comes from a host function the module is calling: the
    // module's state there is put back once the nested call is over, even
    // when the host's handler throws through it.
    struct NestingScope {
        EmulatedLibrary& library;
        const bool nested;
        const HostCallFrame outer_call;
        explicit NestingScope(EmulatedLibrary& owner)
            : library(owner), nested(owner.m_depth > 0), outer_call(owner.m_host_call) {
            if (nested) library.m_cpu->SaveContext(library.m_depth);
            ++library.m_depth;
        }
        ~NestingScope() {
            --library.m_depth;
            if (nested) {
                library.m_cpu->RestoreContext(library.m_depth);
                library.m_host_call = outer_call;
            }
        }
    } scope(*this);
    return RunFrame(function, arguments, callee_pops, eax) && !m_faulted;
}

bool EmulatedLibrary::RunFrame(std::uint32_t function, const std::vector<std::uint32_t>& arguments,
                               std::uint32_t callee_pops, std::uint32_t& eax) {
    // The frame: arguments from the first up, the return address below
    // them; (ESP + 4) mod 16 at entry is the alignment asked for.
    const std::uint32_t alignment = m_options.stack_alignment & 12;
    const std::uint32_t top = m_depth > 1 ? m_cpu->Get(CpuRegister::Esp) - kNestedGap : address_space::kStackHigh;
    const std::uint64_t needed = 4ull * arguments.size() + 64;
    if (top < address_space::kStackLow || top - address_space::kStackLow < needed + address_space::kPageSize) {
        Fault("crashed: stack overflow: no room for a call into the module");
        return false;
    }
    const std::uint32_t first_argument =
        ((top - 4 * static_cast<std::uint32_t>(arguments.size()) - alignment) & ~15u) + alignment;
    const std::uint32_t entry_esp = first_argument - 4;
    const std::uint32_t sentinel = m_functions->return_sentinel();
    std::vector<std::uint32_t> frame;
    frame.reserve(arguments.size() + 1);
    frame.push_back(sentinel);
    frame.insert(frame.end(), arguments.begin(), arguments.end());
    m_cpu->Load(entry_esp, frame.data(), 4 * frame.size());

    m_cpu->Set(CpuRegister::Esp, entry_esp);
    for (const KeptRegister& kept : kKeptRegisters) m_cpu->Set(kept.which, kept.value);
    for (const EntryRegister& entry : kEntryRegisters) m_cpu->Set(entry.which, entry.value);
    m_cpu->Set(CpuRegister::Eflags, kInitialFlags);

    const bool limited = m_options.instruction_budget != 0;
    std::uint32_t eip = function;
    for (;;) {
        if (limited && m_budget_left == 0) {
            CpuStop spent;
            spent.kind = CpuStop::Kind::Hung;
            spent.eip = eip;
            Fault(DescribeStop(spent, *m_addresses, m_options.instruction_budget));
            return false;
        }
        const CpuStop stop = m_cpu->Run(eip, sentinel, limited ? m_budget_left : 0);
        ChargeBudget(stop.instructions);
        if (stop.kind == CpuStop::Kind::Returned) break;
        // A host function is a fetch from the function page.
        const HostFunctionTable::Entry* host_function =
            stop.kind == CpuStop::Kind::FetchNotCode ? m_functions->Find(stop.address) : nullptr;
        if (host_function == nullptr) {
            Fault(DescribeStop(stop, *m_addresses, m_options.instruction_budget) + EntryRegisterHint(stop));
            return false;
        }
        if (!RunHostFunction(stop.address, eip)) return false;
        ChargeBudget(1);
    }
    if (!CheckConvention(function, entry_esp, callee_pops)) return false;
    eax = m_cpu->Get(CpuRegister::Eax);
    return true;
}

void EmulatedLibrary::StartBudget() {
    m_budget_left = m_options.instruction_budget;
    m_bytes_charged = m_cpu->bytes_moved();
}

void EmulatedLibrary::ChargeBudget(std::uint64_t instructions) {
    // The bytes moved since the last charge, in whole instructions; the
    // rest waits for the next charge.
    const std::uint64_t moved = (m_cpu->bytes_moved() - m_bytes_charged) / kBytesPerInstruction;
    m_bytes_charged += moved * kBytesPerInstruction;
    const std::uint64_t total = instructions + moved;
    m_budget_left = total < m_budget_left ? m_budget_left - total : 0;
}

bool EmulatedLibrary::RunHostFunction(std::uint32_t address, std::uint32_t& next) {
    const HostFunctionTable::Entry& function = *m_functions->Find(address);
    const std::uint32_t esp = m_cpu->Get(CpuRegister::Esp);
    std::uint32_t return_address = 0;
    if (!m_cpu->Read(esp, &return_address, 4)) {
        Fault("crashed: reached semhost's function " + HexAddress(address) + " with no readable stack (ESP " +
              HexAddress(esp) + ")");
        return false;
    }
    m_host_call = {esp, return_address};
    std::uint32_t result = 0;
    std::uint32_t popped = 0;
    switch (function.kind) {
    case HostFunctionTable::Kind::Callback: {
        std::uint32_t words[6];
        if (!m_cpu->Read(esp + 4, words, sizeof words)) {
            m_bridge->Crash("invalid read of 24 bytes at " + HexAddress(esp + 4) + " (the arguments of the host's callback)");
            return false;
        }
        result = static_cast<std::uint32_t>(RunCallback(words[0], static_cast<std::int32_t>(words[1]),
                                                        static_cast<std::int32_t>(words[2]),
                                                        static_cast<std::int32_t>(words[3]), words[4],
                                                        FloatOfCallWord(words[5])));
        break;
    }
    case HostFunctionTable::Kind::StandIn:
        result = function.stand_in->run(*m_bridge);
        popped = function.stand_in->argument_bytes();
        break;
    case HostFunctionTable::Kind::Unprovided:
        m_bridge->Crash("called " + function.import + ", which semhost does not stand in for");
        break;
    case HostFunctionTable::Kind::ReturnSentinel: break;  // Run reports these as returns
    }
    if (m_faulted) return false;
    // As the function's own ret would: the result in EAX, the return address
    // (and a stdcall function's arguments) popped.
    m_cpu->Set(CpuRegister::Eax, result);
    m_cpu->Set(CpuRegister::Esp, esp + 4 + popped);
    next = return_address;
    return true;
}

bool EmulatedLibrary::CheckConvention(std::uint32_t function, std::uint32_t entry_esp, std::uint32_t callee_pops) {
    auto broke = [&](const std::string& how) {
        Fault(kConventionFault + DescribeAddress(function) + " " + how);
        return false;
    };
    const std::int64_t popped =
        static_cast<std::int64_t>(m_cpu->Get(CpuRegister::Esp)) - (static_cast<std::int64_t>(entry_esp) + 4);
    if (popped != callee_pops) {
        if (popped < 0) return broke("returned with ESP " + std::to_string(-popped) + " bytes below where the call left it");
        if (callee_pops == 0)
            return broke("popped " + std::to_string(popped) +
                         " bytes of its arguments (declared stdcall or thiscall by mistake)");
        return broke("popped " + std::to_string(popped) + " bytes of its arguments, not the " +
                     std::to_string(callee_pops) + " of stdcall");
    }
    for (const KeptRegister& kept : kKeptRegisters) {
        const std::uint32_t now = m_cpu->Get(kept.which);
        if (now != kept.value)
            return broke(std::string("changed ") + kept.name + " (" + HexAddress(kept.value) + " -> " + HexAddress(now) + ")");
    }
    if ((m_cpu->Get(CpuRegister::Eflags) & kDirectionFlag) != 0) return broke("returned with the direction flag set");
    return true;
}

std::uint32_t EmulatedLibrary::CallSite(std::uint32_t return_address) const {
    unsigned char before[6] = {};
    if (return_address < 6 || !m_cpu->Read(return_address - 6, before, sizeof before)) return return_address;
    // call rel32 (E8), whose target is image code: the usual call of an
    // import's thunk.
    if (before[1] == 0xE8) {
        std::uint32_t relative = 0;
        std::memcpy(&relative, before + 2, 4);
        if (m_addresses->Contains(return_address + relative)) return return_address - 5;
    }
    // call [disp32] (FF 15) and call [reg+disp32] (FF 90..97).
    if (before[0] == 0xFF && (before[1] == 0x15 || (before[1] & 0xF8) == 0x90)) return return_address - 6;
    // call [reg+disp8] (FF 50..57).
    if (before[3] == 0xFF && (before[4] & 0xF8) == 0x50) return return_address - 3;
    // call reg (FF D0..D7) and call [reg] (FF 10..17).
    if (before[4] == 0xFF && ((before[5] & 0xF8) == 0xD0 || (before[5] & 0xF8) == 0x10)) return return_address - 2;
    return return_address;
}

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------

ModuleAddress EmulatedLibrary::CallbackAddress() { return m_functions->callback(); }

bool EmulatedLibrary::Read(ModuleAddress address, void* destination, std::size_t size) {
    if (address > 0xFFFFFFFFu || size > 0xFFFFFFFFu) return false;
    return m_cpu->Read(static_cast<std::uint32_t>(address), destination, size);
}

bool EmulatedLibrary::Write(ModuleAddress address, const void* source, std::size_t size) {
    if (address > 0xFFFFFFFFu || size > 0xFFFFFFFFu) return false;
    return m_cpu->Write(static_cast<std::uint32_t>(address), source, size);
}

ModuleAddress EmulatedLibrary::AllocateHostMemory(std::size_t size) {
    const std::uint32_t address =
        size > address_space::kHostMemoryLimit - address_space::kHostMemoryBase
            ? 0
            : m_host_memory->Allocate(static_cast<std::uint32_t>(size));
    if (address == 0) {
        // The region holds 256 MB; only a host that never frees fills it.
        std::fprintf(stderr, "semhost: the emulated module's host memory is exhausted (%zu bytes asked)\n", size);
        std::abort();
    }
    return address;
}

void EmulatedLibrary::FreeHostMemory(ModuleAddress address) {
    if (address <= 0xFFFFFFFFu) m_host_memory->Free(static_cast<std::uint32_t>(address));
}

std::vector<HeldBlock> EmulatedLibrary::HeldBlocks() const { return m_heap->Held(); }

std::optional<std::uint64_t> EmulatedLibrary::HeapOperations() const { return m_heap->operations(); }

std::optional<std::uint64_t> EmulatedLibrary::ImageInstructions() const { return m_cpu->counted_instructions(); }

std::string EmulatedLibrary::DescribeAddress(ModuleAddress address) const {
    if (m_addresses == nullptr) return address <= 0xFFFFFFFFu ? HexAddress(static_cast<std::uint32_t>(address)) : Hex(address);
    return m_addresses->Describe(address);
}
