// Where each field of a host-visible record lies, for a module of either
// pointer width. semhost reads and writes records through these offsets, so
// that one session drives an i386 module (in the emulator) and a native one.
#pragma once

#include "SEHostTypes.h"

#include <cstddef>

struct RecordLayout {
    unsigned pointer_size;  // bytes of an address, and of an address-sized field: 4 or 8

    struct {
        unsigned size, name, id, about, flags, secondary_flags, sdk_version;
    } properties;  // ModuleProperties
    struct {
        unsigned size, magic, version, host_value, object, reserved_a, dispatcher, process, event_handler,
            reserved_b;
    } audio;  // AudioPlugRecord
    struct {
        unsigned size, variable_ptr, direction, datatype, name, reserved_c, flags, reserved_d;
    } pin;  // SEPinProperties
    struct {
        unsigned size, time_stamp, event_type, param_a, param_b, param_ptr, reserved;
    } event;  // ModuleEvent
    struct {
        unsigned size, format, member_size, process_member, tag;
    } process_record;  // ProcessRecord
    struct {
        unsigned size, magic, version, dispatcher, host_value, object, reserved;
    } gui;  // GuiPlugRecord
};

// The product target's layout: little-endian 32-bit words throughout.
inline constexpr RecordLayout kI386Layout{
    4,
    {24, 0, 4, 8, 12, 16, 20},
    {48, 0, 4, 8, 12, 16, 20, 24, 28, 32},
    {32, 0, 4, 8, 12, 16, 24, 28},
    {24, 0, 4, 8, 12, 16, 20},
    {16, 0, 4, 8, 12},
    {40, 0, 4, 8, 12, 16, 20},
};

// The layout of this very build, for modules loaded natively.
inline constexpr RecordLayout kNativeLayout{
    sizeof(void*),
    {sizeof(ModuleProperties), offsetof(ModuleProperties, name), offsetof(ModuleProperties, id),
     offsetof(ModuleProperties, about), offsetof(ModuleProperties, flags),
     offsetof(ModuleProperties, secondary_flags), offsetof(ModuleProperties, sdk_version)},
    {sizeof(AudioPlugRecord), offsetof(AudioPlugRecord, magic), offsetof(AudioPlugRecord, version),
     offsetof(AudioPlugRecord, host_value), offsetof(AudioPlugRecord, object),
     offsetof(AudioPlugRecord, reserved_a), offsetof(AudioPlugRecord, dispatcher),
     offsetof(AudioPlugRecord, process), offsetof(AudioPlugRecord, event_handler),
     offsetof(AudioPlugRecord, reserved_b)},
    {sizeof(SEPinProperties), offsetof(SEPinProperties, variable_ptr), offsetof(SEPinProperties, direction),
     offsetof(SEPinProperties, datatype), offsetof(SEPinProperties, name),
     offsetof(SEPinProperties, reserved_c), offsetof(SEPinProperties, flags),
     offsetof(SEPinProperties, reserved_d)},
    {sizeof(ModuleEvent), offsetof(ModuleEvent, time_stamp), offsetof(ModuleEvent, event_type),
     offsetof(ModuleEvent, param_a), offsetof(ModuleEvent, param_b), offsetof(ModuleEvent, param_ptr),
     offsetof(ModuleEvent, reserved)},
    {sizeof(ProcessRecord), offsetof(ProcessRecord, format), offsetof(ProcessRecord, member_size),
     offsetof(ProcessRecord, process_member), offsetof(ProcessRecord, tag)},
    {sizeof(GuiPlugRecord), offsetof(GuiPlugRecord, magic), offsetof(GuiPlugRecord, version),
     offsetof(GuiPlugRecord, dispatcher), offsetof(GuiPlugRecord, host_value), offsetof(GuiPlugRecord, object),
     offsetof(GuiPlugRecord, reserved)},
};
