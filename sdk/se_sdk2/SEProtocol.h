// Rules of the host protocol that a module and a host must apply alike,
// header-only and on the host-visible types alone, so that both sides use
// the very same code.
#pragma once

#include <cstdint>

// Whether sample clock `time` lies before `clock`, so that an event or a
// status due then would come too late.
//
// The protocol compares the two as plain unsigned numbers, and every time at
// or after the clock in that order is accepted here too, however far ahead.
// The 32-bit clock wraps (after 27 hours at 44.1 kHz), so a module that adds
// a delay to a clock near the top gets a small number: a time below the clock
// by half the clock's range or more (2^31 samples, 13.5 hours at 44.1 kHz)
// is such a time just past the wrap and lies in the future. Only a time less
// than that behind the clock is in the past.
//
// Every time then has one meaning for a given clock, and the forward distance
// of a time accepted here is `time - clock` taken modulo 2^32.
inline bool SampleClockBefore(std::uint32_t time, std::uint32_t clock) {
    return time < clock && clock - time < (std::uint32_t{1} << 31);
}
