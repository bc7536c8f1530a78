// The platform layer of the fuzz targets: the tick clock, the key state and
// the random numbers come from the fuzzer's input, and assertion reports are
// counted and return, so that every contract-failure path runs on to its end.
#pragma once

#include <cstdint>

namespace fuzz {

// Starts a run: clock at `start_ticks`, no reports counted.
void ResetPlatform(std::int32_t start_ticks);

// Assertion reports since the last reset.
int AssertionCount();

}  // namespace fuzz
