// Platform layer of the shipped Windows library: the C runtime and user32.
#include "SEPlatform.h"

#include <windows.h>

#include <assert.h>
#include <stdlib.h>
#include <time.h>

namespace platform {

// The runtime's clock counts elapsed wall time since the process started,
// CLOCKS_PER_SEC (1000) ticks to the second.
std::int32_t Clock() { return static_cast<std::int32_t>(clock()); }

int Rand() { return rand(); }

std::int16_t AsyncKeyState(int virtual_key) { return GetAsyncKeyState(virtual_key); }

void ReportAssertion(const char* expression, const char* file, int line) {
    _assert(expression, file, static_cast<unsigned>(line));
}

}  // namespace platform
