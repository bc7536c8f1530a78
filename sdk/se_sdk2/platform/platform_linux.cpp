// Platform layer of a native Linux module library: the monotonic clock, the
// C runtime's rand, the loading process's key state and a stopping report.
#include "SEPlatform.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {

namespace {

std::int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Elapsed real time is counted from the moment the library is loaded;
// processor time would not match intervals given in milliseconds.
const std::int64_t g_load_time = MonotonicMilliseconds();

// The loading process's key state, if it provides one; its executable's
// symbols are visible by the time the library is loaded.
const PlatformKeyStateFunction g_key_state =
    reinterpret_cast<PlatformKeyStateFunction>(dlsym(RTLD_DEFAULT, PLATFORM_KEY_STATE_SYMBOL));

}  // namespace

std::int32_t Clock() {
    // Two's-complement wrap of the 64-bit count, as a 32-bit tick counter would.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(MonotonicMilliseconds() - g_load_time));
}

int Rand() { return std::rand(); }

std::int16_t AsyncKeyState(int virtual_key) {
    return g_key_state != nullptr ? g_key_state(virtual_key) : 0;
}

void ReportAssertion(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
    std::abort();
}

}  // namespace platform
