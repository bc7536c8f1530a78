// The floor of the shipped library's cost: a flat module, never shipped, that
// meets the host exactly as Quillmark.sem does on the paths the benchmarks
// measure. It makes the same host callbacks and the same calls of the C
// runtime and user32, in the same order and with the same arguments, and
// computes the same values, in plain code: no framework, no virtual call, no
// pin handle. Built with the shipped library's own compiler and flags, so
// that the instructions the shipped library runs beyond these are the
// framework's cost.
//
// The host requests are expanded where they are made (SE_INLINE), as the
// framework's are, so that each costs the host's call alone.
//
// Only what the measured operations reach is here: the GUI object's open,
// close, idle and pin notifications, the audio object's open, close and
// processing routine, and both entry points. Every other opcode answers 0.
#include "ModulePins.h"
#include "SEHostTypes.h"
#include "SEPlatform.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

// Open queries Ctrl, then 39 times key code 0, as the shipped key table reads.
constexpr int kKeyQueries = 40;
constexpr std::int32_t kCountMax = 0x7FFFFFFF;

// --- GUI side --------------------------------------------------------------

struct GuiObject {
    GuiPlugRecord record;
    HostCallback callback;
    std::int32_t event_clock;
    std::int32_t click_clock;
    std::int32_t click_count;
    std::int32_t event_count;
};

// The shipped library reports an object without a callback; the measured
// paths always have one, so the floor only tests it.
SE_INLINE HostResult GuiHost(GuiObject* gui, std::int32_t opcode, std::int32_t index, void* ptr, float opt) {
    return gui->callback != nullptr ? gui->callback(&gui->record, opcode, index, 0, ptr, opt) : 0;
}

SE_INLINE std::int32_t ReadInt(GuiObject* gui, std::int32_t pin) {
    std::int32_t slot = 0;
    GuiHost(gui, GUI_HOST_GET_PIN_VALUE, pin, &slot, 0.0f);
    return slot;
}

SE_INLINE float ReadFloat(GuiObject* gui, std::int32_t pin) {
    float slot = 0.0f;
    GuiHost(gui, GUI_HOST_GET_PIN_VALUE, pin, &slot, 0.0f);
    return slot;
}

SE_INLINE void WriteFloat(GuiObject* gui, std::int32_t pin, float value) {
    GuiHost(gui, GUI_HOST_SET_PIN_VALUE, pin, nullptr, value);
}

SE_INLINE void Signal(GuiObject* gui) { GuiHost(gui, GUI_HOST_SIGNAL, 0, nullptr, 0.0f); }

void ResetWrite(GuiObject* gui) { WriteFloat(gui, PIN_ANIMATION_POSITION, ReadFloat(gui, PIN_RESET_VALUE)); }

void RandomWrite(GuiObject* gui, float low, float span) {
    const double value = (rand() % 1000 / 1000.0) * span + low;
    WriteFloat(gui, PIN_ANIMATION_POSITION, static_cast<float>(value));
}

void PinChanged(GuiObject* gui, std::int32_t pin) {
    const std::int32_t now = clock();
    if (gui->event_count != kCountMax) ++gui->event_count;
    const bool ctrl = GetAsyncKeyState(platform::kVirtualKeyControl) != 0;
    std::int32_t action = pin;
    if (ctrl && action == PIN_RANDOMIZE) {
        action = PIN_RESET;
    } else if (ctrl && action == PIN_RESET) {
        action = PIN_RANDOMIZE;
    }
    const std::int32_t mouse = ReadInt(gui, PIN_MOUSE_DOWN);
    const float min = ReadFloat(gui, PIN_RANDOM_MIN);
    const float max = ReadFloat(gui, PIN_RANDOM_MAX);
    const float low = max > min ? min : max;
    const float span = max > min ? max - min : min - max;

    if (action == PIN_MOUSE_DOWN && mouse == 1) {
        gui->event_clock = clock();
        const float interval_value = ReadFloat(gui, PIN_INTERVAL);
        const std::int32_t interval = interval_value >= -2147483648.0f && interval_value < 2147483648.0f
                                          ? static_cast<std::int32_t>(interval_value)
                                          : static_cast<std::int32_t>(0x80000000u);
        const auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(gui->event_clock) -
                                                       static_cast<std::uint32_t>(gui->click_clock));
        if (elapsed > interval || gui->click_count <= 0) {
            gui->click_clock = gui->event_clock;
            if (gui->click_count != kCountMax) ++gui->click_count;
        } else {
            if (ctrl) {
                RandomWrite(gui, low, span);
            } else {
                ResetWrite(gui);
            }
            gui->click_clock = gui->event_clock;
        }
    } else if (action == PIN_RESET) {
        ResetWrite(gui);
    } else if (action == PIN_RANDOMIZE) {
        if (ReadInt(gui, PIN_RANDOMIZE) == 0) RandomWrite(gui, low, span);
    }
    gui->event_clock = now;
}

void GuiOpen(GuiObject* gui, bool flag) {
    Signal(gui);
    if (!flag) {
        if (ReadFloat(gui, PIN_INTERVAL) == 0.0f) WriteFloat(gui, PIN_INTERVAL, 200.0f);
        if (ReadFloat(gui, PIN_RANDOM_MIN) == 0.0f && ReadFloat(gui, PIN_RANDOM_MAX) == 0.0f)
            WriteFloat(gui, PIN_RANDOM_MAX, 1.0f);
    }
    for (int key = 0; key < kKeyQueries; ++key) GetAsyncKeyState(key == 0 ? platform::kVirtualKeyControl : 0);
}

HostResult SE_CALL GuiDispatch(void* record, std::int32_t opcode, std::int32_t index, std::int32_t, void*,
                               float) {
    GuiObject* gui = static_cast<GuiObject*>(static_cast<GuiPlugRecord*>(record)->object);
    switch (opcode) {
    case GUI_OPEN:
        GuiOpen(gui, index == 1);
        return 0;
    case GUI_CLOSE:
        Signal(gui);
        free(gui);
        return 1;
    case GUI_PIN_CHANGED:
        PinChanged(gui, index);
        return 0;
    case GUI_IDLE:
        if (gui->event_count < 3) Signal(gui);
        return 1;
    default:
        return 0;
    }
}

// --- audio side ------------------------------------------------------------

// Room for one pin: the seven words of an unbound pin of the shipped library.
struct PinRoom {
    std::uint32_t words[7];
};

struct AudioObject {
    AudioPlugRecord record;
    HostCallback callback;
    PinRoom* pins;
};

SE_INLINE HostResult AudioHost(AudioObject* audio, std::int32_t opcode) {
    return audio->callback != nullptr ? audio->callback(&audio->record, opcode, 0, 0, nullptr, 0.0f) : 0;
}

void SE_CALL DefaultProcess(void*) {}

// The one request of a run, made in place.
void SE_CALL SleepProcess(void* object) {
    AudioObject* audio = static_cast<AudioObject*>(object);
    if (audio->callback != nullptr) audio->callback(&audio->record, AUDIO_HOST_SLEEP, 0, 0, nullptr, 0.0f);
}

void AudioOpen(AudioObject* audio) {
    audio->record.process = SleepProcess;
    AudioHost(audio, AUDIO_HOST_PROCESS_CHANGED);
    const auto count = static_cast<std::int32_t>(AudioHost(audio, AUDIO_HOST_GET_PIN_COUNT));
    free(audio->pins);
    audio->pins = nullptr;
    // Room for any count whose size fits a size_t, as in the shipped library.
    if (count > 0 && static_cast<std::size_t>(count) <= SIZE_MAX / sizeof(PinRoom))
        audio->pins = static_cast<PinRoom*>(malloc(static_cast<std::size_t>(count) * sizeof(PinRoom)));
}

HostResult SE_CALL AudioDispatch(void* record, std::int32_t opcode, std::int32_t, std::int32_t, void*, float) {
    AudioObject* audio = static_cast<AudioObject*>(static_cast<AudioPlugRecord*>(record)->object);
    switch (opcode) {
    case AUDIO_OPEN:
        AudioOpen(audio);
        return 0;
    case AUDIO_CLOSE:
        free(audio->pins);
        free(audio);
        return 1;
    default:
        return 0;
    }
}

void SE_CALL AudioEvent(void*, ModuleEvent*) {}

}  // namespace

extern "C" {

bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties) {
    properties->sdk_version = SDK_VERSION;
    if (index != 0) return false;
    properties->name = "Quillmark";
    properties->id = "Quillmark";
    properties->about = "knob-waving Tom-Foolery";
    properties->secondary_flags = MODULE_SECONDARY_FLAG_BIT_8;
    properties->flags = MODULE_FLAG_BIT_9;
    return true;
}

void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback, std::intptr_t host_value) {
    if (index != 0) return nullptr;
    if (type == MT_AUDIO) {
        auto* audio = static_cast<AudioObject*>(malloc(sizeof(AudioObject)));
        if (audio == nullptr) return nullptr;
        *audio = AudioObject{};
        audio->callback = callback;
        audio->record.magic = AUDIO_PLUG_MAGIC;
        audio->record.process = DefaultProcess;
        audio->record.event_handler = AudioEvent;
        audio->record.dispatcher = AudioDispatch;
        audio->record.host_value = host_value;
        audio->record.object = audio;
        audio->record.version = AUDIO_PLUG_VERSION;
        return &audio->record;
    }
    if (type == MT_GUI) {
        auto* gui = static_cast<GuiObject*>(malloc(sizeof(GuiObject)));
        if (gui == nullptr) return nullptr;
        *gui = GuiObject{};
        gui->callback = callback;
        gui->record.magic = GUI_PLUG_MAGIC;
        gui->record.dispatcher = GuiDispatch;
        gui->record.object = gui;
        gui->record.host_value = host_value;
        gui->record.version = GUI_PLUG_VERSION;
        return &gui->record;
    }
    return nullptr;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

}  // extern "C"
