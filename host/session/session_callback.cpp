// The host's callback: what the module asks of the host, answered as a
// careful host answers, with each request checked against the contract.
#include "session/host_session.h"

#include "SEProtocol.h"
#include "protocol/protocol_names.h"
#include "session/session_text.h"

#include <algorithm>
#include <bit>


std::int64_t HostSession::OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index,
                                           std::int32_t value, ModuleAddress ptr, float opt) {
    ++m_callbacks;
    HostedObject* owner = FindObject(record);
    HostedObject* running = m_active.empty() ? nullptr : m_active.back();
    const ObjectKind side = owner != nullptr     ? owner->kind
                            : running != nullptr ? running->kind
                                                 : ObjectKind::Gui;
    const std::string opcode_name = side == ObjectKind::Gui ? protocol_names::GuiCallbackOpcode(opcode)
                                                            : protocol_names::AudioCallbackOpcode(opcode);
    if (running == nullptr) {
        const std::string during = m_running.empty() ? std::string("while the host was not calling the module")
                                                     : "during " + m_running.back();
        Report(Violation::ForeignRecord, opcode_name + " " + during + ", before the host had an object to answer");
        if (owner == nullptr) return 0;
    } else if (owner != running) {
        Report(Violation::ForeignRecord,
               opcode_name + " came with " +
                   (owner != nullptr ? owner->label + "'s record"
                                     : "the record " + session_text::HexAddress(record, m_memory.pointer_size()) +
                                           ", which is no object's") +
                   " while the host was calling " + running->label + " (" + Running() + ")");
    }
    // Answer as the object the host is calling: that is who asked.
    HostedObject& caller = running != nullptr ? *running : *owner;

    CallbackEvent event;
    event.caller = owner != nullptr ? owner : &caller;
    event.side = caller.kind;
    event.opcode = opcode;
    event.index = index;
    event.value = value;
    event.ptr = ptr;
    event.opt = opt;
    event.depth = m_depth;

    const bool known = caller.kind == ObjectKind::Gui ? protocol_names::IsKnownGuiCallback(opcode)
                                                      : protocol_names::IsKnownAudioCallback(opcode);
    std::vector<int> changed_pins;
    if (!known) {
        Report(Violation::UnknownOpcode, caller.label + " called back with " + opcode_name + ", which the " +
                                             (caller.kind == ObjectKind::Gui ? "GUI" : "audio") +
                                             " side does not have (during " + Running() + ")");
    } else if (caller.kind == ObjectKind::Gui) {
        event.result = HandleGui(event, changed_pins);
    } else {
        // Pin-array indices name the declaration they are bound to.
        if (event.index >= 0 && event.index < static_cast<int>(caller.audio_pins.size()) &&
            (event.opcode == AUDIO_HOST_SET_PIN_STATUS || event.opcode == AUDIO_HOST_GET_PIN_BUFFER ||
             event.opcode == AUDIO_HOST_GET_BLOCK_START || event.opcode == AUDIO_HOST_PIN_DATA ||
             event.opcode == AUDIO_HOST_QUERY_PIN))
            event.pin = caller.audio_pins[event.index].declaration;
        event.result = HandleAudio(caller, event);
    }
    for (SessionObserver* observer : m_observers) observer->OnCallback(event);
    // A changed pin reaches every GUI object before the module's write returns.
    for (int pin : changed_pins) DeliverPinChange(pin);
    return event.result;
}

bool HostSession::CheckPinIndex(const CallbackEvent& event, const std::string& opcode_name) {
    if (event.index >= 0 && event.index < static_cast<int>(m_pins.size())) return true;
    Report(Violation::BadArguments, opcode_name + " for pin " + std::to_string(event.index) + ", which the module " +
                                        "did not declare (" + std::to_string(m_pins.size()) + " pins; during " +
                                        Running() + ")");
    return false;
}

std::int64_t HostSession::HandleGui(CallbackEvent& event, std::vector<int>& changed_pins) {
    const std::string opcode_name = protocol_names::GuiCallbackOpcode(event.opcode);
    const std::string during = " (during " + Running() + ")";
    switch (event.opcode) {
    case GUI_HOST_GET_PIN_VALUE: {
        if (event.ptr == 0) {
            Report(Violation::BadArguments, opcode_name + " with a null slot" + during);
            return 0;
        }
        const bool known_pin = CheckPinIndex(event, opcode_name);
        // The module relies on the slot being written, whatever it asked.
        const std::uint32_t bits = known_pin ? m_pin_bits[event.index] : 0;
        if (!m_memory.WriteU32(event.ptr, bits))
            Report(Violation::BadArguments, opcode_name + " with a slot at " + m_library.DescribeAddress(event.ptr) +
                                                " that the module cannot write" + during);
        event.has_pin_value = true;
        event.pin_bits = bits;
        return 0;
    }
    case GUI_HOST_SET_PIN_VALUE: {
        if (!CheckPinIndex(event, opcode_name)) return 0;
        const PinDeclaration& pin = m_pins[event.index];
        std::uint32_t bits;
        if (pin.TakesFloat()) {
            bits = PinBitsOfFloat(event.opt);
            if (event.value != 0)
                Report(Violation::BadArguments, opcode_name + " for float pin " + PinLabel(event.index) +
                                                    " with a nonzero value " + std::to_string(event.value) + during);
        } else {
            bits = static_cast<std::uint32_t>(event.value);
            if (std::bit_cast<std::uint32_t>(event.opt) != 0)
                Report(Violation::BadArguments,
                       opcode_name + " for integer pin " + PinLabel(event.index) + " with a nonzero opt" + during);
        }
        event.has_pin_value = true;
        event.pin_bits = bits;
        if (bits != m_pin_bits[event.index]) {
            m_pin_bits[event.index] = bits;
            changed_pins.push_back(event.index);
            QueuePinStatus(event.index);
        }
        return 0;
    }
    case GUI_HOST_SET_PIN_TEXT: {
        if (!CheckPinIndex(event, opcode_name)) return 0;
        if (event.ptr == 0) {
            Report(Violation::BadArguments, opcode_name + " with a null text" + during);
            return 0;
        }
        if (!m_memory.ReadText(event.ptr, event.text)) {
            Report(Violation::BadArguments, opcode_name + " with a text at " + m_library.DescribeAddress(event.ptr) +
                                                " that cannot be read" + during);
            return 0;
        }
        if (event.text != m_pin_texts[event.index]) {
            m_pin_texts[event.index] = event.text;
            m_pin_text_blocks.erase(event.index);  // the old text's copy is no longer valid
            changed_pins.push_back(event.index);
        }
        return 0;
    }
    case GUI_HOST_GET_PIN_TEXT: {
        if (!CheckPinIndex(event, opcode_name)) return static_cast<std::int64_t>(m_empty_text.address());
        event.text = m_pin_texts[event.index];
        return static_cast<std::int64_t>(PinTextFor(event.index));
    }
    case GUI_HOST_GET_PIN_WIDE_TEXT: {
        const bool known_pin = CheckPinIndex(event, opcode_name);
        const std::string text = known_pin ? m_pin_texts[event.index] : std::string();
        event.text = text;
        const std::int32_t units = static_cast<std::int32_t>(text.size()) + 1;
        if (event.ptr == 0) return units;
        if (event.value <= 0) {
            Report(Violation::BadArguments,
                   opcode_name + " with a buffer of " + std::to_string(event.value) + " units" + during);
            return units;
        }
        // Bytes are taken as Latin-1, one 16-bit little-endian unit each.
        const std::int32_t copied = std::min(event.value - 1, units - 1);
        std::vector<unsigned char> wide(static_cast<std::size_t>(copied + 1) * 2, 0);
        for (std::int32_t i = 0; i < copied; ++i) wide[static_cast<std::size_t>(i) * 2] = static_cast<unsigned char>(text[i]);
        if (!m_library.Write(event.ptr, wide.data(), wide.size()))
            Report(Violation::BadArguments, opcode_name + " with a buffer of " + std::to_string(event.value) +
                                                " units at " + m_library.DescribeAddress(event.ptr) +
                                                " that the module cannot write" + during);
        return units;
    }
    case GUI_HOST_INDEXED_REQUEST:
    case GUI_HOST_CONTEXT_REQUEST_A:
    case GUI_HOST_CONTEXT_REQUEST_B:
    case GUI_HOST_CONTEXT_QUERY:
    case GUI_HOST_SIGNAL:
    default:
        return 0;
    }
}

std::int64_t HostSession::HandleAudio(HostedObject& caller, CallbackEvent& event) {
    const std::string opcode_name = protocol_names::AudioCallbackOpcode(event.opcode);
    const std::string during = " (during " + Running() + ")";
    switch (event.opcode) {
    case AUDIO_HOST_GET_SAMPLE_CLOCK:
        return static_cast<std::int64_t>(sample_clock());
    case AUDIO_HOST_SET_PIN_STATUS: {
        const auto clock = static_cast<std::uint32_t>(event.ptr);
        if (SampleClockBefore(clock, sample_clock()))
            Report(Violation::BadArguments, opcode_name + " at sample clock " + std::to_string(clock) +
                                                ", before the current " + std::to_string(sample_clock()) + during);
        else
            caller.sent_status[event.index] = event.value;
        return 0;
    }
    case AUDIO_HOST_GET_PIN_BUFFER: {
        if (!CheckPinIndex(event, opcode_name)) return 0;
        // The same buffer however often it is asked: the module keeps it.
        return static_cast<std::int64_t>(PortOf(caller, event.index).buffer->address());
    }
    case AUDIO_HOST_GET_BLOCK_START:
        return static_cast<std::int64_t>(static_cast<std::uint32_t>(caller.block_start));
    case AUDIO_HOST_SLEEP:
        caller.sleeping = true;
        return 0;
    case AUDIO_HOST_GET_PIN_COUNT:
        return static_cast<std::int64_t>(m_pins.size());
    case AUDIO_HOST_ADD_EVENT: {
        if (event.ptr == 0) {
            Report(Violation::BadArguments, opcode_name + " with a null event" + during);
            return 0;
        }
        // The event lives on the module's stack: copy it now.
        const auto& at = m_memory.layout().event;
        QueuedEvent queued;
        if (!m_memory.ReadU32(event.ptr + at.time_stamp, queued.time_stamp) ||
            !m_memory.ReadI32(event.ptr + at.event_type, queued.event_type) ||
            !m_memory.ReadI32(event.ptr + at.param_a, queued.param_a) ||
            !m_memory.ReadI32(event.ptr + at.param_b, queued.param_b) ||
            !m_memory.ReadAddress(event.ptr + at.param_ptr, queued.param_ptr)) {
            Report(Violation::BadArguments, opcode_name + " with an event at " + m_library.DescribeAddress(event.ptr) +
                                                " that cannot be read" + during);
            return 0;
        }
        event.has_event = true;
        event.event = queued;
        // A stamp just after the 32-bit wrap is in the future, as the module
        // reckons it too.
        if (SampleClockBefore(queued.time_stamp, sample_clock())) {
            Report(Violation::BadArguments, opcode_name + " for sample clock " + std::to_string(queued.time_stamp) +
                                                ", before the current " + std::to_string(sample_clock()) + during);
            return 0;
        }
        if (caller.pending_events.size() >= kMaxQueuedEvents) {
            Report(Violation::RunawayEvents, opcode_name + ": " + caller.label + " has " +
                                                 std::to_string(kMaxQueuedEvents) +
                                                 " events waiting already; this one is dropped" + during);
            return 0;
        }
        queued.due = m_sample_clock + static_cast<std::uint32_t>(queued.time_stamp - sample_clock());
        queued.sequence = m_events_queued++;
        caller.pending_events.push_back(queued);
        std::push_heap(caller.pending_events.begin(), caller.pending_events.end(), LaterEvent);
        return 0;
    }
    case AUDIO_HOST_PROCESS_CHANGED: {
        // The record already holds the new routine: it is the norm from now on.
        HostedObject& changed = event.caller != nullptr ? const_cast<HostedObject&>(*event.caller) : caller;
        m_memory.ReadAddress(changed.record + m_memory.layout().audio.process, changed.fields.process);
        return 0;
    }
    case AUDIO_HOST_PIN_DATA:
    case AUDIO_HOST_QUERY_PIN:
    default:
        return 0;
    }
}
