// __NAME__ through its entry points and records, as a host drives it: a
// small host here holds the pin values and tells the GUI object of every
// change. Exits non-zero on the first failed check.
#include "SEExports.h"
#include "SEHostTypes.h"
#include "__NAME__Pins.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "__NAME___test: failed: %s\n", what);
    std::exit(1);
}

float g_pins[PIN_COUNT];
GuiPlugRecord* g_gui = nullptr;

HostResult Dispatch(GuiPlugRecord* record, std::int32_t opcode, std::int32_t index) {
    return record->dispatcher(record, opcode, index, 0, nullptr, 0.0f);
}

// The audio side's requests: its pin count; nothing else needs an answer.
HostResult SE_CALL AudioHost(void*, std::int32_t opcode, std::int32_t, std::int32_t, void*, float) {
    return opcode == AUDIO_HOST_GET_PIN_COUNT ? PIN_COUNT : 0;
}

// The GUI side's requests: pin values.
HostResult SE_CALL GuiHost(void*, std::int32_t opcode, std::int32_t index, std::int32_t, void* ptr, float opt) {
    switch (opcode) {
    case GUI_HOST_GET_PIN_VALUE:
        if (index >= 0 && index < PIN_COUNT) std::memcpy(ptr, &g_pins[index], sizeof(float));
        return 0;
    case GUI_HOST_SET_PIN_VALUE:
        // A host tells every GUI object of the change, inside the write.
        if (index >= 0 && index < PIN_COUNT) g_pins[index] = opt;
        if (g_gui != nullptr) Dispatch(g_gui, GUI_PIN_CHANGED, index);
        return 0;
    default:
        return 0;
    }
}

}  // namespace

int main() {
    ModuleProperties properties{};
    Check(getModuleProperties(0, &properties), "module 0 has properties");
    Check(std::strcmp(properties.name, "__NAME__") == 0, "the module is named __NAME__");
    Check(!getModuleProperties(1, &properties), "there is no module 1");

    // The audio side declares its three pins and closes.
    auto* audio = static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, AudioHost, 0));
    Check(audio != nullptr && audio->magic == AUDIO_PLUG_MAGIC, "an audio record");
    audio->dispatcher(audio, AUDIO_OPEN, 0, 0, nullptr, 0.0f);
    SEPinProperties pin{};
    Check(audio->dispatcher(audio, AUDIO_GET_PIN_PROPERTIES, PIN_OUTPUT, 0, &pin, 0.0f) == 1, "pin 2 declared");
    Check(std::strcmp(pin.name, "Output") == 0 && pin.direction == DR_OUT, "pin 2 is the output");
    Check(audio->dispatcher(audio, AUDIO_GET_PIN_PROPERTIES, PIN_COUNT, 0, &pin, 0.0f) == 0, "no pin 3");
    Check(audio->dispatcher(audio, AUDIO_CLOSE, 0, 0, nullptr, 0.0f) == 1, "the audio object closes");

    // The GUI side writes Input times Gain when an input changes.
    g_gui = static_cast<GuiPlugRecord*>(makeModule(0, MT_GUI, GuiHost, 0));
    Check(g_gui != nullptr && g_gui->magic == GUI_PLUG_MAGIC, "a GUI record");
    Dispatch(g_gui, GUI_OPEN, 0);
    g_pins[PIN_INPUT] = 3.0f;
    g_pins[PIN_GAIN] = 0.5f;
    Dispatch(g_gui, GUI_PIN_CHANGED, PIN_GAIN);
    Check(g_pins[PIN_OUTPUT] == 1.5f, "Output is Input times Gain");
    GuiPlugRecord* gui = g_gui;
    g_gui = nullptr;
    Check(Dispatch(gui, GUI_CLOSE, 0) == 1, "the GUI object closes");
    std::puts("__NAME___test: all checks passed");
    return 0;
}
