// What the fixture modules of semhost's tests (native ones in fixtures/,
// i386 ones in i386_fixtures/) do alike: their identity, their pins'
// declarations and their plug records, each filled as a sound module fills
// it; a fault is written over it afterwards. Header-only and on the
// host-visible types alone, so that the i386 fixtures, linked without a
// C++ runtime, use it too.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>

namespace fixture {

struct PinRow {
    const char* name;
    std::int32_t direction;
    std::int32_t datatype;
};

// The identity of module 0 (no flags); sdk_version is written for any index.
inline bool Describe(std::int32_t index, ModuleProperties* properties, const char* name, const char* id,
                     const char* about) {
    properties->sdk_version = SDK_VERSION;
    if (index != 0) return false;
    properties->name = name;
    properties->id = id;
    properties->about = about;
    properties->flags = 0;
    properties->secondary_flags = 0;
    return true;
}

// Pin `index` of `pins`, a GUI-side pin whose value the host carries; false
// past the last one.
template <std::int32_t Count>
bool DeclarePin(const PinRow (&pins)[Count], std::int32_t index, SEPinProperties* properties) {
    if (index < 0 || index >= Count) return false;
    properties->name = pins[index].name;
    properties->direction = pins[index].direction;
    properties->datatype = pins[index].datatype;
    properties->flags = IO_UI_COMMUNICATION;
    return true;
}

inline void FillAudioRecord(AudioPlugRecord& record, void* object, std::intptr_t host_value,
                            PlugDispatcher dispatcher, ProcessRoutine process, EventRoutine event_handler) {
    record.magic = AUDIO_PLUG_MAGIC;
    record.version = AUDIO_PLUG_VERSION;
    record.host_value = host_value;
    record.object = object;
    record.dispatcher = dispatcher;
    record.process = process;
    record.event_handler = event_handler;
}

inline void FillGuiRecord(GuiPlugRecord& record, void* object, std::intptr_t host_value, PlugDispatcher dispatcher) {
    record.magic = GUI_PLUG_MAGIC;
    record.version = GUI_PLUG_VERSION;
    record.host_value = host_value;
    record.object = object;
    record.dispatcher = dispatcher;
}

}  // namespace fixture
