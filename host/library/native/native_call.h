// A call into a library loaded in this process, by the function's shape:
// the 64-bit words of the seam become the C arguments of that shape.
#pragma once

#include "library/module_library.h"

#include <cstdint>
#include <string>

// The most words any shape takes (a dispatcher's six).
inline constexpr unsigned kMaxCallWords = 6;

// Calls `function` with `words[0 .. kMaxCallWords)` as its shape reads them
// and returns its result as a word (a bool as 0 or 1).
std::uint64_t CallNativeFunction(ModuleAddress function, CallShape shape, const std::uint64_t (&words)[kMaxCallWords]);

// Whether this processor's calls can be checked (x86-64 and i386).
bool CanCheckNativeCalls();

// Calls as CallNativeFunction does, through a trampoline that fills the
// registers a callee must keep with recognisable values before the call
// and compares them, the stack pointer and the direction flag after it:
// RBX, RBP, R12 to R15 and RSP on x86-64; EBX, ESI, EDI, EBP and ESP on
// i386. `broken` says what the function changed ("changed RBX (0x... ->
// 0x...)", "popped 24 bytes of its arguments ..."), or is empty. The
// caller's own registers are put back either way.
std::uint64_t CallNativeFunctionChecked(ModuleAddress function, CallShape shape,
                                        const std::uint64_t (&words)[kMaxCallWords], std::string& broken);
