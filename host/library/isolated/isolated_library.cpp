#include "library/isolated/isolated_library.h"

#include "platform/host_platform.h"
#include "library/native/exported_names.h"
#include "library/native/native_call.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>

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

// The time a child process may take to start, before the module's load:
// a program start under a loaded system can take seconds.
constexpr long long kStartLimitMs = 60'000;

// Whether `address .. +size` lies within this process's pointer width,
// which is the child's: a 32-bit semhost.exe must not cut off high bits.
bool WithinAddressSpace(ModuleAddress address, std::size_t size) {
    constexpr ModuleAddress kTop = std::numeric_limits<std::uintptr_t>::max();
    return address <= kTop && size <= kTop - address;
}

}  // namespace

IsolatedNativeLibrary::IsolatedNativeLibrary(std::unique_ptr<ChildProcess> child, int time_limit_ms)
    : ModuleLibrary(kNativeLayout), m_child(std::move(child)), m_time_limit_ms(time_limit_ms > 0 ? time_limit_ms : 1) {
    if (RemoteMemory* memory = m_child->memory()) m_memory = std::make_unique<PageSnapshotMemory>(*memory);
}

std::unique_ptr<IsolatedNativeLibrary> IsolatedNativeLibrary::Open(const std::string& path,
                                                                   const LibraryOptions& options, Status& status,
                                                                   std::string& problem) {
    std::unique_ptr<ChildProcess> child = StartChildProcess(path, problem);
    if (child == nullptr) {
        status = Status::NotLoadable;
        return nullptr;
    }
    std::unique_ptr<IsolatedNativeLibrary> library(new IsolatedNativeLibrary(std::move(child), options.time_limit_ms));
    library->m_path = path;

    Message answer;
    std::vector<unsigned char> payload;
    library->m_deadline = NowMs() + kStartLimitMs;
    bool answered = library->Receive(answer, payload, library->m_deadline);
    if (answered && answer.kind == Kind::Started) {
        // The load is a call of its own: the constructors run now.
        library->m_deadline = library->Deadline();
        answered = library->Receive(answer, payload, library->m_deadline);
    } else if (answered) {
        library->Fault("crashed: its process answered out of turn");
    }
    if (answered && answer.kind != Kind::Loaded && answer.kind != Kind::LoadFailed)
        library->Fault("crashed: its process answered out of turn");
    library->m_deadline = 0;
    if (library->m_faulted) {
        status = Status::Faulted;
        problem = "the module " + library->m_fault + " while loading";
        return nullptr;
    }
    if (answer.kind == Kind::LoadFailed) {
        status = static_cast<Status>(answer.shape);
        problem.assign(payload.begin(), payload.end());
        return nullptr;
    }
    library->m_get_module_properties = answer.words[0];
    library->m_make_module = answer.words[1];
    library->m_callback = answer.words[2];
    library->m_counts_heap_calls = answer.words[3] == 1;
    library->m_heap_calls_unwatched.assign(payload.begin(), payload.end());
    std::vector<std::string> exported;
    if (ReadExportedNames(path, exported, library->m_exports_problem)) library->m_exported_names = std::move(exported);
    status = Status::Loaded;
    return library;
}

IsolatedNativeLibrary::~IsolatedNativeLibrary() {
    std::string fault;
    if (!Unload(fault)) std::cerr << "semhost: " << m_path << ": the module " << fault << " while unloading\n";
}

bool IsolatedNativeLibrary::Unload(std::string& fault) {
    fault.clear();
    if (!m_child->running()) return true;
    Message unload;
    unload.kind = Kind::Unload;
    if (m_faulted || !Send(unload)) {
        m_child->Kill();
        return true;
    }
    // The library's destructors run now; a hang there is ended too.
    std::string how;
    if (!m_child->AwaitEnd(Deadline(), how))
        fault = HungText();
    else if (how != "ended the process (exit 0)")
        fault = how;
    if (fault.empty()) return true;
    m_faulted = true;
    m_fault = fault;
    return false;
}

bool IsolatedNativeLibrary::watches_registers() const { return CanCheckNativeCalls(); }

long long IsolatedNativeLibrary::Deadline() const { return NowMs() + m_time_limit_ms; }

std::string IsolatedNativeLibrary::HungText() const { return "hung: did not return within " + Seconds(m_time_limit_ms); }

void IsolatedNativeLibrary::Fault(const std::string& text) {
    if (!m_faulted) {
        m_faulted = true;
        m_fault = text;
        if (m_deadline == 0) {
            m_fault_unreported = true;
            m_fault += " between the host's calls, noticed";
        }
    }
    m_child->Kill();
}

void IsolatedNativeLibrary::ChildEnded() {
    // The channel closes as the process ends; give it a moment to be gone
    // (a module that closed the channel itself is ended here).
    std::string how;
    if (m_child->AwaitEnd(NowMs() + 1000, how))
        Fault(how);
    else
        Fault("crashed: its process stopped answering");
}

bool IsolatedNativeLibrary::Send(Message message, const void* payload) {
    if (m_faulted) return false;
    // The child may run from here on: what was read of its memory may change.
    if (m_memory != nullptr) m_memory->Forget();
    // The child runs next; the key state goes with the turn.
    host_platform::SaveKeyState(message.keys);
    if (m_child->Send(&message, sizeof message) &&
        (message.length == 0 || m_child->Send(payload, message.length)))
        return true;
    ChildEnded();
    return false;
}

bool IsolatedNativeLibrary::ReceiveExactly(void* destination, std::size_t size, long long deadline) {
    switch (m_child->Receive(destination, size, deadline)) {
    case ChildProcess::Received::Whole:
        return true;
    case ChildProcess::Received::TimedOut:
        Fault(HungText());
        return false;
    case ChildProcess::Received::Ended:
        break;
    }
    ChildEnded();
    return false;
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
    if (message.kind == Kind::Crashed) {
        // The child's fault handler names the fault, then ends the process.
        Fault("crashed: " + std::string(payload.begin(), payload.end()));
        return false;
    }
    if (message.foreign_callbacks > 0) {
        // The child answered those calls with 0; the module cannot be
        // trusted with its objects afterwards.
        Fault("broke the host contract: called the host's callback from a thread other than the one the host "
              "called it on (answered 0)");
        return false;
    }
    host_platform::LoadKeyState(message.keys);
    m_heap_calls = message.heap_calls;
    return true;
}

std::optional<std::uint64_t> IsolatedNativeLibrary::HeapOperations() const {
    if (!m_counts_heap_calls) return std::nullopt;
    return m_heap_calls;
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
    const long long deadline = CallDeadline();
    std::vector<unsigned char> payload;
    bool returned = false;
    while (!returned) {
        Message message;
        if (!Receive(message, payload, deadline)) break;
        switch (message.kind) {
        case Kind::Returned:
            result = message.words[0];
            returned = true;
            // The child's registers are its own again; the module's state
            // is not to be trusted, as after any fault.
            if (!payload.empty())
                Fault(kConventionFault + DescribeAddress(function) + " " + std::string(payload.begin(), payload.end()));
            break;
        case Kind::Callback: {
            const std::int64_t value =
                RunCallback(message.words[0], static_cast<std::int32_t>(message.words[1]),
                            static_cast<std::int32_t>(message.words[2]), static_cast<std::int32_t>(message.words[3]),
                            message.words[4], FloatOfCallWord(message.words[5]));
            Message answer;
            answer.kind = Kind::CallbackResult;
            answer.words[0] = static_cast<std::uint64_t>(value);
            Send(answer);
            break;
        }
        default:
            Fault("crashed: its process answered out of turn");
            break;
        }
        if (m_faulted) break;
    }
    if (m_faulted) result = 0;
    return returned && !m_faulted;
}

bool IsolatedNativeLibrary::Read(ModuleAddress address, void* destination, std::size_t size) {
    if (size == 0) return true;
    if (!WithinAddressSpace(address, size) || !m_child->running() || m_faulted) return false;
    if (m_memory != nullptr) return m_memory->Read(static_cast<std::uintptr_t>(address), destination, size);
    if (size > isolated_protocol::kMaxPayload) return false;
    Message request;
    request.kind = Kind::Read;
    request.words[0] = address;
    request.words[1] = size;
    Message answer;
    std::vector<unsigned char> payload;
    if (!Send(request) || !Receive(answer, payload, CallDeadline())) return false;
    if (answer.kind != Kind::Data || answer.words[0] != 1 || payload.size() != size) return false;
    std::memcpy(destination, payload.data(), size);
    return true;
}

bool IsolatedNativeLibrary::Write(ModuleAddress address, const void* source, std::size_t size) {
    if (size == 0) return true;
    if (!WithinAddressSpace(address, size) || !m_child->running() || m_faulted) return false;
    if (m_memory != nullptr) return m_memory->Write(static_cast<std::uintptr_t>(address), source, size);
    if (size > isolated_protocol::kMaxPayload) return false;
    Message request;
    request.kind = Kind::Write;
    request.words[0] = address;
    request.length = static_cast<std::uint32_t>(size);
    Message answer;
    std::vector<unsigned char> payload;
    if (!Send(request, source) || !Receive(answer, payload, CallDeadline())) return false;
    return answer.kind == Kind::Done && answer.words[0] == 1;
}

ModuleAddress IsolatedNativeLibrary::AllocateHostMemory(std::size_t size) {
    Message request;
    request.kind = Kind::Allocate;
    request.words[0] = size;
    Message answer;
    std::vector<unsigned char> payload;
    if (size <= isolated_protocol::kMaxPayload && Send(request) && Receive(answer, payload, CallDeadline()) &&
        answer.kind == Kind::Allocated && answer.words[0] != 0) {
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
