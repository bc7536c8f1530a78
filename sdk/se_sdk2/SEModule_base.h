// Base class of every audio-side module object.
//
// The host reaches an object only through its embedded AudioPlugRecord: the
// dispatcher (AudioDispatchEntry), the processing routine (`process`) and the
// event entry (AudioEventEntry). Everything runs on the host's calling
// thread. The ProcessRecord answered for AUDIO_GET_PROCESS_RECORD is one
// record shared by every audio object of the library.
//
// Writing a module: derive from this class, override GetPinProperties to
// declare the pins, and whatever else the module needs; every other virtual
// operation has a default, and a class that overrides only GetPinProperties
// is a valid audio object. Each virtual operation below says when the host
// causes it (by which dispatcher opcode or event), whether it may call the
// host back, and what the default does. "May call the host" means CallHost,
// the pins' requests and the other host requests of this class: the host
// accepts them from inside its own call, on the same thread, and answers
// before they return. No operation may open or close its own object again,
// or call into another object's record, from inside a host call.
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

class SEModule_base : public SEFreeStoreObject, public SEPinOwner {
public:
    // Run by makeModule (MT_AUDIO), before the host has the record: it must
    // not call the host (the base makes no host call). The processing
    // routine is DefaultProcess until Open or a derived constructor installs
    // another; the sample rate is 44100 and the block size 1024.
    SEModule_base(HostCallback callback, std::intptr_t host_value);
    // Caused by AUDIO_CLOSE (1), after Close; the object's storage, its
    // record with it, is freed after the base's part. May call the host: the
    // record is still the host's until the storage is freed. Default: ends
    // the pin array.
    virtual ~SEModule_base();

    // Caused by an EV_PIN_STATUS event (delivered through event_handler, not
    // an opcode): the host changed the status of `pin`, one of m_pins bound
    // at open; `pin->GetStatus()` holds the new status (a PS_ONCE status only
    // for this call). May call the host. Default: nothing.
    void OnPinStatusChange(SEPin* pin) override;
    // Caused by every event the host delivers through the record's
    // event_handler (AudioEventEntry), at the event's time stamp; `event` is
    // the host's, for the duration of the call. May call the host. Default:
    // checks that the time stamp is the current sample clock (asks
    // AUDIO_HOST_GET_SAMPLE_CLOCK; a mistimed event is reported as a broken
    // contract and dropped), then routes EV_PIN_STATUS to the pin's status
    // and OnPinStatusChange, EV_DATA to OnDataEvent and EV_CALL to the
    // queued operation; other types do nothing. An override that handles
    // types of its own calls this for the others.
    virtual void HandleEvent(ModuleEvent* event);
    // Caused by every dispatcher call (AudioDispatchEntry) with the host's
    // arguments; its result is the host's answer. Default: one virtual
    // operation per opcode, as the operations below say; AUDIO_FORBIDDEN_A
    // (7) and AUDIO_FORBIDDEN_B (10) are reported as broken contracts;
    // AUDIO_GET_PROCESS_RECORD (13) fills the shared ProcessRecord for this
    // object and answers its address; any other opcode answers 0 and runs
    // nothing. An override that adds opcodes passes the rest to this one.
    // Takes its arguments as the record's dispatcher does (SE_CALL, the
    // object in place of the record), so that AudioDispatchEntry passes the
    // host's call on as a jump.
    virtual HostResult SE_CALL Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                        float opt);
    // Caused by AUDIO_OPEN (0), once the host holds the object's pins; may
    // come again, and each open replaces the pin array. May call the host.
    // Default: asks AUDIO_HOST_GET_PIN_COUNT, makes that many pins and binds
    // them to the declarations of GetPinProperties (see OpenPins). An
    // override calls it (or OpenPins<Self>()) before it uses a pin, and
    // installs its processing routine with SetProcessFunction.
    virtual void Open();
    // Caused by AUDIO_CLOSE (1), just before the object is destroyed. May
    // call the host. Default: nothing.
    virtual void Close();
    // Never caused by the host, nor called by the base. Default: nothing.
    virtual void ReservedHook();
    // Caused by AUDIO_SET_SAMPLE_RATE (2), with the host's opt unchanged, at
    // any time. May call the host. Default: stores it in m_samplerate.
    virtual void SetSampleRate(float rate);
    // Caused by AUDIO_SET_BLOCK_SIZE (3), with the host's value, at any time.
    // May call the host. Default: stores it in m_blocksize.
    virtual void SetBlockSize(std::int32_t size);
    // Never caused by the host; asked by the module and by its sample pins
    // (BlockSize, for the buffer's length). Defaults: m_samplerate and
    // m_blocksize. Overrides should not call the host.
    virtual float SampleRate();
    std::int32_t BlockSize() override;
    // Declares pin `index` into the record; false past the last pin.
    // Caused by AUDIO_GET_PIN_PROPERTIES (6) on the host's own record (not
    // cleared: fields not written keep the host's values), and asked by Open
    // for every declaration on a cleared record, so it is asked many times:
    // it should answer from constants and not call the host. The base checks
    // the patch-store rule on the host's record afterwards. Default: false
    // (no pins).
    virtual bool GetPinProperties(std::int32_t index, SEPinProperties* properties);
    // Never caused by the host, nor called by the base. Defaults: 0.
    virtual std::int32_t ReservedQueryA();
    virtual std::int32_t ReservedQueryB();
    // Caused by AUDIO_NOTIFY (8); what it tells is the host's. May call the
    // host. Default: nothing.
    virtual void OnNotify();
    // Caused by AUDIO_NOTIFY (8) with an index above 0, after OnNotify, with
    // that index. May call the host. Default: nothing.
    virtual void OnNotifyCount(std::int32_t count);
    // Caused by an EV_DATA event, at its time stamp: param_a, and the low 16
    // bits of param_b as a signed number. May call the host. Default:
    // nothing.
    virtual void OnDataEvent(std::uint32_t time_stamp, std::int32_t param_a, std::int16_t param_b);
    // Caused by AUDIO_REQUEST (12), with the host's value, index and ptr (in
    // this order); the host's answer is 0 whatever it does. May call the
    // host. Default: nothing.
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
    // What the pins ask (SEPinOwner): CallHost and SampleClock.
    HostResult PinRequest(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr) final {
        return CallHost(opcode, index, value, ptr, 0.0f);
    }
    std::uint32_t PinSampleClock() final { return SampleClock(); }
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

    // The host's callback, given to the constructor and never changed; may
    // be null, and CallHost then answers 0 without a call.
    HostCallback seaudioMaster;
    // The record the host holds: its address is the object's identity
    // towards the host (makeModule's answer, the first argument of every
    // callback). Written by the base alone; `process` follows m_process.
    AudioPlugRecord m_plug;
    // The last rate of AUDIO_SET_SAMPLE_RATE, 44100 before any.
    float m_samplerate;
    // The last size of AUDIO_SET_BLOCK_SIZE, 1024 before any: the length of
    // a sample pin's buffer.
    std::int32_t m_blocksize;
    // The pin array of the last open, GetPinCount() pins (bound or not), or
    // null before an open or when the host counted none; owned by the object.
    SEPin* m_pins;
    // The processing routine the host runs through the record: DefaultProcess
    // until SetProcessFunction installs another.
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
