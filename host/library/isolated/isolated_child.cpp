// The child process that holds a native module: it loads the library,
// answers semhost's requests on one socket and makes the calls it is asked
// to make. It is a fork of semhost, made by the thread that loads the
// module; only that thread exists here, so the code keeps to plain system
// calls, the C heap and dlopen, all usable in a fork's only thread.
#include "isolated_protocol.h"
#include "native/native_call.h"

#include "SEHostTypes.h"
#include "host_platform.h"
#include "module_library.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

// A sanitizer runtime, when present, calls this before it ends the process
// for a memory error it found.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace isolated_protocol {

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

}  // namespace isolated_protocol

namespace {

using isolated_protocol::Kind;
using isolated_protocol::Message;

int g_socket = -1;
long g_host_thread = 0;
// Calls of the host being run now; the module may call back only inside one.
int g_depth = 0;
std::atomic<std::uint32_t> g_foreign_callbacks{0};

long ThisThread() { return ::syscall(SYS_gettid); }

// Exchanges that cannot go on (the parent gone, a message out of turn) end
// the child: the parent sees the socket close.
[[noreturn]] void Leave(int code) { ::_exit(code); }

void Send(Message message, const void* payload = nullptr) {
    message.foreign_callbacks = g_foreign_callbacks.exchange(0);
    if (!isolated_protocol::SendAll(g_socket, &message, sizeof message)) Leave(0);
    if (message.length > 0 && !isolated_protocol::SendAll(g_socket, payload, message.length)) Leave(0);
}

void ReceiveExactly(void* destination, std::size_t size) {
    char* bytes = static_cast<char*>(destination);
    while (size > 0) {
        const ssize_t got = ::read(g_socket, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) Leave(0);
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
}

void* Pointer(std::uint64_t word) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word)); }

// Memory lent to the module lies apart from the heap, in pages of its own
// with an inaccessible page after them: a module that writes far past a
// record faults in its own call, and cannot break the heap this process
// needs to go on answering. Zero-filled, page-aligned, never empty.
std::map<void*, std::size_t> g_lent_pages;

void* LendPages(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t usable = (size + page) / page * page;  // at least one page, even for 0 bytes
    void* start = ::mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) return nullptr;
    ::mprotect(static_cast<char*>(start) + usable, page, PROT_NONE);
    g_lent_pages[start] = usable + page;
    return start;
}

void ReturnPages(void* block) {
    const auto lent = g_lent_pages.find(block);
    if (lent == g_lent_pages.end()) return;
    ::munmap(lent->first, lent->second);
    g_lent_pages.erase(lent);
}

// A call's message holds the function, then the words of its arguments.
static_assert(sizeof(Message::words) / sizeof(Message::words[0]) == 1 + kMaxCallWords);

std::uint64_t Invoke(const Message& call) {
    std::uint64_t words[kMaxCallWords];
    std::memcpy(words, call.words + 1, sizeof words);
    ++g_depth;
    const std::uint64_t result = CallNativeFunction(call.words[0], static_cast<CallShape>(call.shape), words);
    --g_depth;
    return result;
}

// Answers the parent's requests until the answer of kind `awaited` comes
// (Kind::Loaded: never), and gives its first word.
std::uint64_t Serve(Kind awaited) {
    std::vector<unsigned char> payload;
    for (;;) {
        Message request;
        ReceiveExactly(&request, sizeof request);
        if (request.length > isolated_protocol::kMaxPayload) Leave(125);
        payload.resize(request.length);
        if (request.length > 0) ReceiveExactly(payload.data(), request.length);
        Message answer;
        switch (request.kind) {
        case Kind::Call:
            answer.kind = Kind::Returned;
            answer.words[0] = Invoke(request);
            Send(answer);
            break;
        case Kind::CallbackResult:
        case Kind::KeyState:
            if (request.kind != awaited) Leave(125);
            return request.words[0];
        case Kind::Allocate: {
            const std::size_t size = static_cast<std::size_t>(request.words[0]);
            void* block = size <= isolated_protocol::kMaxPayload ? LendPages(size) : nullptr;
            if (block == nullptr) Leave(124);
            answer.kind = Kind::Allocated;
            answer.words[0] = reinterpret_cast<std::uintptr_t>(block);
            Send(answer);
            break;
        }
        case Kind::Free:
            ReturnPages(Pointer(request.words[0]));
            break;
        case Kind::Read: {
            const std::size_t size = static_cast<std::size_t>(request.words[1]);
            if (size > isolated_protocol::kMaxPayload) Leave(125);
            std::vector<unsigned char> bytes(size);
            answer.kind = Kind::Data;
            if (host_platform::ReadProcessBytes(static_cast<std::uintptr_t>(request.words[0]), bytes.data(), size)) {
                answer.words[0] = 1;
                answer.length = static_cast<std::uint32_t>(size);
            }
            Send(answer, bytes.data());
            break;
        }
        case Kind::Write:
            answer.kind = Kind::Done;
            answer.words[0] = host_platform::WriteProcessBytes(static_cast<std::uintptr_t>(request.words[0]),
                                                               payload.data(), payload.size())
                                  ? 1
                                  : 0;
            Send(answer);
            break;
        case Kind::Unload:
            return 0;
        default:
            Leave(125);
        }
    }
}

// The host's callback as the module receives it. Only the thread the host
// calls on may use it, and only inside a call; any other use is answered 0
// and counted for the parent.
HostResult SE_CALL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                            float opt) {
    if (ThisThread() != g_host_thread || g_depth == 0) {
        g_foreign_callbacks.fetch_add(1);
        return 0;
    }
    Message message;
    message.kind = Kind::Callback;
    std::uint32_t bits;
    std::memcpy(&bits, &opt, sizeof bits);
    message.words[0] = reinterpret_cast<std::uintptr_t>(record);
    message.words[1] = static_cast<std::uint64_t>(static_cast<std::int64_t>(opcode));
    message.words[2] = static_cast<std::uint64_t>(static_cast<std::int64_t>(index));
    message.words[3] = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    message.words[4] = reinterpret_cast<std::uintptr_t>(ptr);
    message.words[5] = bits;
    Send(message);
    return static_cast<HostResult>(Serve(Kind::CallbackResult));
}

// The key state the module reads is the parent's, where scripts hold keys.
std::int16_t KeyStateOfParent(int virtual_key) {
    if (ThisThread() != g_host_thread || g_depth == 0) return 0;
    Message message;
    message.kind = Kind::KeyQuery;
    message.words[0] = static_cast<std::uint64_t>(static_cast<std::int64_t>(virtual_key));
    Send(message);
    return static_cast<std::int16_t>(Serve(Kind::KeyState));
}

// An exit called by the module ends the child at once with its status: the
// exit handlers of semhost's own copy (test runners, leak checks) must not
// run here. The module's own ones, registered later, have run before.
void EndAtExit(int status, void*) { ::_exit(status); }

// A memory error a sanitizer reports is a crash of the module.
void DieAsAborted() {
    ::signal(SIGABRT, SIG_DFL);
    ::raise(SIGABRT);
}

void PrepareProcess(int socket) {
    // The child ends with semhost, whatever ends semhost.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Nothing of the parent's stays open but the standard streams: another
    // module's socket held here would keep that child from seeing its end.
    if (socket > 3) ::close_range(3, static_cast<unsigned>(socket) - 1, 0);
    ::close_range(static_cast<unsigned>(socket) + 1, ~0u, 0);
    // Faults end the process with their signal, which the parent reads.
    for (int signal_number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGPIPE, SIGTERM, SIGINT}) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::on_exit(EndAtExit, nullptr);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(DieAsAborted);
    host_platform::SetKeyStateSource(KeyStateOfParent);
}

}  // namespace

void RunIsolatedChild(int socket, const std::string& path) {
    g_socket = socket;
    g_host_thread = ThisThread();
    PrepareProcess(socket);

    Message answer;
    std::string problem;
    void* handle = host_platform::OpenLibrary(path, problem);
    void* get_module_properties = handle != nullptr ? host_platform::FindExport(handle, "getModuleProperties") : nullptr;
    void* make_module = handle != nullptr ? host_platform::FindExport(handle, "makeModule") : nullptr;
    if (handle == nullptr) {
        answer.shape = static_cast<std::uint32_t>(ModuleLibrary::Status::NotLoadable);
    } else if (get_module_properties == nullptr || make_module == nullptr) {
        answer.shape = static_cast<std::uint32_t>(ModuleLibrary::Status::MissingExport);
        problem = std::string("lacks the export \"") + (get_module_properties == nullptr ? "getModuleProperties" : "makeModule") + "\"";
    }
    if (!problem.empty()) {
        answer.kind = Kind::LoadFailed;
        answer.length = static_cast<std::uint32_t>(problem.size());
        Send(answer, problem.data());
        Leave(0);
    }
    answer.kind = Kind::Loaded;
    answer.words[0] = reinterpret_cast<std::uintptr_t>(get_module_properties);
    answer.words[1] = reinterpret_cast<std::uintptr_t>(make_module);
    answer.words[2] = reinterpret_cast<std::uintptr_t>(&Callback);
    Send(answer);
    Serve(Kind::Loaded);
    // Unloading runs the module's destructors; the parent watches the time.
    host_platform::CloseLibrary(handle);
    Leave(0);
}
