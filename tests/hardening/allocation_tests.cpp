// Counts, not time: a pin-change notification and a run of the processing
// routine allocate nothing on the heap, whatever path they take.
#include "ModulePins.h"
#include "counting_allocator.h"
#include "module_exports.h"
#include "quiet_host.h"
#include "quiet_platform.h"
#include "SEGUI_base.h"
#include "SEModule_base.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>

namespace {

constexpr std::int16_t kCtrlDown = static_cast<std::int16_t>(0x8000);

HostResult Gui(GuiPlugRecord* record, std::int32_t opcode, std::int32_t index = 0) {
    return record->dispatcher(record, opcode, index, 0, nullptr, 0.0f);
}

template <class Work>
std::uint64_t AllocationsDuring(Work work) {
    const std::uint64_t before = counting_allocator::Allocations();
    work();
    return counting_allocator::Allocations() - before;
}

class Allocation : public ::testing::Test {
protected:
    void SetUp() override {
        quiet_platform::Reset();
        host.SetFloat(PIN_RESET_VALUE, 0.25f);
        host.SetFloat(PIN_INTERVAL, 200.0f);
        host.SetFloat(PIN_RANDOM_MIN, -1.0f);
        host.SetFloat(PIN_RANDOM_MAX, 1.0f);
    }

    // One round of every kind of notification: a single click, a double
    // click (reset write), a Ctrl double click (random write), the release,
    // "Reset", "Randomize" going to 1 and back to 0, the other pins, an idle.
    // Four pin writes per round.
    void Round(GuiPlugRecord* gui) {
        quiet_platform::clock_ticks += 1000;
        host.SetInt(PIN_MOUSE_DOWN, 1);
        Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
        quiet_platform::clock_ticks += 50;
        Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
        quiet_platform::ctrl_state = kCtrlDown;
        quiet_platform::random_value += 7;
        quiet_platform::clock_ticks += 50;
        Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
        quiet_platform::ctrl_state = 0;
        host.SetInt(PIN_MOUSE_DOWN, 0);
        Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
        Gui(gui, GUI_PIN_CHANGED, PIN_RESET);
        host.SetInt(PIN_RANDOMIZE, 1);
        Gui(gui, GUI_PIN_CHANGED, PIN_RANDOMIZE);
        host.SetInt(PIN_RANDOMIZE, 0);
        Gui(gui, GUI_PIN_CHANGED, PIN_RANDOMIZE);
        for (std::int32_t pin : {std::int32_t{PIN_RESET_VALUE}, std::int32_t{PIN_INTERVAL}, std::int32_t{PIN_ANIMATION_POSITION},
                                 std::int32_t{PIN_RANDOM_MIN}, std::int32_t{PIN_RANDOM_MAX}, 8, -1})
            Gui(gui, GUI_PIN_CHANGED, pin);
        Gui(gui, GUI_IDLE);
    }

    QuietHost host;
};

// A host that delivers the position's own change before the write returns.
void NotifyWrittenPin(void* record, std::int32_t pin) {
    auto* gui = static_cast<GuiPlugRecord*>(record);
    gui->dispatcher(gui, GUI_PIN_CHANGED, pin, 0, nullptr, 0.0f);
}

}  // namespace

TEST_F(Allocation, GuiNotificationsAllocateNothing) {
    auto* gui = static_cast<GuiPlugRecord*>(makeModule(0, MT_GUI, &QuietHost::Callback, 0));
    ASSERT_NE(gui, nullptr);
    Gui(gui, GUI_OPEN, 0);
    Round(gui);  // nothing is allocated on first use either, but measure steady state

    const long writes_before = host.pin_writes;
    EXPECT_EQ(AllocationsDuring([&] {
                  for (int round = 0; round < 1000; ++round) Round(gui);
              }),
              0u);
    // The writes did happen: reset, random, "Reset", "Randomize" each round.
    EXPECT_EQ(host.pin_writes - writes_before, 4000);

    // The same with a host that re-enters on every write.
    host.after_write = &NotifyWrittenPin;
    EXPECT_EQ(AllocationsDuring([&] {
                  for (int round = 0; round < 100; ++round) Round(gui);
              }),
              0u);
    host.after_write = nullptr;
    EXPECT_EQ(Gui(gui, GUI_CLOSE), 1);
}

TEST_F(Allocation, ProcessingRoutineAndEventsAllocateNothing) {
    auto* audio = static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, &QuietHost::Callback, 0));
    ASSERT_NE(audio, nullptr);
    audio->dispatcher(audio, AUDIO_OPEN, 0, 0, nullptr, 0.0f);

    EXPECT_EQ(AllocationsDuring([&] {
                  for (int run = 0; run < 10000; ++run) audio->process(audio->object);
              }),
              0u);
    EXPECT_EQ(host.sleeps, 10000);

    // Events at their time: a status for an (unbound) pin, data, an unknown type.
    EXPECT_EQ(AllocationsDuring([&] {
                  for (std::int32_t type : {std::int32_t{EV_PIN_STATUS}, std::int32_t{EV_DATA}, 6}) {
                      ModuleEvent event{host.sample_clock, type, 1, 0x18000, 2, 0};
                      audio->event_handler(audio->object, &event);
                      ++host.sample_clock;
                  }
              }),
              0u);
    EXPECT_EQ(audio->dispatcher(audio, AUDIO_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

// Refusals come from the counting allocator, which valgrind replaces: these
// tests stay out of its run.
class AllocationFailure : public Allocation {};

TEST_F(AllocationFailure, ReachesTheCallerOrLeavesNoPins) {
    // A wide text the host announces: its buffer is allocated as a narrow
    // text's is, so a refusal passes to the caller instead of an empty text.
    SEGUI_base gui(&QuietHost::Callback, 0);
    // Only the buffer is refused: throwing allocates the exception itself.
    counting_allocator::RefuseFrom(1 << 20);
    host.wide_text_units = 1 << 20;
    EXPECT_THROW(gui.GetPin(1).GetWideText(), std::bad_alloc);
    counting_allocator::RefuseFrom(0);

    // A pin array that cannot be had leaves the object without pins: it runs
    // and closes, and a later status event is the missing array's report.
    auto* audio = static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, &QuietHost::Callback, 0));
    ASSERT_NE(audio, nullptr);
    host.pin_count = 100000;
    counting_allocator::RefuseFrom(1 << 20);
    audio->dispatcher(audio, AUDIO_OPEN, 0, 0, nullptr, 0.0f);
    counting_allocator::RefuseFrom(0);
    EXPECT_EQ(static_cast<SEModule_base*>(audio->object)->GetPinCount(), 0);
    ModuleEvent status{host.sample_clock, EV_PIN_STATUS, 1, 0, 0, 0};
    audio->event_handler(audio->object, &status);
    EXPECT_EQ(quiet_platform::assertions, 1);
    audio->process(audio->object);
    EXPECT_EQ(audio->dispatcher(audio, AUDIO_CLOSE, 0, 0, nullptr, 0.0f), 1);
}
