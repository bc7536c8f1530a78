// The GUI-side object: double-click timing, Ctrl, the Reset and Randomize
// pins, the random range, Open's defaults, Idle and re-entry from the host.
#include "GuiModule.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

namespace {

constexpr float kResetValue = 0.25f;

class GuiModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_platform::Reset();
        host.int_pins = {PIN_MOUSE_DOWN, PIN_RESET, PIN_RANDOMIZE};
        host.SetPinFloat(PIN_RESET_VALUE, kResetValue);
        host.SetPinFloat(PIN_INTERVAL, 200.0f);
        host.SetPinFloat(PIN_ANIMATION_POSITION, 0.5f);
        host.SetPinFloat(PIN_RANDOM_MIN, 0.0f);
        host.SetPinFloat(PIN_RANDOM_MAX, 1.0f);
    }

    // The host's side of a pin change: the new value is in place, then the
    // dispatcher hears of it.
    void Notify(std::int32_t pin) {
        GuiDispatchEntry(gui.GetPlugRecord(), GUI_PIN_CHANGED, pin, 0, nullptr, 0.0f);
    }
    void SetMouse(std::int32_t tick, std::int32_t value) {
        fake_platform::clock_ticks = tick;
        host.SetPinInt(PIN_MOUSE_DOWN, value);
        Notify(PIN_MOUSE_DOWN);
    }
    void Press(std::int32_t tick) { SetMouse(tick, 1); }
    void SetCtrl(std::int16_t state) { fake_platform::key_states[17] = state; }

    // Every value written to "Animation Position", in order.
    std::vector<float> PositionWrites() const {
        std::vector<float> writes;
        for (const HostCall& call : host.CallsWith(GUI_HOST_SET_PIN_VALUE)) {
            EXPECT_EQ(call.index, PIN_ANIMATION_POSITION) << "no other pin is written in use";
            writes.push_back(call.opt);
        }
        return writes;
    }
    std::size_t SignalCount() const { return host.CallsWith(GUI_HOST_SIGNAL).size(); }

    FakeHost host;
    GuiModule gui{host.callback(), 0};
};

// The random value for a step of rand() % 1000, computed as the module must.
float RandomValue(int step, float low, float span) {
    return static_cast<float>((step / 1000.0) * static_cast<double>(span) + static_cast<double>(low));
}

}  // namespace

TEST_F(GuiModuleTest, FirstMouseDownIsNeverADoubleClick) {
    // m_click_clock starts at 0, so a press at tick 0 is 0 ticks after it.
    Press(0);
    EXPECT_TRUE(PositionWrites().empty());
    EXPECT_EQ(gui.ClickCount(), 1);
    EXPECT_EQ(gui.ClickClock(), 0);
}

TEST_F(GuiModuleTest, DoubleClickNeedsTheSecondPressWithinTheInterval) {
    Press(1000);
    Press(1200);  // exactly 200 ticks: a double click
    EXPECT_EQ(PositionWrites(), std::vector<float>{kResetValue});
    EXPECT_EQ(host.PinFloat(PIN_ANIMATION_POSITION), kResetValue);
    EXPECT_EQ(gui.ClickCount(), 1) << "a double click does not count as a single one";
    EXPECT_EQ(gui.ClickClock(), 1200);

    Press(1401);  // 201 ticks after the last accepted press: a new single click
    EXPECT_EQ(PositionWrites().size(), 1u);
    EXPECT_EQ(gui.ClickCount(), 2);
    EXPECT_EQ(gui.ClickClock(), 1401);
}

TEST_F(GuiModuleTest, FractionalIntervalIsTruncatedToWholeTicks) {
    host.SetPinFloat(PIN_INTERVAL, 200.9f);
    Press(1000);
    Press(1201);
    EXPECT_TRUE(PositionWrites().empty()) << "200.9 acts as 200";
    Press(1401);
    EXPECT_EQ(PositionWrites().size(), 1u);
}

TEST_F(GuiModuleTest, NegativeNaNAndOversizedIntervalsNeverGiveADoubleClick) {
    for (const float interval : {-5.0f, 1e10f, std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(), 2147483648.0f}) {
        host.SetPinFloat(PIN_INTERVAL, interval);
        Press(5000);
        Press(5000);
        Press(5000);
        EXPECT_TRUE(PositionWrites().empty()) << "interval " << interval;
    }
    EXPECT_EQ(gui.ClickCount(), 15);
}

TEST(IntervalTicks, TruncatesTowardZeroAndMapsWhatDoesNotFitToTheLowestInteger) {
    constexpr std::int32_t kLowest = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(IntervalTicks(200.9f), 200);
    EXPECT_EQ(IntervalTicks(-0.9f), 0);
    EXPECT_EQ(IntervalTicks(-5.5f), -5);
    EXPECT_EQ(IntervalTicks(2147483520.0f), 2147483520);  // the largest float below 2^31
    EXPECT_EQ(IntervalTicks(-2147483648.0f), kLowest);
    EXPECT_EQ(IntervalTicks(2147483648.0f), kLowest);
    EXPECT_EQ(IntervalTicks(-2147483904.0f), kLowest);
    EXPECT_EQ(IntervalTicks(1e10f), kLowest);
    EXPECT_EQ(IntervalTicks(std::numeric_limits<float>::quiet_NaN()), kLowest);
    EXPECT_EQ(IntervalTicks(-std::numeric_limits<float>::infinity()), kLowest);
}

TEST_F(GuiModuleTest, ThreeQuickPressesWriteTwice) {
    Press(100);
    Press(250);
    host.SetPinFloat(PIN_RESET_VALUE, 0.75f);
    Press(400);  // 150 after the second: the double click moved the clock forward
    EXPECT_EQ(PositionWrites(), (std::vector<float>{kResetValue, 0.75f}));
    EXPECT_EQ(gui.ClickCount(), 1);
}

TEST_F(GuiModuleTest, TickCounterWrapsBetweenTheTwoPresses) {
    const std::int32_t before_wrap = std::numeric_limits<std::int32_t>::max() - 50;
    const std::int32_t after_wrap = std::numeric_limits<std::int32_t>::min() + 49;  // 100 ticks later
    Press(before_wrap);
    Press(after_wrap);
    EXPECT_EQ(PositionWrites().size(), 1u);
    EXPECT_EQ(gui.ClickClock(), after_wrap);
}

TEST_F(GuiModuleTest, ReleasesAndOtherMouseValuesAreIgnored) {
    Press(1000);
    for (const std::int32_t value : {0, 2, -1, 256}) SetMouse(1100, value);
    EXPECT_TRUE(PositionWrites().empty());
    EXPECT_EQ(gui.ClickCount(), 1);
    EXPECT_EQ(gui.ClickClock(), 1000);
    EXPECT_EQ(gui.EventCount(), 5) << "each still counts as a notification";
    EXPECT_EQ(gui.EventClock(), 1100);
    EXPECT_EQ(host.CallsWith(GUI_HOST_GET_PIN_VALUE).size(), 4u + 4 * 3) << "no interval read for a release";

    Press(1150);  // the ignored values did not break the pair
    EXPECT_EQ(PositionWrites(), std::vector<float>{kResetValue});
}

TEST_F(GuiModuleTest, CtrlAtTheSecondPressWritesARandomValue) {
    host.SetPinFloat(PIN_RANDOM_MIN, 10.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 20.0f);
    fake_platform::random_values = {1500};
    Press(1000);
    SetCtrl(fake_platform::kKeyDown);
    Press(1100);
    EXPECT_EQ(PositionWrites(), std::vector<float>{15.0f});
    EXPECT_TRUE(fake_platform::random_values.empty()) << "rand() is called once";
}

TEST_F(GuiModuleTest, CtrlOnlyAtTheFirstPressResets) {
    fake_platform::random_values = {500};
    SetCtrl(fake_platform::kKeyDown);
    Press(1000);
    SetCtrl(0);
    Press(1100);
    EXPECT_EQ(PositionWrites(), std::vector<float>{kResetValue});
    EXPECT_EQ(fake_platform::random_values.size(), 1u) << "rand() is not called for a reset";
}

TEST_F(GuiModuleTest, CtrlTappedBetweenNotificationsCountsAsHeld) {
    fake_platform::random_values = {500};
    Press(1000);
    SetCtrl(fake_platform::kKeyPressedSinceLastQuery);
    Press(1100);
    EXPECT_EQ(PositionWrites(), std::vector<float>{0.5f});
}

TEST_F(GuiModuleTest, ResetAndRandomizePinsWithoutCtrl) {
    fake_platform::random_values = {300};
    host.SetPinInt(PIN_RESET, 1);
    Notify(PIN_RESET);
    host.SetPinInt(PIN_RESET, 0);
    Notify(PIN_RESET);
    EXPECT_EQ(PositionWrites(), (std::vector<float>{kResetValue, kResetValue}))
        << "both edges of Reset reset";

    host.SetPinInt(PIN_RANDOMIZE, 1);
    Notify(PIN_RANDOMIZE);
    EXPECT_EQ(PositionWrites().size(), 2u) << "Randomize going to 1 writes nothing";
    host.SetPinInt(PIN_RANDOMIZE, 0);
    Notify(PIN_RANDOMIZE);
    EXPECT_EQ(PositionWrites(), (std::vector<float>{kResetValue, kResetValue, RandomValue(300, 0.0f, 1.0f)}));
    EXPECT_EQ(gui.ClickCount(), 0) << "the pins do not touch the click state";
}

TEST_F(GuiModuleTest, CtrlSwapsResetAndRandomize) {
    SetCtrl(fake_platform::kKeyDown);
    fake_platform::random_values = {100, 200};

    host.SetPinInt(PIN_RANDOMIZE, 1);
    Notify(PIN_RANDOMIZE);
    host.SetPinInt(PIN_RANDOMIZE, 0);
    Notify(PIN_RANDOMIZE);
    EXPECT_EQ(PositionWrites(), (std::vector<float>{kResetValue, kResetValue})) << "Randomize resets";

    // Reset now randomizes, reading the Randomize pin (0) on both edges.
    host.SetPinInt(PIN_RESET, 1);
    Notify(PIN_RESET);
    host.SetPinInt(PIN_RESET, 0);
    Notify(PIN_RESET);
    EXPECT_EQ(PositionWrites(), (std::vector<float>{kResetValue, kResetValue, 0.1f, 0.2f}));
    EXPECT_EQ(host.calls.back().opcode, GUI_HOST_SET_PIN_VALUE);
    EXPECT_EQ(host.calls[host.calls.size() - 2].index, PIN_RANDOMIZE)
        << "Randomize was read before the write";

    // With Randomize held at 1, Reset under Ctrl writes nothing.
    host.SetPinInt(PIN_RANDOMIZE, 1);
    Notify(PIN_RESET);
    EXPECT_EQ(PositionWrites().size(), 4u);
}

TEST_F(GuiModuleTest, RandomRangeIsOrderedAndSpansAThousandSteps) {
    host.SetPinFloat(PIN_RANDOM_MIN, 5.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 2.0f);  // reversed
    fake_platform::random_values = {0, 999, 1999, 1000};
    for (int i = 0; i < 4; ++i) {
        host.SetPinInt(PIN_RANDOMIZE, 0);
        Notify(PIN_RANDOMIZE);
    }
    const std::vector<float> writes = PositionWrites();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0], 2.0f);
    EXPECT_EQ(writes[1], RandomValue(999, 2.0f, 3.0f));
    EXPECT_NEAR(writes[1], 4.997f, 1e-6f);
    EXPECT_EQ(writes[2], writes[1]) << "rand() is taken modulo 1000";
    EXPECT_EQ(writes[3], 2.0f);

    // In order the result is the same.
    host.SetPinFloat(PIN_RANDOM_MIN, 2.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 5.0f);
    fake_platform::random_values = {999};
    Notify(PIN_RANDOMIZE);
    EXPECT_EQ(PositionWrites().back(), writes[1]);
}

TEST_F(GuiModuleTest, RandomValueIsComputedInDoubleAndNarrowedOnce) {
    // For these steps float arithmetic would round differently.
    host.SetPinFloat(PIN_RANDOM_MIN, 0.1f);
    host.SetPinFloat(PIN_RANDOM_MAX, 3.7f);
    const float low = 0.1f;
    const float span = 3.7f - 0.1f;
    std::vector<float> expected;
    for (const int step : {3, 13, 14, 22}) {
        fake_platform::random_values.push_back(step);
        expected.push_back(RandomValue(step, low, span));
    }
    const volatile float in_float = (3 / 1000.0f) * span + low;
    ASSERT_NE(expected[0], in_float);
    for (int i = 0; i < 4; ++i) Notify(PIN_RANDOMIZE);
    EXPECT_EQ(PositionWrites(), expected);
}

TEST_F(GuiModuleTest, EqualBoundsWriteTheBoundAndANaNBoundWritesANaN) {
    host.SetPinFloat(PIN_RANDOM_MIN, 3.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 3.0f);
    fake_platform::random_values = {737};
    Notify(PIN_RANDOMIZE);
    EXPECT_EQ(PositionWrites().back(), 3.0f);

    host.SetPinFloat(PIN_RANDOM_MIN, std::numeric_limits<float>::quiet_NaN());
    Notify(PIN_RANDOMIZE);
    EXPECT_TRUE(std::isnan(PositionWrites().back()));

    host.SetPinFloat(PIN_RANDOM_MIN, 3.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, std::numeric_limits<float>::quiet_NaN());
    Notify(PIN_RANDOMIZE);
    EXPECT_TRUE(std::isnan(PositionWrites().back()));
}

TEST_F(GuiModuleTest, OpenWithAFalseFlagFillsInOnlyEmptyDefaults) {
    host.SetPinFloat(PIN_INTERVAL, 0.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 0.0f);
    GuiDispatchEntry(gui.GetPlugRecord(), GUI_OPEN, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(host.Opcodes(), (std::vector<std::int32_t>{GUI_HOST_SIGNAL, GUI_HOST_GET_PIN_VALUE,
                                                         GUI_HOST_SET_PIN_VALUE, GUI_HOST_GET_PIN_VALUE,
                                                         GUI_HOST_GET_PIN_VALUE, GUI_HOST_SET_PIN_VALUE}));
    EXPECT_EQ(host.calls[2].index, PIN_INTERVAL);
    EXPECT_EQ(host.calls[2].opt, 200.0f);
    EXPECT_EQ(host.calls[2].value, 0) << "a float write";
    EXPECT_EQ(host.calls[5].index, PIN_RANDOM_MAX);
    EXPECT_EQ(host.calls[5].opt, 1.0f);

    struct Case {
        float interval, min, max;
        std::size_t writes;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case& c : {Case{-0.0f, 0.0f, 0.5f, 1}, Case{nan, 0.2f, 0.0f, 0}, Case{0.1f, -0.0f, -0.0f, 1},
                          Case{100.0f, 0.2f, 0.0f, 0}}) {
        host.calls.clear();
        host.SetPinFloat(PIN_INTERVAL, c.interval);
        host.SetPinFloat(PIN_RANDOM_MIN, c.min);
        host.SetPinFloat(PIN_RANDOM_MAX, c.max);
        GuiDispatchEntry(gui.GetPlugRecord(), GUI_OPEN, 2, 0, nullptr, 0.0f);
        EXPECT_EQ(host.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), c.writes)
            << c.interval << " " << c.min << " " << c.max;
        if (c.min != 0.0f) {
            EXPECT_EQ(host.CallsWith(GUI_HOST_GET_PIN_VALUE).size(), 2u) << "max is read only when min is 0";
        }
    }
}

TEST_F(GuiModuleTest, OpenWithATrueFlagWritesNothing) {
    host.SetPinFloat(PIN_INTERVAL, 0.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 0.0f);
    GuiDispatchEntry(gui.GetPlugRecord(), GUI_OPEN, 1, 0, nullptr, 0.0f);
    EXPECT_EQ(host.Opcodes(), std::vector<std::int32_t>{GUI_HOST_SIGNAL});
}

TEST_F(GuiModuleTest, OpenQueriesItsFortyKeysAndClearsAStaleCtrlPress) {
    SetCtrl(fake_platform::kKeyPressedSinceLastQuery);
    gui.Open(true);
    std::vector<int> expected(GuiModule::kKeyCodeCount, 0);
    expected[0] = 17;
    EXPECT_EQ(fake_platform::key_queries, expected);

    // The press before Open no longer makes the first double click random.
    fake_platform::random_values = {500};
    Press(1000);
    Press(1001);
    EXPECT_EQ(PositionWrites(), std::vector<float>{kResetValue});
}

TEST_F(GuiModuleTest, IdleSignalsUntilTheThirdNotification) {
    for (int notifications = 0; notifications < 5; ++notifications) {
        host.calls.clear();
        EXPECT_EQ(GuiDispatchEntry(gui.GetPlugRecord(), GUI_IDLE, 0, 0, nullptr, 0.0f), 1);
        EXPECT_EQ(GuiDispatchEntry(gui.GetPlugRecord(), GUI_IDLE, 0, 0, nullptr, 0.0f), 1);
        EXPECT_EQ(SignalCount(), notifications < 3 ? 2u : 0u) << notifications << " notifications";
        Notify(PIN_RANDOM_MIN);
    }
}

TEST_F(GuiModuleTest, DoubleClickMakesExactlyTheseHostCalls) {
    host.SetPinFloat(PIN_RESET_VALUE, -3.5f);
    Press(1000);
    Press(1050);

    struct Expected {
        std::int32_t opcode, index;
    };
    const Expected reads[] = {{GUI_HOST_GET_PIN_VALUE, PIN_MOUSE_DOWN},
                              {GUI_HOST_GET_PIN_VALUE, PIN_RANDOM_MIN},
                              {GUI_HOST_GET_PIN_VALUE, PIN_RANDOM_MAX},
                              {GUI_HOST_GET_PIN_VALUE, PIN_INTERVAL}};
    ASSERT_EQ(host.calls.size(), 10u);
    for (std::size_t press = 0; press < 2; ++press) {
        for (std::size_t i = 0; i < 4; ++i) {
            const HostCall& call = host.calls[press * 4 + i];
            EXPECT_EQ(call.opcode, reads[i].opcode);
            EXPECT_EQ(call.index, reads[i].index);
            EXPECT_EQ(call.value, 0);
            EXPECT_NE(call.ptr, nullptr);
            EXPECT_EQ(call.OptBits(), 0u);
        }
    }
    EXPECT_EQ(host.calls[8].opcode, GUI_HOST_GET_PIN_VALUE);
    EXPECT_EQ(host.calls[8].index, PIN_RESET_VALUE);
    EXPECT_EQ(host.calls[9].opcode, GUI_HOST_SET_PIN_VALUE);
    EXPECT_EQ(host.calls[9].index, PIN_ANIMATION_POSITION);
    EXPECT_EQ(host.calls[9].value, 0);
    EXPECT_EQ(host.calls[9].ptr, nullptr);
    EXPECT_EQ(host.calls[9].opt, -3.5f);
    for (const HostCall& call : host.calls) EXPECT_EQ(call.record, gui.GetPlugRecord());
    EXPECT_EQ(fake_platform::key_queries, (std::vector<int>{17, 17})) << "one Ctrl query per notification";
}

TEST_F(GuiModuleTest, MouseDownIsTimedByItsOwnClockReading) {
    // The clock moves on while the pins are read: the press is timed by the
    // second reading, the notification by the first.
    host.on_call = [](const HostCall& call) {
        if (call.opcode == GUI_HOST_GET_PIN_VALUE && call.index == PIN_MOUSE_DOWN)
            fake_platform::clock_ticks += 7;
    };
    Press(1000);
    EXPECT_EQ(gui.ClickClock(), 1007);
    EXPECT_EQ(gui.EventClock(), 1000);
}

TEST_F(GuiModuleTest, NestedNotificationDuringTheWriteLeavesItsOwnTick) {
    Press(1000);
    // The host delivers the position's change before the write returns, at a later tick.
    host.on_call = [this](const HostCall& call) {
        if (call.opcode != GUI_HOST_SET_PIN_VALUE) return;
        host.on_call = nullptr;
        fake_platform::clock_ticks = 1500;
        Notify(PIN_ANIMATION_POSITION);
    };
    Press(1100);
    EXPECT_EQ(PositionWrites().size(), 1u) << "the nested notification writes nothing";
    EXPECT_EQ(gui.EventCount(), 3);
    EXPECT_EQ(gui.ClickClock(), 1500) << "the pair is timed from the nested notification's tick";
    EXPECT_EQ(gui.EventClock(), 1100) << "the outer notification's start tick is written last";

    Press(1650);  // 150 after the nested tick, 550 after the press
    EXPECT_EQ(PositionWrites().size(), 2u);
}

TEST_F(GuiModuleTest, NotificationsOfValuePinsWriteNothing) {
    for (const std::int32_t pin :
         std::initializer_list<std::int32_t>{PIN_RESET_VALUE, PIN_INTERVAL, PIN_ANIMATION_POSITION,
                                             PIN_RANDOM_MIN, PIN_RANDOM_MAX, PIN_COUNT, -1}) {
        Notify(pin);
    }
    EXPECT_TRUE(host.CallsWith(GUI_HOST_SET_PIN_VALUE).empty());
    EXPECT_EQ(gui.EventCount(), 7);
    EXPECT_EQ(host.calls.size(), 7u * 3) << "only the three reads of every notification";
}

TEST(GuiModuleLife, ConstructionIsSilentAndCloseSignalsOnce) {
    fake_platform::Reset();
    FakeHost host;
    GuiModule* gui = new (std::nothrow) GuiModule(host.callback(), 99);
    ASSERT_NE(gui, nullptr);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(gui->GetPlugRecord()->host_value, 99);
    EXPECT_EQ(gui->EventCount(), 0);
    EXPECT_EQ(gui->ClickCount(), 0);
    EXPECT_EQ(GuiDispatchEntry(gui->GetPlugRecord(), GUI_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(host.Opcodes(), std::vector<std::int32_t>{GUI_HOST_SIGNAL});
    EXPECT_EQ(host.calls[0].index, 0);
    EXPECT_EQ(host.calls[0].value, 0);
    EXPECT_EQ(host.calls[0].ptr, nullptr);
    EXPECT_EQ(host.calls[0].OptBits(), 0u);
}
