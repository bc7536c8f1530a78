// The emulated back end of the module-library seam: an i386 PE DLL loaded
// as the Windows loader loads it, and its own code run in an emulated i386
// CPU inside this process, with semhost standing in for the system
// functions it imports.
//
// Calls: each Call pushes its arguments (cdecl) and a return address in
// semhost's non-executable function page, and runs the module in stretches
// until the code returns there. A call of the host's callback or of a
// stand-in stops a stretch; semhost runs it natively (it may call into the
// module again, on the stack below) and the stretch goes on. At each return
// the calling convention is checked: the stack as cdecl leaves it, EBX,
// ESI, EDI and EBP unchanged, the direction flag clear. ECX and EDX enter
// each call holding addresses where nothing is mapped, so that a routine
// which takes an argument from them (thiscall, fastcall) faults at once.
//
// LibraryOptions::instruction_budget bounds each call from the host as a
// whole, nested calls and host functions included (the load's attach and
// the unload count as one call each): past it the call counts as hung.
#pragma once

#include "library/module_library.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// True when `bytes` start like an i386 PE image (MZ, PE\0\0, machine
// 0x14C), whatever else is wrong with it.
bool LooksLikeI386PeImage(const unsigned char* bytes, std::size_t size);

// Loads an i386 PE DLL. Null with status/problem on failure (problem: one
// line, without the file name).
std::unique_ptr<ModuleLibrary> OpenEmulatedLibrary(const std::string& path, const LibraryOptions& options,
                                                   ModuleLibrary::Status& status, std::string& problem);

// Same from bytes in memory (for the fuzzer and tests); `name` is how
// addresses are described ("Quillmark.sem+0x1A2B").
std::unique_ptr<ModuleLibrary> OpenEmulatedLibraryFromBytes(std::vector<unsigned char> bytes,
                                                            const std::string& name, const LibraryOptions& options,
                                                            ModuleLibrary::Status& status, std::string& problem);

class EmulatedCpu;
class HostFunctionTable;
class HostMemory;
class ImageAddresses;
class MappedImage;
class ModuleHeap;
struct PeImage;
struct ThreadLocalStorage;

class EmulatedLibrary final : public ModuleLibrary {
public:
    ~EmulatedLibrary() override;

    const char* back_end() const override { return "emulated i386"; }
    bool watches_registers() const override { return true; }
    bool watches_heap() const override { return true; }
    bool has_virtual_clock() const override { return true; }
    bool sets_stack_alignment() const override { return true; }
    bool counts_heap_operations() const override { return true; }
    ModuleAddress CallbackAddress() override;
    bool RunOutermost(const std::function<void()>& body, const std::string& description,
                      std::string& fault) override;
    bool Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
              std::uint64_t& result) override;
    bool faulted() const override { return m_faulted; }
    bool Unload(std::string& fault) override;
    bool Read(ModuleAddress address, void* destination, std::size_t size) override;
    bool Write(ModuleAddress address, const void* source, std::size_t size) override;
    ModuleAddress AllocateHostMemory(std::size_t size) override;
    void FreeHostMemory(ModuleAddress address) override;
    std::vector<HeldBlock> HeldBlocks() const override;
    std::optional<std::uint64_t> HeapOperations() const override;
    std::optional<std::uint64_t> ImageInstructions() const override;
    std::string DescribeAddress(ModuleAddress address) const override;

private:
    friend std::unique_ptr<ModuleLibrary> OpenEmulatedLibrary(const std::string&, const LibraryOptions&,
                                                              ModuleLibrary::Status&, std::string&);
    friend std::unique_ptr<ModuleLibrary> OpenEmulatedLibraryFromBytes(std::vector<unsigned char>,
                                                                       const std::string&, const LibraryOptions&,
                                                                       ModuleLibrary::Status&, std::string&);
    class StandInBridge;  // what the stand-ins reach of this library

    // The host function the module is calling: its caller's stack.
    struct HostCallFrame {
        std::uint32_t esp = 0;             // at the return address
        std::uint32_t return_address = 0;  // into the caller
    };

    EmulatedLibrary(const std::string& name, const LibraryOptions& options);
    static std::unique_ptr<ModuleLibrary> Create(const std::vector<unsigned char>& bytes, const std::string& name,
                                                 const std::string& path, const LibraryOptions& options,
                                                 ModuleLibrary::Status& status, std::string& problem);
    bool Load(const std::vector<unsigned char>& bytes, const PeImage& image, ModuleLibrary::Status& status,
              std::string& problem);
    bool SetUpThreadLocalStorage(const MappedImage& mapped, const ThreadLocalStorage& storage);
    // Tells the image of the process attach or detach: its TLS callbacks
    // and DllMain. False with the reason in `problem`.
    bool NotifyImage(std::uint32_t reason, std::string& problem);

    // Calls module code with 32-bit arguments; `callee_pops` is what its
    // convention pops (0 for cdecl, 12 for DllMain).
    bool RunModuleFunction(std::uint32_t function, const std::vector<std::uint32_t>& arguments,
                           std::uint32_t callee_pops, std::uint32_t& eax);
    bool RunFrame(std::uint32_t function, const std::vector<std::uint32_t>& arguments, std::uint32_t callee_pops,
                  std::uint32_t& eax);
    // Runs the host function the module reached; on success `next` is where
    // the module goes on.
    bool RunHostFunction(std::uint32_t address, std::uint32_t& next);
    bool CheckConvention(std::uint32_t function, std::uint32_t entry_esp, std::uint32_t callee_pops);
    // The instruction budget bounds a whole call from the host: every
    // stretch of it, the calls nested in it, and the host functions it
    // reaches (ChargeBudget counts those, with the bytes they moved).
    void StartBudget();
    void ChargeBudget(std::uint64_t instructions);
    // The call instruction before a return address, where it can be told.
    std::uint32_t CallSite(std::uint32_t return_address) const;
    void Fault(const std::string& text);

    std::string m_name;
    LibraryOptions m_options;
    std::unique_ptr<EmulatedCpu> m_cpu;
    std::unique_ptr<ModuleHeap> m_heap;
    std::unique_ptr<HostMemory> m_host_memory;
    std::unique_ptr<HostFunctionTable> m_functions;
    std::unique_ptr<ImageAddresses> m_addresses;
    std::unique_ptr<StandInBridge> m_bridge;
    std::chrono::steady_clock::time_point m_loaded_at;
    std::uint32_t m_image_base = 0;
    std::uint32_t m_entry_point = 0;  // absolute; 0: none
    std::vector<std::uint32_t> m_tls_callbacks;
    bool m_attached = false;
    bool m_faulted = false;
    bool m_unloaded = false;
    std::string m_fault;
    unsigned m_depth = 0;
    HostCallFrame m_host_call;
    std::uint32_t m_rand_seed = 1;
    std::vector<std::uint32_t> m_exit_functions;
    std::uint64_t m_budget_left = 0;    // of the current call from the host (unused without a budget)
    std::uint64_t m_bytes_charged = 0;  // the CPU's bytes_moved already counted against it
    bool m_budget_held = false;         // the attach or the unload: one budget for all their calls
};
