// Checks on what an audio module writes to its sample outputs: nothing but
// finite samples, no subnormal ones, and no sleep while an output still
// moves. Each plays the signals every audio check plays (AudioRig) on
// objects of its own and judges every block of them.
#include "commands/validate/check_table.h"

#include "commands/validate/audio_rig.h"

namespace {

// The first output of the rig's runs in which `bad` counts samples, as
// "<pin> held N <what> in <run>", and how many blocks had any; "" when none.
template <typename Count>
std::string FirstBad(const HostSession& session, const std::vector<RunRecord>& runs, const char* what, Count bad,
                     long& blocks) {
    std::string first;
    blocks = 0;
    for (const RunRecord& run : runs) {
        if (!run.ran) continue;
        bool counted = false;
        for (const ProcessingRun::Output& output : run.outputs) {
            const std::uint64_t samples = bad(output.stats);
            if (samples == 0) continue;
            if (first.empty())
                first = OutputName(session, output) + " held " + std::to_string(samples) + " " + what + " of " +
                        std::to_string(output.stats.samples) + " samples after " + RunName(run);
            counted = true;
        }
        if (counted) ++blocks;
    }
    return first;
}

std::string AndMore(long blocks) {
    return blocks > 1 ? " (and in " + std::to_string(blocks - 1) + " more " + (blocks == 2 ? "block" : "blocks") + ")"
                      : "";
}

}  // namespace

namespace checks {

CheckOutcome FiniteOutput(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    if (!DeclaresSamplePin(context.session(), DR_OUT)) return NoSamplePin(DR_OUT, "no output to measure");
    ResetPins(context.session());
    AudioRig rig(context, "finite output");
    if (!rig.PlaySignals()) return rig.Stop();
    long blocks = 0;
    const std::string first = FirstBad(context.session(), rig.runs(), "non-finite (NaN or infinite) samples",
                                       [](const SampleStats& stats) { return stats.nan + stats.infinite; }, blocks);
    if (!first.empty()) return CheckOutcome::Fail(first + AndMore(blocks));
    return CheckOutcome::Pass("every output finite after each of " + SignalsPlayed(rig.runs()));
}

CheckOutcome SubnormalOutput(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    if (!DeclaresSamplePin(context.session(), DR_OUT)) return NoSamplePin(DR_OUT, "no output to measure");
    ResetPins(context.session());
    AudioRig rig(context, "subnormal output");
    if (!rig.PlaySignals()) return rig.Stop();
    long blocks = 0;
    const std::string first = FirstBad(context.session(), rig.runs(), "subnormal samples",
                                       [](const SampleStats& stats) { return stats.subnormal; }, blocks);
    // A warning: the sound is not wrong, but the next stage computes slowly
    // on them on many processors.
    if (!first.empty())
        return CheckOutcome::Warn(first + AndMore(blocks) +
                                  ": subnormal samples are slow to compute with on many processors; flush them to zero");
    return CheckOutcome::Pass("no subnormal sample in any output after each of " + SignalsPlayed(rig.runs()));
}

CheckOutcome SleepWhileSounding(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    ResetPins(context.session());
    AudioRig rig(context, "sleep while sounding");
    if (!rig.PlaySignals()) return rig.Stop();
    for (const RunRecord& run : rig.runs()) {
        if (!run.slept_while_sounding) continue;
        std::string moving;
        for (const ProcessingRun::Output& output : run.outputs)
            if (!output.stats.constant) moving += (moving.empty() ? "" : ", ") + OutputName(context.session(), output);
        // A warning: a host that keeps running it loses nothing.
        return CheckOutcome::Warn("asked to sleep (AUDIO_HOST_SLEEP) in " + RunName(run) + " while " + moving +
                                  " still moved: a host that takes it at its word cuts the sound off there");
    }
    if (!DeclaresSamplePin(context.session(), DR_OUT))
        return CheckOutcome::Pass("no DT_FSAMPLE output to sound: nothing is cut off when it sleeps, in " +
                                  SignalsPlayed(rig.runs()));
    return CheckOutcome::Pass("never asked to sleep while an output moved, in " + SignalsPlayed(rig.runs()));
}

}  // namespace checks
