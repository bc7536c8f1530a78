// The audio-side object: a gain. Each block it writes In times Gain to Out,
// and it asks to sleep while its input is silent.
#pragma once

#include "SEModule_base.h"
#include "__NAME__Pins.h"

#include <cstdint>

class __NAME__Audio final : public SEModule_base {
public:
    __NAME__Audio(HostCallback callback, std::intptr_t host_value) : SEModule_base(callback, host_value) {}

    // Makes the pins as the base does, takes Gain as the host wrote it and
    // installs Process.
    void Open() override;
    // Declares pin `index`; false past the last.
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override;
    // Takes Gain's new value when the host reports its change.
    void OnPinStatusChange(SEPin* pin) override;

    // One block: BlockSize() samples from In to Out. No allocation, no call
    // that may wait: it runs on the host's audio thread.
    void SE_CALL Process();

private:
    // The host keeps these: the buffers' addresses and Gain's value.
    float* m_in = nullptr;
    float m_gain = 0.0f;
    float* m_out = nullptr;
    // The gain in use, taken from m_gain on Gain's status.
    float m_gain_in_use = 0.0f;
};
