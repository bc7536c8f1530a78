// The C runtime's functions (msvcrt.dll, and their ucrt homes): cdecl, so
// the caller pops the arguments.
#include "library/emulated/hex_text.h"
#include "library/emulated/system_stand_ins.h"

#include <algorithm>
#include <ctime>
#include <vector>

namespace {

constexpr std::uint32_t kChunk = 0x10000;
constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

std::uint32_t Malloc(StandInHost& host) { return host.heap().Allocate(host.Argument(0)); }

std::uint32_t Calloc(StandInHost& host) {
    const std::uint32_t count = host.Argument(0);
    return host.heap().AllocateZeroed(count, host.Argument(1));
}

std::string BlockProblem(ModuleHeap& heap, ModuleHeap::Check check, std::uint32_t address, const char* at) {
    if (check == ModuleHeap::Check::NotABlock)
        return std::string(at) + " of " + HexAddress(address) + ", which is no block of the module's heap" +
               (at[0] == 'f' ? " (a double free?)" : " (freed already?)");
    std::uint32_t size = 0;
    heap.SizeOf(address, size);
    return "the block " + HexAddress(address) + " (" + std::to_string(size) + " bytes) of the module's heap was written " +
           (check == ModuleHeap::Check::WrittenPastEnd ? "past its end" : "before its start") + " (found at its " +
           at + ")";
}

std::uint32_t Free(StandInHost& host) {
    const std::uint32_t address = host.Argument(0);
    if (address == 0) return 0;
    const ModuleHeap::Check check = host.heap().Free(address);
    if (check != ModuleHeap::Check::Fine) host.Crash(BlockProblem(host.heap(), check, address, "free"));
    return 0;
}

std::uint32_t Realloc(StandInHost& host) {
    const std::uint32_t address = host.Argument(0);
    const std::uint32_t size = host.Argument(1);
    if (address == 0) return host.heap().Allocate(size);
    ModuleHeap::Check check = ModuleHeap::Check::Fine;
    std::uint32_t moved_to = 0;
    // msvcrt's realloc to size 0 frees the block and answers null.
    if (size == 0)
        check = host.heap().Free(address);
    else
        check = host.heap().Resize(address, size, moved_to);
    if (check != ModuleHeap::Check::Fine) host.Crash(BlockProblem(host.heap(), check, address, "realloc"));
    return moved_to;
}

// Copies in chunks, from the end when the destination overlaps the source
// from above, so that memmove's overlapping copies come out right.
bool CopyMemory(StandInHost& host, std::uint32_t destination, std::uint32_t source, std::uint32_t size,
                const char* function) {
    if (!host.CheckAccess(source, size, false, function) || !host.CheckAccess(destination, size, true, function))
        return false;
    std::vector<unsigned char> chunk(std::min(size, kChunk));
    const bool backwards = destination > source && destination - source < size;
    for (std::uint32_t done = 0; done < size;) {
        const std::uint32_t part = std::min(size - done, kChunk);
        const std::uint32_t offset = backwards ? size - done - part : done;
        if (!host.ReadMemory(source + offset, chunk.data(), part, function) ||
            !host.WriteMemory(destination + offset, chunk.data(), part, function))
            return false;
        done += part;
    }
    return true;
}

std::uint32_t Memcpy(StandInHost& host) {
    const std::uint32_t destination = host.Argument(0);
    CopyMemory(host, destination, host.Argument(1), host.Argument(2), "memcpy");
    return destination;
}

std::uint32_t Memmove(StandInHost& host) {
    const std::uint32_t destination = host.Argument(0);
    CopyMemory(host, destination, host.Argument(1), host.Argument(2), "memmove");
    return destination;
}

std::uint32_t Memset(StandInHost& host) {
    const std::uint32_t destination = host.Argument(0);
    const unsigned char value = static_cast<unsigned char>(host.Argument(1));
    const std::uint32_t size = host.Argument(2);
    if (!host.CheckAccess(destination, size, true, "memset")) return destination;
    const std::vector<unsigned char> chunk(std::min(size, kChunk), value);
    for (std::uint32_t done = 0; done < size;) {
        const std::uint32_t part = std::min(size - done, kChunk);
        if (!host.WriteMemory(destination + done, chunk.data(), part, "memset")) break;
        done += part;
    }
    return destination;
}

// Compares up to `size` bytes, stopping at the first difference (and, for
// the text functions, after a NUL both share); reads only what it compares.
std::uint32_t Compare(StandInHost& host, std::uint32_t left, std::uint32_t right, std::uint32_t size, bool text,
                      const char* function) {
    unsigned char a[256], b[256];
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t part = std::min<std::uint32_t>(size - done, sizeof a);
        if (text) {
            // A text may end anywhere: never read past its NUL.
            std::uint32_t left_length = 0, right_length = 0;
            if (!host.TextLength(left + done, part, left_length, function) ||
                !host.TextLength(right + done, part, right_length, function))
                return 0;
            part = std::min(part, std::min(left_length, right_length) + 1);
            part = std::min(part, size - done);
        }
        if (!host.ReadMemory(left + done, a, part, function) || !host.ReadMemory(right + done, b, part, function))
            return 0;
        for (std::uint32_t i = 0; i < part; ++i) {
            if (a[i] != b[i]) return a[i] < b[i] ? 0xFFFFFFFFu : 1;
            if (text && a[i] == 0) return 0;
        }
        done += part;
    }
    return 0;
}

std::uint32_t Memcmp(StandInHost& host) {
    return Compare(host, host.Argument(0), host.Argument(1), host.Argument(2), false, "memcmp");
}
std::uint32_t Strcmp(StandInHost& host) {
    return Compare(host, host.Argument(0), host.Argument(1), kNoLimit, true, "strcmp");
}
std::uint32_t Strncmp(StandInHost& host) {
    return Compare(host, host.Argument(0), host.Argument(1), host.Argument(2), true, "strncmp");
}

// The address of the first `wanted` among `size` bytes at `start`, or 0.
std::uint32_t FindByte(StandInHost& host, std::uint32_t start, std::uint32_t size, unsigned char wanted,
                       const char* function) {
    unsigned char chunk[256];
    for (std::uint32_t done = 0; done < size;) {
        const std::uint32_t part = std::min<std::uint32_t>(size - done, sizeof chunk);
        if (!host.ReadMemory(start + done, chunk, part, function)) return 0;
        for (std::uint32_t i = 0; i < part; ++i)
            if (chunk[i] == wanted) return start + done + i;
        done += part;
    }
    return 0;
}

std::uint32_t Memchr(StandInHost& host) {
    const std::uint32_t start = host.Argument(0);
    const unsigned char wanted = static_cast<unsigned char>(host.Argument(1));
    const std::uint32_t size = host.Argument(2);
    return FindByte(host, start, size, wanted, "memchr");
}

std::uint32_t Strlen(StandInHost& host) {
    std::uint32_t length = 0;
    host.TextLength(host.Argument(0), kNoLimit, length, "strlen");
    return length;
}

std::uint32_t Strcpy(StandInHost& host) {
    const std::uint32_t destination = host.Argument(0);
    const std::uint32_t source = host.Argument(1);
    std::uint32_t length = 0;
    if (host.TextLength(source, kNoLimit - 1, length, "strcpy"))
        CopyMemory(host, destination, source, length + 1, "strcpy");
    return destination;
}

std::uint32_t Strncpy(StandInHost& host) {
    const std::uint32_t destination = host.Argument(0);
    const std::uint32_t source = host.Argument(1);
    const std::uint32_t size = host.Argument(2);
    std::uint32_t length = 0;
    if (!host.TextLength(source, size, length, "strncpy") || !CopyMemory(host, destination, source, length, "strncpy"))
        return destination;
    // The rest of the destination is padded with NULs.
    const std::vector<unsigned char> zeros(std::min(size - length, kChunk), 0);
    for (std::uint32_t done = length; done < size;) {
        const std::uint32_t part = std::min(size - done, kChunk);
        if (!host.WriteMemory(destination + done, zeros.data(), part, "strncpy")) break;
        done += part;
    }
    return destination;
}

std::uint32_t Strchr(StandInHost& host) {
    const std::uint32_t text = host.Argument(0);
    const unsigned char wanted = static_cast<unsigned char>(host.Argument(1));
    std::uint32_t length = 0;
    if (!host.TextLength(text, kNoLimit - 1, length, "strchr")) return 0;
    // The terminator itself counts: strchr(s, 0) finds it.
    return FindByte(host, text, length + 1, wanted, "strchr");
}

// CLOCKS_PER_SEC is 1000: the clock counts milliseconds.
std::uint32_t Clock(StandInHost& host) {
    const LibraryOptions& options = host.options();
    return options.clock_milliseconds ? options.clock_milliseconds() : host.MillisecondsSinceLoad();
}

// msvcrt's time is the 32-bit one.
std::uint32_t Time(StandInHost& host) {
    const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    const std::uint32_t destination = host.Argument(0);
    if (destination != 0) host.WriteMemory(destination, &now, 4, "time");
    return now;
}

std::uint32_t Assert(StandInHost& host) {
    const std::string expression = host.MessageText(host.Argument(0), false, 512);
    const std::string file = host.MessageText(host.Argument(1), false, 512);
    host.BreakContract("Assertion failed: " + expression + ", file " + file + ", line " +
                       std::to_string(host.Argument(2)));
    return 0;
}

std::uint32_t WideAssert(StandInHost& host) {
    const std::string expression = host.MessageText(host.Argument(0), true, 512);
    const std::string file = host.MessageText(host.Argument(1), true, 512);
    host.BreakContract("Assertion failed: " + expression + ", file " + file + ", line " +
                       std::to_string(host.Argument(2)));
    return 0;
}

std::uint32_t Abort(StandInHost& host) {
    host.Crash("abort() was called");
    return 0;
}

// The runtime's own generator, so that a seed gives the numbers it gives
// on Windows.
std::uint32_t Rand(StandInHost& host) {
    std::uint32_t& seed = host.rand_seed();
    seed = seed * 214013u + 2531011u;
    return (seed >> 16) & 0x7FFF;
}

std::uint32_t Srand(StandInHost& host) {
    host.rand_seed() = host.Argument(0);
    return 0;
}

// Runs each non-null function of a start-up table, in order.
std::uint32_t Initterm(StandInHost& host) {
    const std::uint32_t begin = host.Argument(0);
    const std::uint32_t end = host.Argument(1);
    for (std::uint32_t at = begin; at < end && end - at >= 4; at += 4) {
        std::uint32_t function = 0;
        if (!host.ReadMemory(at, &function, 4, "_initterm")) return 0;
        if (function != 0 && !host.CallModule(function)) return 0;
    }
    return 0;
}

std::uint32_t AmsgExit(StandInHost& host) {
    host.Crash("the C runtime stopped the module (_amsg_exit " + std::to_string(host.Argument(0)) + ")");
    return 0;
}

// Exit functions run when the library is unloaded, after DllMain's detach.
std::uint32_t Onexit(StandInHost& host) {
    const std::uint32_t function = host.Argument(0);
    host.AddExitFunction(function);
    return function;
}

std::uint32_t Atexit(StandInHost& host) {
    host.AddExitFunction(host.Argument(0));
    return 0;
}

std::uint32_t Nothing(StandInHost&) { return 0; }

std::uint32_t Errno(StandInHost& host) { return host.errno_address(); }

}  // namespace

using enum Arg;
constexpr SystemLibrary kRuntime = SystemLibrary::CRuntime;

const StandIn kCRuntimeStandIns[] = {
    Cdecl<Long>(kRuntime, "malloc", Malloc),
    Cdecl<Long, Long>(kRuntime, "calloc", Calloc),
    Cdecl<Ptr, Long>(kRuntime, "realloc", Realloc),
    Cdecl<Ptr>(kRuntime, "free", Free),
    Cdecl<Ptr, Ptr, Long>(kRuntime, "memcpy", Memcpy),
    Cdecl<Ptr, Ptr, Long>(kRuntime, "memmove", Memmove),
    Cdecl<Ptr, Long, Long>(kRuntime, "memset", Memset),
    Cdecl<Ptr, Ptr, Long>(kRuntime, "memcmp", Memcmp),
    Cdecl<Ptr, Long, Long>(kRuntime, "memchr", Memchr),
    Cdecl<Str>(kRuntime, "strlen", Strlen),
    Cdecl<Str, Str>(kRuntime, "strcmp", Strcmp),
    Cdecl<Str, Str, Long>(kRuntime, "strncmp", Strncmp),
    Cdecl<Ptr, Str>(kRuntime, "strcpy", Strcpy),
    Cdecl<Ptr, Str, Long>(kRuntime, "strncpy", Strncpy),
    Cdecl<Str, Long>(kRuntime, "strchr", Strchr),
    Cdecl<>(kRuntime, "clock", Clock),
    Cdecl<Ptr>(kRuntime, "time", Time),
    Cdecl<Ptr>(kRuntime, "_time32", Time),
    Cdecl<Str, Str, Long>(kRuntime, "_assert", Assert),
    Cdecl<WStr, WStr, Long>(kRuntime, "_wassert", WideAssert),
    Cdecl<>(kRuntime, "abort", Abort),
    Cdecl<>(kRuntime, "rand", Rand),
    Cdecl<Long>(kRuntime, "srand", Srand),
    Cdecl<Ptr, Ptr>(kRuntime, "_initterm", Initterm),
    Cdecl<Long>(kRuntime, "_amsg_exit", AmsgExit),
    Cdecl<Ptr, Ptr, Ptr>(kRuntime, "__dllonexit", Onexit),
    Cdecl<Ptr>(kRuntime, "_onexit", Onexit),
    Cdecl<Ptr>(kRuntime, "atexit", Atexit),
    Cdecl<Long>(kRuntime, "_lock", Nothing),
    Cdecl<Long>(kRuntime, "_unlock", Nothing),
    Cdecl<>(kRuntime, "_errno", Errno),
};
const std::size_t kCRuntimeStandInCount = sizeof kCRuntimeStandIns / sizeof kCRuntimeStandIns[0];
