// Rules of the host protocol that a module and a host must apply alike,
// header-only and on the host-visible types alone, so that both sides use
// the very same code.
#pragma once

#include <cstdint>

// Whether sample clock `time` lies before `clock`. The 32-bit clock wraps
// (after 27 hours at 44.1 kHz), so a time counts as past when it is less than
// half the clock's range behind: a time just after the wrap is in the future.
inline bool SampleClockBefore(std::uint32_t time, std::uint32_t clock) {
    return static_cast<std::int32_t>(time - clock) < 0;
}
