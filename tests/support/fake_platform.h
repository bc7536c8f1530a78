// A platform layer under the test's control: time, keys and random numbers
// are set exactly, and assertion reports are captured and return.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace fake_platform {

struct Assertion {
    std::string expression;
    std::string file;
    int line;
};

// Every report made since the last Reset, in order.
extern std::vector<Assertion> assertions;

// The value Clock() returns.
extern std::int32_t clock_ticks;

// Values Rand() returns, in order; when empty it returns 0.
extern std::deque<int> random_values;

// Key state: the value AsyncKeyState returns for a key. A query clears the
// "pressed since the previous query" bit (the lowest), as the system does.
extern std::map<int, std::int16_t> key_states;
// Every key queried, in order.
extern std::vector<int> key_queries;

constexpr std::int16_t kKeyDown = static_cast<std::int16_t>(0x8000);
constexpr std::int16_t kKeyPressedSinceLastQuery = 0x0001;

void Reset();

}  // namespace fake_platform
