// The one line at the end of `semhost play`'s text that says what the
// script did and what the module wrote in answer, for any module:
//
//   2 clicks: no write; 1 double click: 1 write to "Position" (0.25);
//   2 sets of "Reset": 2 writes to "Position" (0.25, 0.25); 8 of 8 expects held
#pragma once

#include "session_record.h"

#include <string>

// Clicks on one pin, each within this many milliseconds of the one before
// and with the same keys held, make one gesture: a double click, a triple
// click. It is the usual double-click time of desktop systems.
inline constexpr std::uint32_t kMultiClickMs = 500;

std::string SummarizeSession(const SessionRecord& record);
