// Host-visible types, part 4: the GUI side's plug record and the opcodes in
// both directions.
#pragma once

#include "SEEntryPoints.h"

// Embedded in every GUI object; makeModule returns its address. Written once
// at construction; the host only reads it. It dies with the object on GUI_CLOSE.
struct GuiPlugRecord {
    std::uint32_t magic;           // GUI_PLUG_MAGIC, bytes 4D 50 45 53
    std::int32_t version;          // GUI_PLUG_VERSION
    PlugDispatcher dispatcher;     // GuiDispatchEntry
    std::intptr_t host_value;      // the host's own value from makeModule; never read by the module
    void* object;                  // the SEGUI_base that embeds this record
    std::int32_t reserved[5];      // 0
};

constexpr std::uint32_t GUI_PLUG_MAGIC = 0x5345504D;
constexpr std::int32_t GUI_PLUG_VERSION = 1;

// A point of the GUI point events: index becomes x, value becomes y.
struct GuiPoint {
    std::int32_t x;
    std::int32_t y;
};

// GUI dispatcher opcodes (host to module), with the arguments each uses and
// its result. Others answer 0.
enum : std::int32_t {
    GUI_OPEN = 0,           // index 1: open with a true flag; 0
    GUI_CLOSE = 1,          // the object deletes itself, the record with it; 1
    GUI_CONTEXT_INDEX = 2,  // index, ptr; 0
    GUI_POINT_A = 3,        // ptr, opt, and the point (index, value); 0
    GUI_POINT_B = 4,        // ptr, opt, and the point (index, value); 0
    GUI_POINT_C = 5,        // ptr, opt, and the point (index, value); 0
    GUI_CONTEXT_VALUE = 6,  // value, index, ptr; 0
    GUI_PIN_CHANGED = 7,    // index: the pin whose value changed; 0
    GUI_CONTEXT_A = 8,      // ptr; 0
    GUI_CONTEXT_B = 9,      // ptr; 0
    GUI_IDLE = 10,          // 1 when the object's Idle returned true, else 0
    GUI_INDEX_A = 11,       // index; 0
    GUI_INDEX_B = 12,       // index; 0
};

// GUI callback opcodes (module to host): the arguments the module passes
// (unnamed ones are 0, null, 0.0) and what it relies on.
enum : std::int32_t {
    GUI_HOST_SET_PIN_TEXT = 6,         // index: pin, ptr: NUL-terminated text, needed only during the call
    GUI_HOST_GET_PIN_TEXT = 7,         // index: pin; the address of its NUL-terminated text, read at once
    GUI_HOST_INDEXED_REQUEST = 8,      // index, value, ptr: the caller's; result ignored
    GUI_HOST_GET_PIN_VALUE = 14,       // index: pin, ptr: 4-byte slot the host fills before returning
    GUI_HOST_SET_PIN_VALUE = 15,       // index: pin; an integer in value or a float in opt, the other zero
    GUI_HOST_GET_PIN_WIDE_TEXT = 17,   // index: pin; first (value 0, ptr null): size in 16-bit units with
                                       // the terminator; second (value: that size, ptr: buffer): fills it
    GUI_HOST_CONTEXT_REQUEST_A = 18,   // ptr: the caller's
    GUI_HOST_CONTEXT_REQUEST_B = 19,   // ptr: the caller's
    GUI_HOST_CONTEXT_QUERY = 20,       // ptr: the caller's; zero or nonzero
    GUI_HOST_SIGNAL = 22,              // no arguments; result ignored
};

static_assert(sizeof(GuiPlugRecord) == SeLayout(40, 56));
static_assert(offsetof(GuiPlugRecord, magic) == 0);
static_assert(offsetof(GuiPlugRecord, version) == 4);
static_assert(offsetof(GuiPlugRecord, dispatcher) == 8);
static_assert(offsetof(GuiPlugRecord, host_value) == SeLayout(12, 16));
static_assert(offsetof(GuiPlugRecord, object) == SeLayout(16, 24));
static_assert(offsetof(GuiPlugRecord, reserved) == SeLayout(20, 32));

static_assert(sizeof(GuiPoint) == 8);
static_assert(offsetof(GuiPoint, x) == 0);
static_assert(offsetof(GuiPoint, y) == 4);
