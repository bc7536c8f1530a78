// The process that holds an isolated module, as semhost sees it: what
// differs between platforms (how it starts, how bytes cross to it and back
// with a deadline, how its end is read, how its memory is reached).
// IsolatedNativeLibrary holds everything else, the same on every platform.
#pragma once

#include "library/isolated/remote_memory.h"

#include <cstddef>
#include <memory>
#include <string>

class ChildProcess {
public:
    enum class Received { Whole, Ended, TimedOut };

    // Kills the process if it still runs, and reaps it.
    virtual ~ChildProcess() = default;

    // Writes all of `size` bytes; false when the child is gone.
    virtual bool Send(const void* data, std::size_t size) = 0;
    // Reads exactly `size` bytes, waiting until `deadline` (steady
    // milliseconds) at most. Ended: the channel closed or the process
    // ended before they came.
    virtual Received Receive(void* destination, std::size_t size, long long deadline) = 0;
    // Waits until the process ends by itself or `deadline` passes, then
    // kills it. True when it ended by itself, with `how` in the words of a
    // fault text: "crashed: SIGSEGV (invalid memory access)", "ended the
    // process (exit 3)".
    virtual bool AwaitEnd(long long deadline, std::string& how) = 0;
    // Ends the process now and reaps it; nothing once it has ended.
    virtual void Kill() = 0;
    virtual bool running() const = 0;

    // The child's memory from outside; null where the system refuses that
    // (then the child copies its memory itself, on request).
    virtual RemoteMemory* memory() = 0;
};

// Starts a child process that loads the native library at `path` and
// answers on its channel. Null, with a one-line problem, when no process
// could be started.
std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path, std::string& problem);
