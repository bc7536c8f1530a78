// Checks on what a processing run does to memory that is not its own: the
// guards around every sample buffer and the host's signal in each input,
// checked by the session after each run; and the module's heap, which a
// run must leave alone once the object has run once.
#include "commands/validate/check_table.h"

#include "commands/validate/audio_rig.h"

namespace {

constexpr int kCountedRuns = 12;

std::string Times(long count) { return count > 1 ? " (" + std::to_string(count) + " times in all)" : ""; }

}  // namespace

namespace checks {

CheckOutcome BufferBounds(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    ResetPins(context.session());
    AudioRig rig(context, "buffer bounds");
    if (!rig.PlaySignals()) return rig.Stop();
    if (rig.overruns() > 0) return CheckOutcome::Fail(rig.overrun() + Times(rig.overruns()));
    return CheckOutcome::Pass("the guards before and after every sample buffer's block intact after each of " +
                              SignalsPlayed(rig.runs()));
}

CheckOutcome InputsUnchanged(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    if (!DeclaresSamplePin(context.session(), DR_IN)) return NoSamplePin(DR_IN, "no input to keep");
    ResetPins(context.session());
    AudioRig rig(context, "inputs unchanged");
    if (!rig.PlaySignals()) return rig.Stop();
    if (rig.inputs_written() > 0) return CheckOutcome::Fail(rig.input_written() + Times(rig.inputs_written()));
    return CheckOutcome::Pass("every input's buffer held the host's signal after each of " +
                              SignalsPlayed(rig.runs()));
}

CheckOutcome AllocationsInRun(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    ResetPins(context.session());
    AudioRig rig(context, "allocations in a run");
    // The first run may set up what the object lacks; every later one runs
    // as a host runs it for hours, through changes of its signal and pins.
    if (!rig.Open(48000.0f, 256, StandardSine()) || !rig.Run(1 + kCountedRuns / 3)) return rig.Stop();
    for (const PinDeclaration& pin : AudioValueInputs(context.session())) {
        const std::uint32_t one = pin.TakesFloat() ? PinBitsOfFloat(1.0f) : 1u;
        if (!rig.Set(pin.index, one)) return rig.Stop();
    }
    InputSignal noise = StandardSine();
    noise.kind = InputSignal::Kind::Noise;
    noise.seed = 1;
    rig.Feed(noise);
    if (!rig.Run(kCountedRuns / 3)) return rig.Stop();
    InputSignal silence;
    rig.Feed(silence);
    if (!rig.Run(kCountedRuns / 3) || !rig.Close()) return rig.Stop();

    long judged = 0;
    long allocating = 0;
    std::uint64_t operations = 0;
    const RunRecord* first = nullptr;
    for (const RunRecord& run : rig.runs()) {
        if (run.run_of_object < 2 || !run.heap_operations) continue;
        ++judged;
        if (*run.heap_operations == 0) continue;
        ++allocating;
        operations += *run.heap_operations;
        if (first == nullptr) first = &run;
    }
    if (first != nullptr)
        return CheckOutcome::Fail(std::to_string(*first->heap_operations) + " heap " +
                                  (*first->heap_operations == 1 ? "call" : "calls") + " (allocations and frees) in " +
                                  RunName(*first) + ", the object's run " + std::to_string(first->run_of_object) +
                                  "; " + std::to_string(allocating) + " of " + std::to_string(judged) +
                                  " runs after the first made " + std::to_string(operations) +
                                  ": a run that allocates can wait on a lock the host's other threads hold");
    if (judged == 0)
        return CheckOutcome::Skip("not run: the object slept through every block after its first, through a sine, "
                                  "noise and silence: no run to count in");
    return CheckOutcome::Pass("no heap call in any of " + Counted(judged, "run", "runs") +
                              " after the first, through a sine, noise, silence and a change of every value pin");
}

}  // namespace checks
