#include "isolated_library.h"

#include "host_platform.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

using isolated_protocol::Kind;

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "20 s", "1.5 s".
std::string Seconds(int milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0)
        std::snprintf(text, sizeof text, "%d s", milliseconds / 1000);
    else
        std::snprintf(text, sizeof text, "%g s", milliseconds / 1000.0);
    return text;
}

// How a child that ended by itself ended, as fault texts say it.
std::string EndText(int status) {
    if (WIFSIGNALED(status)) return "crashed: " + host_platform::SignalText(WTERMSIG(status));
    if (WIFEXITED(status)) return "ended the process (exit " + std::to_string(WEXITSTATUS(status)) + ")";
    return "crashed: its process ended";
}

bool RemoteCopy(pid_t child, std::uintptr_t address, void* local_bytes, std::size_t size, bool write) {
    iovec local{local_bytes, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    const ssize_t copied = write ? process_vm_writev(child, &local, 1, &remote, 1, 0)
                                 : process_vm_readv(child, &local, 1, &remote, 1, 0);
    return copied == static_cast<ssize_t>(size);
}

}  // namespace

IsolatedNativeLibrary::IsolatedNativeLibrary(int time_limit_ms)
    : ModuleLibrary(kNativeLayout), m_time_limit_ms(time_limit_ms > 0 ? time_limit_ms : 1) {}

std::unique_ptr<IsolatedNativeLibrary> IsolatedNativeLibrary::Open(const std::string& path,
                                                                   const LibraryOptions& options, Status& status,
                                                                   std::string& problem) {
    std::unique_ptr<IsolatedNativeLibrary> library(new IsolatedNativeLibrary(options.time_limit_ms));
    library->m_path = path;
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        status = Status::NotLoadable;
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
        status = Status::NotLoadable;
        problem = std::string("cannot start a process for the module (") + std::strerror(errno) + ")";
        return nullptr;
    }
    if (child == 0) {
        ::close(sockets[0]);
        RunIsolatedChild(sockets[1], path);
    }
    ::close(sockets[1]);
    library->m_child = child;
    library->m_socket = sockets[0];

    Message answer;
    std::vector<unsigned char> payload;
    // The load is a call of its own: the constructors run now.
    library->m_deadline = library->Deadline();
    const bool answered = library->Receive(answer, payload, library->m_deadline);
    library->m_deadline = 0;
    if (!answered) {
        status = Status::Faulted;
        problem = "the module " + library->m_fault + " while loading";
        return nullptr;
    }
    if (answer.kind == Kind::LoadFailed) {
        status = static_cast<Status>(answer.shape);
        problem.assign(payload.begin(), payload.end());
        return nullptr;
    }
    if (answer.kind != Kind::Loaded) {
        library->m_deadline = library->Deadline();
        library->Fault("crashed: its process answered out of turn");
        status = Status::Faulted;
        problem = "the module " + library->m_fault + " while loading";
        return nullptr;
    }
    library->m_get_module_properties = answer.words[0];
    library->m_make_module = answer.words[1];
    library->m_callback = answer.words[2];
    // Where the system refuses to copy another process's memory (a
    // hardened kernel), the child copies its own.
    unsigned char probe;
    library->m_direct_memory = RemoteCopy(child, static_cast<std::uintptr_t>(library->m_callback), &probe, 1, false);
    status = Status::Loaded;
    return library;
}

IsolatedNativeLibrary::~IsolatedNativeLibrary() {
    std::string fault;
    if (!Unload(fault)) std::cerr << "semhost: " << m_path << ": the module " << fault << " while unloading\n";
    if (m_socket >= 0) ::close(m_socket);
}

bool IsolatedNativeLibrary::Unload(std::string& fault) {
    fault.clear();
    if (m_child <= 0) return true;
    int status = 0;
    Message unload;
    unload.kind = Kind::Unload;
    if (m_faulted || !isolated_protocol::SendAll(m_socket, &unload, sizeof unload)) {
        ::kill(m_child, SIGKILL);
        Reap(NowMs(), status);
        return true;
    }
    // The library's destructors run now; a hang there is ended too.
    if (!Reap(Deadline(), status))
        fault = HungText();
    else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        fault = EndText(status);
    if (fault.empty()) return true;
    m_faulted = true;
    m_fault = fault;
    return false;
}

long long IsolatedNativeLibrary::Deadline() const { return NowMs() + m_time_limit_ms; }

std::string IsolatedNativeLibrary::HungText() const { return "hung: did not return within " + Seconds(m_time_limit_ms); }

bool IsolatedNativeLibrary::Reap(long long deadline, int& status) {
    for (;;) {
        const pid_t ended = ::waitpid(m_child, &status, WNOHANG);
        if (ended == m_child || (ended < 0 && errno != EINTR)) {
            m_child = -1;
            return ended > 0;
        }
        if (NowMs() >= deadline) break;
        ::usleep(1000);
    }
    ::kill(m_child, SIGKILL);
    while (::waitpid(m_child, &status, 0) < 0 && errno == EINTR) {
    }
    m_child = -1;
    return false;
}

void IsolatedNativeLibrary::Fault(const std::string& text) {
    if (!m_faulted) {
        m_faulted = true;
        m_fault = text;
        if (m_deadline == 0) {
            m_fault_unreported = true;
            m_fault += " between the host's calls, noticed";
        }
    }
    if (m_child > 0) {
        int status = 0;
        ::kill(m_child, SIGKILL);
        Reap(NowMs(), status);
    }
}

void IsolatedNativeLibrary::ChildEnded() {
    // The socket closes as the process ends; give it a moment to be gone
    // (a module that closed the socket itself is ended here).
    int status = 0;
    if (Reap(NowMs() + 1000, status))
        Fault(EndText(status));
    else
        Fault("crashed: its process stopped answering");
}

bool IsolatedNativeLibrary::Send(const Message& message, const void* payload) {
    if (m_faulted) return false;
    if (isolated_protocol::SendAll(m_socket, &message, sizeof message) &&
        (message.length == 0 || isolated_protocol::SendAll(m_socket, payload, message.length)))
        return true;
    ChildEnded();
    return false;
}

bool IsolatedNativeLibrary::ReceiveExactly(void* destination, std::size_t size, long long deadline) {
    char* bytes = static_cast<char*>(destination);
    while (size > 0) {
        const long long left = deadline - NowMs();
        if (left <= 0) {
            Fault(HungText());
            return false;
        }
        pollfd watched{m_socket, POLLIN, 0};
        // Short waits, so that a child that ends without closing its socket
        // (a process of the module's own holds it) is seen too.
        const int ready = ::poll(&watched, 1, static_cast<int>(left < 50 ? left : 50));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            int status = 0;
            const pid_t ended = ::waitpid(m_child, &status, WNOHANG);
            if (ended == m_child) {
                m_child = -1;
                Fault(EndText(status));
                return false;
            }
            continue;
        }
        const ssize_t got = ready > 0 ? ::read(m_socket, bytes, size) : -1;
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ChildEnded();
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool IsolatedNativeLibrary::Receive(Message& message, std::vector<unsigned char>& payload, long long deadline) {
    if (m_faulted) return false;
    if (!ReceiveExactly(&message, sizeof message, deadline)) return false;
    if (message.length > isolated_protocol::kMaxPayload) {
        Fault("crashed: its process answered out of turn");
        return false;
    }
    payload.resize(message.length);
    if (message.length > 0 && !ReceiveExactly(payload.data(), message.length, deadline)) return false;
    if (message.foreign_callbacks > 0) {
        // The child answered those calls with 0; the module cannot be
        // trusted with its objects afterwards.
        Fault("broke the host contract: called the host's callback from a thread other than the one the host "
              "called it on (answered 0)");
        return false;
    }
    return true;
}

bool IsolatedNativeLibrary::RunOutermost(const std::function<void()>& body, const std::string&,
                                         std::string& fault) {
    if (m_faulted) {
        fault = m_fault_unreported ? m_fault : "crashed before: it cannot be called again";
        m_fault_unreported = false;
        return false;
    }
    m_deadline = Deadline();
    body();
    m_deadline = 0;
    if (m_faulted) fault = m_fault;
    return !m_faulted;
}

bool IsolatedNativeLibrary::Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
                                 std::uint64_t& result) {
    result = 0;
    Message call;
    call.kind = Kind::Call;
    call.shape = static_cast<std::uint32_t>(shape);
    call.words[0] = function;
    for (std::size_t i = 0; i < arguments.size() && i < 6; ++i) call.words[1 + i] = arguments[i];
    if (!Send(call)) return false;
    // A call outside RunOutermost still has the time limit.
    const long long deadline = m_deadline != 0 ? m_deadline : Deadline();
    ++m_depth;
    std::vector<unsigned char> payload;
    bool returned = false;
    while (!returned) {
        Message message;
        if (!Receive(message, payload, deadline)) break;
        Message answer;
        switch (message.kind) {
        case Kind::Returned:
            result = message.words[0];
            returned = true;
            break;
        case Kind::Callback: {
            float opt;
            const std::uint32_t bits = static_cast<std::uint32_t>(message.words[5]);
            std::memcpy(&opt, &bits, sizeof opt);
            const std::int64_t value =
                RunCallback(message.words[0], static_cast<std::int32_t>(message.words[1]),
                            static_cast<std::int32_t>(message.words[2]), static_cast<std::int32_t>(message.words[3]),
                            message.words[4], opt);
            answer.kind = Kind::CallbackResult;
            answer.words[0] = static_cast<std::uint64_t>(value);
            Send(answer);
            break;
        }
        case Kind::KeyQuery:
            answer.kind = Kind::KeyState;
            answer.words[0] = static_cast<std::uint64_t>(static_cast<std::int64_t>(
                host_platform::QueryKeyState(static_cast<int>(message.words[0]))));
            Send(answer);
            break;
        default:
            Fault("crashed: its process answered out of turn");
            break;
        }
        if (m_faulted) break;
    }
    --m_depth;
    if (m_faulted) result = 0;
    return returned && !m_faulted;
}

bool IsolatedNativeLibrary::Read(ModuleAddress address, void* destination, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address || m_child <= 0) return false;
    if (m_direct_memory) return RemoteCopy(m_child, static_cast<std::uintptr_t>(address), destination, size, false);
    if (size > isolated_protocol::kMaxPayload) return false;
    Message request;
    request.kind = Kind::Read;
    request.words[0] = address;
    request.words[1] = size;
    Message answer;
    std::vector<unsigned char> payload;
    if (!Send(request) || !Receive(answer, payload, m_deadline != 0 ? m_deadline : Deadline())) return false;
    if (answer.kind != Kind::Data || answer.words[0] != 1 || payload.size() != size) return false;
    std::memcpy(destination, payload.data(), size);
    return true;
}

bool IsolatedNativeLibrary::Write(ModuleAddress address, const void* source, std::size_t size) {
    if (size == 0) return true;
    if (address + size < address || m_child <= 0) return false;
    if (m_direct_memory) {
        // A write that stops at a protected page is undone, so that the
        // module never sees half of it.
        std::vector<unsigned char> before(size);
        if (!RemoteCopy(m_child, static_cast<std::uintptr_t>(address), before.data(), size, false)) return false;
        if (RemoteCopy(m_child, static_cast<std::uintptr_t>(address), const_cast<void*>(source), size, true))
            return true;
        RemoteCopy(m_child, static_cast<std::uintptr_t>(address), before.data(), size, true);
        return false;
    }
    if (size > isolated_protocol::kMaxPayload) return false;
    Message request;
    request.kind = Kind::Write;
    request.words[0] = address;
    request.length = static_cast<std::uint32_t>(size);
    Message answer;
    std::vector<unsigned char> payload;
    if (!Send(request, source) || !Receive(answer, payload, m_deadline != 0 ? m_deadline : Deadline())) return false;
    return answer.kind == Kind::Done && answer.words[0] == 1;
}

ModuleAddress IsolatedNativeLibrary::AllocateHostMemory(std::size_t size) {
    Message request;
    request.kind = Kind::Allocate;
    request.words[0] = size;
    Message answer;
    std::vector<unsigned char> payload;
    if (size <= isolated_protocol::kMaxPayload && Send(request) &&
        Receive(answer, payload, m_deadline != 0 ? m_deadline : Deadline()) && answer.kind == Kind::Allocated &&
        answer.words[0] != 0) {
        m_host_blocks.insert(answer.words[0]);
        return answer.words[0];
    }
    if (!m_faulted) Fault("crashed: its process answered out of turn");
    // Without the child there is no memory to lend; a distinct address
    // still, which no read or write reaches.
    const ModuleAddress stand_in = m_next_stand_in;
    m_next_stand_in += 16;
    return stand_in;
}

void IsolatedNativeLibrary::FreeHostMemory(ModuleAddress address) {
    if (m_host_blocks.erase(address) == 0 || m_faulted) return;
    Message request;
    request.kind = Kind::Free;
    request.words[0] = address;
    Send(request);
}
