#include "commands/play/player.h"

#include "hosting/modifier_keys.h"
#include "reports/check_report.h"
#include "platform/host_platform.h"

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace {

// Adds up each sample output over the blocks of one `run`.
struct RunTotals : SessionObserver {
    const HostedObject* audio = nullptr;
    std::map<int, SampleStats> outputs;
    int blocks = 0;
    int runs = 0;
    void OnRun(const ProcessingRun& run) override {
        if (run.object != audio) return;
        ++blocks;
        runs += run.ran ? 1 : 0;
        for (const ProcessingRun::Output& output : run.outputs) outputs[output.pin].Merge(output.stats);
    }
};

std::string KeyLabel(const std::string& name) {
    const ModifierKey* key = FindModifierKey(name);
    return key != nullptr ? key->label : name;
}

}  // namespace

Player::Player(HostSession& session, Timeline& timeline, HostClock& clock, std::ostream& err)
    : m_session(session), m_timeline(timeline), m_clock(clock), m_err(err) {}

Player::~Player() { host_platform::ReleaseHeldKeys(); }

std::uint32_t Player::ValueBits(int pin, const std::string& text) const {
    const double value = std::strtod(text.c_str(), nullptr);
    std::uint32_t bits;
    if (m_session.pins()[pin].TakesFloat()) {
        bits = PinBitsOfFloat(static_cast<float>(value));
    } else {
        bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
    }
    return bits;
}

void Player::SetPin(int pin, std::uint32_t bits) {
    m_timeline.Note("set \"" + m_session.pins()[pin].name + "\" = " + m_session.FormatPinValue(pin, bits));
    m_timeline.PinSet(pin, bits);
    m_session.SetPin(pin, bits);
}

// Another value of the pin's type than the one the host holds: a switch
// flips, a number goes up by one (down at the top of its range).
std::uint32_t Player::ChangedBits(int pin) const {
    const PinDeclaration& declaration = m_session.pins()[pin];
    const std::uint32_t held = m_session.PinBits(pin);
    if (declaration.TakesFloat()) {
        const float value = PinBitsAsFloat(held);
        if (!std::isfinite(value) || std::fabs(value) > 1e6f)
            return PinBitsOfFloat(value == 0.0f ? 1.0f : 0.0f);
        return PinBitsOfFloat(value + 1.0f);
    }
    const auto value = static_cast<std::int32_t>(held);
    if (declaration.datatype == DT_BOOL) return value == 0 ? 1 : 0;
    const std::int32_t top = declaration.datatype == DT_SHORT ? 32767 : 2147483647;
    return static_cast<std::uint32_t>(value >= top ? value - 1 : value + 1);
}

void Player::IdleAll() {
    for (HostedObject* gui : m_session.Objects(ObjectKind::Gui)) {
        m_session.Dispatch(*gui, GUI_IDLE);
        if (m_session.faulted()) return;
    }
}

HostedObject* Player::Audio() const {
    const std::vector<HostedObject*> audio = m_session.Objects(ObjectKind::Audio);
    return audio.empty() ? nullptr : audio.front();
}

int Player::BlocksOfRun(const ScriptCommand& command, int block_size) {
    if (!command.in_samples) return static_cast<int>(command.count);
    return static_cast<int>((command.count + block_size - 1) / block_size);
}

void Player::Signal(const ScriptCommand& command) {
    const std::string said = "signal \"" + m_session.pins()[command.pin].name + "\" = " + command.signal.Describe();
    m_timeline.BeginMoment(RecordedMoment::Kind::Signal, said, command.pin, command.line);
    HostedObject* audio = Audio();
    const int audio_pin = audio != nullptr ? audio->AudioPinOf(command.pin) : -1;
    if (audio_pin < 0) {
        m_timeline.Note(said + " (the audio object has no such input)");
        return;
    }
    m_timeline.Note(said + " from sample clock " + std::to_string(audio->block_start));
    m_session.SetInputSignal(*audio, command.pin, command.signal);
}

void Player::RunBlocks(const ScriptCommand& command) {
    const std::string said = "run " + Counted(command.count, command.in_samples ? "sample" : "block",
                                             command.in_samples ? "samples" : "blocks");
    m_timeline.BeginMoment(RecordedMoment::Kind::Run, said, -1, command.line);
    HostedObject* audio = Audio();
    if (audio == nullptr) {
        m_timeline.Note(said + ": no audio object is open");
        return;
    }
    const int length = HostSession::RunLength(*audio);
    const int blocks = BlocksOfRun(command, length);
    m_timeline.Note(said + ": " + Counted(blocks, "block", "blocks") + " of " + std::to_string(length) +
                    " samples from sample clock " + std::to_string(audio->block_start));
    RunTotals totals;
    totals.audio = audio;
    m_session.AddObserver(&totals);
    m_session.Process(*audio, blocks);
    m_session.RemoveObserver(&totals);
    if (m_session.faulted()) return;
    const int slept = totals.blocks - totals.runs;
    m_timeline.Note(Counted(totals.runs, "run", "runs") +
                    (slept > 0 ? ", asleep through " + Counted(slept, "block", "blocks") : std::string()));
    m_last_run = totals.outputs;
    for (const auto& [pin, stats] : m_last_run)
        m_timeline.Note("\"" + m_session.pins()[pin].name + "\": " + stats.Describe());
}

bool Player::ExpectMeasure(const Script& script, const ScriptCommand& command) {
    const int pin = command.pin;
    const std::string& name = m_session.pins()[pin].name;
    const auto found = m_last_run.find(pin);
    const bool ran = found != m_last_run.end();
    const SampleStats stats = ran ? found->second : SampleStats{};
    const char* measure = MeasureName(command.measure);
    std::string expected;
    std::string actual;
    bool met;
    if (command.measure == ScriptCommand::Measure::Silent) {
        met = ran && stats.Silent();
        char text[48];
        std::snprintf(text, sizeof text, "peak %.9g", stats.peak);
        actual = stats.Finite() ? std::string(text) : std::to_string(stats.nan) + " NaN, " +
                                                          std::to_string(stats.infinite) + " Inf";
    } else {
        // Peak and RMS compared as the 32-bit floats samples are.
        const float value = static_cast<float>(command.measure == ScriptCommand::Measure::Peak ? stats.peak : stats.Rms());
        const float low = std::strtof(command.value_text.c_str(), nullptr);
        const float high = command.is_range ? std::strtof(command.high_text.c_str(), nullptr) : low;
        met = ran && value >= low && value <= high;
        char text[48];
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
        actual = text;
        expected = command.is_range ? " in " + command.value_text + " .. " + command.high_text
                                    : " = " + command.value_text;
    }
    if (!ran) actual = "no run yet";
    const std::string said = "expect \"" + name + "\" " + measure + expected;
    m_timeline.BeginMoment(RecordedMoment::Kind::Expect, said, pin, command.line);
    m_timeline.Expectation(pin, said + (met ? ": ok (" : ": FAILED (") + actual + ")", met);
    if (met) return true;
    m_err << "semhost: " << script.name << ":" << command.line << ": expected \"" << name << "\" " << measure
          << expected << " over the last run, actual " << actual << '\n';
    return false;
}

bool Player::Expect(const Script& script, const ScriptCommand& command) {
    if (command.measure != ScriptCommand::Measure::None) return ExpectMeasure(script, command);
    const int pin = command.pin;
    const std::string& name = m_session.pins()[pin].name;
    const std::uint32_t held = m_session.PinBits(pin);
    const std::string actual = m_session.FormatPinValue(pin, held);
    bool met;
    std::string expected;
    if (m_session.pins()[pin].TakesFloat()) {
        const float value = PinBitsAsFloat(held);
        const float low = PinBitsAsFloat(ValueBits(pin, command.value_text));
        if (command.is_range) {
            const float high = PinBitsAsFloat(ValueBits(pin, command.high_text));
            met = value >= low && value <= high;
            expected = m_session.FormatPinValue(pin, ValueBits(pin, command.value_text)) + " .. " +
                       m_session.FormatPinValue(pin, ValueBits(pin, command.high_text));
        } else {
            // NaN is expected by writing nan; it equals nothing else.
            met = value == low || (std::isnan(value) && std::isnan(low));
            expected = m_session.FormatPinValue(pin, ValueBits(pin, command.value_text));
        }
    } else {
        const auto value = static_cast<std::int32_t>(held);
        const auto low = static_cast<std::int32_t>(ValueBits(pin, command.value_text));
        if (command.is_range) {
            const auto high = static_cast<std::int32_t>(ValueBits(pin, command.high_text));
            met = value >= low && value <= high;
            expected = std::to_string(low) + " .. " + std::to_string(high);
        } else {
            met = value == low;
            expected = std::to_string(low);
        }
    }
    const std::string said = "expect \"" + name + "\" " + (command.is_range ? "in " : "= ") + expected;
    m_timeline.BeginMoment(RecordedMoment::Kind::Expect, said, pin, command.line);
    m_timeline.Expectation(pin, said + (met ? ": ok (" : ": FAILED (") + actual + ")", met);
    if (met) return true;
    m_err << "semhost: " << script.name << ":" << command.line << ": expected \"" << name << "\" "
          << (command.is_range ? "in " : "= ") << expected << ", actual " << actual << '\n';
    return false;
}

int Player::Run(const Script& script) {
    for (const ScriptCommand& command : script.commands) {
        if (const int signal_number = host_platform::InterruptSignal()) return 128 + signal_number;
        switch (command.kind) {
        case ScriptCommand::Kind::Heading:
            m_timeline.Heading(command.text);
            break;
        case ScriptCommand::Kind::Set:
            m_timeline.BeginMoment(RecordedMoment::Kind::Set,
                                   "set \"" + m_session.pins()[command.pin].name + "\" = " +
                                       m_session.FormatPinValue(command.pin, ValueBits(command.pin, command.value_text)),
                                   command.pin, command.line);
            SetPin(command.pin, ValueBits(command.pin, command.value_text));
            break;
        case ScriptCommand::Kind::Change: {
            // A step of the generic session: shown and summed up as a set.
            const std::uint32_t bits = ChangedBits(command.pin);
            m_timeline.BeginMoment(RecordedMoment::Kind::Set,
                                   "set \"" + m_session.pins()[command.pin].name + "\" = " +
                                       m_session.FormatPinValue(command.pin, bits),
                                   command.pin, command.line);
            SetPin(command.pin, bits);
            break;
        }
        case ScriptCommand::Kind::Click:
            m_timeline.BeginMoment(RecordedMoment::Kind::Click, "click \"" + m_session.pins()[command.pin].name + "\"",
                                   command.pin, command.line);
            SetPin(command.pin, ValueBits(command.pin, "1"));
            if (!m_session.faulted()) SetPin(command.pin, ValueBits(command.pin, "0"));
            break;
        case ScriptCommand::Kind::Press:
        case ScriptCommand::Kind::Release: {
            const bool press = command.kind == ScriptCommand::Kind::Press;
            const std::string step = std::string(press ? "press " : "release ") + KeyLabel(command.key_name);
            m_timeline.BeginMoment(press ? RecordedMoment::Kind::Press : RecordedMoment::Kind::Release, step, -1,
                                   command.line);
            const bool taken = host_platform::SetKeyHeld(command.key, press);
            m_timeline.Note(step + (taken ? "" : " (the system did not take the key)"));
            m_timeline.KeyHeld(KeyLabel(command.key_name), press);
            break;
        }
        case ScriptCommand::Kind::Wait:
            m_timeline.BeginMoment(RecordedMoment::Kind::Wait, "wait " + std::to_string(command.milliseconds) + " ms",
                                   -1, command.line);
            m_timeline.Note("wait " + std::to_string(command.milliseconds) + " ms");
            // A person watching a real wait sees the timeline up to it.
            if (m_clock.mode() == HostClock::Mode::Real) m_timeline.Flush();
            m_clock.Wait(static_cast<std::uint32_t>(command.milliseconds));
            if (const int signal_number = host_platform::InterruptSignal()) return 128 + signal_number;
            IdleAll();
            break;
        case ScriptCommand::Kind::Idle:
            m_timeline.BeginMoment(RecordedMoment::Kind::Idle, "idle", -1, command.line);
            IdleAll();
            break;
        case ScriptCommand::Kind::Expect:
            if (!Expect(script, command)) return 1;
            break;
        case ScriptCommand::Kind::Signal:
            Signal(command);
            break;
        case ScriptCommand::Kind::Run:
            RunBlocks(command);
            break;
        }
        if (m_session.faulted()) {
            m_err << "semhost: " << script.name << ":" << command.line << ": " << m_session.fault() << '\n';
            return 3;
        }
    }
    return 0;
}
