// Platform layer of a Windows module library: the C runtime and user32.
#include "SEPlatform.h"

#include <windows.h>

#include <assert.h>

// The runtime's clock and rand, declared as what they are, imports of
// msvcrt.dll: each wrapper below is then one jump through the import slot,
// with no thunk between. clock_t is a 32-bit long there.
extern "C" __declspec(dllimport) long __cdecl clock(void);
extern "C" __declspec(dllimport) int __cdecl rand(void);

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
