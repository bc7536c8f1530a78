// The child process that holds a native module: it loads the library,
// answers semhost's requests on one channel and makes the calls it is asked
// to make. Only the thread that serves semhost runs host code here; the
// code keeps to the C heap, the channel and the loader, all sound in a
// fork's only thread too.
#include "library/isolated/isolated_child.h"

#include "library/isolated/isolated_protocol.h"
#include "library/native/native_call.h"

#include "SEHostTypes.h"
#include "platform/host_platform.h"
#include "library/module_library.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

namespace {

using isolated_protocol::Kind;
using isolated_protocol::Message;

ParentChannel* g_channel = nullptr;
std::thread::id g_host_thread;
// Calls of the host being run now; the module may call back only inside one.
int g_depth = 0;
std::atomic<std::uint32_t> g_foreign_callbacks{0};

// Exchanges that cannot go on (the parent gone, a message out of turn) end
// the child: the parent sees the channel close.
[[noreturn]] void Leave(int code) { std::_Exit(code); }

void Send(Message message, const void* payload = nullptr) {
    message.foreign_callbacks = g_foreign_callbacks.exchange(0);
    message.heap_calls = host_platform::HeapCallsCounted();
    // The parent runs next; the key state goes with the turn.
    host_platform::SaveKeyState(message.keys);
    if (!g_channel->Write(&message, sizeof message)) Leave(0);
    if (message.length > 0 && !g_channel->Write(payload, message.length)) Leave(0);
}

void Receive(Message& message, std::vector<unsigned char>& payload) {
    if (!g_channel->Read(&message, sizeof message)) Leave(0);
    if (message.length > isolated_protocol::kMaxPayload) Leave(125);
    payload.resize(message.length);
    if (message.length > 0 && !g_channel->Read(payload.data(), message.length)) Leave(0);
    host_platform::LoadKeyState(message.keys);
}

void* Pointer(std::uint64_t word) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word)); }

// Memory lent to the module lies apart from the heap, in pages of its own
// with an inaccessible page after them: a module that writes far past a
// record faults in its own call, and cannot break the heap this process
// needs to go on answering. Zero-filled, page-aligned, never empty.
std::map<void*, std::size_t> g_lent_pages;

#if defined(_WIN32)
std::size_t PageSize() {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    return system.dwPageSize;
}
void* MapPages(std::size_t size) { return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }
void ProtectPage(void* page, std::size_t size) {
    DWORD was;
    ::VirtualProtect(page, size, PAGE_NOACCESS, &was);
}
void UnmapPages(void* start, std::size_t) { ::VirtualFree(start, 0, MEM_RELEASE); }
#else
std::size_t PageSize() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
void* MapPages(std::size_t size) {
    void* start = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return start == MAP_FAILED ? nullptr : start;
}
void ProtectPage(void* page, std::size_t size) { ::mprotect(page, size, PROT_NONE); }
void UnmapPages(void* start, std::size_t size) { ::munmap(start, size); }
#endif

void* LendPages(std::size_t size) {
    const std::size_t page = PageSize();
    const std::size_t usable = (size + page) / page * page;  // at least one page, even for 0 bytes
    void* start = MapPages(usable + page);
    if (start == nullptr) return nullptr;
    ProtectPage(static_cast<char*>(start) + usable, page);
    g_lent_pages[start] = usable + page;
    return start;
}

void ReturnPages(void* block) {
    const auto lent = g_lent_pages.find(block);
    if (lent == g_lent_pages.end()) return;
    UnmapPages(lent->first, lent->second);
    g_lent_pages.erase(lent);
}

// A call's message holds the function, then the words of its arguments.
static_assert(sizeof(Message::words) / sizeof(Message::words[0]) == 1 + kMaxCallWords);

// Makes the call, checking the registers the module must keep; `broken`
// says what it changed, or is empty.
std::uint64_t Invoke(const Message& call, std::string& broken) {
    std::uint64_t words[kMaxCallWords];
    std::memcpy(words, call.words + 1, sizeof words);
    ++g_depth;
    const std::uint64_t result =
        CallNativeFunctionChecked(call.words[0], static_cast<CallShape>(call.shape), words, broken);
    --g_depth;
    return result;
}

// Answers the parent's requests until a callback's result comes (when
// `awaiting_callback`) or the parent has the library unloaded, and gives
// the result.
std::uint64_t Serve(bool awaiting_callback) {
    std::vector<unsigned char> payload;
    for (;;) {
        Message request;
        Receive(request, payload);
        Message answer;
        switch (request.kind) {
        case Kind::Call: {
            std::string broken;
            answer.kind = Kind::Returned;
            answer.words[0] = Invoke(request, broken);
            answer.length = static_cast<std::uint32_t>(broken.size());
            Send(answer, broken.data());
            break;
        }
        case Kind::CallbackResult:
            if (!awaiting_callback) Leave(125);
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
            if (awaiting_callback) Leave(125);
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
    if (std::this_thread::get_id() != g_host_thread || g_depth == 0) {
        g_foreign_callbacks.fetch_add(1);
        return 0;
    }
    Message message;
    message.kind = Kind::Callback;
    message.words[0] = reinterpret_cast<std::uintptr_t>(record);
    message.words[1] = static_cast<std::uint64_t>(static_cast<std::int64_t>(opcode));
    message.words[2] = static_cast<std::uint64_t>(static_cast<std::int64_t>(index));
    message.words[3] = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    message.words[4] = reinterpret_cast<std::uintptr_t>(ptr);
    message.words[5] = CallWordOfFloat(opt);
    Send(message);
    return static_cast<HostResult>(Serve(true));
}

}  // namespace

void SendLastWords(const std::string& fault) {
    if (g_channel == nullptr) return;
    Message message;
    message.kind = Kind::Crashed;
    message.length = static_cast<std::uint32_t>(fault.size());
    g_channel->Write(&message, sizeof message);
    g_channel->Write(fault.data(), fault.size());
}

void RunIsolatedChild(ParentChannel& channel, const std::string& path) {
    g_channel = &channel;
    g_host_thread = std::this_thread::get_id();

    Message answer;
    // The time limit of the load starts here, not with the process: a
    // program start may take a while (Windows) that is not the module's.
    answer.kind = Kind::Started;
    Send(answer);
    std::string problem;
    bool faulted = false;
    void* handle = host_platform::OpenLibrary(path, problem, faulted);
    void* get_module_properties = handle != nullptr ? host_platform::FindExport(handle, "getModuleProperties") : nullptr;
    void* make_module = handle != nullptr ? host_platform::FindExport(handle, "makeModule") : nullptr;
    if (handle == nullptr && faulted) {
        // Reported as a crash at load that ended the process would be.
        answer.shape = static_cast<std::uint32_t>(ModuleLibrary::Status::Faulted);
        problem = "the module " + problem + " while loading";
    } else if (handle == nullptr) {
        answer.shape = static_cast<std::uint32_t>(ModuleLibrary::Status::NotLoadable);
    } else if (get_module_properties == nullptr || make_module == nullptr) {
        answer.shape = static_cast<std::uint32_t>(ModuleLibrary::Status::MissingExport);
        problem = std::string("lacks the export \"") +
                  (get_module_properties == nullptr ? "getModuleProperties" : "makeModule") + "\"";
    }
    if (!problem.empty()) {
        answer.kind = Kind::LoadFailed;
        answer.length = static_cast<std::uint32_t>(problem.size());
        Send(answer, problem.data());
        Leave(0);
    }
    // The module's constructors have run: from here on its heap calls are
    // counted, for the host to tell which of them a processing run made.
    std::string uncounted;
    answer.kind = Kind::Loaded;
    answer.words[0] = reinterpret_cast<std::uintptr_t>(get_module_properties);
    answer.words[1] = reinterpret_cast<std::uintptr_t>(make_module);
    answer.words[2] = reinterpret_cast<std::uintptr_t>(&Callback);
    answer.words[3] = host_platform::CountHeapCalls(handle, uncounted) ? 1 : 0;
    answer.length = static_cast<std::uint32_t>(uncounted.size());
    Send(answer, uncounted.data());
    Serve(false);
    // Unloading runs the module's destructors; the parent watches the time.
    host_platform::CloseLibrary(handle);
    Leave(0);
}
