// Host-visible types, part 2: pin declarations and the time-stamped events
// of the audio side.
#pragma once

#include "SEEntryPoints.h"

// One pin declaration, written by the module into a record the host owns
// for the duration of AUDIO_GET_PIN_PROPERTIES. Only variable_ptr,
// direction, datatype, name and flags are ever written.
struct SEPinProperties {
    void* variable_ptr;            // module variable holding the value, or null
    std::int32_t direction;        // DR_IN or DR_OUT
    std::int32_t datatype;         // DT_* code
    const char* name;              // NUL-terminated constant text of the library
    std::int32_t reserved_c[2];    // never written by the module
    std::uint32_t flags;           // IO_* bits; unknown bits pass through
    std::int32_t reserved_d;       // never written by the module
};

// Pin directions.
enum : std::int32_t {
    DR_IN = 0,   // the host writes the value, the module reads it
    DR_OUT = 1,  // the module writes the value
};

// Pin data types: how a pin's value is stored.
enum : std::int32_t {
    DT_SHORT = 0,    // 16-bit value
    DT_BOOL = 4,     // 8-bit on/off value
    DT_FSAMPLE = 5,  // stream of 32-bit float samples; the variable holds the buffer's address
    DT_FLOAT = 6,    // 32-bit float
    DT_INT = 8,      // signed 32-bit integer
};

// Pin flags (bits of SEPinProperties::flags).
enum : std::uint32_t {
    IO_REPEAT_LAST = 0x8,            // last declaration repeats to fill the host's pin count
    IO_PRIVATE = 0x100,              // satisfies the patch-store rule
    IO_UI_COMMUNICATION = 0x400,     // GUI-side pin: no audio-side SEPin unless IO_UI_AUDIO_PIN
    IO_UI_AUDIO_PIN = 0x8000,        // gives a GUI-side pin an audio-side SEPin too
    IO_PATCH_STORE = 0x10000,        // must also be private, an output or a GUI-side pin
};

// A time-stamped audio event. The module builds one on its stack for
// AUDIO_HOST_ADD_EVENT (the host copies it before returning); the host owns
// the one it delivers to event_handler, for the duration of that call.
struct ModuleEvent {
    std::uint32_t time_stamp;      // sample clock at which the event is due
    std::int32_t event_type;       // EV_* code
    std::int32_t param_a;
    std::int32_t param_b;
    std::intptr_t param_ptr;       // address-sized third parameter
    std::int32_t reserved;         // 0 in every event the module builds
};

// Event types.
enum : std::int32_t {
    EV_PIN_STATUS = 0,  // param_ptr: pin index in m_pins, param_a: status
    EV_DATA = 2,        // param_a, and the low 16 bits of param_b as signed
    EV_CALL = 21,       // param_ptr: function word of a no-argument member operation
};

// Pin status values.
enum : std::int32_t {
    PS_ONCE = 1,  // one-off status, cleared once the module has been told
};

static_assert(sizeof(SEPinProperties) == SeLayout(32, 40));
static_assert(offsetof(SEPinProperties, variable_ptr) == 0);
static_assert(offsetof(SEPinProperties, direction) == SeLayout(4, 8));
static_assert(offsetof(SEPinProperties, datatype) == SeLayout(8, 12));
static_assert(offsetof(SEPinProperties, name) == SeLayout(12, 16));
static_assert(offsetof(SEPinProperties, reserved_c) == SeLayout(16, 24));
static_assert(offsetof(SEPinProperties, flags) == SeLayout(24, 32));
static_assert(offsetof(SEPinProperties, reserved_d) == SeLayout(28, 36));

static_assert(sizeof(ModuleEvent) == SeLayout(24, 32));
static_assert(offsetof(ModuleEvent, time_stamp) == 0);
static_assert(offsetof(ModuleEvent, event_type) == 4);
static_assert(offsetof(ModuleEvent, param_a) == 8);
static_assert(offsetof(ModuleEvent, param_b) == 12);
static_assert(offsetof(ModuleEvent, param_ptr) == 16);
static_assert(offsetof(ModuleEvent, reserved) == SeLayout(20, 24));
