#include "GuiModule.h"

#include "SEPlatform.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// The keys whose query in Open matters are those the module itself tests
// later. The Ctrl test counts a press since the previous query as "held", so
// a Ctrl press made before the panel was opened would turn the first
// notification into a Ctrl one; querying Ctrl here clears that indication.
// The indication is shared with every other program that queries a key, so
// no other key is queried: the remaining entries are 0, which names no key
// and whose query changes nothing.
constexpr std::int8_t kKeyCodes[GuiModule::kKeyCodeCount] = {platform::kVirtualKeyControl};

constexpr float kDefaultInterval = 200.0f;
constexpr float kDefaultRandomMax = 1.0f;

// Adds 1 without the signed overflow; counts stop at the top of the range.
std::int32_t CountUp(std::int32_t count) {
    return count == std::numeric_limits<std::int32_t>::max() ? count : count + 1;
}

}  // namespace

GuiModule::GuiModule(HostCallback callback, std::intptr_t host_value)
    : SEGUI_base(callback, host_value),
      m_event_clock(0),
      m_click_clock(0),
      m_click_count(0),
      m_event_count(0) {
    std::memcpy(m_key_codes, kKeyCodes, sizeof m_key_codes);
}

GuiModule::~GuiModule() { CallHost(GUI_HOST_SIGNAL, 0, 0, nullptr, 0.0f); }

void GuiModule::Open(bool flag) {
    CallHost(GUI_HOST_SIGNAL, 0, 0, nullptr, 0.0f);
    SEGUI_base::Open(flag);
    if (!flag) {
        // An empty interval or an empty range (both ends 0) gets a usable default.
        if (GetPin(PIN_INTERVAL).GetValueFloat() == 0.0f)
            GetPin(PIN_INTERVAL).SetValueFloat(kDefaultInterval);
        if (GetPin(PIN_RANDOM_MIN).GetValueFloat() == 0.0f && GetPin(PIN_RANDOM_MAX).GetValueFloat() == 0.0f)
            GetPin(PIN_RANDOM_MAX).SetValueFloat(kDefaultRandomMax);
    }
    // Only the side effect counts: each query clears the key's "pressed since
    // the last query" indication.
    for (const std::int8_t key : m_key_codes) platform::AsyncKeyState(key);
}

bool GuiModule::Idle() {
    if (m_event_count < 3) CallHost(GUI_HOST_SIGNAL, 0, 0, nullptr, 0.0f);
    return true;
}

void GuiModule::ContextValueEvent(std::int32_t, std::int32_t, void*) {}

void GuiModule::PinValueChanged(GuiPinRef& pin) {
    const std::int32_t now = platform::Clock();
    m_event_count = CountUp(m_event_count);
    // The whole state is tested: a press since the previous query counts as
    // held, so a quick tap of Ctrl between two notifications is not lost.
    const bool ctrl = platform::AsyncKeyState(platform::kVirtualKeyControl) != 0;

    // Ctrl swaps the roles of "Reset" and "Randomize".
    std::int32_t action = pin.GetIndex();
    if (ctrl && action == PIN_RANDOMIZE) {
        action = PIN_RESET;
    } else if (ctrl && action == PIN_RESET) {
        action = PIN_RANDOMIZE;
    }

    // Read on every notification, in this order, whatever the action.
    const std::int32_t mouse = GetPin(PIN_MOUSE_DOWN).GetValueInt();
    const float min = GetPin(PIN_RANDOM_MIN).GetValueFloat();
    const float max = GetPin(PIN_RANDOM_MAX).GetValueFloat();

    // A range given in reverse is put in order; with a NaN in either end the
    // second branch is taken and the random value becomes a NaN.
    float low;
    float span;
    if (max > min) {
        low = min;
        span = static_cast<float>(max - min);
    } else {
        low = max;
        span = static_cast<float>(min - max);
    }

    switch (action) {
    case PIN_MOUSE_DOWN:
        if (mouse == 1) MouseDown(ctrl, low, span);  // a release or any other value is ignored
        break;
    case PIN_RESET:
        // The pin's own value does not matter: every change resets.
        ResetWrite();
        break;
    case PIN_RANDOMIZE:
        // Acts on the release, so that one press gives one random value.
        if (GetPin(PIN_RANDOMIZE).GetValueInt() == 0) RandomWrite(low, span);
        break;
    default:
        break;
    }

    m_event_clock = now;
}

void GuiModule::MouseDown(bool ctrl, float low, float span) {
    m_event_clock = platform::Clock();
    const std::int32_t interval = IntervalTicks(GetPin(PIN_INTERVAL).GetValueFloat());
    // The tick counter wraps; so does the difference, in two's complement.
    const std::int32_t elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(m_event_clock) -
                                                           static_cast<std::uint32_t>(m_click_clock));

    if (elapsed > interval || m_click_count <= 0) {
        m_click_clock = m_event_clock;
        m_click_count = CountUp(m_click_count);
        return;
    }

    if (ctrl) {
        RandomWrite(low, span);
    } else {
        ResetWrite();
    }
    // The host may deliver the position's own change before the write
    // returns; that nested notification leaves its tick in m_event_clock, and
    // the next pair is timed from there.
    m_click_clock = m_event_clock;
}

void GuiModule::ResetWrite() {
    const float value = GetPin(PIN_RESET_VALUE).GetValueFloat();
    GetPin(PIN_ANIMATION_POSITION).SetValueFloat(value);
}

void GuiModule::RandomWrite(float low, float span) {
    const int step = platform::Rand() % 1000;
    // In double, in this order, and narrowed to float once at the end.
    const double value = (step / 1000.0) * static_cast<double>(span) + static_cast<double>(low);
    GetPin(PIN_ANIMATION_POSITION).SetValueFloat(static_cast<float>(value));
}
