// The benchmarks' platform: a clock that is a plain counter, no key ever
// down and a cheap generator, so that an operation's cost is the module's
// and the host's, not the system's.
#include "bench_support.h"
#include "SEPlatform.h"

namespace bench {
std::int32_t clock_ticks = 0;
}

namespace platform {

std::int32_t Clock() { return bench::clock_ticks; }

int Rand() {
    static unsigned state = 1;
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state >> 16) & 0x7FFF);
}

std::int16_t AsyncKeyState(int) { return 0; }

void ReportAssertion(const char*, const char*, int) {}

}  // namespace platform
