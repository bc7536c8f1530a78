// The module's GUI-side object, where the module does its work: a double
// click on the panel control (two "Mouse Down" presses within "Interval (ms)")
// writes "Reset Value" to "Animation Position", or, with Ctrl held at the
// second press, a random value from the "Random (min)"/"Random (max)" range.
// The "Reset" and "Randomize" pins do the same on their own (Ctrl swaps
// them).
//
// No pin value is kept here: each is read from the host, or written to it,
// at the moment it is needed. Everything runs on the host's calling thread,
// one GUI call at a time (GetPin's handle is shared by every GUI object).
#pragma once

#include "ModulePins.h"
#include "SEGUI_base.h"

#include <cstdint>
#include <limits>

class GuiModule : public SEGUI_base {
public:
    // Makes no host call and cannot fail.
    GuiModule(HostCallback callback, std::intptr_t host_value);
    // Sends GUI_HOST_SIGNAL before the base part is destroyed.
    ~GuiModule() override;

    // Signals the host; with a false flag, fills in an interval of 200 ms for
    // an interval of 0 and a range of 0 to 1 for a range of 0 to 0.
    void Open(bool flag) override;
    // Signals the host until the third pin notification has come; always true.
    bool Idle() override;
    void ContextValueEvent(std::int32_t value, std::int32_t index, void* ptr) override;
    void PinValueChanged(GuiPinRef& pin) override;

    // Click state, for inspection.
    std::int32_t EventClock() const { return m_event_clock; }
    std::int32_t ClickClock() const { return m_click_clock; }
    std::int32_t ClickCount() const { return m_click_count; }
    std::int32_t EventCount() const { return m_event_count; }

    static constexpr int kKeyCodeCount = 40;

private:
    // Parts of PinValueChanged, expanded into it: each is one path of a
    // notification, and a call would copy its state and arguments again.
    SE_INLINE void MouseDown(bool ctrl, float low, float span);
    SE_INLINE void ResetWrite();
    inline void RandomWrite(float low, float span);

    // Tick count at the start of the latest pin notification; within a
    // mouse-down's own notification, that mouse-down's tick count.
    std::int32_t m_event_clock;
    // Tick count of the latest accepted mouse-down.
    std::int32_t m_click_clock;
    // Accepted mouse-downs that did not complete a double click; a double
    // click is possible only while this is above 0.
    std::int32_t m_click_count;
    // Pin notifications received.
    std::int32_t m_event_count;
    // Virtual keys whose "pressed since the last query" indication Open clears.
    std::int8_t m_key_codes[kKeyCodeCount];
};

// A float interval in milliseconds as whole ticks: truncated toward zero; a
// NaN or a value outside the 32-bit range gives INT32_MIN, so that it never
// lets a click count as double.
inline std::int32_t IntervalTicks(float interval) {
    // The comparisons are false for a NaN. 2^31 itself is outside; -2^31 is
    // inside and converts exactly.
    if (!(interval >= -2147483648.0f && interval < 2147483648.0f))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(interval);
}
