#include "session/host_clock.h"

#include "platform/host_platform.h"

#include <chrono>

namespace {

std::int64_t MonotonicMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

HostClock::HostClock(Mode mode) : m_mode(mode), m_start_ms(MonotonicMilliseconds()) {}

std::uint32_t HostClock::Milliseconds() const {
    if (m_mode == Mode::Virtual) return m_virtual_ms;
    return static_cast<std::uint32_t>(MonotonicMilliseconds() - m_start_ms);
}

void HostClock::Wait(std::uint32_t milliseconds) {
    if (m_mode == Mode::Virtual) {
        m_virtual_ms += milliseconds;
        return;
    }
    host_platform::SleepUnlessInterrupted(milliseconds);
}

HostClock HostClock::ModuleDefault() {
    HostClock clock(Mode::Virtual);
    clock.m_chosen = false;
    return clock;
}

void HostClock::Settle(bool module_clock_can_be_virtual) {
    if (m_chosen || module_clock_can_be_virtual || m_mode == Mode::Real) return;
    m_mode = Mode::Real;
    m_start_ms = MonotonicMilliseconds() - m_virtual_ms;
}
