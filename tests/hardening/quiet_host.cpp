#include "quiet_host.h"

#include "SEProtocol.h"

#include <cstring>

namespace {
QuietHost* g_current = nullptr;

bool IsIntPin(std::int32_t pin) { return pin == 0 || pin == 4 || pin == 5; }
}  // namespace

QuietHost::QuietHost() : m_previous(g_current) { g_current = this; }
QuietHost::~QuietHost() { g_current = m_previous; }

HostResult SE_CALL QuietHost::Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                       void* ptr, float opt) {
    return g_current->Handle(record, opcode, index, value, ptr, opt);
}

void QuietHost::SetFloat(std::int32_t pin, float value) { pins[pin] = PinBitsOfFloat(value); }
void QuietHost::SetInt(std::int32_t pin, std::int32_t value) { pins[pin] = static_cast<std::uint32_t>(value); }
float QuietHost::Float(std::int32_t pin) const { return PinBitsAsFloat(pins[pin]); }

HostResult QuietHost::Handle(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                             float opt) {
    ++calls;
    const bool gui = static_cast<GuiPlugRecord*>(record)->magic == GUI_PLUG_MAGIC;
    const bool known_pin = index >= 0 && index < 8;
    if (gui) {
        if (opcode == GUI_HOST_GET_PIN_VALUE && ptr != nullptr) {
            const std::uint32_t bits = known_pin ? pins[index] : 0;
            std::memcpy(ptr, &bits, sizeof bits);
        } else if (opcode == GUI_HOST_SET_PIN_VALUE && known_pin) {
            ++pin_writes;
            if (IsIntPin(index)) {
                SetInt(index, value);
            } else {
                SetFloat(index, opt);
            }
            if (after_write != nullptr) after_write(record, index);
        } else if (opcode == GUI_HOST_GET_PIN_WIDE_TEXT) {
            return wide_text_units;
        }
        return 0;
    }
    switch (opcode) {
    case AUDIO_HOST_GET_PIN_COUNT: return pin_count;
    case AUDIO_HOST_GET_SAMPLE_CLOCK: return static_cast<HostResult>(sample_clock);
    case AUDIO_HOST_SLEEP: ++sleeps; return 0;
    default: return 0;
    }
}
