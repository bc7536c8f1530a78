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
    SEGUI_base(HostCallback callback, std::intptr_t host_value);
    virtual ~SEGUI_base();

    // Host calls, one virtual operation each; the defaults do nothing.
    // Dispatch takes its arguments as the record's dispatcher does (SE_CALL,
    // the object in place of the record), so that GuiDispatchEntry passes
    // the host's call on as a jump, its arguments left where the host put
    // them.
    virtual HostResult SE_CALL Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                        float opt);
    virtual void Open(bool flag);
    virtual void Close();
    virtual void ContextIndexEvent(std::int32_t index, void* ptr);
    virtual void PointEventA(void* ptr, float opt, GuiPoint point);
    virtual void PointEventB(void* ptr, float opt, GuiPoint point);
    virtual void PointEventC(void* ptr, float opt, GuiPoint point);
    virtual void ContextEventA(void* ptr);
    virtual void ContextEventB(void* ptr);
    virtual bool Idle();
    virtual void IndexEventA(std::int32_t index);
    virtual void IndexEventB(std::int32_t index);
    virtual void ContextValueEvent(std::int32_t value, std::int32_t index, void* ptr);
    // `pin` lives on the dispatcher's stack for the duration of the call.
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
    HostCallback seaudioMaster;
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
