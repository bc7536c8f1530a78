// `semhost validate`: checks a module against the host protocol the way
// plug-in validators check theirs, one line per check with a reason.
#pragma once

#include "host_clock.h"
#include "junit_report.h"
#include "module_library.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct ValidateOptions {
    int cycles = 3;           // repetitions of each life cycle
    bool seed_given = false;  // otherwise a seed is drawn and printed
    std::uint64_t seed = 0;   // the random session's seed
    std::string junit_path;   // also write a JUnit XML report here
};

// Opens a fresh copy of the module with these options; null and a one-line
// problem when it cannot.
using ModuleOpener = std::function<std::unique_ptr<ModuleLibrary>(const LibraryOptions&, std::string& problem)>;

// Runs every check on a loaded library, printing one line per check and
// then "N passed, N failed". Returns the checks' results in order. An
// emulated module is checked at each stack alignment, each pass on a copy
// of its own from `open` (the first pass on `library`), and a copy that
// faults is replaced so that the checks after it still run. The module's
// clock is `clock`, which the random session lets move.
std::vector<CheckResult> ValidateModule(std::unique_ptr<ModuleLibrary> library, const ModuleOpener& open,
                                        HostClock& clock, const ValidateOptions& options, std::ostream& out);
