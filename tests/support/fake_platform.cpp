#include "fake_platform.h"

#include "SEPlatform.h"

namespace fake_platform {

std::vector<Assertion> assertions;
std::int32_t clock_ticks = 0;
std::deque<int> random_values;
std::map<int, std::int16_t> key_states;
std::vector<int> key_queries;

void Reset() {
    assertions.clear();
    clock_ticks = 0;
    random_values.clear();
    key_states.clear();
    key_queries.clear();
}

}  // namespace fake_platform

namespace platform {

std::int32_t Clock() { return fake_platform::clock_ticks; }

int Rand() {
    if (fake_platform::random_values.empty()) return 0;
    const int value = fake_platform::random_values.front();
    fake_platform::random_values.pop_front();
    return value;
}

std::int16_t AsyncKeyState(int virtual_key) {
    fake_platform::key_queries.push_back(virtual_key);
    auto found = fake_platform::key_states.find(virtual_key);
    if (found == fake_platform::key_states.end()) return 0;
    const std::int16_t state = found->second;
    found->second = static_cast<std::int16_t>(state & ~fake_platform::kKeyPressedSinceLastQuery);
    return state;
}

void ReportAssertion(const char* expression, const char* file, int line) {
    fake_platform::assertions.push_back({expression, file, line});
}

}  // namespace platform
