#include "commands/play/player.h"

#include "hosting/modifier_keys.h"
#include "platform/host_platform.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

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

bool Player::Expect(const Script& script, const ScriptCommand& command) {
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
        }
        if (m_session.faulted()) {
            m_err << "semhost: " << script.name << ":" << command.line << ": " << m_session.fault() << '\n';
            return 3;
        }
    }
    return 0;
}
