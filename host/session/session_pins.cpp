// The pins: the table read from the module, the values and texts the host
// holds, and pin changes delivered to every GUI object.
#include "session/host_session.h"

#include "session/session_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

void HostSession::ReadPinTable(HostedObject& audio, std::vector<std::string>& problems) {
    const auto& at = m_memory.layout().pin;
    HostBlock record(m_library, at.size + kRecordGuardBytes);
    m_pins.clear();
    for (int number = 0; number < kMaxPins; ++number) {
        m_memory.Fill(record.address(), 0, at.size);
        m_memory.Fill(record.address() + at.size, kRecordGuardByte, kRecordGuardBytes);
        const std::int64_t declared = Dispatch(audio, AUDIO_GET_PIN_PROPERTIES, number, 0, record.address());
        if (faulted()) return;
        unsigned char guard[kRecordGuardBytes];
        const std::size_t overrun =
            m_library.Read(record.address() + at.size, guard, kRecordGuardBytes) ? GuardOverrun(guard) : 0;
        if (overrun != 0)
            problems.push_back("pin " + std::to_string(number) + ": the module " + OverrunText(at.size, overrun));
        if (declared == 0) break;
        PinDeclaration pin;
        pin.index = number;
        ModuleAddress name = 0;
        m_memory.ReadI32(record.address() + at.direction, pin.direction);
        m_memory.ReadI32(record.address() + at.datatype, pin.datatype);
        m_memory.ReadU32(record.address() + at.flags, pin.flags);
        m_memory.ReadAddress(record.address() + at.name, name);
        pin.named = name != 0 && m_memory.ReadText(name, pin.name);
        if (name == 0)
            problems.push_back("pin " + std::to_string(number) + " has a null name");
        else if (!pin.named)
            problems.push_back("pin " + std::to_string(number) + " has a name at " + m_library.DescribeAddress(name) +
                               " that cannot be read");
        m_pins.push_back(pin);
        if (number == kMaxPins - 1) problems.push_back("more than " + std::to_string(kMaxPins) + " pins declared");
    }
    m_pin_bits.assign(m_pins.size(), 0);
    m_pin_texts.assign(m_pins.size(), std::string());
    m_pin_text_blocks.clear();
}

int HostSession::FindPin(const std::string& name) const {
    for (const PinDeclaration& pin : m_pins)
        if (pin.name == name) return pin.index;
    return -1;
}

std::uint32_t HostSession::PinBits(int pin) const {
    return pin >= 0 && pin < static_cast<int>(m_pin_bits.size()) ? m_pin_bits[pin] : 0;
}

void HostSession::SetPin(int pin, std::uint32_t bits) {
    if (pin < 0 || pin >= static_cast<int>(m_pin_bits.size())) return;
    m_pin_bits[pin] = bits;
    DeliverPinChange(pin);
    QueuePinStatus(pin);
}

std::string HostSession::FormatPinValue(int pin, std::uint32_t bits) const {
    const bool is_float = pin >= 0 && pin < static_cast<int>(m_pins.size()) && m_pins[pin].TakesFloat();
    if (!is_float) return std::to_string(static_cast<std::int32_t>(bits));
    const float value = PinBitsAsFloat(bits);
    char text[48];
    // The shortest text that reads back as the same float.
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(value));
        if (std::isnan(value) || std::strtof(text, nullptr) == value) break;
    }
    return text;
}

std::string HostSession::PinLabel(int pin) const {
    if (pin >= 0 && pin < static_cast<int>(m_pins.size())) return "\"" + m_pins[pin].name + "\"";
    return "pin " + std::to_string(pin);
}

ModuleAddress HostSession::PinTextFor(int pin) {
    auto held = m_pin_text_blocks.find(pin);
    if (held == m_pin_text_blocks.end()) {
        const std::string& text = m_pin_texts[pin];
        HostBlock block(m_library, text.size() + 1);
        m_library.Write(block.address(), text.c_str(), text.size() + 1);
        held = m_pin_text_blocks.emplace(pin, std::move(block)).first;
    }
    return held->second.address();
}

void HostSession::DeliverPinChange(int pin) {
    // Once runaway, nothing more is delivered until the host's own call
    // returns: with several GUI objects each level would multiply the calls.
    if (m_runaway) return;
    if (m_depth > kMaxNesting) {
        m_runaway = true;
        Report(Violation::RunawayNesting, "pin changes nested more than " + std::to_string(kMaxNesting) +
                                              " deep (a module that writes pins on their own change without end; " +
                                              "during " + Running() + ")");
        return;
    }
    for (HostedObject* gui : Objects(ObjectKind::Gui)) {
        if (gui->closing) continue;
        Dispatch(*gui, GUI_PIN_CHANGED, pin);
        if (faulted()) return;
    }
}
