// What an audio-side pin asks of the object that holds it. SEModule_base is
// that object; a pin knows it only through these operations, so that SEPin
// is built on this header and the host types alone.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>

class SEPin;

class SEPinOwner {
public:
    // A request of the owner's pin numbered `index`, sent with the owner's
    // record and 0.0 as `opt`; the host's answer. Runs on the host's calling
    // thread, like every request.
    virtual HostResult PinRequest(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr) = 0;
    // The host's current sample clock, asked at every use.
    virtual std::uint32_t PinSampleClock() = 0;
    // The owner's block size: the length of a sample pin's buffer.
    virtual std::int32_t BlockSize() = 0;
    // The host changed the status of `pin`, one of the owner's pins.
    virtual void OnPinStatusChange(SEPin* pin) = 0;

protected:
    SEPinOwner() = default;
    // Owners are ended as what they are, never through this interface.
    ~SEPinOwner() = default;
};
