#include "commands/validate/audio_rig.h"

#include <cstdio>

namespace {

std::string RateText(float rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%g Hz", static_cast<double>(rate));
    return text;
}

// The signals of PlaySignals, each for some blocks. The sine has a whole
// cycle in 64 samples at 48 kHz.
struct SignalStep {
    InputSignal::Kind kind;
    double level;
    int blocks;
};
constexpr SignalStep kSignals[] = {
    {InputSignal::Kind::Sine, 0.5, 4},
    {InputSignal::Kind::Noise, 0.5, 2},
    {InputSignal::Kind::Impulse, 1.0, 2},
    {InputSignal::Kind::Silence, 0.0, 3},
};
constexpr int kSignalBlocks[] = {64, 17, 1};

}  // namespace

bool DeclaresSamplePin(const HostSession& session, std::int32_t direction) {
    for (const PinDeclaration& pin : session.pins())
        if (pin.datatype == DT_FSAMPLE && pin.direction == direction && pin.HasAudioPin()) return true;
    return false;
}

bool IsAudioModule(const HostSession& session) {
    return DeclaresSamplePin(session, DR_IN) || DeclaresSamplePin(session, DR_OUT);
}

CheckOutcome NotAnAudioModule() {
    return CheckOutcome::Skip("not run: not an audio module (it declares no DT_FSAMPLE pin on its audio side)");
}

std::vector<PinDeclaration> AudioValueInputs(const HostSession& session) {
    std::vector<PinDeclaration> inputs;
    for (const PinDeclaration& pin : session.pins())
        if (pin.HasAudioPin() && pin.direction == DR_IN && pin.datatype != DT_FSAMPLE) inputs.push_back(pin);
    return inputs;
}

CheckOutcome NoSamplePin(std::int32_t direction, const std::string& what) {
    return CheckOutcome::Skip(std::string("not run: the module declares no DT_FSAMPLE ") +
                              (direction == DR_IN ? "input" : "output") + " on its audio side, " + what);
}

std::string OutputName(const HostSession& session, const ProcessingRun::Output& output) {
    if (output.pin >= 0 && output.pin < static_cast<int>(session.pins().size()))
        return "\"" + session.pins()[output.pin].name + "\"";
    return "sample pin " + std::to_string(output.audio_pin);
}

std::string RunName(const RunRecord& run) {
    return "the run at sample clock " + std::to_string(run.block_start) + " (" + RateText(run.sample_rate) +
           ", blocks of " + std::to_string(run.length) + ")";
}

int RunsMade(const std::vector<RunRecord>& runs) {
    int made = 0;
    for (const RunRecord& run : runs) made += run.ran ? 1 : 0;
    return made;
}

std::string SignalsPlayed(const std::vector<RunRecord>& runs) {
    return Counted(RunsMade(runs), "run", "runs") +
           " of a sine, noise, an impulse and silence at 48000 Hz in blocks of 64, 17 and 1, every value input at 0 "
           "and at 1";
}

InputSignal StandardSine() {
    InputSignal sine;
    sine.kind = InputSignal::Kind::Sine;
    sine.frequency = 750.0;
    sine.level = 0.5;
    return sine;
}

AudioRig::AudioRig(CheckContext& context, std::string check)
    : m_context(context), m_session(context.session()), m_check(std::move(check)) {
    m_session.AddObserver(this);
}

void ResetPins(HostSession& session) {
    for (const PinDeclaration& pin : session.pins())
        if (session.PinBits(pin.index) != 0) session.SetPin(pin.index, 0);
}

AudioRig::~AudioRig() { m_session.RemoveObserver(this); }

void AudioRig::OnRun(const ProcessingRun& run) {
    if (m_object == nullptr || run.object != m_object) return;
    RunRecord record;
    record.block_start = run.block_start;
    record.length = run.length;
    record.sample_rate = run.sample_rate;
    record.ran = run.ran;
    record.run_of_object = run.ran ? ++m_object_runs : 0;
    record.slept_while_sounding = run.SleptWhileSounding();
    record.heap_operations = run.heap_operations;
    record.outputs = run.outputs;
    m_runs.push_back(std::move(record));
}

void AudioRig::OnViolation(Violation kind, const std::string& reason) {
    if (kind == Violation::BufferOverrun && m_overruns++ == 0) m_overrun = reason;
    if (kind == Violation::InputOverwritten && m_inputs_written++ == 0) m_input_written = reason;
}

std::string AudioRig::Where() const {
    if (m_object == nullptr) return "";
    return "at " + RateText(m_object->sample_rate) + ", blocks of " + std::to_string(m_object->block_size) + ", " +
           m_signal.Describe() + " in";
}

bool AudioRig::Going() {
    const std::string where = Where();
    m_context.FaultContext(where);
    m_context.Within(where.empty() ? m_check : m_check + ", " + where);
    return !m_session.faulted() && m_context.Breach() == nullptr;
}

bool AudioRig::Open(float rate, int block, const InputSignal& signal) {
    if (m_object != nullptr && !Close()) return false;
    m_signal = signal;
    m_context.FaultContext("making an audio object");
    m_object = m_session.Create(ObjectKind::Audio, m_problem);
    if (m_object == nullptr) return false;
    m_object_runs = 0;
    m_session.Dispatch(*m_object, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, rate);
    m_session.Dispatch(*m_object, AUDIO_SET_BLOCK_SIZE, 0, block);
    if (!Going()) return false;
    m_session.Dispatch(*m_object, AUDIO_OPEN);
    if (!Going()) return false;
    Feed(signal);
    return Going();
}

void AudioRig::Announce(float rate, int block) {
    if (m_object == nullptr) return;
    m_session.Dispatch(*m_object, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, rate);
    if (m_session.faulted()) return;
    m_session.Dispatch(*m_object, AUDIO_SET_BLOCK_SIZE, 0, block);
}

void AudioRig::Feed(const InputSignal& signal) {
    if (m_object == nullptr) return;
    m_signal = signal;
    for (const PinDeclaration& pin : m_session.pins()) {
        if (pin.datatype != DT_FSAMPLE || pin.direction != DR_IN) continue;
        m_session.SetInputSignal(*m_object, pin.index, signal);
        if (m_session.faulted()) return;
    }
}

bool AudioRig::Run(int blocks) {
    if (m_object == nullptr || !Going()) return false;
    m_session.Process(*m_object, blocks);
    return Going();
}

bool AudioRig::Set(int pin, std::uint32_t bits) {
    if (!Going()) return false;
    m_session.SetPin(pin, bits);
    return Going();
}

bool AudioRig::Close() {
    if (m_object == nullptr) return true;
    if (!Going()) return false;
    HostedObject* closing = m_object;
    m_session.Close(*closing);
    const bool going = Going();
    m_object = nullptr;
    return going;
}

bool AudioRig::PlaySignals() {
    // At 0, where a patch starts, a gain is silent; at 1 it passes its input.
    for (const int value : {0, 1}) {
        for (const PinDeclaration& pin : AudioValueInputs(m_session))
            m_session.SetPin(pin.index, pin.TakesFloat() ? PinBitsOfFloat(static_cast<float>(value))
                                                         : static_cast<std::uint32_t>(value));
        for (const int block : kSignalBlocks) {
            if (!Open(48000.0f, block, StandardSine())) return false;
            for (const SignalStep& step : kSignals) {
                InputSignal signal = StandardSine();
                signal.kind = step.kind;
                signal.level = step.level;
                signal.seed = 1;
                Feed(signal);
                if (!Run(step.blocks)) return false;
            }
            if (!Close()) return false;
        }
    }
    return true;
}

CheckOutcome AudioRig::Stop() {
    // The validator gives a fault its own reason, with where it came.
    if (m_session.faulted()) return CheckOutcome::Fail("");
    if (const std::string* breach = m_context.Breach()) {
        const std::string told = *breach;
        m_object = nullptr;
        m_session.CloseAll();
        return CheckOutcome::Fail(told + "; the check stopped there");
    }
    m_object = nullptr;
    m_session.CloseAll();
    return CheckOutcome::Fail(m_problem.empty() ? "the audio object could not be run" : m_problem);
}
