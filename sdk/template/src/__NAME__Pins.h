// The module's pins, numbered as the host numbers them: the audio side
// declares them in this order, the GUI side reads and writes them by these
// numbers.
#pragma once

#include <cstdint>

enum : std::int32_t {
    PIN_INPUT = 0,   // "Input": the value to scale
    PIN_GAIN = 1,    // "Gain": the factor
    PIN_OUTPUT = 2,  // "Output": Input times Gain, written by the GUI side
    PIN_COUNT = 3,
};
