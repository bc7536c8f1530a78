#include "timeline.h"

#include "protocol_names.h"

#include <cstdio>

Timeline::Timeline(std::ostream& out, const HostSession& session, const HostClock& clock)
    : m_out(out), m_session(session), m_clock(clock), m_start_ms(clock.Milliseconds()) {}

long Timeline::ElapsedMs() const { return static_cast<long>(m_clock.Milliseconds() - m_start_ms); }

void Timeline::Line(int depth, const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%7ld ms  ", ElapsedMs());
    m_out << stamp << std::string(static_cast<std::size_t>(depth) * 2, ' ') << text << '\n';
    m_out.flush();
}

void Timeline::Note(const std::string& text) { Line(0, text); }

void Timeline::Heading(const std::string& text) {
    m_out << "           -- " << text << '\n';
    m_out.flush();
}

std::string Timeline::PinName(std::int32_t pin) const {
    if (pin >= 0 && pin < static_cast<std::int32_t>(m_session.pins().size()))
        return "\"" + m_session.pins()[pin].name + "\"";
    return "pin " + std::to_string(pin);
}

void Timeline::OnHostCall(const HostCallEvent& call) {
    // The pin table is read in one go at the start; its dozen calls say
    // nothing a person needs to follow.
    if (call.what.rfind("AUDIO_GET_PIN_PROPERTIES", 0) == 0) return;
    const std::string target = call.target != nullptr ? call.target->label : "library";
    Line(call.depth * 2, "host -> " + target + "  " + call.what);
}

std::string Timeline::DescribeCallback(const CallbackEvent& callback) const {
    const bool gui = callback.side == ObjectKind::Gui;
    const std::string name = gui ? protocol_names::GuiCallbackOpcode(callback.opcode)
                                 : protocol_names::AudioCallbackOpcode(callback.opcode);
    const bool known = gui ? protocol_names::IsKnownGuiCallback(callback.opcode)
                           : protocol_names::IsKnownAudioCallback(callback.opcode);
    if (!known) {
        return name + " (unknown) index " + std::to_string(callback.index) + ", value " +
               std::to_string(callback.value);
    }
    if (gui) {
        switch (callback.opcode) {
        case GUI_HOST_GET_PIN_VALUE:
            return name + " " + PinName(callback.index) + " -> " +
                   m_session.FormatPinValue(callback.index, callback.pin_bits);
        case GUI_HOST_SET_PIN_VALUE:
            if (!callback.has_pin_value) return name + " " + PinName(callback.index);
            return name + " " + PinName(callback.index) + " = " +
                   m_session.FormatPinValue(callback.index, callback.pin_bits);
        case GUI_HOST_SET_PIN_TEXT:
            return name + " " + PinName(callback.index) + " = \"" + callback.text + "\"";
        case GUI_HOST_GET_PIN_TEXT:
        case GUI_HOST_GET_PIN_WIDE_TEXT:
            return name + " " + PinName(callback.index) + " -> \"" + callback.text + "\"";
        case GUI_HOST_SIGNAL:
            return name;
        default:
            return name + " index " + std::to_string(callback.index) + ", value " +
                   std::to_string(callback.value);
        }
    }
    switch (callback.opcode) {
    case AUDIO_HOST_GET_SAMPLE_CLOCK:
    case AUDIO_HOST_GET_PIN_COUNT:
    case AUDIO_HOST_GET_BLOCK_START:
        return name + " -> " + std::to_string(callback.result);
    case AUDIO_HOST_SLEEP:
    case AUDIO_HOST_PROCESS_CHANGED:
        return name;
    case AUDIO_HOST_ADD_EVENT:
        if (!callback.has_event) return name + " (no event)";
        return name + " type " + std::to_string(callback.event.event_type) + " at " +
               std::to_string(callback.event.time_stamp);
    case AUDIO_HOST_SET_PIN_STATUS:
        return name + " pin " + std::to_string(callback.index) + " status " + std::to_string(callback.value);
    default:
        return name + " pin " + std::to_string(callback.index);
    }
}

void Timeline::OnCallback(const CallbackEvent& callback) {
    const std::string caller = callback.caller != nullptr ? callback.caller->label : "?";
    Line(callback.depth * 2 - 1, caller + " -> host  " + DescribeCallback(callback));
}

void Timeline::OnViolation(Violation, const std::string& reason) {
    Line(0, "!! the host noticed: " + reason);
}
