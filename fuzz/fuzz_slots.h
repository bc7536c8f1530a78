// The fuzz host's objects: how it makes one, and the table of those it
// holds (which records it handed out, which objects may be called now, and
// the bookkeeping around each call into one).
#pragma once

#include "SEHostTypes.h"
#include "SEProtocol.h"
#include "fuzz_entry_points.h"
#include "fuzz_input.h"

#include <array>
#include <cstdint>
#include <new>
#include <type_traits>

namespace fuzz {

// The module's own object, made through makeModule, or the target's probe on
// the base class.
enum class Kind { Module, Probe };

// What the host decides before it makes an object, read from the input in
// this order: a probe (with a chance of `probe_in256` out of 256) or the
// module's own object, the host's callback or now and then none, any host value.
struct NewObject {
    Kind kind;
    HostCallback callback;
    std::intptr_t host_value;

    NewObject(Input& in, unsigned probe_in256, HostCallback host_callback)
        : kind(in.Chance(probe_in256) ? Kind::Probe : Kind::Module),
          callback(in.Chance(8) ? nullptr : host_callback),
          host_value(static_cast<std::intptr_t>(in.Word())) {}

    // The record of the new object, or null when there is none: a `Probe`,
    // or the module's own object for the index the input gives next (0
    // nearly always) and the type `choose_type(in)` reads after it.
    template <typename Probe, typename ChooseType>
    void* Make(Input& in, ChooseType choose_type) const {
        if (kind == Kind::Probe) {
            Probe* probe = new (std::nothrow) Probe(callback, host_value);
            return probe != nullptr ? probe->GetPlugRecord() : nullptr;
        }
        const std::int32_t index = in.Chance(240) ? 0 : in.Int();
        return MakeModule(index, choose_type(in));
    }

private:
    // makeModule, checked: an object for module 0 of either side, null for
    // any other index or type. Null when it was rightly refused.
    void* MakeModule(std::int32_t index, std::int32_t type) const {
        void* record = makeModule(index, type, callback, host_value);
        if (index != 0 || (type != MT_GUI && type != MT_AUDIO)) {
            if (record != nullptr) ProtocolFault("makeModule made an object it must refuse");
            return nullptr;
        }
        if (record == nullptr) ProtocolFault("makeModule refused a valid request");
        return record;
    }
};

// What the host knows of one object; a target derives to keep more.
template <typename Record>
struct SlotBase {
    bool used = false;
    bool closing = false;  // close sent: the host must not call it again
    int active = 0;        // its calls in progress, nested ones included
    Kind kind = Kind::Module;
    Record* record = nullptr;
};

template <typename Slot, int Size>
class SlotTable {
public:
    Slot& operator[](int index) { return m_slots[index]; }

    // The object whose record a callback names; a record the host never
    // handed out is a fault.
    Slot& Caller(const void* record) {
        for (Slot& slot : m_slots)
            if (slot.used && slot.record == record) return slot;
        ProtocolFault("callback names a record the host never handed out");
    }

    // Whether the host delivers another call before it answers a callback:
    // now and then, unless calls are already nested this deep.
    bool NestNow(Input& in) const { return m_nesting < kMaxNesting && in.Chance(20); }

    // An empty slot, or -1 when every slot holds an object.
    int Free() const {
        for (int i = 0; i < Size; ++i)
            if (!m_slots[i].used) return i;
        return -1;
    }

    // An object that may be called now, starting the search where the input
    // says; -1 when there is none. With `idle_only`, only one that is not in
    // the middle of a call of its own, since opening or closing that would
    // pull the object from under its own running code.
    int Pick(Input& in, bool idle_only) const {
        const int start = in.Byte() % Size;
        for (int step = 0; step < Size; ++step) {
            const int i = (start + step) % Size;
            const Slot& slot = m_slots[i];
            if (slot.used && !slot.closing && (!idle_only || slot.active == 0)) return i;
        }
        return -1;
    }

    // Puts the new object `made` in the empty slot `index`, once its record
    // passes the checks a host makes of what makeModule returned.
    void Hold(int index, const NewObject& made, void* record) {
        using Record = std::remove_pointer_t<decltype(Slot::record)>;
        constexpr bool gui = std::is_same_v<Record, GuiPlugRecord>;
        auto* held = static_cast<Record*>(record);
        if (CheckPlugRecord(gui, FieldsOf(*held), made.host_value) != PlugRecordProblem::None)
            ProtocolFault(gui ? "GUI record contents" : "audio record contents");
        Slot& slot = m_slots[index];
        slot.used = true;
        slot.kind = made.kind;
        slot.record = held;
    }

    // Runs `call(record)` as one call into the object in slot `index`.
    template <typename Call>
    auto Enter(int index, Call call) {
        Slot& slot = m_slots[index];
        ++slot.active;
        ++m_nesting;
        struct Leave {
            Slot& slot;
            int& nesting;
            ~Leave() {
                --nesting;
                --slot.active;
            }
        } leave{slot, m_nesting};
        return call(slot.record);
    }

    // One dispatcher call to the object in slot `index`. `close_opcode` ends
    // the object: it is marked closing before the call and its slot is
    // emptied after (the array never moves, so the slot is still the same).
    HostResult Dispatch(int index, std::int32_t close_opcode, std::int32_t opcode, std::int32_t pin,
                        std::int32_t value, void* ptr, float opt) {
        Slot& slot = m_slots[index];
        const bool close = opcode == close_opcode;
        if (close) slot.closing = true;
        const HostResult result = Enter(
            index, [&](auto* record) { return record->dispatcher(record, opcode, pin, value, ptr, opt); });
        if (close) slot = Slot();
        return result;
    }

private:
    static constexpr int kMaxNesting = 3;

    std::array<Slot, Size> m_slots;
    int m_nesting = 0;
};

}  // namespace fuzz
