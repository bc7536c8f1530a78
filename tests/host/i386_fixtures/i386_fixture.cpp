// A flat module of this plug-in format for the i386 build, written on
// SEHostTypes.h alone (with the fixtures' shared parts, fixture_parts.h) and
// linked as the shipped DLL is (no C++ runtime, no start files, DllMain as
// the entry). Built once sound and once per fault below, each breaking one
// rule of how a module meets its host:
//   FIXTURE_STACK_IMBALANCE     the audio dispatcher is declared __stdcall, so it
//                               pops its 24 bytes of arguments
//   FIXTURE_CLOBBERED_REGISTER  GUI_OPEN changes ESI and returns without restoring it
//   FIXTURE_RUNTIME_IMPORT      AUDIO_SET_BLOCK_SIZE divides 64-bit numbers with
//                               __udivdi3 imported from libgcc_s_dw2-1.dll
//   FIXTURE_DECORATED_NAMES     the entry points are exported as
//                               _getModuleProperties@8 and _makeModule@16
//   FIXTURE_THISCALL            the processing routine is a member function,
//                               which takes its object from ECX, not the stack
//   FIXTURE_DOUBLE_FREE         GUI_CLOSE frees the object twice
//   FIXTURE_LEAK                AUDIO_CLOSE never frees the block AUDIO_OPEN took
//   FIXTURE_HANG                GUI_OPEN loops for ever
//   FIXTURE_PIN_OVERRUN         AUDIO_GET_PIN_PROPERTIES writes past the 32-byte record
//   FIXTURE_FOREIGN_RECORD      the GUI object calls back with the newest audio
//                               object's record, or a made-up one
//   FIXTURE_SILENT_SWAP         the first run swaps the record's processing routine
//                               without telling the host (AUDIO_HOST_PROCESS_CHANGED)
//   FIXTURE_DLLMAIN_CRASH       DllMain writes through a null pointer at the attach
//   FIXTURE_DLLMAIN_HANG        DllMain loops for ever at the attach
//
// Pins: 0 "Level" (float in), 1 "Clicks" (int out), both GUI-side. A change
// of "Level" adds 1 to "Clicks". The audio side takes a scratch block at
// AUDIO_OPEN, swaps its starting routine for its steady one at the first
// run, and sleeps.
#include "SEHostTypes.h"
#include "fixture_parts.h"

#include <cstdlib>

namespace {

enum : std::int32_t { PIN_LEVEL = 0, PIN_CLICKS = 1, PIN_COUNT = 2 };

const fixture::PinRow kPins[PIN_COUNT] = {
    {"Level", DR_IN, DT_FLOAT},
    {"Clicks", DR_OUT, DT_INT},
};

// Objects come from calloc: zero-filled, and no C++ runtime needed.
template <typename T>
T* Allocate() {
    return static_cast<T*>(std::calloc(1, sizeof(T)));
}

AudioPlugRecord* g_newest_audio_record = nullptr;
#if defined(FIXTURE_FOREIGN_RECORD)
GuiPlugRecord g_made_up_record = {GUI_PLUG_MAGIC, GUI_PLUG_VERSION, nullptr, 0, nullptr, {}};
#endif

// --- audio side ------------------------------------------------------------

struct AudioObject {
    AudioPlugRecord record;
    HostCallback callback;
    void* scratch;
    std::int32_t block_size;
    std::uint32_t block_microseconds;
    float sample_rate;
    std::int32_t runs;

    HostResult CallHost(std::int32_t opcode) { return callback(&record, opcode, 0, 0, nullptr, 0.0f); }
    void Start();
    void Steady();
};

void SE_CALL ProcessSteady(void* object);

void AudioObject::Start() {
    ++runs;
    record.process = ProcessSteady;
#if !defined(FIXTURE_SILENT_SWAP)
    CallHost(AUDIO_HOST_PROCESS_CHANGED);
#endif
    CallHost(AUDIO_HOST_SLEEP);
}

void AudioObject::Steady() {
    ++runs;
    CallHost(AUDIO_HOST_SLEEP);
}

void SE_CALL ProcessStart(void* object) { static_cast<AudioObject*>(object)->Start(); }
void SE_CALL ProcessSteady(void* object) { static_cast<AudioObject*>(object)->Steady(); }

void SE_CALL AudioEvent(void*, ModuleEvent*) {}

bool DeclarePin(std::int32_t index, SEPinProperties* properties) {
    if (!fixture::DeclarePin(kPins, index, properties)) return false;
#if defined(FIXTURE_PIN_OVERRUN)
    // One word past the record: the host's memory beyond it.
    reinterpret_cast<volatile std::int32_t*>(properties + 1)[0] = 0x0BAD;
#endif
    return true;
}

#if defined(FIXTURE_STACK_IMBALANCE)
#define AUDIO_DISPATCH_CALL __stdcall
#else
#define AUDIO_DISPATCH_CALL SE_CALL
#endif

HostResult AUDIO_DISPATCH_CALL AudioDispatch(void* record, std::int32_t opcode, std::int32_t index,
                                             std::int32_t value, void* ptr, float opt) {
    AudioObject* self = static_cast<AudioObject*>(static_cast<AudioPlugRecord*>(record)->object);
    switch (opcode) {
    case AUDIO_OPEN:
        self->scratch = std::malloc(64);
        self->CallHost(AUDIO_HOST_GET_PIN_COUNT);
        return 0;
    case AUDIO_CLOSE:
        if (g_newest_audio_record == &self->record) g_newest_audio_record = nullptr;
#if !defined(FIXTURE_LEAK)
        std::free(self->scratch);
#endif
        std::free(self);
        return 1;
    case AUDIO_SET_SAMPLE_RATE:
        self->sample_rate = opt;
        return 0;
    case AUDIO_SET_BLOCK_SIZE:
        self->block_size = value;
#if defined(FIXTURE_RUNTIME_IMPORT)
        // 64-bit by 64-bit: the compiler calls __udivdi3 for it.
        if (self->sample_rate >= 1.0f)
            self->block_microseconds = static_cast<std::uint32_t>(
                static_cast<std::uint64_t>(value) * 1000000u / static_cast<std::uint64_t>(self->sample_rate));
#endif
        return 0;
    case AUDIO_GET_PIN_PROPERTIES:
        return DeclarePin(index, static_cast<SEPinProperties*>(ptr)) ? 1 : 0;
    default:
        return 0;
    }
}

// --- GUI side --------------------------------------------------------------

struct GuiObject {
    GuiPlugRecord record;
    HostCallback callback;

    HostResult CallHost(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr) {
#if defined(FIXTURE_FOREIGN_RECORD)
        void* caller = g_newest_audio_record != nullptr ? static_cast<void*>(g_newest_audio_record)
                                                        : static_cast<void*>(&g_made_up_record);
#else
        void* caller = &record;
#endif
        return callback(caller, opcode, index, value, ptr, 0.0f);
    }
};

HostResult SE_CALL GuiDispatch(void* record, std::int32_t opcode, std::int32_t index, std::int32_t, void*,
                               float) {
    GuiObject* self = static_cast<GuiObject*>(static_cast<GuiPlugRecord*>(record)->object);
    switch (opcode) {
    case GUI_OPEN:
#if defined(FIXTURE_HANG)
        for (volatile std::int32_t spin = 0;;) spin = spin + 1;
#endif
        self->CallHost(GUI_HOST_SIGNAL, 0, 0, nullptr);
#if defined(FIXTURE_CLOBBERED_REGISTER)
        // ESI is not named as changed, so the compiler does not save it
        // (it saves EBX, which it uses itself, so a change of EBX would be
        // undone by its own epilogue).
        asm volatile("movl $0x11, %%esi" ::: "memory");
#endif
        return 0;
    case GUI_CLOSE: {
#if defined(FIXTURE_DOUBLE_FREE)
        void* volatile again = self;
        std::free(self);
        std::free(again);
#else
        std::free(self);
#endif
        return 1;
    }
    case GUI_PIN_CHANGED:
        if (index == PIN_LEVEL) {
            std::int32_t clicks = 0;
            self->CallHost(GUI_HOST_GET_PIN_VALUE, PIN_CLICKS, 0, &clicks);
            self->CallHost(GUI_HOST_SET_PIN_VALUE, PIN_CLICKS, clicks + 1, nullptr);
        }
        return 0;
    case GUI_IDLE:
        return 1;
    default:
        return 0;
    }
}

}  // namespace

extern "C" int __stdcall DllMain(void*, unsigned long reason, void*) {
    constexpr unsigned long kProcessAttach = 1;
    if (reason != kProcessAttach) return 1;
#if defined(FIXTURE_DLLMAIN_CRASH)
    volatile std::uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
#elif defined(FIXTURE_DLLMAIN_HANG)
    for (volatile std::int32_t spin = 0;;) spin = spin + 1;
#endif
    return 1;
}

// Exported through the .def file: plain names, or decorated ones.
extern "C" bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties) {
    return fixture::Describe(index, properties, "i386 Fixture", "i386Fixture",
                             "a module for testing the emulated back end");
}

extern "C" void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback,
                                    std::intptr_t host_value) {
    if (index != 0) return nullptr;
    if (type == MT_AUDIO) {
        AudioObject* audio = Allocate<AudioObject>();
        if (audio == nullptr) return nullptr;
        audio->callback = callback;
        fixture::FillAudioRecord(audio->record, audio, host_value, reinterpret_cast<PlugDispatcher>(AudioDispatch),
                                 ProcessStart, AudioEvent);
#if defined(FIXTURE_THISCALL)
        // A member function's address as a plain routine (a GCC extension):
        // it expects its object in ECX, the host passes it on the stack.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
        audio->record.process = (ProcessRoutine)(&AudioObject::Start);
#pragma GCC diagnostic pop
#endif
        g_newest_audio_record = &audio->record;
        return &audio->record;
    }
    if (type == MT_GUI) {
        GuiObject* gui = Allocate<GuiObject>();
        if (gui == nullptr) return nullptr;
        gui->callback = callback;
        fixture::FillGuiRecord(gui->record, gui, host_value, GuiDispatch);
        return &gui->record;
    }
    return nullptr;
}
