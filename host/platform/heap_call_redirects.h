// The functions a native module allocates and frees with, by the names it
// imports them under, each with a stand-in that counts the call and then
// calls the function the module's import pointed at before. Both systems'
// redirections (heap_calls_posix.cpp, heap_calls_windows.cpp) point the
// module's imports of these names at the stand-ins.
#pragma once

#include <cstdint>
#include <vector>

namespace heap_calls {

struct Redirect {
    const char* name;
    void* stand_in;
    // Where the stand-in finds the function it calls: set from the import
    // before the import is pointed at the stand-in.
    void** original;
};

// The C heap's functions and the global operators new and delete, under
// the link names of both pointer widths.
const std::vector<Redirect>& Redirects();

// The calls counted so far: an allocation or a free counts one, a resize
// both.
std::uint64_t Count();

}  // namespace heap_calls
