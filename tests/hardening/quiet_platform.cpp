#include "quiet_platform.h"

#include "SEPlatform.h"

namespace quiet_platform {

std::int32_t clock_ticks = 0;
std::int16_t ctrl_state = 0;
int random_value = 0;
int assertions = 0;

void Reset() {
    clock_ticks = 0;
    ctrl_state = 0;
    random_value = 0;
    assertions = 0;
}

}  // namespace quiet_platform

namespace platform {

std::int32_t Clock() { return quiet_platform::clock_ticks; }
int Rand() { return quiet_platform::random_value; }
std::int16_t AsyncKeyState(int virtual_key) { return virtual_key == 17 ? quiet_platform::ctrl_state : 0; }
void ReportAssertion(const char*, const char*, int) { ++quiet_platform::assertions; }

}  // namespace platform
