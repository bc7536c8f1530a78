#include "commands/validate/validator.h"

#include "commands/validate/check_table.h"
#include "platform/host_platform.h"
#include "session/host_session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>

namespace {

// One pass of the selected checks on one copy of the module. A module that
// faults is replaced by a fresh copy, and the checks go on.
class Validator : public CheckContext, private SessionObserver {
public:
    // `live`: print each check's line as it ends (null: the caller prints).
    // Checks named in `not_repeated` failed at an earlier alignment and are
    // not run again (their results here say so; the merge ignores them).
    Validator(std::unique_ptr<HostedModule> module, const ModuleOpener& open, const LibraryOptions& library_options,
              HostClock& clock, const ValidateOptions& options, const ValidationReport& report, std::ostream* live,
              const std::set<std::string>& not_repeated = {})
        : m_report(report), m_live(live), m_open(open), m_library_options(library_options),
          m_not_repeated(not_repeated) {
        m_options = &options;
        m_clock = &clock;
        for (const CheckDefinition& check : CheckTable())
            m_missing[check.id] = MissingCapability(check.need, module->library());
        StartSession(std::move(module));
    }
    ~Validator() override { EndSession(); }

    std::vector<CheckResult> Run();
    // The results of the checks that ran unshown, for the checks that
    // compare the passes.
    const std::vector<CheckResult>& unshown() const { return m_unshown; }

private:
    void OnViolation(Violation kind, const std::string& reason) override {
        const std::string told = reason + " [in " + m_where + "]";
        ViolationTally& tally = m_tallies[kind];
        if (tally.count++ == 0) tally.first = told;
        if (m_breach.empty() && StopsChecks(kind)) m_breach = told;
    }

    // Runs one check and keeps (and prints) its result. False when the
    // module faulted, after which nothing more can be asked of it.
    // `shown`: its result is kept and printed; otherwise it runs only for
    // the calls it makes.
    bool RunCheck(const CheckDefinition& check, bool shown = true);
    void Keep(CheckResult result);
    void StartSession(std::unique_ptr<HostedModule> module);
    void EndSession();
    // A fresh copy of the module after a fault, met as a host meets it
    // (identity and pin table); false, with m_lost saying why, when none.
    bool ReplaceFaultedModule();
    // What a host learns first (identity texts to watch, the pin table),
    // for checks that come after ones that did not run. False on a fault.
    bool MeetModule();

    const ValidationReport& m_report;
    std::ostream* m_live;
    const ModuleOpener& m_open;
    const LibraryOptions m_library_options;
    const std::set<std::string> m_not_repeated;
    std::map<std::string, std::string> m_missing;  // why the back end cannot make a check, by id
    // The copy under test; its session closes what a failed check left
    // open before the library goes.
    std::unique_ptr<HostedModule> m_module;
    std::string m_lost;              // why no copy of the module is left, or ""
    bool m_met = false;              // this copy's identity is watched and its pins read
    std::set<std::string> m_ran_on_copy;
    std::vector<CheckResult> m_results;
    std::vector<CheckResult> m_unshown;
};

double SecondsSince(std::chrono::steady_clock::time_point began) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

void PrintResult(const ValidationReport& report, const CheckResult& result, std::ostream& out) {
    static const char* const kTags[] = {"PASS  ", "FAIL  ", "SKIP  ", "WARN  "};
    out << kTags[static_cast<int>(result.status)] << result.id << ": " << result.reason << '\n';
    if (result.failed() || result.warned()) out << "      replay: " << report.ReplayCommand(result) << '\n';
}

void Validator::Keep(CheckResult result) {
    if (m_live != nullptr) {
        PrintResult(m_report, result, *m_live);
        m_live->flush();
    }
    m_results.push_back(std::move(result));
}

bool Validator::RunCheck(const CheckDefinition& check, bool shown) {
    m_where = check.id;
    m_breach.clear();
    m_fault_context.clear();
    const auto began = std::chrono::steady_clock::now();
    CheckOutcome outcome = check.run(*this);
    const double seconds = SecondsSince(began);
    const bool faulted = m_session != nullptr && m_session->faulted();
    if (faulted) {
        outcome.status = CheckStatus::Failed;
        // A fault outside the session's calls (the unload) says it itself.
        if (!m_session->fault().empty())
            outcome.reason = (m_fault_context.empty() ? "" : m_fault_context + ": ") + m_session->fault();
        if (m_convention_fault.empty() && outcome.reason.find(kConventionFault) != std::string::npos)
            m_convention_fault = outcome.reason + " [in " + check.id + "]";
    }
    m_ran_on_copy.insert(check.id);
    if (shown)
        Keep({check.id, outcome.status, outcome.reason, {}, {}, seconds});
    else
        m_unshown.push_back({check.id, outcome.status, outcome.reason, {}, {}, seconds});
    return !faulted;
}

void Validator::StartSession(std::unique_ptr<HostedModule> module) {
    m_module = std::move(module);
    m_met = false;
    m_ran_on_copy.clear();
    m_module->Attach(static_cast<SessionObserver&>(*this));
    m_session = &m_module->session();
}

void Validator::EndSession() {
    if (m_module == nullptr) return;
    m_earlier_calls += m_session->host_calls();
    m_earlier_callbacks += m_session->callbacks();
    m_session = nullptr;
    m_module.reset();
}

bool Validator::ReplaceFaultedModule() {
    host_platform::ReleaseHeldKeys();
    EndSession();
    std::string problem;
    std::unique_ptr<HostedModule> copy = m_open(m_library_options, problem);
    if (copy == nullptr) {
        m_lost = "a fresh copy of the module could not be loaded: " + problem;
        return false;
    }
    StartSession(std::move(copy));
    m_where = "a fresh copy of the module";
    if (MeetModule()) return true;
    m_lost = "a fresh copy of the module faulted before the check: " + m_session->fault();
    EndSession();
    return false;
}

bool Validator::MeetModule() {
    m_met = true;
    HostSession& host = *m_session;
    ModulePropertiesRecord properties;
    std::string problem;
    if (host.GetModuleProperties(0, properties)) host.WatchIdentity(properties);
    if (HostedObject* probe = host.Create(ObjectKind::Audio, problem)) {
        std::vector<std::string> ignored;  // the pin declarations check reports them
        host.ReadPinTable(*probe, ignored);
        if (!host.faulted()) host.Close(*probe);
    }
    return !host.faulted();
}

std::vector<CheckResult> Validator::Run() {
    const std::vector<CheckDefinition>& table = CheckTable();
    // The checks that judge every call judge the calls of the others: when
    // one of them is chosen, the others run too (unless skipped), unshown.
    bool judges_calls = false;
    for (const CheckDefinition& check : table)
        judges_calls = judges_calls || (check.kind != CheckKind::Module && m_options->Selected(check.id));
    const auto runs = [&](const CheckDefinition& check) {
        return m_options->Selected(check.id) ||
               (check.kind == CheckKind::Module && judges_calls && m_options->skip.count(check.id) == 0);
    };
    std::size_t last_module_check = 0;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].kind == CheckKind::Module && runs(table[i])) last_module_check = i;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const CheckDefinition& check = table[i];
        if (!runs(check) || check.kind == CheckKind::Passes) continue;
        const bool shown = m_options->Selected(check.id);
        if (!m_missing[check.id].empty()) {
            if (shown) Keep({check.id, CheckStatus::Skipped, "not run: " + m_missing[check.id], {}, {}});
            continue;
        }
        if (m_not_repeated.count(check.id) != 0) {
            // Failed at an earlier alignment: its verdict cannot change.
            if (shown) m_results.push_back({check.id, CheckStatus::Passed, "not repeated: it failed at an earlier alignment", {}, {}});
            continue;
        }
        if (check.kind == CheckKind::Summary) {
            // The checks on every call need no module: after the last
            // check the copy is let go.
            EndSession();
            RunCheck(check);
            continue;
        }
        if (m_session == nullptr) {
            if (shown) Keep({check.id, CheckStatus::Failed, "not run: " + m_lost, {}, {}});
            continue;
        }
        // A check that drives objects needs the pins, and the identity
        // watched, which the checks before it may not have done.
        if (check.needs_pins && !m_met && !(m_ran_on_copy.count("identity") && m_ran_on_copy.count("pin-declarations"))) {
            m_where = "meeting the module";
            if (!MeetModule() && !ReplaceFaultedModule()) {
                if (shown) Keep({check.id, CheckStatus::Failed, "not run: " + m_lost, {}, {}});
                continue;
            }
        }
        if (RunCheck(check, shown)) continue;
        if (i < last_module_check)
            ReplaceFaultedModule();
        else
            EndSession();
    }
    return m_results;
}

// The results of the passes at each alignment, one per check: failed where
// any pass failed, with the first failure's reason and alignment; else
// warned where any pass warned, with the first warning's.
std::vector<CheckResult> MergePasses(const std::vector<std::vector<CheckResult>>& passes,
                                     const std::vector<unsigned>& alignments) {
    std::vector<CheckResult> merged = passes.front();
    const auto first_with = [&](std::size_t check, CheckStatus status) -> std::optional<std::size_t> {
        for (std::size_t pass = 0; pass < passes.size(); ++pass)
            if (check < passes[pass].size() && passes[pass][check].status == status) return pass;
        return std::nullopt;
    };
    for (std::size_t check = 0; check < merged.size(); ++check) {
        merged[check].alignments = alignments;
        merged[check].seconds = 0;
        for (const std::vector<CheckResult>& pass : passes)
            if (check < pass.size()) merged[check].seconds += pass[check].seconds;
        std::optional<std::size_t> pass = first_with(check, CheckStatus::Failed);
        if (pass) merged[check].failed_alignment = alignments[*pass];
        else pass = first_with(check, CheckStatus::Warned);
        if (!pass) continue;
        merged[check].status = passes[*pass][check].status;
        merged[check].reason =
            "at stack alignment " + std::to_string(alignments[*pass]) + ": " + passes[*pass][check].reason;
    }
    return merged;
}

// The context of the checks that compare the passes.
class PassesContext : public CheckContext {
public:
    PassesContext(const ValidateOptions& options, HostClock& clock, std::vector<unsigned> alignments,
                  std::vector<std::vector<CheckResult>> passes) {
        m_options = &options;
        m_clock = &clock;
        m_alignments = std::move(alignments);
        m_passes = std::move(passes);
    }
};

}  // namespace

void ValidateModule(std::unique_ptr<HostedModule> module, const ModuleOpener& open, HostClock& clock,
                    const ValidateOptions& options, ValidationReport& report, std::ostream& out) {
    report.back_end = module->library().back_end();
    report.checks.clear();
    if (!module->library().sets_stack_alignment()) {
        std::map<std::string, std::string> missing;
        for (const CheckDefinition& check : CheckTable())
            missing[check.id] = MissingCapability(check.need, module->library());
        Validator validator(std::move(module), open, LibraryOptions{}, clock, options, report, &out);
        report.checks = validator.Run();
        // The checks that compare alignments cannot be made.
        for (const CheckDefinition& check : CheckTable()) {
            if (check.kind != CheckKind::Passes || !options.Selected(check.id)) continue;
            CheckResult skipped{check.id, CheckStatus::Skipped, "not run: " + missing[check.id], {}, {}};
            PrintResult(report, skipped, out);
            report.checks.push_back(skipped);
        }
    } else {
        // Win32 promises a caller only 4-byte stack alignment: code that
        // needs more must work at each of the four a caller may give.
        const std::vector<unsigned> alignments = {4, 8, 12, 0};
        out << "each check runs on the emulated module at the four stack alignments a caller may give ((ESP+4) mod "
               "16 = 4, 8, 12 and 0 at entry)\n";
        std::vector<std::vector<CheckResult>> passes;
        std::vector<std::vector<CheckResult>> every_result;  // shown or not, for the checks that compare passes
        std::set<std::string> failed_before;
        for (const unsigned alignment : alignments) {
            LibraryOptions library_options;
            library_options.stack_alignment = alignment;
            std::string problem;
            std::unique_ptr<HostedModule> copy = module != nullptr ? std::move(module) : open(library_options, problem);
            if (copy == nullptr) {
                // The load at this alignment failed, and the checks after
                // it could not run.
                std::vector<CheckResult> lost = passes.front();
                for (CheckResult& result : lost)
                    if (result.id == kLoadCheck)
                        result = {result.id, CheckStatus::Failed, "the module could not be loaded again: " + problem, {}, {}};
                    else if (result.status != CheckStatus::Skipped)
                        result = {result.id, CheckStatus::Failed,
                                  "not run: the module could not be loaded again: " + problem, {}, {}};
                passes.push_back(lost);
                every_result.push_back(lost);
                continue;
            }
            Validator validator(std::move(copy), open, library_options, clock, options, report, nullptr,
                                failed_before);
            passes.push_back(validator.Run());
            every_result.push_back(passes.back());
            every_result.back().insert(every_result.back().end(), validator.unshown().begin(), validator.unshown().end());
            for (const CheckResult& result : passes.back())
                if (result.failed()) failed_before.insert(result.id);
        }
        report.checks = MergePasses(passes, alignments);
        for (const CheckDefinition& check : CheckTable()) {
            if (check.kind != CheckKind::Passes || !options.Selected(check.id)) continue;
            PassesContext context(options, clock, alignments, every_result);
            const auto began = std::chrono::steady_clock::now();
            const CheckOutcome outcome = check.run(context);
            report.checks.push_back({check.id, outcome.status, outcome.reason, alignments, {}, SecondsSince(began)});
        }
        for (const CheckResult& result : report.checks) PrintResult(report, result, out);
    }
    out << CountsLine(report) << '\n';
    out.flush();
}

void ReportLoadFault(const std::string& fault, ValidationReport& report, std::ostream& out) {
    report.checks = {{kLoadCheck, CheckStatus::Failed, fault, {}, {}}};
    PrintResult(report, report.checks.front(), out);
    out << CountsLine(report) << '\n';
    out.flush();
}

void ListChecks(bool json, std::ostream& out) {
    static const char* const kNeeds[] = {"", "registers watched", "heap watched", "stack alignment set",
                                         "heap calls counted"};
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const CheckDefinition& check : CheckTable()) {
            nlohmann::ordered_json entry;
            entry["id"] = check.id;
            entry["summary"] = check.summary;
            entry["needs"] = check.need == CheckNeed::Nothing ? nlohmann::ordered_json()
                                                                : nlohmann::ordered_json(kNeeds[static_cast<int>(check.need)]);
            list.push_back(std::move(entry));
        }
        out << list.dump(2) << '\n';
        return;
    }
    std::size_t width = 0;
    for (const CheckDefinition& check : CheckTable()) width = std::max(width, std::string(check.id).size());
    for (const CheckDefinition& check : CheckTable()) {
        const std::string id = check.id;
        out << id << std::string(width + 2 - id.size(), ' ') << check.summary;
        if (check.need != CheckNeed::Nothing)
            out << " (needs: " << kNeeds[static_cast<int>(check.need)] << ")";
        out << '\n';
    }
}
