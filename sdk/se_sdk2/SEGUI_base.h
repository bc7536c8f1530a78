// Base class of every GUI-side module object, and GUI pin access.
//
// The host reaches an object only through its embedded GuiPlugRecord: each
// host call arrives at GuiDispatchEntry and becomes exactly one virtual
// operation. Everything runs on the host's calling thread; the host must make
// its GUI calls one at a time, since GetPin hands out one handle shared by
// every GUI object of the process.
#pragma once

#include "SEFreeStore.h"
#include "SEHostTypes.h"

#include <cstdint>
#include <new>
#include <string>

class SEGUI_base;

// A GUI-side pin: the host's pin number and the object through whose host
// callback it is reached. A plain value that owns nothing and caches no pin
// value: every read asks the host again.
class GuiPinRef {
public:
    constexpr GuiPinRef(std::int32_t index, SEGUI_base* owner) : m_index(index), m_owner(owner) {}

    std::int32_t GetIndex() const { return m_index; }
    SEGUI_base* GetOwner() const { return m_owner; }

    // The pin's current 4 bytes, as the host writes them, read as an integer
    // or as a float (0 if the host writes nothing). No conversion between the
    // two is made.
    SE_INLINE std::int32_t GetValueInt() const;
    SE_INLINE float GetValueFloat() const;

    // Integer values travel in `value`, floats in `opt`; the other is zero.
    SE_INLINE void SetValueInt(std::int32_t value) const;
    SE_INLINE void SetValueFloat(float value) const;

    // The host gets the string's own characters for the duration of the call.
    void SetText(const std::string& text) const;
    // The caller's own copies of the host's texts. A null text, or a wide
    // size below 1, gives an empty string; an unterminated wide text is cut
    // at the size the host gave. A copy that cannot be allocated is the
    // runtime's out-of-memory failure, passed to the caller.
    std::string GetText() const;
    std::u16string GetWideText() const;

private:
    std::int32_t m_index;
    SEGUI_base* m_owner;
};

class SEGUI_base : public SEFreeStoreObject {
public:
    // Run by makeModule (MT_GUI), before the host has the record: it must
    // not call the host (the base makes no host call).
    SEGUI_base(HostCallback callback, std::intptr_t host_value);
    // Caused by GUI_CLOSE (1), after Close; the object's storage, its record
    // with it, is freed after the base's part. May call the host: the record
    // is still the host's until then. Default: nothing, no host call.
    virtual ~SEGUI_base();

    // Host calls, one virtual operation each, as each says below. Every one
    // may call the host back (CallHost, GetPin's pin operations, the
    // requests below), which answers before the request returns. A host may
    // deliver GUI_PIN_CHANGED from inside the module's own pin write (it
    // tells every GUI object of each change at once), so any operation that
    // writes a pin must expect PinValueChanged to run, in full, before the
    // write returns.
    //
    // Caused by every dispatcher call (GuiDispatchEntry) with the host's
    // arguments; its result is the host's answer. Default: opcodes 0 to 12
    // call their operation below, GUI_IDLE answers 1 when Idle returned true,
    // GUI_CLOSE answers 1, every other call 0; other opcodes run nothing.
    // Takes its arguments as the record's dispatcher does (SE_CALL, the
    // object in place of the record), so that GuiDispatchEntry passes the
    // host's call on as a jump, its arguments left where the host put them.
    virtual HostResult SE_CALL Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                        float opt);
    // Caused by GUI_OPEN (0); `flag` is true exactly when the host's index is
    // 1. May come again on the same object. Default: nothing.
    virtual void Open(bool flag);
    // Caused by GUI_CLOSE (1), just before the object is deleted. Default:
    // nothing.
    virtual void Close();
    // Caused by GUI_CONTEXT_INDEX (2), with the host's index and ptr.
    // Default: nothing.
    virtual void ContextIndexEvent(std::int32_t index, void* ptr);
    // Caused by GUI_POINT_A, GUI_POINT_B and GUI_POINT_C (3, 4, 5), with the
    // host's ptr and opt and a copy of the point (x: index, y: value).
    // Defaults: nothing.
    virtual void PointEventA(void* ptr, float opt, GuiPoint point);
    virtual void PointEventB(void* ptr, float opt, GuiPoint point);
    virtual void PointEventC(void* ptr, float opt, GuiPoint point);
    // Caused by GUI_CONTEXT_A and GUI_CONTEXT_B (8, 9), with the host's ptr.
    // Defaults: nothing.
    virtual void ContextEventA(void* ptr);
    virtual void ContextEventB(void* ptr);
    // Caused by GUI_IDLE (10), whenever the host chooses; the host's answer
    // is 1 for true, 0 for false. Default: false, no host call.
    virtual bool Idle();
    // Caused by GUI_INDEX_A and GUI_INDEX_B (11, 12), with the host's index.
    // Defaults: nothing.
    virtual void IndexEventA(std::int32_t index);
    virtual void IndexEventB(std::int32_t index);
    // Caused by GUI_CONTEXT_VALUE (6), with the host's value, index and ptr
    // (value first). Default: nothing.
    virtual void ContextValueEvent(std::int32_t value, std::int32_t index, void* ptr);
    // Caused by GUI_PIN_CHANGED (7): the value of pin `pin.GetIndex()`
    // changed (the host tells every GUI object, also of the module's own
    // writes, from inside them). `pin` lives on the dispatcher's stack for
    // the duration of the call; copy it to keep it. Its reads ask the host
    // for the current value. Default: nothing.
    virtual void PinValueChanged(GuiPinRef& pin);

    // Calls the host with this object's record first. An object without a
    // callback calls ReportMissingCallback in its place, which reports it and
    // answers 0, so that both paths end in the one call. Inline, with the pin
    // operations below, so that a pin read costs no more calls than the
    // host's own.
    SE_INLINE HostResult CallHost(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                                  void* ptr = nullptr, float opt = 0.0f) {
        const HostCallback callback = seaudioMaster != nullptr ? seaudioMaster : ReportMissingCallback;
        return callback(&m_plug, opcode, index, value, ptr, opt);
    }

    void SendIndexedRequest(std::int32_t index, std::int32_t value, void* ptr);
    HostResult ContextRequestA(void* ptr);
    HostResult ContextRequestB(void* ptr);
    bool ContextQuery(void* ptr);

    // The one handle shared by all GUI objects, set to pin `index` of this
    // object. Valid until the next GetPin call of any object: use it at once.
    SE_INLINE GuiPinRef& GetPin(std::int32_t index) {
        s_shared_pin = GuiPinRef(index, this);
        return s_shared_pin;
    }

    GuiPlugRecord* GetPlugRecord() { return &m_plug; }

protected:
    // The host's callback, given to the constructor and never changed. Null
    // breaks the host's contract: every request is then reported and read
    // as answered 0.
    HostCallback seaudioMaster;
    // The record the host holds: its address is the object's identity
    // towards the host (makeModule's answer, the first argument of every
    // callback). Written by the constructor alone.
    GuiPlugRecord m_plug;

private:
    SEGUI_base(const SEGUI_base&) = delete;
    SEGUI_base& operator=(const SEGUI_base&) = delete;

    // Stands in for a missing callback: reports it and answers 0.
    static HostResult SE_CALL ReportMissingCallback(void* record, std::int32_t opcode, std::int32_t index,
                                                    std::int32_t value, void* ptr, float opt);
    // Dispatch of every opcode but GUI_PIN_CHANGED, apart so that the
    // notification's path sets up nothing the others need.
    HostResult SE_CALL DispatchOther(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                     float opt);

    // The handle behind GetPin: one for the whole process, never reset.
    static GuiPinRef s_shared_pin;
};

// One host request each; the slot of a read is in the caller's frame.
SE_INLINE std::int32_t GuiPinRef::GetValueInt() const {
    std::int32_t slot = 0;  // the host writes it; one that does not reads as 0
    m_owner->CallHost(GUI_HOST_GET_PIN_VALUE, m_index, 0, &slot, 0.0f);
    return slot;
}

SE_INLINE float GuiPinRef::GetValueFloat() const {
    float slot = 0.0f;  // the host writes it; one that does not reads as 0.0
    m_owner->CallHost(GUI_HOST_GET_PIN_VALUE, m_index, 0, &slot, 0.0f);
    return slot;
}

SE_INLINE void GuiPinRef::SetValueInt(std::int32_t value) const {
    m_owner->CallHost(GUI_HOST_SET_PIN_VALUE, m_index, value, nullptr, 0.0f);
}

SE_INLINE void GuiPinRef::SetValueFloat(float value) const {
    m_owner->CallHost(GUI_HOST_SET_PIN_VALUE, m_index, 0, nullptr, value);
}

// The GUI record's dispatcher: forwards to the record's object.
HostResult SE_CALL GuiDispatchEntry(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                    void* ptr, float opt);
