#include "bench_support.h"

#include "ModulePins.h"
#include "SEProtocol.h"

#include <cstring>

namespace bench {

namespace {

std::uint32_t g_pins[PIN_COUNT];
std::int64_t g_calls = 0;

}  // namespace

void ResetHost() {
    host_callback = &Answer;
    std::memset(g_pins, 0, sizeof g_pins);
    g_pins[PIN_MOUSE_DOWN] = 1;
    g_pins[PIN_RESET_VALUE] = PinBitsOfFloat(0.5f);
    g_pins[PIN_INTERVAL] = PinBitsOfFloat(200.0f);
    g_pins[PIN_RANDOM_MAX] = PinBitsOfFloat(1.0f);
    g_calls = 0;
}

std::int64_t HostCalls() { return g_calls; }

HostResult SE_CALL Answer(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                void* ptr, float opt) {
    ++g_calls;
    // The two sides' opcodes overlap; the record's magic tells them apart.
    if (static_cast<GuiPlugRecord*>(record)->magic == GUI_PLUG_MAGIC) {
        const bool known = static_cast<std::uint32_t>(index) < PIN_COUNT;
        if (opcode == GUI_HOST_GET_PIN_VALUE) {
            std::memcpy(ptr, known ? &g_pins[index] : &g_pins[0], sizeof(std::uint32_t));
        } else if (opcode == GUI_HOST_SET_PIN_VALUE && known) {
            g_pins[index] = index == PIN_MOUSE_DOWN || index == PIN_RESET || index == PIN_RANDOMIZE
                                ? static_cast<std::uint32_t>(value)
                                : PinBitsOfFloat(opt);
        }
        return 0;
    }
    return opcode == AUDIO_HOST_GET_PIN_COUNT ? PIN_COUNT : 0;
}

::HostCallback host_callback = nullptr;

}  // namespace bench
