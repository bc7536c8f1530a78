// The child process's side of an isolated module: a request server, the
// same on every platform. The platform starts the process, readies it
// (child_process_posix.cpp, child_process_windows.cpp) and hands over the
// channel to semhost.
#pragma once

#include <cstddef>
#include <string>

class ParentChannel {
public:
    virtual ~ParentChannel() = default;
    // Blocking, whole: false when semhost is gone.
    virtual bool Write(const void* data, std::size_t size) = 0;
    virtual bool Read(void* destination, std::size_t size) = 0;
};

// Loads `path`, answers on `channel` until semhost has it unload the
// library, and ends the process.
[[noreturn]] void RunIsolatedChild(ParentChannel& channel, const std::string& path);

// The child's last message, for a fault handler that is about to end the
// process: `fault` names the fault ("access violation ..."), which semhost
// then reports as the module's crash. Nothing when no channel is open yet.
void SendLastWords(const std::string& fault);
