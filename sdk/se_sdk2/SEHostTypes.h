// Host-facing types shared by the module, its framework and any host.
//
// Every record here is read or written by the host in place, so its layout is
// fixed: little-endian 32-bit words on the product target (i686 Windows), each
// size and offset checked at the end of this file. Fields that carry an
// address (and results that can be addresses) are pointer-sized, so a native
// 64-bit build of the same sources stays sound; on the product target they are
// exactly 32 bits.
//
// Threading: everything runs on the thread on which the host calls. GUI calls
// must come one at a time (the GUI side shares one pin handle between objects).
#pragma once

#include <cstddef>
#include <cstdint>

// Calling convention of every function the host calls through a plain
// pointer, and of the host's own callback. On i686 Windows member functions
// default to thiscall, so routines reached through a plain pointer say so.
#if defined(_WIN32) && !defined(_WIN64)
#define SE_CALL __cdecl
#else
#define SE_CALL
#endif

// The framework's host requests and pin value operations, expanded where
// they are used whatever the optimiser's size heuristics: a request then
// costs the host's own call and nothing around it. Kept out of line (as -Os
// would keep them), each would copy the callback's six arguments once more
// and hand a float result back through the x87 stack.
#if defined(__GNUC__)
#define SE_INLINE inline __attribute__((always_inline))
#else
#define SE_INLINE inline
#endif

// ---------------------------------------------------------------------------
// Host callback and dispatcher entries
// ---------------------------------------------------------------------------

// A 32-bit host result on the product target; pointer-sized so that results
// that are addresses survive a 64-bit build.
using HostResult = std::intptr_t;

// The host's callback, kept by each object for its whole life.
//   record: the calling object's own plug record (audio or GUI)
//   opcode, index, value: signed 32-bit
//   ptr: an address (on the audio side it may carry a sample clock)
//   opt: a 32-bit float
// Arguments a request does not use are 0, a null ptr and 0.0.
typedef HostResult(SE_CALL* HostCallback)(void* record, std::int32_t opcode, std::int32_t index,
                                          std::int32_t value, void* ptr, float opt);

// A plug record's dispatcher: the host calls it with the record's address and
// the same five arguments as the callback.
typedef HostResult(SE_CALL* PlugDispatcher)(void* record, std::int32_t opcode, std::int32_t index,
                                            std::int32_t value, void* ptr, float opt);

struct ModuleEvent;

// The audio processing routine: called with the object's address (the
// record's `object`) first. Further arguments, if a host passes any, are
// ignored; cdecl lets the caller clean them up.
typedef void(SE_CALL* ProcessRoutine)(void* object);

// The audio event entry: the object's address and an event owned by the host
// for the duration of the call.
typedef void(SE_CALL* EventRoutine)(void* object, ModuleEvent* event);

// ---------------------------------------------------------------------------
// Library entry points
// ---------------------------------------------------------------------------

// Filled in by getModuleProperties; owned by the caller. The texts are
// constants of the library: valid while it is loaded, never to be freed.
struct ModuleProperties {
    const char* name;               // display name, NUL-terminated
    const char* id;                 // unique identifier, NUL-terminated
    const char* about;              // one line about the module, NUL-terminated
    std::uint32_t flags;            // host-read flag word
    std::uint32_t secondary_flags;  // host-read flag word
    std::int32_t sdk_version;       // SDK_VERSION, written on every call
};

constexpr std::int32_t SDK_VERSION = 2230;

// Object types that makeModule accepts.
enum : std::int32_t {
    MT_AUDIO = 1,  // audio-side object; makeModule returns its AudioPlugRecord
    MT_GUI = 2,    // GUI-side object; makeModule returns its GuiPlugRecord
};

// bool SE_CALL getModuleProperties(int32_t index, ModuleProperties* properties);
typedef bool(SE_CALL* GetModulePropertiesFunction)(std::int32_t index, ModuleProperties* properties);
// void* SE_CALL makeModule(int32_t index, int32_t type, HostCallback callback, intptr_t host_value);
// Returns the new object's embedded plug record, or null.
typedef void*(SE_CALL* MakeModuleFunction)(std::int32_t index, std::int32_t type, HostCallback callback,
                                           std::intptr_t host_value);

// ---------------------------------------------------------------------------
// Audio side
// ---------------------------------------------------------------------------

// Embedded in every audio object; makeModule returns its address. The module
// writes it once at construction (and `process` when the routine changes);
// the host only reads it. It dies with the object on AUDIO_CLOSE.
struct AudioPlugRecord {
    std::uint32_t magic;           // AUDIO_PLUG_MAGIC, bytes 4C 50 45 53
    std::int32_t version;          // 1
    std::intptr_t host_value;      // the host's own value from makeModule; never read by the module
    void* object;                  // the SEModule_base that embeds this record
    std::int32_t reserved_a;       // 0
    PlugDispatcher dispatcher;     // AudioDispatchEntry
    ProcessRoutine process;        // the current processing routine
    EventRoutine event_handler;    // AudioEventEntry
    std::int32_t reserved_b[4];    // 0
};

constexpr std::uint32_t AUDIO_PLUG_MAGIC = 0x5345504C;

// One pin declaration, written by the module into a record the host owns.
// Only variable_ptr, direction, datatype, name and flags are ever written.
struct SEPinProperties {
    void* variable_ptr;            // module variable holding the value, or null
    std::int32_t direction;        // DR_IN or DR_OUT
    std::int32_t datatype;         // DT_* code
    const char* name;              // NUL-terminated constant text of the library
    std::int32_t reserved_c[2];    // never written by the module
    std::uint32_t flags;           // IO_* bits; unknown bits pass through
    std::int32_t reserved_d;       // never written by the module
};

enum : std::int32_t {
    DR_IN = 0,
    DR_OUT = 1,
};

enum : std::int32_t {
    DT_SHORT = 0,    // 16-bit value
    DT_BOOL = 4,     // 8-bit on/off value
    DT_FSAMPLE = 5,  // stream of 32-bit float samples; the variable holds the buffer's address
    DT_FLOAT = 6,    // 32-bit float
    DT_INT = 8,      // signed 32-bit integer
};

enum : std::uint32_t {
    IO_REPEAT_LAST = 0x8,            // last declaration repeats to fill the host's pin count
    IO_PRIVATE = 0x100,              // satisfies the patch-store rule
    IO_UI_COMMUNICATION = 0x400,     // GUI-side pin: no audio-side SEPin unless IO_UI_AUDIO_PIN
    IO_UI_AUDIO_PIN = 0x8000,        // gives a GUI-side pin an audio-side SEPin too
    IO_PATCH_STORE = 0x10000,        // must also be private, an output or a GUI-side pin
};

// A time-stamped audio event. The module builds one on its stack for
// AUDIO_HOST_ADD_EVENT (the host copies it before returning); the host owns
// the one it delivers to event_handler.
struct ModuleEvent {
    std::uint32_t time_stamp;      // sample clock at which the event is due
    std::int32_t event_type;       // EV_* code
    std::int32_t param_a;
    std::int32_t param_b;
    std::intptr_t param_ptr;       // address-sized third parameter
    std::int32_t reserved;         // 0 in every event the module builds
};

enum : std::int32_t {
    EV_PIN_STATUS = 0,  // param_ptr: pin index in m_pins, param_a: status
    EV_DATA = 2,        // param_a, and the low 16 bits of param_b as signed
    EV_CALL = 21,       // param_ptr: function word of a no-argument member operation
};

// Pin status values.
enum : std::int32_t {
    PS_ONCE = 1,  // one-off status, cleared once the module has been told
};

// Shared by all audio objects of the library; AUDIO_GET_PROCESS_RECORD fills
// it for the asking object and returns its address. Valid until the next such
// request of any object.
struct ProcessRecord {
    std::int32_t format;           // 1
    std::int32_t member_size;      // 8: bytes of a processing-routine member pointer on the product target
    void* process_member;          // address of the asking object's m_process
    std::int32_t tag;              // 1002
};

// The block size: a sample pin's buffer (AUDIO_HOST_GET_PIN_BUFFER) holds one
// block, and the module knows its length only from AUDIO_SET_BLOCK_SIZE,
// 1024 samples until the host sends it. A sample read at the sample clock
// (SEPin::CurrentSample) lies fewer samples than that after the block start
// (AUDIO_HOST_GET_BLOCK_START), or it reads as 0.0, never past the buffer's
// end. So a host whose blocks are not 1024 samples long sends the
// size before it processes: with longer blocks the samples from 1024 on
// would read as 0.0, with shorter ones a clock outside the block would read
// beyond the buffer.

// Audio dispatcher opcodes (host to module). Others answer 0.
enum : std::int32_t {
    AUDIO_OPEN = 0,
    AUDIO_CLOSE = 1,                // the object deletes itself; the record dies with it
    AUDIO_SET_SAMPLE_RATE = 2,      // rate in opt
    AUDIO_SET_BLOCK_SIZE = 3,       // size in value; see the block size above
    AUDIO_GET_PIN_PROPERTIES = 6,   // index: declaration number, ptr: SEPinProperties*
    AUDIO_NOTIFY = 8,
    AUDIO_REQUEST = 12,
    AUDIO_GET_PROCESS_RECORD = 13,  // answers the address of the shared ProcessRecord
};

// Audio callback opcodes (module to host).
enum : std::int32_t {
    AUDIO_HOST_PIN_DATA = 0,
    AUDIO_HOST_QUERY_PIN = 1,
    AUDIO_HOST_GET_SAMPLE_CLOCK = 3,
    AUDIO_HOST_SET_PIN_STATUS = 4,     // ptr carries the sample clock
    AUDIO_HOST_GET_PIN_BUFFER = 7,
    AUDIO_HOST_GET_BLOCK_START = 8,
    AUDIO_HOST_SLEEP = 10,
    AUDIO_HOST_GET_PIN_COUNT = 14,
    AUDIO_HOST_ADD_EVENT = 19,         // ptr: ModuleEvent on the caller's stack
    AUDIO_HOST_PROCESS_CHANGED = 22,   // process already holds the new routine
};

// ---------------------------------------------------------------------------
// GUI side
// ---------------------------------------------------------------------------

// Embedded in every GUI object; makeModule returns its address. Written once
// at construction; the host only reads it. It dies with the object on GUI_CLOSE.
struct GuiPlugRecord {
    std::uint32_t magic;           // GUI_PLUG_MAGIC, bytes 4D 50 45 53
    std::int32_t version;          // 1
    PlugDispatcher dispatcher;     // GuiDispatchEntry
    std::intptr_t host_value;      // the host's own value from makeModule; never read by the module
    void* object;                  // the SEGUI_base that embeds this record
    std::int32_t reserved[5];      // 0
};

constexpr std::uint32_t GUI_PLUG_MAGIC = 0x5345504D;

// A point of the GUI point events: index becomes x, value becomes y.
struct GuiPoint {
    std::int32_t x;
    std::int32_t y;
};

// GUI dispatcher opcodes (host to module). Others answer 0.
enum : std::int32_t {
    GUI_OPEN = 0,           // index 1: open with a true flag
    GUI_CLOSE = 1,          // the object deletes itself; the record dies with it
    GUI_CONTEXT_INDEX = 2,
    GUI_POINT_A = 3,
    GUI_POINT_B = 4,
    GUI_POINT_C = 5,
    GUI_CONTEXT_VALUE = 6,
    GUI_PIN_CHANGED = 7,    // index: the pin whose value changed
    GUI_CONTEXT_A = 8,
    GUI_CONTEXT_B = 9,
    GUI_IDLE = 10,          // answers 1 when the object's Idle returned true
    GUI_INDEX_A = 11,
    GUI_INDEX_B = 12,
};

// GUI callback opcodes (module to host).
enum : std::int32_t {
    GUI_HOST_SET_PIN_TEXT = 6,        // ptr: NUL-terminated text, needed only during the call
    GUI_HOST_GET_PIN_TEXT = 7,        // answers the address of a NUL-terminated text
    GUI_HOST_INDEXED_REQUEST = 8,
    GUI_HOST_GET_PIN_VALUE = 14,      // ptr: 4-byte slot the host fills before returning
    GUI_HOST_SET_PIN_VALUE = 15,      // integer in value or float in opt, the other zero
    GUI_HOST_GET_PIN_WIDE_TEXT = 17,  // first: answers size in 16-bit units; second: fills ptr
    GUI_HOST_CONTEXT_REQUEST_A = 18,
    GUI_HOST_CONTEXT_REQUEST_B = 19,
    GUI_HOST_CONTEXT_QUERY = 20,
    GUI_HOST_SIGNAL = 22,
};

// ---------------------------------------------------------------------------
// Layout checks on the product target
// ---------------------------------------------------------------------------
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(void*) == 4 && sizeof(std::intptr_t) == 4, "product target is 32-bit");

static_assert(sizeof(ModuleProperties) == 24);
static_assert(offsetof(ModuleProperties, name) == 0);
static_assert(offsetof(ModuleProperties, id) == 4);
static_assert(offsetof(ModuleProperties, about) == 8);
static_assert(offsetof(ModuleProperties, flags) == 12);
static_assert(offsetof(ModuleProperties, secondary_flags) == 16);
static_assert(offsetof(ModuleProperties, sdk_version) == 20);

static_assert(sizeof(AudioPlugRecord) == 48);
static_assert(offsetof(AudioPlugRecord, magic) == 0);
static_assert(offsetof(AudioPlugRecord, version) == 4);
static_assert(offsetof(AudioPlugRecord, host_value) == 8);
static_assert(offsetof(AudioPlugRecord, object) == 12);
static_assert(offsetof(AudioPlugRecord, reserved_a) == 16);
static_assert(offsetof(AudioPlugRecord, dispatcher) == 20);
static_assert(offsetof(AudioPlugRecord, process) == 24);
static_assert(offsetof(AudioPlugRecord, event_handler) == 28);
static_assert(offsetof(AudioPlugRecord, reserved_b) == 32);

static_assert(sizeof(SEPinProperties) == 32);
static_assert(offsetof(SEPinProperties, variable_ptr) == 0);
static_assert(offsetof(SEPinProperties, direction) == 4);
static_assert(offsetof(SEPinProperties, datatype) == 8);
static_assert(offsetof(SEPinProperties, name) == 12);
static_assert(offsetof(SEPinProperties, reserved_c) == 16);
static_assert(offsetof(SEPinProperties, flags) == 24);
static_assert(offsetof(SEPinProperties, reserved_d) == 28);

static_assert(sizeof(ModuleEvent) == 24);
static_assert(offsetof(ModuleEvent, time_stamp) == 0);
static_assert(offsetof(ModuleEvent, event_type) == 4);
static_assert(offsetof(ModuleEvent, param_a) == 8);
static_assert(offsetof(ModuleEvent, param_b) == 12);
static_assert(offsetof(ModuleEvent, param_ptr) == 16);
static_assert(offsetof(ModuleEvent, reserved) == 20);

static_assert(sizeof(ProcessRecord) == 16);
static_assert(offsetof(ProcessRecord, format) == 0);
static_assert(offsetof(ProcessRecord, member_size) == 4);
static_assert(offsetof(ProcessRecord, process_member) == 8);
static_assert(offsetof(ProcessRecord, tag) == 12);

static_assert(sizeof(GuiPlugRecord) == 40);
static_assert(offsetof(GuiPlugRecord, magic) == 0);
static_assert(offsetof(GuiPlugRecord, version) == 4);
static_assert(offsetof(GuiPlugRecord, dispatcher) == 8);
static_assert(offsetof(GuiPlugRecord, host_value) == 12);
static_assert(offsetof(GuiPlugRecord, object) == 16);
static_assert(offsetof(GuiPlugRecord, reserved) == 20);

static_assert(sizeof(GuiPoint) == 8);
static_assert(offsetof(GuiPoint, x) == 0);
static_assert(offsetof(GuiPoint, y) == 4);
#endif
