// `semhost validate`: checks a module against the host protocol the way
// plug-in validators check theirs, one line per check with a reason. The
// checks are listed in check_table.h.
#pragma once

#include "hosting/hosted_module.h"
#include "reports/check_report.h"
#include "session/host_clock.h"
#include "library/module_library.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

struct ValidateOptions {
    int cycles = 3;           // repetitions of each life cycle
    bool seed_given = false;  // otherwise a seed is drawn and printed
    std::uint64_t seed = 0;   // the random session's seed
    std::string junit_path;   // also write a JUnit XML report here
    std::string json_path;    // also write a JSON report here
    bool strict = false;      // a warning fails the run (exit 1)
    // The ids of the checks to run (empty: all) and of those not to run.
    std::set<std::string> only;
    std::set<std::string> skip;
    // The clock asked for; none: the module's default.
    bool clock_given = false;
    HostClock::Mode clock = HostClock::Mode::Virtual;

    bool Selected(const std::string& id) const {
        return (only.empty() || only.count(id) != 0) && skip.count(id) == 0;
    }
};

// Opens a fresh copy of the module with these options; null and a one-line
// problem when it cannot.
using ModuleOpener = std::function<std::unique_ptr<HostedModule>(const LibraryOptions&, std::string& problem)>;

// Runs the selected checks on a loaded module, printing one line per check
// (PASS, FAIL or WARN with its replay line, or SKIP with the reason) and
// then "N passed, N failed, N skipped, N warned", and fills `report` (its module, seed,
// cycles and clock given) with the back end and each check's result, in
// table order. An emulated module is checked at each stack alignment, each
// pass on a copy of its own from `open` (the first pass on `module`), and
// a copy that faults is replaced so that the checks after it still run. The
// module's clock is `clock`, which the random session lets move.
void ValidateModule(std::unique_ptr<HostedModule> module, const ModuleOpener& open, HostClock& clock,
                    const ValidateOptions& options, ValidationReport& report, std::ostream& out);

// For a module that crashed or hung while loading: the load check's
// failure with `fault`, kept in `report` and printed with the closing line,
// as ValidateModule prints them.
void ReportLoadFault(const std::string& fault, ValidationReport& report, std::ostream& out);

// Prints the table of checks: "ID  what it checks" a line, or as JSON.
void ListChecks(bool json, std::ostream& out);
