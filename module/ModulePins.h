// The module's pins, numbered as the host numbers them. The audio side
// declares them in this order (Module::GetPinProperties); the GUI side reads
// and writes their values by these numbers.
#pragma once

#include <cstdint>

enum : std::int32_t {
    PIN_MOUSE_DOWN = 0,          // "Mouse Down": on/off, 1 while the panel control is pressed
    PIN_RESET_VALUE = 1,         // "Reset Value": the value a double click restores
    PIN_INTERVAL = 2,            // "Interval (ms)": longest gap between the two clicks
    PIN_ANIMATION_POSITION = 3,  // "Animation Position": the only pin the module writes in use
    PIN_RESET = 4,               // "Reset": every change resets
    PIN_RANDOMIZE = 5,           // "Randomize": a change back to 0 randomizes
    PIN_RANDOM_MIN = 6,          // "Random (min)": one end of the random range
    PIN_RANDOM_MAX = 7,          // "Random (max)": the other end
    PIN_COUNT = 8,
};
