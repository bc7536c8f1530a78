// A call into a library loaded in this process, by the function's shape:
// the 64-bit words of the seam become the C arguments of that shape.
#pragma once

#include "module_library.h"

#include <cstdint>

// The most words any shape takes (a dispatcher's six).
inline constexpr unsigned kMaxCallWords = 6;

// Calls `function` with `words[0 .. kMaxCallWords)` as its shape reads them
// and returns its result as a word (a bool as 0 or 1).
std::uint64_t CallNativeFunction(ModuleAddress function, CallShape shape, const std::uint64_t (&words)[kMaxCallWords]);
