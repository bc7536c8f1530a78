// What a check of `semhost validate` works with: the session with the copy
// of the module under test, the options, the clock, and what every call so
// far has shown (for the checks that judge all calls at the end).
#pragma once

#include "reports/check_report.h"
#include "session/host_clock.h"
#include "session/host_session.h"
#include "commands/validate/validator.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A small generator whose sequence is the same on every platform, so that a
// printed seed replays the same session anywhere.
class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int bound) { return static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

private:
    std::uint64_t m_state;
};

// Whether the host's noticing `kind` stops the running check. A write
// outside a sample buffer's block or into an input is the finding of the
// check that watches it (buffer-bounds, inputs-unchanged), in its own runs;
// any other check that runs the module goes on past it, so that one fault
// fails one check.
inline bool StopsChecks(Violation kind) {
    return kind != Violation::BufferOverrun && kind != Violation::InputOverwritten;
}

// What a check gives back: its status and the reason.
struct CheckOutcome {
    CheckStatus status = CheckStatus::Passed;
    std::string reason;

    static CheckOutcome Pass(std::string reason) { return {CheckStatus::Passed, std::move(reason)}; }
    static CheckOutcome Fail(std::string reason) { return {CheckStatus::Failed, std::move(reason)}; }
    static CheckOutcome Skip(std::string reason) { return {CheckStatus::Skipped, std::move(reason)}; }
    // A fault a host survives; it fails the run only under --strict.
    static CheckOutcome Warn(std::string reason) { return {CheckStatus::Warned, std::move(reason)}; }
    // The first problem, and how many more there were; `passed` when none.
    static CheckOutcome Of(const std::vector<std::string>& problems, std::string passed);
};

// How often the host saw one kind of contract breach, and the first one.
struct ViolationTally {
    long count = 0;
    std::string first;  // the reason, with the check or call it came in
};

// The checks' view of one pass of validation (validator.cpp keeps it up
// to date as copies of the module are replaced).
class CheckContext {
public:
    virtual ~CheckContext() = default;

    HostSession& session() { return *m_session; }
    ModuleLibrary& library() { return m_session->library(); }
    const ValidateOptions& options() const { return *m_options; }
    HostClock& clock() { return *m_clock; }
    bool faulted() const { return m_session->faulted(); }

    // Names what runs now ("GUI life cycle, cycle 2"), for the reasons of
    // the contract breaches seen meanwhile.
    void Within(const std::string& where) { m_where = where; }
    // The first contract breach seen since the running check began, or
    // null. A check stops there: going on would repeat the same breach.
    // What a processing run did to its sample buffers is no such breach
    // (see StopsChecks).
    const std::string* Breach() const { return m_breach.empty() ? nullptr : &m_breach; }
    // Says where in the running check a fault of the module would come
    // ("at 192000 Hz, blocks of 64"), for the reason of the check it fails.
    void FaultContext(const std::string& where) { m_fault_context = where; }

    // What the checks that judge every call read.
    long calls() const { return m_earlier_calls + (m_session ? m_session->host_calls() : 0); }
    long callbacks() const { return m_earlier_callbacks + (m_session ? m_session->callbacks() : 0); }
    const ViolationTally* Tally(Violation kind) const {
        const auto found = m_tallies.find(kind);
        return found == m_tallies.end() ? nullptr : &found->second;
    }
    // The first fault that broke the calling convention, with the check it
    // came in; "" when none did.
    const std::string& convention_fault() const { return m_convention_fault; }

    // The stack alignments of the passes and each pass's results, for the
    // check that compares them; empty until every pass has run.
    const std::vector<unsigned>& alignments() const { return m_alignments; }
    const std::vector<std::vector<CheckResult>>& passes() const { return m_passes; }

protected:
    const ValidateOptions* m_options = nullptr;
    HostClock* m_clock = nullptr;
    HostSession* m_session = nullptr;
    std::string m_where;
    std::string m_breach;
    std::string m_fault_context;
    long m_earlier_calls = 0;  // host calls and callbacks of replaced copies
    long m_earlier_callbacks = 0;
    std::map<Violation, ViolationTally> m_tallies;
    std::string m_convention_fault;
    std::vector<unsigned> m_alignments;
    std::vector<std::vector<CheckResult>> m_passes;
};
