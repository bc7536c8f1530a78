#include "fake_host.h"

#include "SEProtocol.h"

#include <cstring>

namespace {
FakeHost* g_current = nullptr;
}

FakeHost::FakeHost() : m_previous(g_current) { g_current = this; }

FakeHost::~FakeHost() { g_current = m_previous; }

FakeHost* FakeHost::Current() { return g_current; }

HostResult SE_CALL FakeHost::Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                      void* ptr, float opt) {
    HostCall call{record, opcode, index, value, ptr, opt, ModuleEvent{}};
    // GUI opcode 19 is another request; only the audio side's carries an event.
    const bool audio = record != nullptr && static_cast<AudioPlugRecord*>(record)->magic == AUDIO_PLUG_MAGIC;
    if (audio && opcode == AUDIO_HOST_ADD_EVENT && ptr != nullptr) std::memcpy(&call.event, ptr, sizeof(ModuleEvent));
    return g_current->Handle(call);
}

HostResult FakeHost::Handle(const HostCall& call) {
    calls.push_back(call);
    // Audio and GUI opcodes overlap; the record's magic tells the sides apart.
    const bool gui = call.record != nullptr && static_cast<GuiPlugRecord*>(call.record)->magic == GUI_PLUG_MAGIC;
    if (gui && call.opcode == GUI_HOST_GET_PIN_VALUE && call.ptr != nullptr) {
        const std::uint32_t bits = pin_bits.count(call.index) ? pin_bits.at(call.index) : 0;
        std::memcpy(call.ptr, &bits, sizeof bits);
    } else if (gui && call.opcode == GUI_HOST_SET_PIN_VALUE) {
        if (int_pins.count(call.index)) {
            SetPinInt(call.index, call.value);
        } else {
            SetPinFloat(call.index, call.opt);
        }
    }
    if (on_call) on_call(call);
    if (!gui && call.opcode == AUDIO_HOST_GET_SAMPLE_CLOCK && !answers.count(call.opcode))
        return static_cast<HostResult>(sample_clock);
    auto found = answers.find(call.opcode);
    return found == answers.end() ? 0 : found->second;
}

std::vector<HostCall> FakeHost::CallsWith(std::int32_t opcode) const {
    std::vector<HostCall> result;
    for (const HostCall& call : calls)
        if (call.opcode == opcode) result.push_back(call);
    return result;
}

std::vector<std::int32_t> FakeHost::Opcodes() const {
    std::vector<std::int32_t> result;
    for (const HostCall& call : calls) result.push_back(call.opcode);
    return result;
}

void FakeHost::SetPinFloat(std::int32_t pin, float value) { pin_bits[pin] = PinBitsOfFloat(value); }

void FakeHost::SetPinInt(std::int32_t pin, std::int32_t value) { pin_bits[pin] = static_cast<std::uint32_t>(value); }

float FakeHost::PinFloat(std::int32_t pin) const {
    return PinBitsAsFloat(pin_bits.count(pin) ? pin_bits.at(pin) : 0);
}

std::int32_t FakeHost::PinInt(std::int32_t pin) const {
    return pin_bits.count(pin) ? static_cast<std::int32_t>(pin_bits.at(pin)) : 0;
}
