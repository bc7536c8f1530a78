// Linux: the child is a fork of semhost that talks over a socket pair. Its
// end is watched through a process file descriptor, polled together with
// the socket, so that an end is seen at once, also when a process of the
// module's own still holds the socket open.
#include "library/isolated/child_process.h"

#include "library/isolated/child_entry.h"
#include "library/isolated/isolated_child.h"
#include "library/isolated/process_vm_memory.h"

#include "platform/host_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

// A sanitizer runtime, when present, calls this before it ends the process
// for a memory error it found.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Never raises SIGPIPE.
bool SendAll(int socket, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(socket, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// How a child that ended by itself ended, as fault texts say it.
std::string EndText(int status) {
    if (WIFSIGNALED(status)) return "crashed: " + host_platform::SignalText(WTERMSIG(status));
    if (WIFEXITED(status)) return "ended the process (exit " + std::to_string(WEXITSTATUS(status)) + ")";
    return "crashed: its process ended";
}

class SocketChannel : public ParentChannel {
public:
    explicit SocketChannel(int socket) : m_socket(socket) {}
    bool Write(const void* data, std::size_t size) override { return SendAll(m_socket, data, size); }
    bool Read(void* destination, std::size_t size) override {
        char* bytes = static_cast<char*>(destination);
        while (size > 0) {
            const ssize_t got = ::read(m_socket, bytes, size);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            bytes += got;
            size -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int m_socket;
};

// An exit called by the module ends the child at once with its status: the
// exit handlers of semhost's own copy (test runners, leak checks) must not
// run here. The module's own ones, registered later, have run before.
void EndAtExit(int status, void*) { ::_exit(status); }

// A memory error a sanitizer reports is a crash of the module.
void DieAsAborted() {
    ::signal(SIGABRT, SIG_DFL);
    ::raise(SIGABRT);
}

void PrepareChild(int socket) {
    // The child ends with semhost, whatever ends semhost.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Nothing of the parent's stays open but the standard streams: another
    // module's socket held here would keep that child from seeing its end.
    if (socket > 3) ::close_range(3, static_cast<unsigned>(socket) - 1, 0);
    ::close_range(static_cast<unsigned>(socket) + 1, ~0u, 0);
    // Faults end the process with their signal, which the parent reads.
    // Ctrl-C reaches every process of the terminal's group: it is semhost's
    // to answer, closing the module's objects in here.
    for (int signal_number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGPIPE, SIGTERM, SIGINT}) {
        struct sigaction action {};
        action.sa_handler = signal_number == SIGINT ? SIG_IGN : SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
    // The module's own output is dropped: semhost's output is semhost's
    // alone (a broken heap's message from the C library among it).
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere >= 0) {
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(nowhere, STDERR_FILENO);
        ::close(nowhere);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::on_exit(EndAtExit, nullptr);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(DieAsAborted);
}

class PosixChildProcess : public ChildProcess {
public:
    PosixChildProcess(pid_t process, int socket)
        : m_process(process), m_socket(socket),
          m_process_fd(static_cast<int>(::syscall(SYS_pidfd_open, process, 0))), m_memory(process) {
        // Where the system refuses to copy another process's memory (a
        // hardened kernel), the child copies its own.
        // A fork has this process's mappings, this stack among them.
        unsigned char probe;
        m_direct_memory = m_memory.Read(reinterpret_cast<std::uintptr_t>(&probe), &probe, 1);
    }

    ~PosixChildProcess() override {
        Kill();
        if (m_process_fd >= 0) ::close(m_process_fd);
        ::close(m_socket);
    }

    bool Send(const void* data, std::size_t size) override { return SendAll(m_socket, data, size); }

    Received Receive(void* destination, std::size_t size, long long deadline) override {
        char* bytes = static_cast<char*>(destination);
        while (size > 0) {
            const long long left = deadline - NowMs();
            if (left <= 0) return Received::TimedOut;
            pollfd watched[2] = {{m_socket, POLLIN, 0}, {m_process_fd, POLLIN, 0}};
            // Without a process descriptor (an old kernel), short waits, so
            // that a child that ends without closing its socket is seen too.
            const int slice = m_process_fd >= 0 ? static_cast<int>(left < 1'000'000 ? left : 1'000'000)
                                                : static_cast<int>(left < 50 ? left : 50);
            const int ready = ::poll(watched, m_process_fd >= 0 ? 2 : 1, slice);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return Received::Ended;
            if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                // Bytes sent before the end are read first.
                if (ready > 0 || HasEnded()) return Received::Ended;
                continue;
            }
            const ssize_t got = ::read(m_socket, bytes, size);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return Received::Ended;
            bytes += got;
            size -= static_cast<std::size_t>(got);
        }
        return Received::Whole;
    }

    bool AwaitEnd(long long deadline, std::string& how) override {
        if (m_process <= 0) {
            how = m_end;
            return m_ended_by_itself;
        }
        for (;;) {
            if (HasEnded()) break;
            const long long left = deadline - NowMs();
            if (left <= 0) {
                Kill();
                return false;
            }
            if (m_process_fd >= 0) {
                pollfd watched{m_process_fd, POLLIN, 0};
                ::poll(&watched, 1, static_cast<int>(left < 1'000'000 ? left : 1'000'000));
            } else {
                ::usleep(1000);
            }
        }
        how = m_end;
        return true;
    }

    void Kill() override {
        if (m_process <= 0) return;
        ::kill(m_process, SIGKILL);
        int status = 0;
        while (::waitpid(m_process, &status, 0) < 0 && errno == EINTR) {
        }
        m_process = -1;
        m_ended_by_itself = false;
        m_end = "crashed: its process was ended";
    }

    bool running() const override { return m_process > 0; }
    RemoteMemory* memory() override { return m_direct_memory ? &m_memory : nullptr; }

private:
    // Reaps the child if it has ended, and keeps how.
    bool HasEnded() {
        if (m_process <= 0) return true;
        int status = 0;
        const pid_t ended = ::waitpid(m_process, &status, WNOHANG);
        if (ended == 0 || (ended < 0 && errno == EINTR)) return false;
        m_process = -1;
        m_ended_by_itself = ended > 0;
        m_end = ended > 0 ? EndText(status) : "crashed: its process ended";
        return true;
    }

    pid_t m_process;
    int m_socket;
    int m_process_fd;
    ProcessVmMemory m_memory;
    bool m_direct_memory = true;
    bool m_ended_by_itself = false;
    std::string m_end;
};

}  // namespace

// A fork needs no start of its own: every program can be its own child.
void ServeAsModuleProcessIfStartedSo(int, char**) {}

bool CanServeAsModuleProcess() { return true; }

std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path, std::string& problem) {
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        problem = std::string("cannot start a process for the module (") + std::strerror(errno) + ")";
        return nullptr;
    }
    // Output waiting in this process's buffers would be written again by
    // the child.
    std::fflush(nullptr);
    // A plain fork: the child keeps to the thread that forks and to code
    // that is sound there (system calls, the C heap, dlopen). An exec of a
    // helper program would need its path, and commands also run inside
    // test programs.
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(sockets[0]);
        ::close(sockets[1]);
        problem = std::string("cannot start a process for the module (") + std::strerror(errno) + ")";
        return nullptr;
    }
    if (child == 0) {
        ::close(sockets[0]);
        PrepareChild(sockets[1]);
        SocketChannel channel(sockets[1]);
        RunIsolatedChild(channel, path);
    }
    ::close(sockets[1]);
    return std::make_unique<PosixChildProcess>(child, sockets[0]);
}
