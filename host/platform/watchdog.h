// Ends semhost when a module does not return from a call: a person at a
// terminal, or a test run, must never wait forever on a hung module.
#pragma once

#include <string>

namespace watchdog {

// Starts the clock for one call into the module. If Disarm does not follow
// within `seconds`, `message` is printed to stderr, held keys are released
// and the process exits with code 3.
void Arm(const std::string& message, int seconds);
void Disarm();

}  // namespace watchdog
