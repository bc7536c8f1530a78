// The module's pins, numbered as the host numbers them: the audio side
// declares them in this order and finds them in its pin array by these
// numbers.
#pragma once

#include <cstdint>

enum : std::int32_t {
    PIN_IN = 0,    // "In": the signal, a buffer of samples the host fills each block
    PIN_GAIN = 1,  // "Gain": the factor
    PIN_OUT = 2,   // "Out": In times Gain, a buffer of samples the module fills each block
    PIN_COUNT = 3,
};
