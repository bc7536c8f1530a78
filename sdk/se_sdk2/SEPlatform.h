// The framework's platform seam: every call a module and its framework make
// to the operating system or the C runtime goes through these four
// functions. The framework declares them; each module library provides the
// implementation for its target, and unit tests link a fake one that sets
// time, keys and random numbers exactly and captures assertion reports.
#pragma once

#include <cstdint>

namespace platform {

// Elapsed real time in ticks of 1000 per second. Wraps as a 32-bit count.
std::int32_t Clock();

// The runtime's pseudo-random generator: a non-negative integer. Never seeded
// by the module.
int Rand();

// The 16-bit asynchronous state of a virtual key: top bit while it is down,
// lowest bit when it was pressed since the previous query of that key.
// On 32-bit Windows it has user32's own convention (stdcall), so that the
// shipped library's AsyncKeyState passes the call on as a jump.
#if defined(_WIN32) && !defined(_WIN64)
#define PLATFORM_KEY_STATE_CALL __stdcall
#else
#define PLATFORM_KEY_STATE_CALL
#endif
std::int16_t PLATFORM_KEY_STATE_CALL AsyncKeyState(int virtual_key);

// The virtual key a module asks for by AsyncKeyState, and a host holds.
constexpr int kVirtualKeyControl = 17;

// Reports a broken host contract: the expression's text, the framework
// source's file name (no path) and its line. The real report stops the
// program; a test's report returns, and callers must then stop safely.
void ReportAssertion(const char* expression, const char* file, int line);

}  // namespace platform

// On Linux there is no system-wide key state. The loading process provides
// one by exporting a function of this name and type (for example a host
// stand-in that holds Ctrl); without it every key reads as up.
// A host defines it as `extern "C" std::int16_t PLATFORM_KEY_STATE_FUNCTION(int)`;
// a module looks it up by PLATFORM_KEY_STATE_SYMBOL.
#define PLATFORM_KEY_STATE_FUNCTION se_host_async_key_state
#define PLATFORM_KEY_STATE_TEXT(name) #name
#define PLATFORM_KEY_STATE_NAME(name) PLATFORM_KEY_STATE_TEXT(name)
#define PLATFORM_KEY_STATE_SYMBOL PLATFORM_KEY_STATE_NAME(PLATFORM_KEY_STATE_FUNCTION)
extern "C" typedef std::int16_t (*PlatformKeyStateFunction)(int virtual_key);
