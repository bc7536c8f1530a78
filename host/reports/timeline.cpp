#include "reports/timeline.h"

#include "protocol/protocol_names.h"
#include "reports/timeline_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

Timeline::Timeline(std::ostream& out, const HostSession& session, const HostClock& clock,
                   SessionRecord& record, Detail detail)
    : m_out(out),
      m_session(session),
      m_clock(clock),
      m_record(record),
      m_detail(detail),
      m_start_ms(clock.Milliseconds()) {
    m_record.clock = clock.mode() == HostClock::Mode::Virtual ? "virtual" : "real";
    m_record.pins.clear();
    for (const PinDeclaration& pin : session.pins()) {
        RecordedPin recorded;
        recorded.index = pin.index;
        recorded.name = pin.name;
        recorded.datatype = DataTypeName(pin.datatype);
        recorded.output = pin.direction == DR_OUT;
        switch (pin.datatype) {
        case DT_FLOAT:
            recorded.kind = RecordedPin::Kind::Float;
            break;
        case DT_BOOL:
            recorded.kind = RecordedPin::Kind::OnOff;
            break;
        case DT_FSAMPLE:
            recorded.kind = RecordedPin::Kind::Stream;
            break;
        default:
            recorded.kind = RecordedPin::Kind::Whole;
            break;
        }
        const std::uint32_t bits = session.PinBits(pin.index);
        recorded.initial = session.FormatPinValue(pin.index, bits);
        recorded.initial_value =
            pin.TakesFloat() ? PinBitsAsFloat(bits) : static_cast<double>(static_cast<std::int32_t>(bits));
        m_record.pins.push_back(recorded);
    }
    RecordedMoment start;
    start.kind = RecordedMoment::Kind::Start;
    start.text = "the host opens the module";
    start.begin = Now();
    m_record.moments.push_back(start);
}

std::size_t Timeline::TrimRecord(std::size_t keep) {
    if (!m_open.empty()) return 0;
    return m_record.KeepNewestMoments(keep);
}

long Timeline::ElapsedMs() const { return static_cast<long>(m_clock.Milliseconds() - m_start_ms); }

RecordTime Timeline::Now() { return RecordTime{static_cast<std::uint32_t>(ElapsedMs()), m_order++}; }

int Timeline::Line(RecordedLine::Kind kind, int depth, const std::string& text, bool shown) {
    RecordedLine line;
    line.kind = kind;
    line.moment = static_cast<int>(m_record.moments.size()) - 1;
    line.depth = depth;
    line.text = text;
    line.begin = Now();
    line.end = line.begin;
    line.parent = m_open.empty() ? -1 : m_open.back();
    m_record.lines.push_back(line);
    if (shown) {
        m_out << TimelineLineText(line) << '\n';
        m_out.flush();
    }
    return static_cast<int>(m_record.lines.size()) - 1;
}

void Timeline::CloseFrom(int depth) {
    while (!m_open.empty() && m_record.lines[m_open.back()].depth >= depth) {
        m_record.lines[m_open.back()].end = Now();
        m_open.pop_back();
    }
}

void Timeline::BeginMoment(RecordedMoment::Kind kind, const std::string& text, int pin, int script_line) {
    CloseFrom(0);
    const RecordTime now = Now();
    m_record.moments.back().end = now;
    RecordedMoment moment;
    moment.kind = kind;
    moment.text = text;
    moment.pin = pin;
    moment.script_line = script_line;
    moment.section = m_section;
    m_section.clear();
    for (const std::string& key : m_keys_held) moment.keys += (moment.keys.empty() ? "" : "+") + key;
    moment.begin = now;
    moment.end = now;
    m_record.moments.push_back(moment);
}

void Timeline::Note(const std::string& text) { Line(RecordedLine::Kind::Note, 0, text, true); }

void Timeline::Heading(const std::string& text) {
    m_section += (m_section.empty() ? "" : "\n") + text;
    m_out << TimelineHeadingText(text) << '\n';
    m_out.flush();
}

void Timeline::RecordChange(int pin, std::uint32_t bits, bool by_module, int line) {
    if (pin < 0 || pin >= static_cast<int>(m_record.pins.size())) return;
    RecordedChange change;
    change.moment = static_cast<int>(m_record.moments.size()) - 1;
    change.line = line;
    change.time = line >= 0 ? m_record.lines[line].begin : Now();
    change.pin = pin;
    change.text = m_session.FormatPinValue(pin, bits);
    change.value = m_session.pins()[pin].TakesFloat() ? PinBitsAsFloat(bits)
                                                      : static_cast<double>(static_cast<std::int32_t>(bits));
    change.by_module = by_module;
    m_record.changes.push_back(change);
}

void Timeline::PinSet(int pin, std::uint32_t bits) {
    RecordChange(pin, bits, false, m_record.lines.empty() ? -1 : static_cast<int>(m_record.lines.size()) - 1);
}

void Timeline::KeyHeld(const std::string& key, bool held) {
    const int moment = static_cast<int>(m_record.moments.size()) - 1;
    const auto found = std::find(m_keys_held.begin(), m_keys_held.end(), key);
    if (held && found == m_keys_held.end()) {
        m_keys_held.push_back(key);
        m_record.holds.push_back(RecordedHold{key, moment, -1});
    } else if (!held && found != m_keys_held.end()) {
        m_keys_held.erase(found);
        for (RecordedHold& hold : m_record.holds)
            if (hold.key == key && hold.to < 0) hold.to = moment;
    }
}

void Timeline::Expectation(int pin, const std::string& text, bool held) {
    Note(text);
    m_record.expects.push_back(
        RecordedExpect{static_cast<int>(m_record.moments.size()) - 1, pin, text, held});
}

void Timeline::Fault(const std::string& text) {
    if (!m_record.fault.empty()) return;
    for (int open : m_open)
        if (m_record.lines[open].kind == RecordedLine::Kind::HostCall) m_record.lines[open].returned = false;
    CloseFrom(0);
    m_record.fault = text;
    m_record.fault_moment = static_cast<int>(m_record.moments.size()) - 1;
    m_record.fault_time = m_record.lines[Line(RecordedLine::Kind::Violation, 0, "!! " + text, true)].begin;
}

void Timeline::Finish() {
    CloseFrom(0);
    m_record.finish = Now();
    m_record.moments.back().end = m_record.finish;
}

std::string Timeline::PinName(std::int32_t pin) const {
    if (pin >= 0 && pin < static_cast<std::int32_t>(m_session.pins().size()))
        return "\"" + m_session.pins()[pin].name + "\"";
    return "pin " + std::to_string(pin);
}

void Timeline::OnHostCall(const HostCallEvent& call) {
    CloseFrom(call.depth * 2);
    // The pin table is read in one go at the start; its dozen calls say
    // nothing a person needs to follow.
    if (call.what.rfind("AUDIO_GET_PIN_PROPERTIES", 0) == 0) return;
    const std::string target = call.target != nullptr ? call.target->label : "library";
    m_open.push_back(Line(RecordedLine::Kind::HostCall, call.depth * 2,
                          "host -> " + target + "  " + call.what, m_detail == Detail::Full));
}

void Timeline::OnHostCallEnd(const HostCallEvent& call) {
    // Ends the call and all still open inside it; a call that was not
    // recorded (the pin table's) has nothing to end.
    for (std::size_t i = m_open.size(); i-- > 0;) {
        const RecordedLine& line = m_record.lines[m_open[i]];
        if (line.kind == RecordedLine::Kind::HostCall && line.depth == call.depth * 2) {
            CloseFrom(call.depth * 2);
            return;
        }
        if (line.depth < call.depth * 2) return;
    }
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
        return name + " " + (callback.pin >= 0 ? PinName(callback.pin) : "pin " + std::to_string(callback.index)) +
               " status " + std::to_string(callback.value) + " at " +
               std::to_string(static_cast<std::uint32_t>(callback.ptr));
    default:
        return name + " " + (callback.pin >= 0 ? PinName(callback.pin) : "pin " + std::to_string(callback.index));
    }
}

void Timeline::OnCallback(const CallbackEvent& callback) {
    const int depth = callback.depth * 2 - 1;
    CloseFrom(depth);
    const bool gui = callback.side == ObjectKind::Gui;
    // A write of the module's: the brief text keeps it.
    const bool write =
        gui ? callback.opcode == GUI_HOST_SET_PIN_VALUE || callback.opcode == GUI_HOST_SET_PIN_TEXT
            : callback.opcode == AUDIO_HOST_SET_PIN_STATUS;
    const std::string caller = callback.caller != nullptr ? callback.caller->label : "?";
    const int line =
        Line(RecordedLine::Kind::Callback, depth, caller + " -> host  " + DescribeCallback(callback),
             m_detail == Detail::Full || write);
    m_open.push_back(line);
    if (gui && callback.opcode == GUI_HOST_SET_PIN_VALUE && callback.has_pin_value)
        RecordChange(callback.index, callback.pin_bits, true, line);
}

void Timeline::OnViolation(Violation, const std::string& reason) {
    if (m_breaches++ == 0) m_first_breach = reason;
    Line(RecordedLine::Kind::Violation, 0, "!! the host noticed: " + reason, true);
}

void Timeline::OnRun(const ProcessingRun& run) {
    if (run.object == nullptr) return;
    const HostedObject& audio = *run.object;
    RecordedBlocks entry;
    entry.moment = static_cast<int>(m_record.moments.size()) - 1;
    entry.time = Now();
    entry.block_start = run.block_start;
    entry.length = static_cast<std::uint64_t>(std::max(run.length, 0));
    entry.ran = run.ran ? 1 : 0;
    entry.sample_rate = run.sample_rate;
    for (const auto& [index, port] : audio.sample_ports) {
        if (index < 0 || index >= static_cast<int>(audio.audio_pins.size())) continue;
        RecordedLevel level;
        level.pin = audio.audio_pins[index].declaration;
        level.stats.Add(port.block.data(), port.block.size());
        bool any = false;
        for (const float sample : port.block) {
            if (!std::isfinite(sample)) continue;
            level.low = any ? std::min(level.low, sample) : sample;
            level.high = any ? std::max(level.high, sample) : sample;
            any = true;
        }
        entry.levels.push_back(level);
    }
    AddRecordedBlocks(m_record, entry);
}
