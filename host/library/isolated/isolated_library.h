// The native back end where modules run apart from semhost: the library is
// loaded in a child process of its own (child_process.h: a fork on Linux, a
// second start of semhost.exe on Windows), which makes the calls it is asked
// to over a channel. A module that crashes, hangs, calls exit or breaks its
// heap ends or damages only that process; semhost reports it and goes on.
// Addresses are the child's pointers; its memory is read and written from
// outside (or, where the system refuses that, by the child itself).
#pragma once

#include "library/isolated/child_process.h"
#include "library/isolated/isolated_protocol.h"
#include "library/module_library.h"
#include "library/isolated/page_snapshot_memory.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

class IsolatedNativeLibrary : public ModuleLibrary {
public:
    // Starts the child and loads the file there; null and a one-line
    // problem (without the file's name) otherwise.
    static std::unique_ptr<IsolatedNativeLibrary> Open(const std::string& path, const LibraryOptions& options,
                                                       Status& status, std::string& problem);
    // Unloads the library (its destructors have the time limit too) and
    // ends the child.
    ~IsolatedNativeLibrary() override;

    // A fault here leaves semhost sound: validate goes on with a fresh copy.
    const char* back_end() const override { return "native (own process)"; }
    // Each call goes through a trampoline in the child (x86-64, i386).
    bool watches_registers() const override;
    // The child counts the calls the module makes to the heap's functions
    // it imports, where it could redirect them (heap_operations_unwatched says why not).
    bool counts_heap_operations() const override { return m_counts_heap_calls; }
    std::string heap_operations_unwatched() const override { return m_heap_calls_unwatched; }
    std::optional<std::uint64_t> HeapOperations() const override;
    ModuleAddress CallbackAddress() override { return m_callback; }
    bool RunOutermost(const std::function<void()>& body, const std::string& description,
                      std::string& fault) override;
    bool Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
              std::uint64_t& result) override;
    // A fault found outside the host's calls (the module's own thread
    // crashed it meanwhile) counts from the next call, which reports it.
    bool faulted() const override { return m_faulted && !m_fault_unreported; }
    bool Unload(std::string& fault) override;
    bool Read(ModuleAddress address, void* destination, std::size_t size) override;
    bool Write(ModuleAddress address, const void* source, std::size_t size) override;
    ModuleAddress AllocateHostMemory(std::size_t size) override;
    void FreeHostMemory(ModuleAddress address) override;

private:
    using Message = isolated_protocol::Message;

    IsolatedNativeLibrary(std::unique_ptr<ChildProcess> child, int time_limit_ms);
    long long Deadline() const;
    // The deadline of the outermost call, or a fresh one outside any.
    long long CallDeadline() const { return m_deadline != 0 ? m_deadline : Deadline(); }
    // Sends a request; false (and the library faulted) when the child is gone.
    bool Send(Message message, const void* payload = nullptr);
    // The child's next message, waiting until `deadline` at most; false,
    // with the library faulted and the child ended, when none comes.
    bool Receive(Message& message, std::vector<unsigned char>& payload, long long deadline);
    bool ReceiveExactly(void* destination, std::size_t size, long long deadline);
    // Ends the library's use: the fault text is kept, the child killed if
    // it still runs.
    void Fault(const std::string& text);
    // The child has ended (or closed its channel): reads how, and faults.
    void ChildEnded();
    std::string HungText() const;

    std::unique_ptr<ChildProcess> m_child;
    // Reads served from copies of the child's pages while it is stopped;
    // null where the child copies its own memory.
    std::unique_ptr<PageSnapshotMemory> m_memory;
    int m_time_limit_ms;
    bool m_faulted = false;
    bool m_fault_unreported = false;
    std::string m_fault;
    // Where the outermost call must have returned by (steady milliseconds).
    long long m_deadline = 0;
    ModuleAddress m_callback = 0;
    bool m_counts_heap_calls = false;
    std::string m_heap_calls_unwatched;
    std::uint64_t m_heap_calls = 0;  // as the child's last message gave it
    std::set<ModuleAddress> m_host_blocks;
    // Stand-ins handed out once the child is gone, never null.
    ModuleAddress m_next_stand_in = 0x10;
};
