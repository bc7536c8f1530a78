#include "bench_support.h"

#include "GuiModule.h"
#include "Module.h"
#include "ModulePins.h"
#include "SEPin.h"
#include "SEPlatform.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

extern "C" void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback,
                                    std::intptr_t host_value);

namespace bench {

namespace {


// The floors reach the host as the module does: through the pointer the
// host handed over, which the compiler cannot see through.
HostResult Host(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, float opt) {
    return host_callback(record, opcode, index, value, ptr, opt);
}

// Where a floor's allocations go, so that none is optimised away.
void* volatile g_sink = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Through the module
// ---------------------------------------------------------------------------

GuiPlugRecord* MakeGui() { return static_cast<GuiPlugRecord*>(makeModule(0, MT_GUI, host_callback, 0)); }

void CloseGui(GuiPlugRecord* record) { record->dispatcher(record, GUI_CLOSE, 0, 0, nullptr, 0.0f); }

void MouseDown(GuiPlugRecord* record) {
    clock_ticks += 1000;
    record->dispatcher(record, GUI_PIN_CHANGED, PIN_MOUSE_DOWN, 0, nullptr, 0.0f);
}

void DoubleClick(GuiPlugRecord* record) {
    clock_ticks += 1000;
    record->dispatcher(record, GUI_PIN_CHANGED, PIN_MOUSE_DOWN, 0, nullptr, 0.0f);
    clock_ticks += 50;
    record->dispatcher(record, GUI_PIN_CHANGED, PIN_MOUSE_DOWN, 0, nullptr, 0.0f);
}

AudioPlugRecord* MakeOpenAudio() {
    auto* record = static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, host_callback, 0));
    record->dispatcher(record, AUDIO_OPEN, 0, 0, nullptr, 0.0f);
    return record;
}

void CloseAudio(AudioPlugRecord* record) { record->dispatcher(record, AUDIO_CLOSE, 0, 0, nullptr, 0.0f); }

void Process(AudioPlugRecord* record) { record->process(record->object); }

void GuiLifeCycle() {
    GuiPlugRecord* record = MakeGui();
    record->dispatcher(record, GUI_OPEN, 0, 0, nullptr, 0.0f);
    record->dispatcher(record, GUI_CLOSE, 0, 0, nullptr, 0.0f);
}

void AudioLifeCycle() {
    AudioPlugRecord* record = MakeOpenAudio();
    record->dispatcher(record, AUDIO_CLOSE, 0, 0, nullptr, 0.0f);
}

// ---------------------------------------------------------------------------
// Floors
// ---------------------------------------------------------------------------

namespace {

std::int32_t ReadInt(GuiPlugRecord* record, std::int32_t pin) {
    std::int32_t slot = 0;
    Host(record, GUI_HOST_GET_PIN_VALUE, pin, 0, &slot, 0.0f);
    return slot;
}

float ReadFloat(GuiPlugRecord* record, std::int32_t pin) {
    float slot = 0.0f;
    Host(record, GUI_HOST_GET_PIN_VALUE, pin, 0, &slot, 0.0f);
    return slot;
}

// The module's notification of pin 0, written out with direct host calls.
void FloorNotifyMouse(FloorGui& gui) {
    GuiPlugRecord* record = &gui.record;
    const std::int32_t now = platform::Clock();
    if (gui.event_count != std::numeric_limits<std::int32_t>::max()) ++gui.event_count;
    const bool ctrl = platform::AsyncKeyState(platform::kVirtualKeyControl) != 0;
    const std::int32_t mouse = ReadInt(record, PIN_MOUSE_DOWN);
    const float min = ReadFloat(record, PIN_RANDOM_MIN);
    const float max = ReadFloat(record, PIN_RANDOM_MAX);
    const float low = max > min ? min : max;
    const float span = max > min ? max - min : min - max;
    if (mouse == 1) {
        gui.event_clock = platform::Clock();
        const float interval_value = ReadFloat(record, PIN_INTERVAL);
        const std::int32_t interval = interval_value >= -2147483648.0f && interval_value < 2147483648.0f
                                          ? static_cast<std::int32_t>(interval_value)
                                          : std::numeric_limits<std::int32_t>::min();
        const auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(gui.event_clock) -
                                                       static_cast<std::uint32_t>(gui.click_clock));
        if (elapsed > interval || gui.click_count <= 0) {
            gui.click_clock = gui.event_clock;
            if (gui.click_count != std::numeric_limits<std::int32_t>::max()) ++gui.click_count;
        } else {
            if (ctrl) {
                const double value = (platform::Rand() % 1000 / 1000.0) * span + low;
                Host(record, GUI_HOST_SET_PIN_VALUE, PIN_ANIMATION_POSITION, 0, nullptr,
                             static_cast<float>(value));
            } else {
                const float reset = ReadFloat(record, PIN_RESET_VALUE);
                Host(record, GUI_HOST_SET_PIN_VALUE, PIN_ANIMATION_POSITION, 0, nullptr, reset);
            }
            gui.click_clock = gui.event_clock;
        }
    }
    gui.event_clock = now;
}

}  // namespace

void FloorInit(FloorGui& gui) {
    std::memset(&gui.record, 0, sizeof gui.record);
    gui.record.magic = GUI_PLUG_MAGIC;
    gui.record.version = 1;
}

void FloorMouseDown(FloorGui& gui) {
    clock_ticks += 1000;
    FloorNotifyMouse(gui);
}

void FloorDoubleClick(FloorGui& gui) {
    clock_ticks += 1000;
    FloorNotifyMouse(gui);
    clock_ticks += 50;
    FloorNotifyMouse(gui);
}

void FloorProcess(AudioPlugRecord* record) { Host(record, AUDIO_HOST_SLEEP, 0, 0, nullptr, 0.0f); }

void FloorGuiLifeCycle() {
    // The object and its record; open with defaults; close.
    auto* gui = static_cast<FloorGui*>(std::malloc(sizeof(GuiModule)));
    FloorInit(*gui);
    GuiPlugRecord* record = &gui->record;
    Host(record, GUI_HOST_SIGNAL, 0, 0, nullptr, 0.0f);
    if (ReadFloat(record, PIN_INTERVAL) == 0.0f)
        Host(record, GUI_HOST_SET_PIN_VALUE, PIN_INTERVAL, 0, nullptr, 200.0f);
    if (ReadFloat(record, PIN_RANDOM_MIN) == 0.0f && ReadFloat(record, PIN_RANDOM_MAX) == 0.0f)
        Host(record, GUI_HOST_SET_PIN_VALUE, PIN_RANDOM_MAX, 0, nullptr, 1.0f);
    platform::AsyncKeyState(platform::kVirtualKeyControl);
    for (int key = 1; key < GuiModule::kKeyCodeCount; ++key) platform::AsyncKeyState(0);
    Host(record, GUI_HOST_SIGNAL, 0, 0, nullptr, 0.0f);
    std::free(gui);
}

void FloorAudioLifeCycle() {
    // The object and its record; open: the routine changes, the pin count
    // is asked and a pin array of that many made; close frees both.
    auto* record = static_cast<AudioPlugRecord*>(std::malloc(sizeof(Module)));
    std::memset(record, 0, sizeof *record);
    record->magic = AUDIO_PLUG_MAGIC;
    Host(record, AUDIO_HOST_PROCESS_CHANGED, 0, 0, nullptr, 0.0f);
    const auto count = static_cast<std::size_t>(Host(record, AUDIO_HOST_GET_PIN_COUNT, 0, 0, nullptr, 0.0f));
    void* pins = std::malloc(count * sizeof(SEPin) + sizeof(std::size_t));
    g_sink = pins;
    std::free(pins);
    g_sink = record;
    std::free(record);
}

}  // namespace bench
