// The Win32 functions of kernel32 and user32 a module of this kind and the
// usual start-up files call: stdcall, so each pops its own arguments.
#include "library/emulated/address_space.h"
#include "library/emulated/emulated_cpu.h"
#include "library/emulated/system_stand_ins.h"
#include "library/emulated/thread_block.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace {

constexpr std::uint32_t kTlsSlotCount = 64;
constexpr std::uint32_t kTlsOutOfIndexes = 0xFFFFFFFFu;
constexpr std::uint32_t kErrorModNotFound = 126;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInvalidAddress = 487;

void SetLastErrorValue(StandInHost& host, std::uint32_t value) {
    host.WriteMemory(address_space::kTebAddress + thread_block::kLastError, &value, 4, "SetLastError");
}

std::uint32_t GetLastError(StandInHost& host) {
    std::uint32_t value = 0;
    host.ReadMemory(address_space::kTebAddress + thread_block::kLastError, &value, 4, "GetLastError");
    return value;
}

std::uint32_t SetLastError(StandInHost& host) {
    SetLastErrorValue(host, host.Argument(0));
    return 0;
}

std::uint32_t GetCurrentProcessId(StandInHost&) { return thread_block::kOwnProcessId; }
std::uint32_t GetCurrentThreadId(StandInHost&) { return thread_block::kOwnThreadId; }

// On the same clock as the C runtime's clock: the session's, when it gives one.
std::uint32_t GetTickCount(StandInHost& host) {
    const LibraryOptions& options = host.options();
    return options.clock_milliseconds ? options.clock_milliseconds() : host.MillisecondsSinceLoad();
}

std::uint32_t GetSystemTimeAsFileTime(StandInHost& host) {
    // 100-nanosecond intervals since 1601.
    const auto since_1970 = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const std::uint64_t file_time = (static_cast<std::uint64_t>(since_1970.count()) + 11644473600ull * 1000000) * 10;
    host.WriteMemory(host.Argument(0), &file_time, 8, "GetSystemTimeAsFileTime");
    return 0;
}

// A microsecond counter that starts at the load.
std::uint32_t QueryPerformanceCounter(StandInHost& host) {
    static const auto start = std::chrono::steady_clock::now();
    const std::uint64_t count = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    return host.WriteMemory(host.Argument(0), &count, 8, "QueryPerformanceCounter") ? 1 : 0;
}

std::uint32_t QueryPerformanceFrequency(StandInHost& host) {
    const std::uint64_t frequency = 1000000;
    return host.WriteMemory(host.Argument(0), &frequency, 8, "QueryPerformanceFrequency") ? 1 : 0;
}

// One thread: critical sections never wait.
std::uint32_t Nothing(StandInHost&) { return 0; }
std::uint32_t True(StandInHost&) { return 1; }

bool TlsInUse(StandInHost& host, std::uint32_t index, std::uint64_t& bits) {
    if (!host.ReadMemory(address_space::kPebAddress + thread_block::kTlsBitmapBits, &bits, 8, "TlsAlloc")) return false;
    return index < kTlsSlotCount && (bits >> index & 1) != 0;
}

std::uint32_t TlsAlloc(StandInHost& host) {
    std::uint64_t bits = 0;
    TlsInUse(host, 0, bits);
    for (std::uint32_t index = 0; index < kTlsSlotCount; ++index) {
        if ((bits >> index & 1) != 0) continue;
        bits |= std::uint64_t{1} << index;
        const std::uint32_t zero = 0;
        host.WriteMemory(address_space::kPebAddress + thread_block::kTlsBitmapBits, &bits, 8, "TlsAlloc");
        host.WriteMemory(address_space::kTebAddress + thread_block::kTlsSlots + 4 * index, &zero, 4, "TlsAlloc");
        return index;
    }
    return kTlsOutOfIndexes;
}

std::uint32_t TlsFree(StandInHost& host) {
    std::uint64_t bits = 0;
    const std::uint32_t index = host.Argument(0);
    if (!TlsInUse(host, index, bits)) {
        SetLastErrorValue(host, kErrorInvalidParameter);
        return 0;
    }
    bits &= ~(std::uint64_t{1} << index);
    host.WriteMemory(address_space::kPebAddress + thread_block::kTlsBitmapBits, &bits, 8, "TlsFree");
    return 1;
}

std::uint32_t TlsGetValue(StandInHost& host) {
    const std::uint32_t index = host.Argument(0);
    std::uint32_t value = 0;
    if (index >= kTlsSlotCount) {
        SetLastErrorValue(host, kErrorInvalidParameter);
        return 0;
    }
    host.ReadMemory(address_space::kTebAddress + thread_block::kTlsSlots + 4 * index, &value, 4, "TlsGetValue");
    SetLastErrorValue(host, 0);
    return value;
}

std::uint32_t TlsSetValue(StandInHost& host) {
    const std::uint32_t index = host.Argument(0);
    const std::uint32_t value = host.Argument(1);
    if (index >= kTlsSlotCount) {
        SetLastErrorValue(host, kErrorInvalidParameter);
        return 0;
    }
    return host.WriteMemory(address_space::kTebAddress + thread_block::kTlsSlots + 4 * index, &value, 4,
                            "TlsSetValue")
               ? 1
               : 0;
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The module's own image answers to its name (with or without the
// extension) and to null; there is no other module in the process.
std::uint32_t ModuleHandle(StandInHost& host, bool wide) {
    const std::uint32_t name_address = host.Argument(0);
    if (name_address == 0) return host.image_base();
    const std::string name = Lowercase(host.MessageText(name_address, wide, 260));
    const std::string own = Lowercase(host.image_name());
    const std::string own_stem = own.substr(0, own.rfind('.'));
    if (name == own || name == own_stem) return host.image_base();
    SetLastErrorValue(host, kErrorModNotFound);
    return 0;
}

std::uint32_t GetModuleHandleA(StandInHost& host) { return ModuleHandle(host, false); }
std::uint32_t GetModuleHandleW(StandInHost& host) { return ModuleHandle(host, true); }

std::uint32_t PageProtection(unsigned protection) {
    switch (protection) {
    case kProtRead: return 0x02;               // PAGE_READONLY
    case kProtReadWrite: return 0x04;          // PAGE_READWRITE
    case kProtExecute: return 0x10;            // PAGE_EXECUTE
    case kProtReadExecute: return 0x20;        // PAGE_EXECUTE_READ
    case kProtReadWrite | kProtExecute: return 0x40;  // PAGE_EXECUTE_READWRITE
    default: return 0x01;                      // PAGE_NOACCESS
    }
}

bool Protection(std::uint32_t page_protection, unsigned& protection) {
    switch (page_protection & 0xFF) {
    case 0x01: protection = kProtNone; return true;
    case 0x02: protection = kProtRead; return true;
    case 0x04: case 0x08: protection = kProtReadWrite; return true;
    case 0x10: protection = kProtReadExecute; return true;
    case 0x20: protection = kProtReadExecute; return true;
    case 0x40: case 0x80: protection = kProtReadWrite | kProtExecute; return true;
    default: return false;
    }
}

// One thread: a semaphore never blocks, a wait is over at once, and the
// handles name nothing that needs closing. The C++ runtime's start-up code
// makes one such semaphore.
constexpr std::uint32_t kSemaphoreHandle = 0x0000F00C;
constexpr std::uint32_t kWaitObject0 = 0;

std::uint32_t CreateSemaphore(StandInHost&) { return kSemaphoreHandle; }
std::uint32_t WaitForSingleObject(StandInHost&) { return kWaitObject0; }

// MEMORY_BASIC_INFORMATION of the region holding the address.
std::uint32_t VirtualQuery(StandInHost& host) {
    const std::uint32_t address = host.Argument(0);
    const std::uint32_t destination = host.Argument(1);
    const std::uint32_t length = host.Argument(2);
    std::uint32_t base = 0, size = 0;
    unsigned protection = 0;
    if (length < 28 || !host.QueryRegion(address, base, size, protection)) return 0;
    const std::uint32_t page = address_space::PageDown(address);
    const bool image = base == host.image_base();
    const std::uint32_t information[7] = {
        page, base, PageProtection(protection), base + size - page,
        0x1000,                                   // MEM_COMMIT
        PageProtection(protection), image ? 0x1000000u : 0x20000u};  // MEM_IMAGE, MEM_PRIVATE
    return host.WriteMemory(destination, information, sizeof information, "VirtualQuery") ? 28 : 0;
}

std::uint32_t VirtualProtect(StandInHost& host) {
    const std::uint32_t address = host.Argument(0);
    const std::uint32_t size = host.Argument(1);
    const std::uint32_t requested = host.Argument(2);
    const std::uint32_t old_destination = host.Argument(3);
    unsigned protection = 0, old_protection = 0;
    if (!Protection(requested, protection)) {
        SetLastErrorValue(host, kErrorInvalidParameter);
        return 0;
    }
    if (!host.ProtectImagePages(address, size, protection, old_protection)) {
        SetLastErrorValue(host, kErrorInvalidAddress);
        return 0;
    }
    const std::uint32_t old_value = PageProtection(old_protection);
    return host.WriteMemory(old_destination, &old_value, 4, "VirtualProtect") ? 1 : 0;
}

// The host's key state: the top bit while held, the lowest bit when pressed
// since the previous query.
std::uint32_t GetAsyncKeyState(StandInHost& host) {
    const int key = static_cast<int>(host.Argument(0));
    const LibraryOptions& options = host.options();
    const std::int16_t state = options.key_state ? options.key_state(key) : 0;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(state));
}

}  // namespace

using enum Arg;
constexpr SystemLibrary kKernel32 = SystemLibrary::Kernel32;
constexpr SystemLibrary kUser32 = SystemLibrary::User32;

const StandIn kWin32StandIns[] = {
    Stdcall<>(kKernel32, "GetLastError", GetLastError),
    Stdcall<Long>(kKernel32, "SetLastError", SetLastError),
    Stdcall<>(kKernel32, "GetCurrentProcessId", GetCurrentProcessId),
    Stdcall<>(kKernel32, "GetCurrentThreadId", GetCurrentThreadId),
    Stdcall<>(kKernel32, "GetTickCount", GetTickCount),
    Stdcall<Ptr>(kKernel32, "GetSystemTimeAsFileTime", GetSystemTimeAsFileTime),
    Stdcall<Ptr>(kKernel32, "QueryPerformanceCounter", QueryPerformanceCounter),
    Stdcall<Ptr>(kKernel32, "QueryPerformanceFrequency", QueryPerformanceFrequency),
    Stdcall<Ptr>(kKernel32, "InitializeCriticalSection", Nothing),
    Stdcall<Ptr, Long>(kKernel32, "InitializeCriticalSectionAndSpinCount", True),
    Stdcall<Ptr>(kKernel32, "EnterCriticalSection", Nothing),
    Stdcall<Ptr>(kKernel32, "TryEnterCriticalSection", True),
    Stdcall<Ptr>(kKernel32, "LeaveCriticalSection", Nothing),
    Stdcall<Ptr>(kKernel32, "DeleteCriticalSection", Nothing),
    Stdcall<>(kKernel32, "TlsAlloc", TlsAlloc),
    Stdcall<Long>(kKernel32, "TlsFree", TlsFree),
    Stdcall<Long>(kKernel32, "TlsGetValue", TlsGetValue),
    Stdcall<Long, Ptr>(kKernel32, "TlsSetValue", TlsSetValue),
    // Emulated time does not pass while the module waits: sleeping would
    // only slow the session down.
    Stdcall<Long>(kKernel32, "Sleep", Nothing),
    Stdcall<>(kKernel32, "IsDebuggerPresent", Nothing),
    Stdcall<Str>(kKernel32, "GetModuleHandleA", GetModuleHandleA),
    Stdcall<WStr>(kKernel32, "GetModuleHandleW", GetModuleHandleW),
    Stdcall<Ptr, Long, Long, Str>(kKernel32, "CreateSemaphoreA", CreateSemaphore),
    Stdcall<Ptr, Long, Long, WStr>(kKernel32, "CreateSemaphoreW", CreateSemaphore),
    Stdcall<Long, Long, Ptr>(kKernel32, "ReleaseSemaphore", True),
    Stdcall<Long, Long>(kKernel32, "WaitForSingleObject", WaitForSingleObject),
    Stdcall<Long>(kKernel32, "CloseHandle", True),
    Stdcall<Ptr, Ptr, Long>(kKernel32, "VirtualQuery", VirtualQuery),
    Stdcall<Ptr, Long, Long, Ptr>(kKernel32, "VirtualProtect", VirtualProtect),
    Stdcall<Long>(kUser32, "GetAsyncKeyState", GetAsyncKeyState),
};
const std::size_t kWin32StandInCount = sizeof kWin32StandIns / sizeof kWin32StandIns[0];
