// Linux: dlopen, a key state that the native library looks up in this
// process, checked copies of memory, and the names of fault signals.
#include "platform/host_platform.h"

#include "SEPlatform.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

constexpr int kKeyCount = 256;

// The key state as the module reads it: top bit while held, lowest bit when
// pressed since the previous query of that key.
std::mutex g_key_mutex;
bool g_key_held[kKeyCount];
bool g_key_pressed_since_query[kKeyCount];

}  // namespace

namespace {

volatile std::sig_atomic_t g_interrupt = 0;
struct sigaction g_previous_int, g_previous_term;

void OnInterrupt(int signal_number) {
    if (g_interrupt == 0) g_interrupt = signal_number;
}

}  // namespace

void host_platform::CatchInterrupts() {
    g_interrupt = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Reads and writes go on; a sleep or a poll returns early, as it should.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &g_previous_int);
    ::sigaction(SIGTERM, &action, &g_previous_term);
}

void host_platform::ReleaseInterrupts() {
    ::sigaction(SIGINT, &g_previous_int, nullptr);
    ::sigaction(SIGTERM, &g_previous_term, nullptr);
}

int host_platform::InterruptSignal() { return g_interrupt; }

namespace {

// The innermost run's jump target; each run keeps the one outside it.
sigjmp_buf* g_abort_target = nullptr;

void OnAbort(int) {
    if (g_abort_target != nullptr) siglongjmp(*g_abort_target, 1);
}

}  // namespace

bool host_platform::RunCatchingAbort(void (*body)(void*), void* context) {
    sigjmp_buf here;
    sigjmp_buf* const outer = g_abort_target;
    struct sigaction guard {};
    guard.sa_handler = OnAbort;
    sigemptyset(&guard.sa_mask);
    struct sigaction previous {};
    ::sigaction(SIGABRT, &guard, &previous);
    bool returned = true;
    if (sigsetjmp(here, 1) == 0) {
        g_abort_target = &here;
        body(context);
    } else {
        returned = false;
    }
    g_abort_target = outer;
    ::sigaction(SIGABRT, &previous, nullptr);
    return returned;
}

void host_platform::SleepUnlessInterrupted(std::uint32_t milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    // In slices: a signal that comes just before a slice starts ends the
    // wait at the slice's end.
    while (g_interrupt == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        const long long slice = std::min<long long>(left.count(), 100'000);
        timespec duration{static_cast<time_t>(slice / 1'000'000),
                          static_cast<long>(slice % 1'000'000) * 1000};
        ::nanosleep(&duration, nullptr);
    }
}

std::string host_platform::SignalText(int signal_number) {
    switch (signal_number) {
    case SIGSEGV:
        return "SIGSEGV (invalid memory access)";
    case SIGBUS:
        return "SIGBUS (bus error)";
    case SIGILL:
        return "SIGILL (illegal instruction)";
    case SIGFPE:
        return "SIGFPE (arithmetic fault)";
    case SIGABRT:
        return "SIGABRT (aborted, as by an assertion report)";
    default:
        return "signal " + std::to_string(signal_number);
    }
}

// The native library's key-state stand-in looks this up by name in the
// loading process, so it must stay exported and unmangled.
extern "C" __attribute__((visibility("default"))) std::int16_t PLATFORM_KEY_STATE_FUNCTION(int virtual_key) {
    if (virtual_key < 0 || virtual_key >= kKeyCount) return 0;
    std::lock_guard<std::mutex> lock(g_key_mutex);
    std::uint16_t state = 0;
    if (g_key_held[virtual_key]) state |= 0x8000;
    if (g_key_pressed_since_query[virtual_key]) state |= 0x0001;
    g_key_pressed_since_query[virtual_key] = false;
    return static_cast<std::int16_t>(state);
}

namespace host_platform {

void Prepare() {}  // nothing on Linux shows dialogs

void* OpenLibrary(const std::string& path, std::string& problem, bool& faulted) {
    // A crash in a constructor ends the process: dlopen never returns.
    faulted = false;
    // Without a slash dlopen searches the system's library paths instead of
    // opening the file that was named.
    const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        problem = "not a loadable library";
        if (reason != nullptr) {
            // dlerror starts with the file name, which the caller prints already.
            std::string text = reason;
            const std::string prefix = name + ": ";
            if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
            problem += " (" + text + ")";
        }
    }
    return library;
}

void* FindExport(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) {
    if (library != nullptr) dlclose(library);
}

bool SetKeyHeld(int virtual_key, bool held) {
    if (virtual_key < 0 || virtual_key >= kKeyCount) return false;
    std::lock_guard<std::mutex> lock(g_key_mutex);
    if (held && !g_key_held[virtual_key]) g_key_pressed_since_query[virtual_key] = true;
    g_key_held[virtual_key] = held;
    return true;
}

std::int16_t QueryKeyState(int virtual_key) { return PLATFORM_KEY_STATE_FUNCTION(virtual_key); }

void SaveKeyState(KeyStateRecord& record) {
    std::lock_guard<std::mutex> lock(g_key_mutex);
    record = {};
    for (int key = 0; key < kKeyCount; ++key) {
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (key % 8));
        if (g_key_held[key]) record.held[key / 8] |= bit;
        if (g_key_pressed_since_query[key]) record.pressed_since_query[key / 8] |= bit;
    }
}

void LoadKeyState(const KeyStateRecord& record) {
    std::lock_guard<std::mutex> lock(g_key_mutex);
    for (int key = 0; key < kKeyCount; ++key) {
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (key % 8));
        g_key_held[key] = (record.held[key / 8] & bit) != 0;
        g_key_pressed_since_query[key] = (record.pressed_since_query[key / 8] & bit) != 0;
    }
}

void ReleaseHeldKeys() {
    std::lock_guard<std::mutex> lock(g_key_mutex);
    for (bool& held : g_key_held) held = false;
    for (bool& pressed : g_key_pressed_since_query) pressed = false;
}

// The kernel copies and reports an unmapped or protected page as an error,
// where a plain copy would fault.
bool ReadProcessBytes(std::uintptr_t address, void* destination, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address) return false;
    iovec local{destination, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

bool WriteProcessBytes(std::uintptr_t address, const void* source, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address) return false;
    // A write that stops at a protected page is undone, so that the module
    // never sees half of it.
    std::vector<unsigned char> before(size);
    if (!ReadProcessBytes(address, before.data(), size)) return false;
    iovec local{const_cast<void*>(source), size};
    iovec remote{reinterpret_cast<void*>(address), size};
    const ssize_t written = process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
    if (written == static_cast<ssize_t>(size)) return true;
    if (written > 0) {
        iovec undo{before.data(), static_cast<std::size_t>(written)};
        iovec again{reinterpret_cast<void*>(address), static_cast<std::size_t>(written)};
        process_vm_writev(getpid(), &undo, 1, &again, 1, 0);
    }
    return false;
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

}  // namespace host_platform
