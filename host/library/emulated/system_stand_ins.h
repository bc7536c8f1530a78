// semhost's stand-ins for the system functions a module imports: the C
// runtime (cdecl) and the few Win32 functions (stdcall) a module of this
// kind and the usual start-up files call. Each runs natively on the
// module's arguments when the module calls it.
#pragma once

#include "library/emulated/module_heap.h"
#include "library/module_library.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// What a stand-in reaches of the emulated process while it runs. A failed
// access has already recorded the fault when it returns false; the stand-in
// then just returns.
class StandInHost {
public:
    virtual ~StandInHost() = default;

    // The index-th 32-bit argument of the call (0 on an unreadable stack,
    // with the fault recorded).
    virtual std::uint32_t Argument(unsigned index) = 0;
    virtual bool ReadMemory(std::uint32_t address, void* destination, std::uint32_t size, const char* function) = 0;
    virtual bool WriteMemory(std::uint32_t address, const void* source, std::uint32_t size, const char* function) = 0;
    // True when the module may read (or write) every byte of the range.
    virtual bool CheckAccess(std::uint32_t address, std::uint32_t size, bool write, const char* function) = 0;
    // The length of the NUL-terminated text at `address`, looking at no
    // more than `max_length` characters.
    virtual bool TextLength(std::uint32_t address, std::uint32_t max_length, std::uint32_t& length,
                            const char* function) = 0;
    // A text for a message: as much as is readable, at most `max_length`.
    virtual std::string MessageText(std::uint32_t address, bool wide, std::size_t max_length) = 0;

    // Ends the module's call: "crashed: TEXT (at CALL SITE)".
    virtual void Crash(const std::string& text) = 0;
    // Ends the module's call: "reported a broken contract: TEXT".
    virtual void BreakContract(const std::string& text) = 0;
    // Calls a module function of no arguments (start-up tables); false once it faulted.
    virtual bool CallModule(std::uint32_t function) = 0;
    virtual void AddExitFunction(std::uint32_t function) = 0;

    virtual ModuleHeap& heap() = 0;
    virtual const LibraryOptions& options() const = 0;
    virtual std::uint32_t MillisecondsSinceLoad() const = 0;
    virtual std::uint32_t image_base() const = 0;
    virtual const std::string& image_name() const = 0;
    // VirtualQuery and VirtualProtect: the mapped region holding `address`,
    // and a change of the image's own pages (nothing else may change).
    virtual bool QueryRegion(std::uint32_t address, std::uint32_t& base, std::uint32_t& size,
                             unsigned& protection) const = 0;
    virtual bool ProtectImagePages(std::uint32_t address, std::uint32_t size, unsigned protection,
                                   unsigned& old_protection) = 0;
    // The process's per-thread and C runtime state, as the module's code sees it.
    virtual std::uint32_t& rand_seed() = 0;
    virtual std::uint32_t errno_address() const = 0;
};

enum class SystemLibrary { CRuntime, Kernel32, User32, Other };

// A stand-in is declared as a .spec file of a Windows library declares an
// export: its calling convention and the type of each argument, so that
// the bytes a stdcall function pops are counted from its arguments, never
// written by hand.
enum class Convention { Cdecl, Stdcall };
enum class Arg : std::uint8_t {
    Long,    // a 32-bit integer: int, DWORD, BOOL, a handle
    Ptr,     // an address
    Str,     // the address of a NUL-terminated text
    WStr,    // the address of a NUL-terminated UTF-16 text
    Int64,   // a 64-bit integer: two stack words
    Double,  // a double: two stack words
};
constexpr std::uint32_t StackBytes(Arg argument) {
    return argument == Arg::Int64 || argument == Arg::Double ? 8 : 4;
}
inline constexpr std::size_t kMaxStandInArguments = 8;

struct StandIn {
    SystemLibrary library;
    Convention convention;
    const char* name;
    std::array<Arg, kMaxStandInArguments> arguments;
    std::size_t argument_count;
    std::uint32_t (*run)(StandInHost& host);  // answers EAX

    // The bytes popped on return: a stdcall function's arguments; none for
    // cdecl, whose caller pops them.
    constexpr std::uint32_t argument_bytes() const {
        if (convention == Convention::Cdecl) return 0;
        std::uint32_t bytes = 0;
        for (std::size_t i = 0; i < argument_count; ++i) bytes += StackBytes(arguments[i]);
        return bytes;
    }
};

// The table entries: Stdcall<Arg::Long, Arg::Ptr>(SystemLibrary::Kernel32,
// "TlsSetValue", run), as "@ stdcall TlsSetValue(long ptr)" reads.
template <Arg... Arguments>
constexpr StandIn Stdcall(SystemLibrary library, const char* name, std::uint32_t (*run)(StandInHost&)) {
    static_assert(sizeof...(Arguments) <= kMaxStandInArguments);
    return {library, Convention::Stdcall, name, {Arguments...}, sizeof...(Arguments), run};
}
template <Arg... Arguments>
constexpr StandIn Cdecl(SystemLibrary library, const char* name, std::uint32_t (*run)(StandInHost&)) {
    static_assert(sizeof...(Arguments) <= kMaxStandInArguments);
    return {library, Convention::Cdecl, name, {Arguments...}, sizeof...(Arguments), run};
}

// Which stand-ins a library name offers (case-insensitive).
SystemLibrary ClassifyLibrary(const std::string& library);
// The stand-in for an import, or null when semhost does not stand in for it.
const StandIn* FindStandIn(const std::string& library, const std::string& name);

// The tables, one per file.
extern const StandIn kCRuntimeStandIns[];
extern const std::size_t kCRuntimeStandInCount;
extern const StandIn kWin32StandIns[];
extern const std::size_t kWin32StandInCount;
