// A scriptable host for unit tests: records every callback with all six
// arguments, answers per opcode, holds GUI pin values (writing them into the
// module's slot and taking its writes), and can re-enter the module from
// inside a callback.
//
// The host callback is a plain function, so one FakeHost is current at a
// time: the most recently constructed one that is still alive.
#pragma once

#include "SEHostTypes.h"

#include <bit>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

struct HostCall {
    void* record;
    std::int32_t opcode;
    std::int32_t index;
    std::int32_t value;
    void* ptr;
    float opt;
    // A copy of the ModuleEvent that AUDIO_HOST_ADD_EVENT pointed at.
    ModuleEvent event;

    // The bits of opt, for exact comparison (NaN included).
    std::uint32_t OptBits() const { return std::bit_cast<std::uint32_t>(opt); }
};

class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    static HostResult SE_CALL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                       void* ptr, float opt);
    HostCallback callback() const { return &FakeHost::Callback; }

    // Every call received, in order.
    std::vector<HostCall> calls;
    // Calls with this opcode only.
    std::vector<HostCall> CallsWith(std::int32_t opcode) const;
    std::vector<std::int32_t> Opcodes() const;

    // The fixed answer for an opcode (0 when none is set).
    std::map<std::int32_t, HostResult> answers;
    // Runs after a call is recorded and pin values handled, before the
    // answer is given; may re-enter the module.
    std::function<void(const HostCall&)> on_call;

    // GUI pin values as the host holds them: 4 bytes per pin. Pins listed in
    // `int_pins` take SET_PIN_VALUE's `value`, all others its `opt`.
    std::map<std::int32_t, std::uint32_t> pin_bits;
    std::set<std::int32_t> int_pins;
    void SetPinFloat(std::int32_t pin, float value);
    void SetPinInt(std::int32_t pin, std::int32_t value);
    float PinFloat(std::int32_t pin) const;
    std::int32_t PinInt(std::int32_t pin) const;

    // The audio sample clock answered for AUDIO_HOST_GET_SAMPLE_CLOCK.
    std::uint32_t sample_clock = 0;

    static FakeHost* Current();

private:
    HostResult Handle(const HostCall& call);
    FakeHost* m_previous;
};
