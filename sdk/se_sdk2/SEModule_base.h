// Base class of every audio-side module object.
//
// The host reaches an object only through its embedded AudioPlugRecord: the
// dispatcher (AudioDispatchEntry), the processing routine (`process`) and the
// event entry (AudioEventEntry). Everything runs on the host's calling
// thread. The ProcessRecord answered for AUDIO_GET_PROCESS_RECORD is one
// record shared by every audio object of the library.
#pragma once

#include "SEFreeStore.h"
#include "SEHostTypes.h"
#include "SEProtocol.h"
#include "SEPin.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

class SEModule_base;

// A processing routine: a non-virtual member operation that the host calls
// as a plain function with the object's address, hence the explicit
// convention (i686 member functions default to thiscall).
typedef void (SE_CALL SEModule_base::*ProcessFunction)();

// A no-argument member operation named by an EV_CALL event.
typedef void (SEModule_base::*CallFunction)();

// A member-function pointer as GCC holds it on both targets: the function word
// (an address, or 1 + the virtual-table offset for a virtual operation) and
// the object adjustment.
struct MemberFunctionWords {
    std::uintptr_t function;
    std::ptrdiff_t adjustment;
};
static_assert(sizeof(ProcessFunction) == sizeof(MemberFunctionWords), "member pointer is two words");
static_assert(sizeof(CallFunction) == sizeof(MemberFunctionWords), "member pointer is two words");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ProcessFunction) == 8, "the host reads m_process as two 32-bit words");
static_assert(offsetof(MemberFunctionWords, function) == 0 && offsetof(MemberFunctionWords, adjustment) == 4);
#endif

class SEModule_base : public SEFreeStoreObject {
public:
    SEModule_base(HostCallback callback, std::intptr_t host_value);
    virtual ~SEModule_base();

    virtual void OnPinStatusChange(SEPin* pin);
    virtual void HandleEvent(ModuleEvent* event);
    // Takes its arguments as the record's dispatcher does (SE_CALL, the
    // object in place of the record), so that AudioDispatchEntry passes the
    // host's call on as a jump.
    virtual HostResult SE_CALL Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                        float opt);
    virtual void Open();
    virtual void Close();
    virtual void ReservedHook();
    virtual void SetSampleRate(float rate);
    virtual void SetBlockSize(std::int32_t size);
    virtual float SampleRate();
    virtual std::int32_t BlockSize();
    // Declares pin `index` into the record; false past the last pin.
    virtual bool GetPinProperties(std::int32_t index, SEPinProperties* properties);
    virtual std::int32_t ReservedQueryA();
    virtual std::int32_t ReservedQueryB();
    virtual void OnNotify();
    virtual void OnNotifyCount(std::int32_t count);
    virtual void OnDataEvent(std::uint32_t time_stamp, std::int32_t param_a, std::int16_t param_b);
    virtual void OnRequest(std::int32_t value, std::int32_t index, void* ptr);

    // Calls the host with this object's record first; answers 0 without a
    // call when the object has no callback.
    SE_INLINE HostResult CallHost(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                                  void* ptr = nullptr, float opt = 0.0f) {
        // Inline: a processing routine's request costs no more calls than the host's own.
        return seaudioMaster != nullptr ? seaudioMaster(&m_plug, opcode, index, value, ptr, opt) : 0;
    }

    // The host's current sample clock, asked at every use.
    std::uint32_t SampleClock();
    // Element `index` of the pin array, or null for an index outside it.
    // Asking with no array at all is a broken contract, reported.
    SEPin* GetPin(std::int32_t index);
    // Number of pins in the array (the host's count at open), 0 without one.
    std::int32_t GetPinCount() const { return m_pin_count; }
    // Zero-fills all 32 bytes of the record, then asks GetPinProperties.
    bool QueryPinProperties(std::int32_t index, SEPinProperties* properties);
    // Queues an event with the host; `time_stamp` must not be in the past.
    HostResult AddEvent(std::uint32_t time_stamp, std::int32_t event_type, std::int32_t param_a,
                        std::int32_t param_b, std::intptr_t param_ptr);
    // Queues an EV_CALL that runs `function` on this object when it comes due.
    HostResult AddCallEvent(std::uint32_t time_stamp, CallFunction function);
    // Installs `routine` and tells the host, unless it is the one in place.
    // Inline: an Open that installs its routine makes the host call itself.
    SE_INLINE void SetProcessFunction(ProcessFunction routine) {
        const MemberFunctionWords wanted = WordsOf(routine);
        const MemberFunctionWords current = WordsOf(m_process);
        // The same routine: equal function words, and equal adjustments
        // unless the function word is null.
        if (wanted.function == current.function &&
            (wanted.adjustment == current.adjustment || wanted.function == 0))
            return;
        m_process = routine;
        // The record must name the new routine before the host hears of it.
        m_plug.process = reinterpret_cast<ProcessRoutine>(wanted.function);
        CallHost(AUDIO_HOST_PROCESS_CHANGED, 0, 0, nullptr, 0.0f);
    }
    ProcessFunction GetProcessFunction() const { return m_process; }

    AudioPlugRecord* GetPlugRecord() { return &m_plug; }

    void SE_CALL DefaultProcess();

protected:
    // Open's work on the pin array: asks the host for its pin count, makes
    // that many unbound pins and binds them to the declarations. `Self` is
    // the class whose GetPinProperties answers: the base's own Open passes
    // SEModule_base, so each declaration is asked through the virtual table;
    // a final derived class passes itself, so the calls bind statically and a
    // table of constant declarations folds into the walk.
    template <class Self>
    void OpenPins();

    HostCallback seaudioMaster;
    AudioPlugRecord m_plug;
    float m_samplerate;
    std::int32_t m_blocksize;
    SEPin* m_pins;
    ProcessFunction m_process;

private:
    SEModule_base(const SEModule_base&) = delete;
    SEModule_base& operator=(const SEModule_base&) = delete;

    void DestroyPins();
    // A routine's two words, as the record and the comparison read them.
    static MemberFunctionWords WordsOf(ProcessFunction routine) {
        MemberFunctionWords words;
        std::memcpy(&words, &routine, sizeof words);
        return words;
    }
    // Replaces the pin array with one of `host_count` unbound pins, or with
    // none; answers the new array's length.
    std::int32_t MakePins(std::int32_t host_count);
    static void ClearPinProperties(SEPinProperties& properties) {
        // Every byte zero, field by field (the record has no padding): eight
        // stores, where a memset of so few bytes is a string instruction
        // repeated eight times, with its set-up.
        properties.variable_ptr = nullptr;
        properties.direction = 0;
        properties.datatype = 0;
        properties.name = nullptr;
        properties.reserved_c[0] = 0;
        properties.reserved_c[1] = 0;
        properties.flags = 0;
        properties.reserved_d = 0;
    }
    // Whether a declaration gets an audio-side pin: every pin except those
    // that run only between the module and its GUI side.
    static bool HasAudioPin(const SEPinProperties& properties) {
        return (properties.flags & IO_UI_COMMUNICATION) == 0 || (properties.flags & IO_UI_AUDIO_PIN) != 0;
    }

    std::int32_t m_pin_count;  // length of m_pins, for range checks of host events
};

// The audio record's dispatcher: forwards to the record's object.
HostResult SE_CALL AudioDispatchEntry(void* record, std::int32_t opcode, std::int32_t index,
                                      std::int32_t value, void* ptr, float opt);
// The audio record's event entry: `object` is the record's `object`.
void SE_CALL AudioEventEntry(void* object, ModuleEvent* event);

template <class Self>
void SEModule_base::OpenPins() {
    Self& self = static_cast<Self&>(*this);
    const std::int32_t count =
        MakePins(static_cast<std::int32_t>(CallHost(AUDIO_HOST_GET_PIN_COUNT, 0, 0, nullptr, 0.0f)));

    // An audio-side pin's index is its place among the declarations that get
    // one: declarations without leave no gap in the array.
    SEPinProperties properties;
    std::int32_t declaration = 0;
    std::int32_t bound = 0;
    for (;; ++declaration) {
        ClearPinProperties(properties);
        if (!self.GetPinProperties(declaration, &properties)) break;
        if (bound >= count) break;
        if (HasAudioPin(properties)) {
            m_pins[bound].Init(this, bound, properties.datatype, properties.variable_ptr);
            ++bound;
        }
    }

    // The last declaration read may ask to fill the remaining pins with its
    // data type, each keeping its own value. With no declarations at all this
    // asks for number -1.
    ClearPinProperties(properties);
    self.GetPinProperties(declaration - 1, &properties);
    if (HasAudioPin(properties) && (properties.flags & IO_REPEAT_LAST) != 0) {
        for (; bound < count; ++bound) m_pins[bound].Init(this, bound, properties.datatype, nullptr);
    }
}
