// The results of `semhost validate`, as every report form gives them: the
// text on standard output, the JUnit file and the JSON file.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A warning is a fault a host survives (a module that works, but not as
// well as it could): it fails the run only under --strict.
enum class CheckStatus { Passed, Failed, Skipped, Warned };

// "passed", "failed", "skipped", "warned".
const char* CheckStatusName(CheckStatus status);

struct CheckResult {
    std::string id;  // the check's stable id ("calling-convention")
    CheckStatus status = CheckStatus::Passed;
    // What was seen when it passed, why it failed, or why it was not run.
    std::string reason;
    // The stack alignments ((ESP+4) mod 16 at entry) it ran at; empty where
    // the back end calls at its platform's own alignment only.
    std::vector<unsigned> alignments;
    // The alignment it failed at, where it ran at several.
    std::optional<unsigned> failed_alignment;
    // How long it ran, in seconds, at every alignment together.
    double seconds = 0;

    bool failed() const { return status == CheckStatus::Failed; }
    bool warned() const { return status == CheckStatus::Warned; }
};

struct ValidationReport {
    std::string module;    // the file as the command line named it
    std::string back_end;  // "native (own process)", "emulated i386"
    std::uint64_t seed = 0;
    int cycles = 3;
    std::string clock;    // "real" or "virtual"
    bool strict = false;  // a warning fails the run
    std::vector<CheckResult> checks;
    // Where and when it ran, and how long the whole run took (the load
    // included), for the JUnit file.
    std::string hostname;
    std::chrono::system_clock::time_point started;
    double seconds = 0;

    int Count(CheckStatus status) const;
    // Whether the check fails the run: it failed, or it warned under
    // --strict.
    bool Fails(const CheckResult& check) const { return check.failed() || (strict && check.warned()); }
    // Whether any check fails the run.
    bool Failed() const;
    // The one command line that runs this check again as it ran here:
    // the same file, seed, cycles, clock and strictness, and this check
    // alone.
    std::string ReplayCommand(const CheckResult& check) const;
};

// "1 cycle", "3 cycles": a count and its noun, singular for one.
std::string Counted(long long count, const std::string& singular, const std::string& plural);

// "3 passed, 1 failed, 2 skipped, 0 warned": the closing line, without its
// end of line.
std::string CountsLine(const ValidationReport& report);

// Returns false when the file cannot be written.
bool WriteJUnitReport(const std::string& path, const ValidationReport& report);
bool WriteJsonReport(const std::string& path, const ValidationReport& report);
