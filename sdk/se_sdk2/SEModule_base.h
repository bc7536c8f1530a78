// Base class of every audio-side module object.
//
// The host reaches an object only through its embedded AudioPlugRecord: the
// dispatcher (AudioDispatchEntry), the processing routine (`process`) and the
// event entry (AudioEventEntry). Everything runs on the host's calling
// thread. The ProcessRecord answered for AUDIO_GET_PROCESS_RECORD is one
// record shared by every audio object of the library.
#pragma once

#include "SEHostTypes.h"
#include "SEProtocol.h"
#include "SEPin.h"

#include <cstddef>
#include <cstdint>
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

class SEModule_base {
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
    void SetProcessFunction(ProcessFunction routine);
    ProcessFunction GetProcessFunction() const { return m_process; }

    AudioPlugRecord* GetPlugRecord() { return &m_plug; }

    void SE_CALL DefaultProcess();

    // Objects come from the free store without exceptions: a failed
    // allocation answers null, which the host knows as a refusal.
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* storage) noexcept;
    static void operator delete(void* storage, const std::nothrow_t&) noexcept;
    // Placement for objects in storage the caller owns (tests, embedding).
    static void* operator new(std::size_t, void* storage) noexcept { return storage; }
    static void operator delete(void*, void*) noexcept {}

protected:
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

    std::int32_t m_pin_count;  // length of m_pins, for range checks of host events
    bool m_opened;             // Open has asked the host for its pin count
};

// The audio record's dispatcher: forwards to the record's object.
HostResult SE_CALL AudioDispatchEntry(void* record, std::int32_t opcode, std::int32_t index,
                                      std::int32_t value, void* ptr, float opt);
// The audio record's event entry: `object` is the record's `object`.
void SE_CALL AudioEventEntry(void* object, ModuleEvent* event);
