// The module's audio-side object. It does no signal processing: it declares
// the eight pins, which all run between the host and the GUI side, and asks
// the host to put it to sleep whenever it is run. It holds no state of its
// own; everything runs on the host's calling thread.
#pragma once

#include "ModulePins.h"
#include "SEModule_base.h"

#include <cstdint>

// Final, so that the base's walk of the declarations asks this class's
// GetPinProperties directly.
class Module final : public SEModule_base {
public:
    // Makes no host call and cannot fail; the routine in place is DefaultProcess.
    // Inline, as they add nothing to the base's.
    Module(HostCallback callback, std::intptr_t host_value) : SEModule_base(callback, host_value) {}
    ~Module() override {}

    // Installs SleepProcess, then builds the (unbound) pin array as the base does.
    void Open() override;
    // Writes only name, direction, datatype and flags of pins 0 to 7; any
    // other index answers false and leaves the record untouched.
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override;

    // The processing routine once open: one AUDIO_HOST_SLEEP, nothing else.
    void SE_CALL SleepProcess();
};
