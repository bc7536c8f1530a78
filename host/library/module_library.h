// The module-library seam: a module file loaded by one of two back ends,
// and everything semhost does to it. Above this seam (session, validator,
// player, timeline) nothing depends on the back end, and nothing touches
// module memory except through it.
//
//   native:   dlopen (Linux) or LoadLibrary (Windows) in a child process
//             of its own, so that nothing the module does can take semhost
//             down; addresses are the child's pointers.
//   emulated: an i386 PE image run in an emulated CPU inside this process;
//             addresses are 32-bit addresses of the emulated memory.
//
// Threading: one thread; calls into the module nest only through the
// callback handler (a host function that calls into the module again).
#pragma once

#include "library/module_address.h"
#include "library/record_layout.h"

#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the module's callback reaches: the session's handler. The library
// converts the module's arguments and result; the handler may call into
// the module again.
class CallbackHandler {
public:
    virtual ~CallbackHandler() = default;
    virtual std::int64_t OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index,
                                          std::int32_t value, ModuleAddress ptr, float opt) = 0;
};

// The shapes of function the host calls. Arguments travel as 64-bit words:
// integers sign-extended, addresses as they are, a float as its 32-bit
// pattern in the low half.
enum class CallShape {
    GetModuleProperties,  // bool (int32 index, ModuleProperties*)
    MakeModule,           // void* (int32 index, int32 type, HostCallback, intptr host_value)
    Dispatcher,           // intptr (void* record, int32 opcode, int32 index, int32 value, void* ptr, float opt)
    Process,              // void (void* object)
    Event,                // void (void* object, ModuleEvent*)
};

// A float argument's word and back: its 32-bit pattern, every bit kept (a
// signalling NaN stays one), as the C call and the i386 stack pass it.
constexpr std::uint64_t CallWordOfFloat(float value) { return std::bit_cast<std::uint32_t>(value); }
constexpr float FloatOfCallWord(std::uint64_t word) { return std::bit_cast<float>(static_cast<std::uint32_t>(word)); }

// How the fault of a call that broke the calling convention starts.
inline constexpr char kConventionFault[] = "broke the calling convention: ";

struct LibraryOptions {
    // Emulated: the milliseconds the module's `clock` reads. Empty: real
    // time since the load.
    std::function<std::uint32_t()> clock_milliseconds;
    // Emulated: what the module's GetAsyncKeyState answers. Empty: every
    // key is up.
    std::function<std::int16_t(int virtual_key)> key_state;
    // Emulated: (ESP + 4) mod 16 at each entry into the module, 0, 4, 8 or
    // 12. Win32 promises only 4-byte alignment.
    unsigned stack_alignment = 4;
    // Emulated: after this many successful allocations every further one
    // answers null; negative: never.
    long fail_allocations_after = -1;
    // Emulated: instructions one call from the host may run, with the calls
    // nested in it and the host functions it reaches, before it counts as
    // hung; 0: no limit.
    std::uint64_t instruction_budget = 50'000'000;
    // Native: milliseconds one outermost call into the module, the load
    // (its constructors) or the unload (its destructors) may take before
    // it counts as hung.
    int time_limit_ms = 20'000;
};

// A block of the module's heap that the module still holds.
struct HeldBlock {
    ModuleAddress address;
    std::size_t size;
};

// The version a person sees in a module file's properties.
struct FileVersion {
    std::string version;  // "1.2.0.0", or empty: none, or malformed
    std::string problem;  // one line when the file's version resource is malformed
};

class ModuleLibrary {
public:
    // Faulted: the module crashed, hung or ended its process while loading.
    enum class Status { Loaded, Missing, NotLoadable, MissingExport, Faulted };

    // Loads `path` with the back end its content asks for: a PE image goes
    // to the emulator, an ELF file to the native loader, anything else is
    // refused (Windows: a PE image to the native loader). Anything but
    // Loaded gives null and one line in `problem` (without the file's name).
    static std::unique_ptr<ModuleLibrary> Open(const std::string& path, const LibraryOptions& options,
                                               Status& status, std::string& problem);

    // How reports name the back end Open gives `path` to (back_end()), for
    // a file that did not load.
    static const char* BackEndFor(const std::string& path);

    // The file's version resource, read from its bytes without loading it
    // (every back end's files carry it the same way); nothing for a file
    // that has none.
    static FileVersion ReadFileVersion(const std::string& path);

    virtual ~ModuleLibrary() = default;
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    const std::string& path() const { return m_path; }
    const RecordLayout& layout() const { return *m_layout; }
    // "native (own process)" or "emulated i386": how reports name the back
    // end.
    virtual const char* back_end() const = 0;
    // What the back end can watch, for the checks that need it. Registers:
    // after each call, the registers a callee must keep and the stack
    // pointer compared with what they were (a change is a fault, whose text
    // starts with kConventionFault). Heap: the module's heap blocks counted
    // (HeldBlocks) and each free checked. Virtual clock: the module reads
    // LibraryOptions::clock_milliseconds, not the system's clock. Stack
    // alignment: calls enter at LibraryOptions::stack_alignment.
    virtual bool watches_registers() const { return false; }
    virtual bool watches_heap() const { return false; }
    virtual bool has_virtual_clock() const { return false; }
    virtual bool sets_stack_alignment() const { return false; }
    // Heap operations: HeapOperations counts the module's allocations and
    // frees; where it cannot, heap_operations_unwatched says why.
    virtual bool counts_heap_operations() const { return false; }
    virtual std::string heap_operations_unwatched() const { return "does not count the module's heap calls"; }
    // Problems found at load that do not stop it (an import the emulator
    // does not stand in for), one line each.
    const std::vector<std::string>& warnings() const { return m_warnings; }

    // The two exports, found at load.
    ModuleAddress get_module_properties() const { return m_get_module_properties; }
    ModuleAddress make_module() const { return m_make_module; }
    // Every name the file exports (the two among them), as its export table
    // lists them; an export by ordinal alone as "ordinal N". Empty, with
    // exports_problem() saying why, where the back end could not read them.
    const std::optional<std::vector<std::string>>& exported_names() const { return m_exported_names; }
    const std::string& exports_problem() const { return m_exports_problem; }

    // The host's callback as the module receives it, and who answers it.
    virtual ModuleAddress CallbackAddress() = 0;
    void SetCallbackHandler(CallbackHandler* handler) { m_handler = handler; }

    // Runs the host's outermost call into the module: `body` makes the Call
    // calls. False when the module faulted or hung anywhere inside, with
    // `fault` saying how ("crashed: ...", "hung: ...", "reported a broken
    // contract: ..."). Afterwards the module is unusable.
    virtual bool RunOutermost(const std::function<void()>& body, const std::string& description,
                              std::string& fault) = 0;
    // Calls a module function of the given shape. False when the module
    // faulted (then `result` is 0 and every enclosing call fails too).
    virtual bool Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
                      std::uint64_t& result) = 0;
    // True once a call has faulted.
    virtual bool faulted() const = 0;
    // Unloads the library now, as a host does when it is done with it: the
    // module's detach and destructors run, under the same limits as a call.
    // False, with `fault` saying how, when they crash or hang; a library
    // that faulted before unloads without running anything. Afterwards
    // nothing may be called; the destructor unloads when this was not done.
    virtual bool Unload(std::string& fault) {
        fault.clear();
        return true;
    }

    // The module's memory. False, and nothing copied, where any byte is not
    // readable (or writable) by the module.
    virtual bool Read(ModuleAddress address, void* destination, std::size_t size) = 0;
    virtual bool Write(ModuleAddress address, const void* source, std::size_t size) = 0;

    // Memory the host lends the module (records, slots, texts, buffers),
    // readable and writable by it, zero-filled, until freed. Never null.
    virtual ModuleAddress AllocateHostMemory(std::size_t size) = 0;
    virtual void FreeHostMemory(ModuleAddress address) = 0;

    // Instructions of the module file's own code run since the load, for
    // benchmarks: the emulated back end counts each one it starts inside the
    // image, so the host's callbacks and its stand-ins for system functions
    // are not among them. Empty where the back end cannot count (native).
    virtual std::optional<std::uint64_t> ImageInstructions() const { return std::nullopt; }

    // The module's heap blocks still held (only the emulated back end keeps
    // count; the native one answers none).
    virtual std::vector<HeldBlock> HeldBlocks() const { return {}; }
    // Allocations and frees (a resize counts as both) on the module's heap
    // since the load; empty where the back end does not count them.
    virtual std::optional<std::uint64_t> HeapOperations() const { return std::nullopt; }

    // "Quillmark.sem+0x1A2B" for an address inside the image, else hex.
    virtual std::string DescribeAddress(ModuleAddress address) const {
        char text[24];
        std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
        return text;
    }

protected:
    explicit ModuleLibrary(const RecordLayout& layout) : m_layout(&layout) {}
    std::int64_t RunCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index,
                             std::int32_t value, ModuleAddress ptr, float opt) {
        return m_handler != nullptr ? m_handler->OnModuleCallback(record, opcode, index, value, ptr, opt) : 0;
    }

    const RecordLayout* m_layout;
    std::string m_path;
    std::vector<std::string> m_warnings;
    ModuleAddress m_get_module_properties = 0;
    ModuleAddress m_make_module = 0;
    std::optional<std::vector<std::string>> m_exported_names;
    std::string m_exports_problem;

private:
    CallbackHandler* m_handler = nullptr;
};
