// Checks that judge every call of a pass, in either direction, once the
// other checks have run: what the host noticed on each callback and after
// each call, and the calling convention. Last, the verdicts of the passes
// at each stack alignment compared.
#include "commands/validate/check_table.h"

#include <algorithm>

namespace {

// Passes with `passed` where the host never saw a breach of that kind.
CheckOutcome Judge(const CheckContext& context, Violation kind, const std::string& passed) {
    const ViolationTally* tally = context.Tally(kind);
    if (tally == nullptr) return CheckOutcome::Pass(passed);
    std::string reason = tally->first;
    if (tally->count > 1) reason += " (" + std::to_string(tally->count) + " times in all)";
    return CheckOutcome::Fail(reason);
}

std::string Callbacks(const CheckContext& context) { return Counted(context.callbacks(), "callback", "callbacks"); }
std::string Calls(const CheckContext& context) { return Counted(context.calls(), "call", "calls"); }

}  // namespace

namespace checks {

CheckOutcome CallbackOpcodes(CheckContext& context) {
    return Judge(context, Violation::UnknownOpcode, Callbacks(context) + ", every opcode known to its side");
}

CheckOutcome CallbackRecords(CheckContext& context) {
    return Judge(context, Violation::ForeignRecord, Callbacks(context) + ", each with the calling object's own record");
}

CheckOutcome CallbackArguments(CheckContext& context) {
    for (const Violation kind : {Violation::BadArguments, Violation::RunawayNesting}) {
        const CheckOutcome outcome = Judge(context, kind, "");
        if (outcome.status == CheckStatus::Failed) return outcome;
    }
    return Judge(context, Violation::RunawayEvents,
                 Callbacks(context) + ", pins and arguments within the host contract");
}

CheckOutcome RecordsUnchanged(CheckContext& context) {
    return Judge(context, Violation::RecordChanged,
                 "after each of " + Calls(context) +
                     ", magic, version, host_value, object and dispatcher of every record as the host first read "
                     "them, and each change of the processing routine told with AUDIO_HOST_PROCESS_CHANGED");
}

CheckOutcome IdentityTextsUnchanged(CheckContext& context) {
    return Judge(context, Violation::IdentityChanged,
                 "name, id and about readable and unchanged after each of " + Calls(context));
}

CheckOutcome CallingConvention(CheckContext& context) {
    // A broken convention is a fault of the call it came in, which failed
    // that check too: here it is told under its own name.
    if (!context.convention_fault().empty()) return CheckOutcome::Fail(context.convention_fault());
    return CheckOutcome::Pass("after each of " + Calls(context) +
                              ": the registers a callee keeps kept, the stack pointer where the call left it, the "
                              "direction flag clear");
}

CheckOutcome StackAlignment(CheckContext& context) {
    // A check that passed at the first alignment and failed at another
    // depends on the alignment: the module assumes more than Win32 gives.
    const std::vector<std::vector<CheckResult>>& passes = context.passes();
    const std::vector<unsigned>& alignments = context.alignments();
    for (std::size_t pass = 1; pass < passes.size(); ++pass) {
        for (const CheckResult& here : passes[pass]) {
            if (here.status != CheckStatus::Failed) continue;
            const auto first = std::find_if(passes[0].begin(), passes[0].end(),
                                            [&](const CheckResult& result) { return result.id == here.id; });
            if (first == passes[0].end() || first->status != CheckStatus::Passed) continue;
            return CheckOutcome::Fail(here.id + " passed at (ESP+4) mod 16 = " + std::to_string(alignments[0]) +
                                      " but failed at " + std::to_string(alignments[pass]) + ": " + here.reason);
        }
    }
    std::string tried;
    for (std::size_t i = 0; i < alignments.size(); ++i)
        tried += (i == 0 ? "" : i + 1 == alignments.size() ? " and " : ", ") + std::to_string(alignments[i]);
    return CheckOutcome::Pass("every check's verdict the same at (ESP+4) mod 16 = " + tried + " at entry");
}

}  // namespace checks
