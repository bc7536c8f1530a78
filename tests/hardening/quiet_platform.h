// A platform layer for counting tests: time, key state and random numbers
// are plain variables, and nothing it does allocates.
#pragma once

#include <cstdint>

namespace quiet_platform {

extern std::int32_t clock_ticks;
extern std::int16_t ctrl_state;  // what a query of VK_CONTROL answers
extern int random_value;
extern int assertions;           // reports since the last Reset

void Reset();

}  // namespace quiet_platform
