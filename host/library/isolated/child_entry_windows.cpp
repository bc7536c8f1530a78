// Windows: the start of a module's process. semhost started this copy of
// its own executable with the hidden argument and two inherited pipe
// handles; the library's path is the first thing that comes through. A
// fault of the module ends this process after a last message that names
// it: the unhandled-exception filter and the runtime's abort signal report,
// they never jump back into the host's code.
#include "library/isolated/child_entry.h"

#include "library/isolated/isolated_child.h"

#include "platform/host_platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool g_can_serve = false;

class PipeChannel : public ParentChannel {
public:
    PipeChannel(HANDLE from_parent, HANDLE to_parent) : m_from_parent(from_parent), m_to_parent(to_parent) {}
    bool Write(const void* data, std::size_t size) override {
        const char* bytes = static_cast<const char*>(data);
        while (size > 0) {
            DWORD written = 0;
            if (!WriteFile(m_to_parent, bytes, static_cast<DWORD>(size), &written, nullptr) || written == 0)
                return false;
            bytes += written;
            size -= written;
        }
        return true;
    }
    bool Read(void* destination, std::size_t size) override {
        char* bytes = static_cast<char*>(destination);
        while (size > 0) {
            DWORD got = 0;
            if (!ReadFile(m_from_parent, bytes, static_cast<DWORD>(size), &got, nullptr) || got == 0) return false;
            bytes += got;
            size -= got;
        }
        return true;
    }

private:
    // Separate handles: a fault handler on another thread writes while
    // the serving thread waits in a read, and I/O on one blocking handle
    // would wait for that read to end.
    HANDLE m_from_parent;
    HANDLE m_to_parent;
};

[[noreturn]] void EndAfterReport(const std::string& fault, UINT code) {
    SendLastWords(fault);
    TerminateProcess(GetCurrentProcess(), code);
    std::_Exit(static_cast<int>(code));
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    EndAfterReport(host_platform::ExceptionText(code), code);
}

// The runtime's abort (an assertion report ends in it) raises SIGABRT.
void OnAbortSignal(int) { EndAfterReport("abort (as by an assertion report)", 3); }

HANDLE HandleArgument(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

}  // namespace

bool CanServeAsModuleProcess() { return g_can_serve; }

void ServeAsModuleProcessIfStartedSo(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], kModuleProcessArgument) != 0) {
        g_can_serve = true;
        return;
    }
    HANDLE from_parent = HandleArgument(argv[2]);
    HANDLE to_parent = HandleArgument(argv[3]);
    if (from_parent == nullptr || to_parent == nullptr) std::_Exit(125);
    // No dialog may wait for a person: load errors, crashes and assertion
    // reports go to the console or end the process.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    _set_error_mode(_OUT_TO_STDERR);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetUnhandledExceptionFilter(OnUnhandledException);
    signal(SIGABRT, OnAbortSignal);
    // Ctrl-C reaches every process of the console: it is semhost's to
    // answer, closing the module's objects in here.
    SetConsoleCtrlHandler(nullptr, TRUE);

    PipeChannel channel(from_parent, to_parent);
    std::uint32_t size = 0;
    if (!channel.Read(&size, sizeof size) || size > 32768 * 4) std::_Exit(125);
    std::string path(size, '\0');
    if (size > 0 && !channel.Read(&path[0], size)) std::_Exit(125);
    RunIsolatedChild(channel, path);
}
