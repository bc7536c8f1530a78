// Ten thousand create/open/use/close cycles of each object kind, through the
// entry point and the records only: every cycle hands back all it took, and
// every cycle takes the same. Run natively, under the sanitizers and under
// valgrind.
#include "ModulePins.h"
#include "SEModule_base.h"
#include "counting_allocator.h"
#include "module_exports.h"
#include "quiet_host.h"
#include "quiet_platform.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr int kCycles = 10000;

HostResult Gui(GuiPlugRecord* record, std::int32_t opcode, std::int32_t index = 0) {
    return record->dispatcher(record, opcode, index, 0, nullptr, 0.0f);
}

HostResult Audio(AudioPlugRecord* record, std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                 void* ptr = nullptr, float opt = 0.0f) {
    return record->dispatcher(record, opcode, index, value, ptr, opt);
}

// Watches one kind of cycle: the heap is back where it started after each,
// and each takes as many blocks as the first.
class CycleWatch {
public:
    CycleWatch() : m_live(counting_allocator::LiveBlocks()) {}

    void Begin() { m_start = counting_allocator::Allocations(); }
    // False (and the test fails) on the first cycle that leaks or grows.
    bool End(int cycle) {
        const std::uint64_t used = counting_allocator::Allocations() - m_start;
        if (cycle == 0) m_first = used;
        EXPECT_EQ(counting_allocator::LiveBlocks(), m_live) << "cycle " << cycle << " left blocks behind";
        EXPECT_EQ(used, m_first) << "cycle " << cycle << " took more than the first";
        return counting_allocator::LiveBlocks() == m_live && used == m_first;
    }
    std::uint64_t BlocksPerCycle() const { return m_first; }

private:
    std::int64_t m_live;
    std::uint64_t m_start = 0;
    std::uint64_t m_first = 0;
};

// An audio object with pins of every storage kind, one of them repeated to
// fill whatever count the host gives.
class PinnedModule : public SEModule_base {
public:
    using SEModule_base::SEModule_base;
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override {
        static const std::int32_t kTypes[] = {DT_SHORT, DT_BOOL, DT_FLOAT, DT_INT, 3, DT_FSAMPLE};
        if (index < 0 || index >= 6) return false;
        properties->direction = DR_IN;
        properties->datatype = kTypes[index];
        properties->name = "pin";
        properties->variable_ptr = index == 4 ? &m_variable : nullptr;
        properties->flags = index == 5 ? std::uint32_t{IO_REPEAT_LAST} : 0u;
        return true;
    }

private:
    std::int32_t m_variable = 0;
};

}  // namespace

TEST(Lifecycle, GuiObjectsGiveBackAllTheyTake) {
    QuietHost host;
    quiet_platform::Reset();
    host.SetFloat(PIN_RESET_VALUE, 0.5f);
    CycleWatch watch;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        watch.Begin();
        auto* gui = static_cast<GuiPlugRecord*>(makeModule(0, MT_GUI, &QuietHost::Callback, cycle));
        ASSERT_NE(gui, nullptr);
        Gui(gui, GUI_OPEN, cycle % 2);  // defaults filled in on every other cycle
        Gui(gui, GUI_OPEN, 1);          // opened twice
        host.SetInt(PIN_MOUSE_DOWN, 1);
        for (int click = 0; click < 3; ++click) {
            quiet_platform::clock_ticks += 20;
            Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
        }
        Gui(gui, GUI_PIN_CHANGED, PIN_RESET);
        Gui(gui, GUI_IDLE);
        Gui(gui, 1000);
        ASSERT_EQ(Gui(gui, GUI_CLOSE), 1);
        if (!watch.End(cycle)) break;
    }
    EXPECT_EQ(watch.BlocksPerCycle(), 1u);  // the object itself, nothing else
}

TEST(Lifecycle, AudioObjectsGiveBackAllTheyTake) {
    QuietHost host;
    quiet_platform::Reset();
    // Counts of every kind, and a second open with the next count each cycle.
    // The blocks a cycle takes depend on the counts, which repeat every 7 cycles.
    constexpr int kPhases = 7;
    const std::int32_t kCounts[kPhases] = {8, 0, 100, -1, 4097, 1, 3};
    std::uint64_t blocks_of_phase[kPhases] = {};
    const std::int64_t live = counting_allocator::LiveBlocks();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const std::uint64_t start = counting_allocator::Allocations();
        auto* audio = static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, &QuietHost::Callback, cycle));
        ASSERT_NE(audio, nullptr);
        Audio(audio, AUDIO_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f);
        Audio(audio, AUDIO_SET_BLOCK_SIZE, 0, 256);
        host.pin_count = kCounts[cycle % kPhases];
        Audio(audio, AUDIO_OPEN);
        host.pin_count = kCounts[(cycle + 1) % kPhases];
        Audio(audio, AUDIO_OPEN);
        SEPinProperties properties{};
        for (std::int32_t pin = 0; pin <= PIN_COUNT; ++pin) Audio(audio, AUDIO_GET_PIN_PROPERTIES, pin, 0, &properties);
        for (int run = 0; run < 4; ++run) audio->process(audio->object);
        ModuleEvent event{host.sample_clock, EV_PIN_STATUS, 1, 0, 0, 0};
        audio->event_handler(audio->object, &event);
        ASSERT_EQ(Audio(audio, AUDIO_CLOSE), 1);

        const std::uint64_t used = counting_allocator::Allocations() - start;
        ASSERT_EQ(counting_allocator::LiveBlocks(), live) << "cycle " << cycle << " left blocks behind";
        if (cycle < kPhases) {
            blocks_of_phase[cycle] = used;
        } else {
            ASSERT_EQ(used, blocks_of_phase[cycle % kPhases]) << "cycle " << cycle << " took more";
        }
    }
    // Counts 8 then 0: the object and one array; -1 then 4,097: the same;
    // 4,097 then 1: two arrays.
    EXPECT_EQ(blocks_of_phase[0], 2u);
    EXPECT_EQ(blocks_of_phase[3], 2u);
    EXPECT_EQ(blocks_of_phase[4], 3u);
}

TEST(Lifecycle, AudioObjectsWithBoundPinsGiveBackAllTheyTake) {
    QuietHost host;
    quiet_platform::Reset();
    CycleWatch watch;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        watch.Begin();
        auto* module = new (std::nothrow) PinnedModule(&QuietHost::Callback, cycle);
        ASSERT_NE(module, nullptr);
        AudioPlugRecord* audio = module->GetPlugRecord();
        host.pin_count = 12;
        Audio(audio, AUDIO_OPEN);
        Audio(audio, AUDIO_OPEN);  // the first array is replaced, not lost
        ModuleEvent event{host.sample_clock, EV_PIN_STATUS, 1, 0, 7, 0};
        audio->event_handler(audio->object, &event);
        audio->process(audio->object);
        ASSERT_EQ(Audio(audio, AUDIO_CLOSE), 1);
        if (!watch.End(cycle)) break;
    }
    EXPECT_EQ(watch.BlocksPerCycle(), 3u);  // the object and one array per open
}
