// Windows: the child is a second start of this very executable with a
// hidden argument (child_entry_windows.cpp). Two named pipes carry the
// messages, one each way: the child's ends are plain blocking handles it
// inherits, semhost's ends are overlapped, so that each wait is bounded by
// the deadline and by the child's end, both at once. A job object ends the
// children with semhost, whatever ends semhost.
#include "library/isolated/child_process.h"

#include "library/isolated/child_entry.h"
#include "library/isolated/process_handle_memory.h"

#include "platform/host_platform.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

DWORD WaitMs(long long deadline) {
    const long long left = deadline - NowMs();
    if (left <= 0) return 0;
    return left >= 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left);
}

// How a child that ended by itself ended, as fault texts say it. An
// exception that no filter reported leaves its code as the exit code.
std::string EndText(DWORD code) {
    if (code >= 0xC0000000u) return "crashed: " + host_platform::ExceptionText(code);
    return "ended the process (exit " + std::to_string(code) + ")";
}

std::string SystemProblem(const char* what) {
    return std::string("cannot start a process for the module (") + what + ": error " +
           std::to_string(GetLastError()) + ")";
}

HANDLE ChildrenJob() {
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) return created;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return created;
    }();
    return job;
}

// One direction of the channel: semhost's overlapped end of a named pipe,
// and the child's blocking end, inheritable until the child has it.
struct Pipe {
    HANDLE own = INVALID_HANDLE_VALUE;
    HANDLE childs = INVALID_HANDLE_VALUE;

    bool Create(bool to_child, std::string& problem) {
        static LONG counter = 0;
        const std::wstring name = L"\\\\.\\pipe\\semhost-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(InterlockedIncrement(&counter));
        own = CreateNamedPipeW(name.c_str(),
                               (to_child ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED |
                                   FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0, nullptr);
        if (own == INVALID_HANDLE_VALUE) {
            problem = SystemProblem("CreateNamedPipe");
            return false;
        }
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        childs = CreateFileW(name.c_str(), to_child ? GENERIC_READ : GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0,
                             nullptr);
        if (childs == INVALID_HANDLE_VALUE) {
            problem = SystemProblem("CreateFile on the pipe");
            return false;
        }
        return true;
    }
    void CloseChilds() {
        if (childs != INVALID_HANDLE_VALUE) CloseHandle(childs);
        childs = INVALID_HANDLE_VALUE;
    }
    ~Pipe() {
        CloseChilds();
        if (own != INVALID_HANDLE_VALUE) CloseHandle(own);
    }
};

class WindowsChildProcess : public ChildProcess {
public:
    WindowsChildProcess(HANDLE process, HANDLE to_child, HANDLE from_child)
        : m_process(process), m_to_child(to_child), m_from_child(from_child),
          m_read_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_write_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_memory(process) {}

    ~WindowsChildProcess() override {
        Kill();
        CloseHandle(m_to_child);
        CloseHandle(m_from_child);
        CloseHandle(m_read_done);
        CloseHandle(m_write_done);
        CloseHandle(m_process);
    }

    bool Send(const void* data, std::size_t size) override {
        const char* bytes = static_cast<const char*>(data);
        while (size > 0) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = m_write_done;
            const DWORD part = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
            DWORD written = 0;
            const bool at_once = WriteFile(m_to_child, bytes, part, nullptr, &overlapped) != 0;
            if (!at_once && GetLastError() != ERROR_IO_PENDING) return false;
            // The child reads each message before it runs anything, so a
            // write waits only while the child is being scheduled; a child
            // that ends meanwhile ends the wait.
            if (at_once ? !GetOverlappedResult(m_to_child, &overlapped, &written, FALSE)
                        : !Finish(m_to_child, overlapped, INFINITE, written))
                return false;
            if (written == 0) return false;
            bytes += written;
            size -= written;
        }
        return true;
    }

    Received Receive(void* destination, std::size_t size, long long deadline) override {
        char* bytes = static_cast<char*>(destination);
        while (size > 0) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = m_read_done;
            const DWORD part = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
            DWORD got = 0;
            m_timed_out = false;
            const bool at_once = ReadFile(m_from_child, bytes, part, nullptr, &overlapped) != 0;
            if (!at_once && GetLastError() != ERROR_IO_PENDING) return Received::Ended;
            const bool finished = at_once ? GetOverlappedResult(m_from_child, &overlapped, &got, FALSE) != 0
                                          : Finish(m_from_child, overlapped, WaitMs(deadline), got);
            if (!finished && m_timed_out) return Received::TimedOut;
            if (!finished || got == 0) return Received::Ended;
            bytes += got;
            size -= got;
        }
        return Received::Whole;
    }

    bool AwaitEnd(long long deadline, std::string& how) override {
        if (!m_ended) {
            if (WaitForSingleObject(m_process, WaitMs(deadline)) != WAIT_OBJECT_0) {
                Kill();
                return false;
            }
            m_ended = true;
            DWORD code = 0;
            GetExitCodeProcess(m_process, &code);
            m_by_itself = true;
            m_end = EndText(code);
        }
        how = m_end;
        return m_by_itself;
    }

    void Kill() override {
        if (m_ended) return;
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, INFINITE);
        m_ended = true;
        m_by_itself = false;
        m_end = "crashed: its process was ended";
    }

    bool running() const override { return !m_ended; }
    RemoteMemory* memory() override { return &m_memory; }

private:
    // Waits for an overlapped transfer until it is done, the child has
    // ended, or `wait_ms` pass (then `m_timed_out`). A transfer not done is
    // cancelled before its buffer is let go.
    bool Finish(HANDLE pipe, OVERLAPPED& overlapped, DWORD wait_ms, DWORD& transferred) {
        m_timed_out = false;
        const HANDLE watched[2] = {overlapped.hEvent, m_process};
        DWORD woke = WaitForMultipleObjects(2, watched, FALSE, wait_ms);
        if (woke == WAIT_OBJECT_0 + 1) {
            // Bytes the child wrote before it ended are still to be read; a
            // pipe no other process holds then completes at once.
            woke = WaitForSingleObject(overlapped.hEvent, 1000) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        } else if (woke == WAIT_TIMEOUT) {
            m_timed_out = true;
        }
        if (woke != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
        const bool done = GetOverlappedResult(pipe, &overlapped, &transferred, TRUE) != 0;
        return done && woke == WAIT_OBJECT_0;
    }

    HANDLE m_process;
    HANDLE m_to_child;
    HANDLE m_from_child;
    HANDLE m_read_done;
    HANDLE m_write_done;
    ProcessHandleMemory m_memory;
    bool m_ended = false;
    bool m_by_itself = false;
    bool m_timed_out = false;
    std::string m_end;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path, std::string& problem) {
    if (!CanServeAsModuleProcess()) {
        problem = "cannot start a process for the module (this program cannot serve as one)";
        return nullptr;
    }
    wchar_t executable[32768];
    const DWORD length = GetModuleFileNameW(nullptr, executable, sizeof executable / sizeof executable[0]);
    if (length == 0 || length >= sizeof executable / sizeof executable[0]) {
        problem = SystemProblem("GetModuleFileName");
        return nullptr;
    }
    Pipe to_child;
    Pipe from_child;
    if (!to_child.Create(true, problem) || !from_child.Create(false, problem)) return nullptr;

    std::wstring command_line = L"\"" + std::wstring(executable, length) + L"\" ";
    for (const char* at = kModuleProcessArgument; *at != '\0'; ++at) command_line += static_cast<wchar_t>(*at);
    command_line += L" " + std::to_wstring(reinterpret_cast<std::uintptr_t>(to_child.childs)) + L" " +
                    std::to_wstring(reinterpret_cast<std::uintptr_t>(from_child.childs));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    // No standard handles: the module's own output is dropped, so that
    // semhost's output is semhost's alone.
    startup.hStdInput = nullptr;
    startup.hStdOutput = nullptr;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION started{};
    // Suspended until it is in the job, so that nothing of it outlives
    // semhost.
    const BOOL created = CreateProcessW(executable, &command_line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                        nullptr, nullptr, &startup, &started);
    const DWORD create_error = GetLastError();
    to_child.CloseChilds();
    from_child.CloseChilds();
    if (!created) {
        SetLastError(create_error);
        problem = SystemProblem("CreateProcess");
        return nullptr;
    }
    if (HANDLE job = ChildrenJob()) AssignProcessToJobObject(job, started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);

    std::unique_ptr<WindowsChildProcess> child(
        new WindowsChildProcess(started.hProcess, to_child.own, from_child.own));
    to_child.own = INVALID_HANDLE_VALUE;
    from_child.own = INVALID_HANDLE_VALUE;
    // The library's path goes first, as the child's first read: a command
    // line would have to quote it, and could change its characters.
    const std::uint32_t path_size = static_cast<std::uint32_t>(path.size());
    if (!child->Send(&path_size, sizeof path_size) || !child->Send(path.data(), path.size())) {
        problem = "cannot start a process for the module (it ended at once)";
        return nullptr;
    }
    return child;
}
