// Windows (and Wine): LoadLibrary, SendInput, checked copies of memory, and
// the names of exceptions. A module's faults end its own process
// (library/isolated/child_entry_windows.cpp).
#include "platform/host_platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kKeyCount = 256;
bool g_key_held[kKeyCount];

// A crash outside any module call is semhost's own: say so in one line
// instead of starting a debugger.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    std::fprintf(stderr, "semhost: crashed with exception 0x%08lX\n",
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    host_platform::ReleaseHeldKeys();
    ExitProcess(3);
}

bool SendKey(int virtual_key, bool down) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(virtual_key);
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    if (SendInput(1, &input, sizeof input) != 1) return false;
    // The key state is updated by the system; wait until it shows, so that
    // the module's next query sees the key as it is now.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const bool shows_down = (GetAsyncKeyState(virtual_key) & 0x8000) != 0;
        if (shows_down == down) return true;
        Sleep(2);
    }
    return false;
}

}  // namespace

namespace host_platform {

void Prepare() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Plain line ends, the same as the native build prints.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Assertion reports go to the console, never to a message box.
    _set_error_mode(_OUT_TO_STDERR);
    SetUnhandledExceptionFilter(OnUnhandledException);
}

std::string ExceptionText(std::uint32_t code) {
    const char* name = nullptr;
    const char* meaning = nullptr;
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
        name = "access violation", meaning = "invalid memory access";
        break;
    case EXCEPTION_IN_PAGE_ERROR:
        name = "in-page error", meaning = "a mapped file could not be read";
        break;
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        name = "datatype misalignment", meaning = "a misaligned access";
        break;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        name = "array bounds exceeded", meaning = "a bounds check failed";
        break;
    case EXCEPTION_STACK_OVERFLOW:
        name = "stack overflow", meaning = "the stack ran out";
        break;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        name = "illegal instruction", meaning = "not an instruction of this processor";
        break;
    case EXCEPTION_PRIV_INSTRUCTION:
        name = "privileged instruction", meaning = "an instruction only the system may run";
        break;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        name = "integer division by zero", meaning = "arithmetic fault";
        break;
    case EXCEPTION_INT_OVERFLOW:
        name = "integer overflow", meaning = "arithmetic fault";
        break;
    case EXCEPTION_BREAKPOINT:
        name = "breakpoint", meaning = "a debugger trap";
        break;
    case 0xC0000374:  // STATUS_HEAP_CORRUPTION
        name = "heap corruption", meaning = "the heap found its blocks broken";
        break;
    case 0xC0000409:  // STATUS_STACK_BUFFER_OVERRUN
        name = "stack buffer overrun", meaning = "a fast fail of the runtime";
        break;
    default:
        name = "exception", meaning = "unhandled";
    }
    char text[128];
    std::snprintf(text, sizeof text, "%s (0x%08lX, %s)", name, static_cast<unsigned long>(code), meaning);
    return text;
}

namespace {

// The first hardware fault seen while a library loads; 0: none.
volatile LONG g_load_fault = 0;

LONG WINAPI NoteLoadFault(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_IN_PAGE_ERROR:
        InterlockedCompareExchange(&g_load_fault, static_cast<LONG>(code), 0);
        break;
    default:
        break;
    }
    // Whoever handles it (the library itself, or the loader) still does.
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void* OpenLibrary(const std::string& path, std::string& problem, bool& faulted) {
    faulted = false;
    // With a full path the library's own folder is searched for what it
    // depends on. A name without an extension would get ".dll" appended.
    char full_path[MAX_PATH * 4];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full_path, full_path, nullptr);
    std::string name = (length > 0 && length < sizeof full_path) ? std::string(full_path, length) : path;
    const std::size_t last_separator = name.find_last_of("\\/");
    const std::size_t last_dot = name.find_last_of('.');
    if (last_dot == std::string::npos || (last_separator != std::string::npos && last_dot < last_separator))
        name += '.';
    // The loader may catch a crash in DllMain and fail the load with an
    // error code alone (Wine does): a handler that sees every exception
    // first notes it, so that the crash is reported as one.
    g_load_fault = 0;
    void* watch = AddVectoredExceptionHandler(1, NoteLoadFault);
    HMODULE library = LoadLibraryExA(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    if (watch != nullptr) RemoveVectoredExceptionHandler(watch);
    if (library == nullptr && g_load_fault != 0) {
        faulted = true;
        problem = "crashed: " + ExceptionText(static_cast<std::uint32_t>(g_load_fault));
        return nullptr;
    }
    if (library == nullptr) {
        switch (error) {
        case ERROR_BAD_EXE_FORMAT:
            problem = "not a loadable library (not a 32-bit Windows DLL)";
            break;
        case ERROR_MOD_NOT_FOUND:
            problem = "not a loadable library (a library it depends on is missing)";
            break;
        case ERROR_DLL_INIT_FAILED:
            problem = "not a loadable library (its initialisation failed)";
            break;
        default:
            problem = "not a loadable library (LoadLibrary error " + std::to_string(error) + ")";
        }
    }
    return reinterpret_cast<void*>(library);
}

void* FindExport(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

bool SetKeyHeld(int virtual_key, bool held) {
    if (virtual_key <= 0 || virtual_key >= kKeyCount) return false;
    if (g_key_held[virtual_key] == held) return true;
    const bool taken = SendKey(virtual_key, held);
    g_key_held[virtual_key] = held;
    return taken;
}

std::int16_t QueryKeyState(int virtual_key) { return GetAsyncKeyState(virtual_key); }

void SaveKeyState(KeyStateRecord& record) { record = {}; }

void LoadKeyState(const KeyStateRecord&) {}

void ReleaseHeldKeys() {
    // Other programs share the key state: a key left down would stay down.
    for (int key = 0; key < kKeyCount; ++key) {
        if (!g_key_held[key]) continue;
        g_key_held[key] = false;
        SendKey(key, false);
    }
}

namespace {

// Whether every page of the range is committed with one of `wanted`'s
// protections (and not a guard page).
bool RangeHasProtection(std::uintptr_t address, std::size_t size, DWORD wanted) {
    if (size == 0) return true;
    if (address + size < address) return false;
    std::uintptr_t at = address;
    const std::uintptr_t end = address + size;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) == 0) return false;
        if (region.State != MEM_COMMIT || (region.Protect & PAGE_GUARD) != 0 || (region.Protect & wanted) == 0)
            return false;
        at = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

}  // namespace

bool ReadProcessBytes(std::uintptr_t address, void* destination, std::size_t size) {
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!RangeHasProtection(address, size, kReadable)) return false;
    if (size != 0) std::memcpy(destination, reinterpret_cast<const void*>(address), size);
    return true;
}

bool WriteProcessBytes(std::uintptr_t address, const void* source, std::size_t size) {
    constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!RangeHasProtection(address, size, kWritable)) return false;
    if (size != 0) std::memcpy(reinterpret_cast<void*>(address), source, size);
    return true;
}

namespace {

volatile LONG g_interrupt = 0;

// Runs on a thread of its own: only records the interrupt.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    InterlockedCompareExchange(&g_interrupt, 2, 0);  // as SIGINT
    return TRUE;
}

}  // namespace

void CatchInterrupts() {
    g_interrupt = 0;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ReleaseInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

int InterruptSignal() { return static_cast<int>(g_interrupt); }

void SleepUnlessInterrupted(std::uint32_t milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); g_interrupt == 0 && now < end; now = GetTickCount64())
        Sleep(static_cast<DWORD>(end - now < 50 ? end - now : 50));
}

namespace {

// The innermost run's jump target; each run keeps the one outside it.
std::jmp_buf* g_abort_target = nullptr;

// abort() raises SIGABRT on this thread before it ends the process: the
// jump leaves the handler, as C allows for a signal raise() delivers.
void OnAbort(int) {
    if (g_abort_target != nullptr) std::longjmp(*g_abort_target, 1);
}

}  // namespace

bool RunCatchingAbort(void (*body)(void*), void* context) {
    std::jmp_buf here;
    std::jmp_buf* const outer = g_abort_target;
    void (*const previous)(int) = std::signal(SIGABRT, OnAbort);
    bool returned = true;
    if (setjmp(here) == 0) {
        g_abort_target = &here;
        body(context);
    } else {
        returned = false;
    }
    g_abort_target = outer;
    std::signal(SIGABRT, previous);
    return returned;
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "";
    return std::string(name, size);
}

}  // namespace host_platform
