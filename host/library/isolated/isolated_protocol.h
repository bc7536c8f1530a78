// The messages between semhost and the child process that holds a native
// module (isolated_library.cpp is the parent's side, isolated_child.cpp the
// child's). One byte stream carries them in order, each a fixed header and
// `length` bytes after it. The child answers every request; while it runs a
// call it may ask the parent first (the module's callback), and the parent
// may make further calls before it answers.
#pragma once

#include "platform/host_platform.h"

#include <cstddef>
#include <cstdint>

namespace isolated_protocol {

enum class Kind : std::uint32_t {
    // Parent to child.
    Call = 1,        // shape, words: function, arguments[5] (Dispatcher: 6 arguments, see below)
    CallbackResult,  // words[0]: the callback's result
    Allocate,        // words[0]: size; answered with Allocated
    Free,            // words[0]: address; not answered
    Read,            // words[0]: address, words[1]: size; answered with Data
    Write,           // words[0]: address, then `length` bytes; answered with Done
    Unload,          // the child unloads the library and ends
    // Child to parent.
    Started,     // the process runs and loads the library now
    Loaded,      // words: getModuleProperties, makeModule, the callback the module receives, 1 when its
                 // heap calls are counted; `length` bytes saying why they are not
    LoadFailed,  // shape: the ModuleLibrary::Status, then `length` bytes of text
    Returned,    // words[0]: the call's result; `length` bytes saying how it broke the calling convention, if it did
    Callback,    // words: record, opcode, index, value, ptr, opt's bits
    Allocated,   // words[0]: address
    Data,        // words[0]: 1 when read, then `length` bytes
    Done,        // words[0]: 1 when written
    Crashed,     // the child's last words: `length` bytes naming the fault ("access violation ...")
};

struct Message {
    Kind kind = Kind::Call;
    std::uint32_t shape = 0;
    // Child to parent: callbacks the module made from threads other than
    // the host's since the previous message (each answered 0).
    std::uint32_t foreign_callbacks = 0;
    std::uint32_t length = 0;
    // Child to parent: the module's heap calls counted so far (see
    // host_platform::CountHeapCalls).
    std::uint64_t heap_calls = 0;
    // A call's function and its arguments; the dispatcher, the widest
    // shape, takes six.
    std::uint64_t words[7] = {};
    // The key state as the sender leaves it: the receiver runs next, and
    // the module's key queries read and clear this state where it runs.
    host_platform::KeyStateRecord keys = {};
};

// Host memory and pipe-served reads and writes are limited to this many
// bytes per message, far beyond any record or text semhost lends.
constexpr std::size_t kMaxPayload = 1u << 24;

}  // namespace isolated_protocol
