// One audio-side pin of an SEModule_base object.
//
// The module's Open makes an array of unbound pins, one per pin the host
// holds, and binds each with Init to a pin declaration. A bound pin carries
// its own requests to the host through its module (SEPinOwner), always with
// its index in the array and 0.0 as `opt`. Runs on the host's calling thread.
#pragma once

#include "SEFreeStore.h"
#include "SEHostTypes.h"
#include "SEPinOwner.h"

#include <cstddef>
#include <cstdint>
#include <new>

// Final: the module makes its pins as one array of exactly this class, so
// ending them needs no lookup in the virtual table.
class SEPin final : public SEFreeStoreObject {
public:
    // Binds nothing: the members stay unset, as Init binds the pin and
    // nothing uses an unbound pin beyond IsBound, which needs m_module.
    // Inline: Open makes a whole array of them.
    SEPin() : m_module(nullptr) {}
    // Ends the pin and makes no host call. Inline, so that ending an array of
    // pins is the freeing of its storage alone.
    virtual ~SEPin() {}

    // Binds the pin. With a module variable the value lives there and no host
    // call is made; otherwise the pin keeps the value in its own storage (a
    // sample pin asks the host for its buffer once, here).
    void Init(SEPinOwner* module, std::int32_t index, std::int32_t datatype, void* variable);

    // The module object that holds the pin, or null while it is unbound.
    SEPinOwner* GetModule() const { return m_module; }
    bool IsBound() const { return m_module != nullptr; }
    std::int32_t GetIndex() const { return m_pinindex; }
    std::int32_t GetStatus() const { return m_status; }
    std::int32_t GetDataType() const { return m_datatype; }
    // Where the pin's value lives: the module variable, the pin's own
    // storage, or null for a data type that keeps no value.
    void* GetVariable() const { return m_variable; }

    HostResult SendPinData(void* ptr, std::int32_t value);
    // The status takes effect at `sampleclock`, which must not be in the past.
    HostResult TransmitStatus(std::uint32_t sampleclock, std::int32_t status);
    // A status the host reported; PS_ONCE reads 1 while the module is told,
    // then clears to 0.
    void StatusFromHost(std::int32_t status);
    bool QueryPin();
    // The sample of a DT_FSAMPLE pin at the current sample clock; 0.0 when
    // the host gave no buffer, or when the clock is not within the module's
    // block size (1024 until the host sets it) from the block start: the
    // buffer's length is known from nothing else (see SEHostTypes.h).
    float CurrentSample();

private:
    SEPin(const SEPin&) = delete;
    SEPin& operator=(const SEPin&) = delete;

    // The pin's own value place, used only without a module variable.
    union Storage {
        std::int16_t short_value;
        std::uint8_t bool_value;
        float float_value;
        std::int32_t int_value;
        float* sample_buffer;
    };

    void* m_variable;
    SEPinOwner* m_module;
    std::int32_t m_pinindex;
    std::int32_t m_status;
    std::int32_t m_datatype;
    Storage m_storage;
};
