#include "fuzz_platform.h"

#include "fuzz_entry_points.h"
#include "fuzz_input.h"
#include "SEPlatform.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

Input g_no_input(nullptr, 0);
Input* g_input = &g_no_input;

std::int32_t g_clock = 0;
int g_assertions = 0;

}  // namespace

Input& CurrentInput() { return *g_input; }

void SetCurrentInput(Input* input) { g_input = input != nullptr ? input : &g_no_input; }

void ResetPlatform(std::int32_t start_ticks) {
    g_clock = start_ticks;
    g_assertions = 0;
}

int AssertionCount() { return g_assertions; }

void ProtocolFault(const char* what) {
    std::fprintf(stderr, "protocol fault: %s\n", what);
    std::abort();
}

}  // namespace fuzz

namespace platform {

// Mostly small steps forward, so that double clicks happen; sometimes a
// large step, and sometimes a jump to any tick, wrap and backwards included.
std::int32_t Clock() {
    fuzz::Input& input = fuzz::CurrentInput();
    const std::uint8_t step = input.Byte();
    std::uint32_t ticks = static_cast<std::uint32_t>(fuzz::g_clock);
    if (step < 0xC0) {
        ticks += step;
    } else if (step < 0xF0) {
        ticks += input.Word() % 100000u;
    } else {
        ticks = input.Word();
    }
    fuzz::g_clock = static_cast<std::int32_t>(ticks);
    return fuzz::g_clock;
}

// Any non-negative value, as the runtime's generator gives.
int Rand() { return static_cast<int>(fuzz::CurrentInput().Word() & 0x7FFFFFFFu); }

// Down (top bit) and pressed-since-last-query (lowest bit) in any mix, plus
// the bits between, which a real system leaves zero but a test need not.
std::int16_t AsyncKeyState(int) {
    const std::uint8_t bits = fuzz::CurrentInput().Byte();
    return static_cast<std::int16_t>(((bits & 0x80u) << 8) | (bits & 0x41u));
}

void ReportAssertion(const char* expression, const char* file, int line) {
    ++fuzz::g_assertions;
    if (std::getenv("QUILL_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "assertion: %s, file %s, line %d\n", expression, file, line);
}

}  // namespace platform
