// Host-visible types, part 1: the calling convention, the host callback and
// the library's two entry points with the identity record they fill in.
//
// Every record of the protocol is read or written by the host in place, so
// its layout is fixed: little-endian 32-bit words on the product target
// (i686 Windows). Fields that carry an address (and results that can be
// addresses) are pointer-sized, so that a 64-bit build of the same sources
// stays sound. Each header checks its records' sizes and offsets on both.
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

// On a function definition: every call in it whose callee's body is in sight
// is inlined, and so on down, so that a walk over constant data folds away.
#if defined(__GNUC__)
#define SE_FLATTEN __attribute__((flatten))
#else
#define SE_FLATTEN
#endif

// A field's offset (or a record's size) as the layout checks expect it: on
// the product target, where pointers are 4 bytes, and on a 64-bit build,
// where they are 8.
constexpr std::size_t SeLayout(std::size_t with_4_byte_pointers, std::size_t with_8_byte_pointers) {
    return sizeof(void*) == 4 ? with_4_byte_pointers : with_8_byte_pointers;
}
static_assert(sizeof(void*) == sizeof(std::intptr_t) && (sizeof(void*) == 4 || sizeof(void*) == 8));

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

// Filled in by getModuleProperties; owned by the caller. The texts are
// constants of the library: valid while it is loaded, never to be freed.
struct ModuleProperties {
    const char* name;               // display name, NUL-terminated
    const char* id;                 // unique identifier, NUL-terminated
    const char* about;              // one line about the module, NUL-terminated
    std::uint32_t flags;            // MODULE_FLAG_* bits, read by the host
    std::uint32_t secondary_flags;  // MODULE_SECONDARY_FLAG_* bits, read by the host
    std::int32_t sdk_version;       // SDK_VERSION, written on every call
};

constexpr std::int32_t SDK_VERSION = 2230;

// The bits of the two flag words that modules of this framework set. Their
// meaning is the host's; a module gives exactly these and no other bit.
enum : std::uint32_t {
    MODULE_FLAG_BIT_9 = 0x200,            // `flags`
    MODULE_SECONDARY_FLAG_BIT_8 = 0x100,  // `secondary_flags`
};

// Object types that makeModule accepts.
enum : std::int32_t {
    MT_AUDIO = 1,  // audio-side object; makeModule returns its AudioPlugRecord
    MT_GUI = 2,    // GUI-side object; makeModule returns its GuiPlugRecord
};

// The two exports of every module library, under these unmangled names.
// bool SE_CALL getModuleProperties(int32_t index, ModuleProperties* properties):
// true for a module the library holds; sdk_version is written whatever the index.
typedef bool(SE_CALL* GetModulePropertiesFunction)(std::int32_t index, ModuleProperties* properties);
// void* SE_CALL makeModule(int32_t index, int32_t type, HostCallback callback, intptr_t host_value):
// the new object's embedded plug record, or null when nothing was created.
typedef void*(SE_CALL* MakeModuleFunction)(std::int32_t index, std::int32_t type, HostCallback callback,
                                           std::intptr_t host_value);

static_assert(sizeof(ModuleProperties) == SeLayout(24, 40));
static_assert(offsetof(ModuleProperties, name) == 0);
static_assert(offsetof(ModuleProperties, id) == SeLayout(4, 8));
static_assert(offsetof(ModuleProperties, about) == SeLayout(8, 16));
static_assert(offsetof(ModuleProperties, flags) == SeLayout(12, 24));
static_assert(offsetof(ModuleProperties, secondary_flags) == SeLayout(16, 28));
static_assert(offsetof(ModuleProperties, sdk_version) == SeLayout(20, 32));
