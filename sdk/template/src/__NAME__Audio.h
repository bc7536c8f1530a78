// The audio-side object: it declares the pins and, doing no signal
// processing of its own, asks the host to let it sleep whenever it is run.
#pragma once

#include "SEModule_base.h"
#include "__NAME__Pins.h"

#include <cstdint>

class __NAME__Audio final : public SEModule_base {
public:
    __NAME__Audio(HostCallback callback, std::intptr_t host_value) : SEModule_base(callback, host_value) {}

    // Installs SleepProcess, then makes the pins as the base does.
    void Open() override;
    // Declares pin `index`; false past the last.
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override;

    void SE_CALL SleepProcess();
};
