// The time a session runs on. Real: the wall clock, and `wait` sleeps.
// Virtual: time moves only when the host moves it, so a scripted session
// runs at once and every interval is exact. An emulated module's `clock`
// reads this clock; a native module reads the system's own.
#pragma once

#include <cstdint>

class HostClock {
public:
    enum class Mode { Real, Virtual };

    explicit HostClock(Mode mode = Mode::Real);
    // The module's default, settled once the module is loaded: virtual
    // where its clock can be (Settle), real time otherwise.
    static HostClock ModuleDefault();

    Mode mode() const { return m_mode; }
    // Whether the mode was asked for, rather than left to the module.
    bool chosen() const { return m_chosen; }
    // Settles a clock left to the module: it stays virtual where the
    // module's clock can be virtual; otherwise real time runs from now.
    void Settle(bool module_clock_can_be_virtual);
    // Milliseconds since the clock was made (wrapping as a 32-bit count).
    std::uint32_t Milliseconds() const;
    // Lets `milliseconds` pass: sleeps (real; less when an interrupt is
    // caught meanwhile) or advances at once (virtual).
    void Wait(std::uint32_t milliseconds);

private:
    Mode m_mode;
    bool m_chosen = true;
    std::int64_t m_start_ms;            // real: the monotonic time at construction
    std::uint32_t m_virtual_ms = 0;     // virtual: the time the host has let pass
};
