// Host-visible types, part 3: the audio side's plug record, its routines and
// the opcodes in both directions.
#pragma once

#include "SEEntryPoints.h"
#include "SEPinsAndEvents.h"

// The audio processing routine: called with the object's address (the
// record's `object`) first. Further arguments, if a host passes any, are
// ignored; cdecl lets the caller clean them up.
typedef void(SE_CALL* ProcessRoutine)(void* object);

// The audio event entry: the object's address and an event owned by the host
// for the duration of the call.
typedef void(SE_CALL* EventRoutine)(void* object, ModuleEvent* event);

// Embedded in every audio object; makeModule returns its address. The module
// writes it once at construction (and `process` when the routine changes);
// the host only reads it. It dies with the object on AUDIO_CLOSE.
struct AudioPlugRecord {
    std::uint32_t magic;           // AUDIO_PLUG_MAGIC, bytes 4C 50 45 53
    std::int32_t version;          // AUDIO_PLUG_VERSION
    std::intptr_t host_value;      // the host's own value from makeModule; never read by the module
    void* object;                  // the SEModule_base that embeds this record
    std::int32_t reserved_a;       // 0
    PlugDispatcher dispatcher;     // AudioDispatchEntry
    ProcessRoutine process;        // the current processing routine
    EventRoutine event_handler;    // AudioEventEntry
    std::int32_t reserved_b[4];    // 0
};

constexpr std::uint32_t AUDIO_PLUG_MAGIC = 0x5345504C;
constexpr std::int32_t AUDIO_PLUG_VERSION = 1;

// Shared by all audio objects of the library; AUDIO_GET_PROCESS_RECORD fills
// it for the asking object and returns its address. Valid until the next such
// request of any object.
struct ProcessRecord {
    std::int32_t format;           // PROCESS_RECORD_FORMAT
    std::int32_t member_size;      // PROCESS_MEMBER_SIZE
    void* process_member;          // address of the asking object's m_process
    std::int32_t tag;              // PROCESS_RECORD_TAG
};

enum : std::int32_t {
    PROCESS_RECORD_FORMAT = 1,
    PROCESS_MEMBER_SIZE = 8,  // bytes of a processing-routine member pointer on the product target
    PROCESS_RECORD_TAG = 1002,
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
constexpr std::int32_t AUDIO_DEFAULT_BLOCK_SIZE = 1024;

// Audio dispatcher opcodes (host to module), with the arguments each uses
// and its result. Others answer 0 and run nothing; of these, 4, 5, 9 and 11
// are unnamed.
enum : std::int32_t {
    AUDIO_OPEN = 0,                 // builds the object's pins (asks AUDIO_HOST_GET_PIN_COUNT); 0
    AUDIO_CLOSE = 1,                // the object deletes itself, the record with it; 1
    AUDIO_SET_SAMPLE_RATE = 2,      // opt: the rate; 0
    AUDIO_SET_BLOCK_SIZE = 3,       // value: the block size (see above); 0
    AUDIO_GET_PIN_PROPERTIES = 6,   // index: declaration number, ptr: host's SEPinProperties; 1 when declared
    AUDIO_FORBIDDEN_A = 7,          // never sent by a host: reported as a broken contract, changes nothing; 0
    AUDIO_NOTIFY = 8,               // index: a count, told to the module when above 0; 0
    AUDIO_FORBIDDEN_B = 10,         // never sent by a host: reported as a broken contract, changes nothing; 0
    AUDIO_REQUEST = 12,             // value, index, ptr: handed on to the module; 0
    AUDIO_GET_PROCESS_RECORD = 13,  // the address of the shared ProcessRecord, filled for this object
};

// Audio callback opcodes (module to host): the arguments the module passes
// (unnamed ones are 0, null, 0.0) and what it relies on.
enum : std::int32_t {
    AUDIO_HOST_PIN_DATA = 0,           // index: pin, value and ptr: the caller's; the result goes back to it
    AUDIO_HOST_QUERY_PIN = 1,          // index: pin; nonzero means yes
    AUDIO_HOST_GET_SAMPLE_CLOCK = 3,   // the unsigned 32-bit clock; an event's time_stamp while it is delivered
    AUDIO_HOST_SET_PIN_STATUS = 4,     // index: pin, value: status, ptr: the sample clock it takes effect at
    AUDIO_HOST_GET_PIN_BUFFER = 7,     // index: pin; the address of its float sample buffer, asked once
    AUDIO_HOST_GET_BLOCK_START = 8,    // index: pin; the sample clock of the buffer's first sample
    AUDIO_HOST_SLEEP = 10,             // the module needs no processing until told; result ignored
    AUDIO_HOST_GET_PIN_COUNT = 14,     // the number of audio-side pins the host holds for the object
    AUDIO_HOST_ADD_EVENT = 19,         // ptr: ModuleEvent on the caller's stack, copied before returning
    AUDIO_HOST_PROCESS_CHANGED = 22,   // the record's process already holds the new routine
};

static_assert(sizeof(AudioPlugRecord) == SeLayout(48, 72));
static_assert(offsetof(AudioPlugRecord, magic) == 0);
static_assert(offsetof(AudioPlugRecord, version) == 4);
static_assert(offsetof(AudioPlugRecord, host_value) == 8);
static_assert(offsetof(AudioPlugRecord, object) == SeLayout(12, 16));
static_assert(offsetof(AudioPlugRecord, reserved_a) == SeLayout(16, 24));
static_assert(offsetof(AudioPlugRecord, dispatcher) == SeLayout(20, 32));
static_assert(offsetof(AudioPlugRecord, process) == SeLayout(24, 40));
static_assert(offsetof(AudioPlugRecord, event_handler) == SeLayout(28, 48));
static_assert(offsetof(AudioPlugRecord, reserved_b) == SeLayout(32, 56));

static_assert(sizeof(ProcessRecord) == SeLayout(16, 24));
static_assert(offsetof(ProcessRecord, format) == 0);
static_assert(offsetof(ProcessRecord, member_size) == 4);
static_assert(offsetof(ProcessRecord, process_member) == 8);
static_assert(offsetof(ProcessRecord, tag) == SeLayout(12, 16));
