// How the module meets a host that misbehaves: one test per way, on the
// module's own objects made through the entry point and driven through
// their records, plus framework objects where only a derived class reaches
// the path. Contract failures are captured by the fake platform and return,
// so each test also proves that the code goes on safely after the report.
#include "GuiModule.h"
#include "ModulePins.h"
#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "SEProtocol.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "module_exports.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A host that answers every request with 0 and writes nothing anywhere.
HostResult SE_CALL AnswerWithoutWriting(void*, std::int32_t, std::int32_t, std::int32_t, void*, float) { return 0; }

std::vector<std::string> Reports() {
    std::vector<std::string> reports;
    for (const fake_platform::Assertion& a : fake_platform::assertions)
        reports.push_back(a.file + ":" + std::to_string(a.line) + " " + a.expression);
    return reports;
}

class Robustness : public ::testing::Test {
protected:
    void SetUp() override {
        fake_platform::Reset();
        host.int_pins = {PIN_MOUSE_DOWN, PIN_RESET, PIN_RANDOMIZE};
        host.SetPinFloat(PIN_RESET_VALUE, 0.5f);
        host.SetPinFloat(PIN_INTERVAL, 200.0f);
        host.SetPinFloat(PIN_RANDOM_MAX, 1.0f);
    }

    GuiPlugRecord* MakeGui(HostCallback callback) {
        return static_cast<GuiPlugRecord*>(makeModule(0, MT_GUI, callback, 0));
    }
    AudioPlugRecord* MakeAudio(HostCallback callback) {
        return static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, callback, 0));
    }
    static HostResult Gui(GuiPlugRecord* record, std::int32_t opcode, std::int32_t index = 0,
                          std::int32_t value = 0, void* ptr = nullptr, float opt = 0.0f) {
        return record->dispatcher(record, opcode, index, value, ptr, opt);
    }
    static HostResult Audio(AudioPlugRecord* record, std::int32_t opcode, std::int32_t index = 0,
                            std::int32_t value = 0, void* ptr = nullptr, float opt = 0.0f) {
        return record->dispatcher(record, opcode, index, value, ptr, opt);
    }
    static GuiModule& GuiObject(GuiPlugRecord* record) {
        return *static_cast<GuiModule*>(static_cast<SEGUI_base*>(record->object));
    }
    static SEModule_base& AudioObject(AudioPlugRecord* record) {
        return *static_cast<SEModule_base*>(record->object);
    }
    // A press of the mouse `ticks` after the previous one.
    static void Press(GuiPlugRecord* gui, std::int32_t ticks) {
        fake_platform::clock_ticks =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(fake_platform::clock_ticks) + static_cast<std::uint32_t>(ticks));
        Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    }

    FakeHost host;
};

// An audio object with one pin of the given type and no module variable.
class OnePinModule : public SEModule_base {
public:
    OnePinModule(HostCallback callback, std::int32_t datatype) : SEModule_base(callback, 0), m_datatype(datatype) {}
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override {
        if (index != 0) return false;
        properties->datatype = m_datatype;
        properties->name = "pin";
        return true;
    }

private:
    std::int32_t m_datatype;
};

}  // namespace

TEST_F(Robustness, UnknownOpcodesAnswerZeroAndDoNothing) {
    GuiPlugRecord* gui = MakeGui(host.callback());
    AudioPlugRecord* audio = MakeAudio(host.callback());
    for (std::int32_t opcode : {13, 14, 1000, -1, INT_MIN, INT_MAX}) EXPECT_EQ(Gui(gui, opcode, 1, 1), 0) << opcode;
    for (std::int32_t opcode : {4, 5, 9, 11, 14, 1000, -1, INT_MIN, INT_MAX})
        EXPECT_EQ(Audio(audio, opcode, 1, 1), 0) << opcode;
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(fake_platform::assertions.empty());

    // The two opcodes the audio side treats as broken contracts are reported
    // (what each report says is the framework tests' check), answered 0, and
    // leave the object as it was.
    EXPECT_EQ(Audio(audio, 7), 0);
    EXPECT_EQ(Audio(audio, 10), 0);
    EXPECT_EQ(fake_platform::assertions.size(), 2u);
    Audio(audio, AUDIO_OPEN);
    audio->process(audio->object);
    EXPECT_EQ(host.CallsWith(AUDIO_HOST_SLEEP).size(), 1u);
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);
    EXPECT_EQ(Gui(gui, GUI_CLOSE), 1);
}

TEST_F(Robustness, PinNumbersOutsideTheModuleAreIgnored) {
    GuiPlugRecord* gui = MakeGui(host.callback());
    for (std::int32_t pin : {-1, 8, INT_MAX, INT_MIN}) {
        host.calls.clear();
        Gui(gui, GUI_PIN_CHANGED, pin);
        // The reads every notification makes, and no write.
        std::vector<std::int32_t> read;
        for (const HostCall& call : host.calls) read.push_back(call.index);
        EXPECT_EQ(host.Opcodes(), (std::vector<std::int32_t>{GUI_HOST_GET_PIN_VALUE, GUI_HOST_GET_PIN_VALUE,
                                                             GUI_HOST_GET_PIN_VALUE}))
            << pin;
        EXPECT_EQ(read, (std::vector<std::int32_t>{PIN_MOUSE_DOWN, PIN_RANDOM_MIN, PIN_RANDOM_MAX})) << pin;
    }
    EXPECT_EQ(GuiObject(gui).EventCount(), 4);
    Gui(gui, GUI_CLOSE);

    AudioPlugRecord* audio = MakeAudio(host.callback());
    SEPinProperties properties;
    std::memset(&properties, 0x5A, sizeof properties);
    const SEPinProperties untouched = properties;
    for (std::int32_t pin : {8, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(Audio(audio, AUDIO_GET_PIN_PROPERTIES, pin, 0, &properties), 0) << pin;
        EXPECT_EQ(std::memcmp(&properties, &untouched, sizeof properties), 0) << pin;
    }
    // Status events for pins the object does not have, open with 8 pins.
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 8;
    Audio(audio, AUDIO_OPEN);
    for (std::intptr_t pin : {std::intptr_t{-1}, std::intptr_t{8}, std::intptr_t{INT_MAX}, std::intptr_t{INT_MIN}, std::intptr_t{3}}) {
        ModuleEvent event{host.sample_clock, EV_PIN_STATUS, 1, 0, pin, 0};
        audio->event_handler(audio->object, &event);
    }
    EXPECT_TRUE(fake_platform::assertions.empty());
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);
}

TEST_F(Robustness, NullRecordsAndEventsAreRefused) {
    AudioPlugRecord* audio = MakeAudio(host.callback());
    for (std::int32_t pin : {0, 3, 8, -1}) EXPECT_EQ(Audio(audio, AUDIO_GET_PIN_PROPERTIES, pin, 0, nullptr), 0);
    audio->event_handler(audio->object, nullptr);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(fake_platform::assertions.empty());
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);
}

TEST_F(Robustness, ObjectsWithoutACallbackSurvive) {
    // The GUI side reports each request it cannot make, then goes on as if
    // the host had answered 0.
    GuiPlugRecord* gui = MakeGui(nullptr);
    ASSERT_NE(gui, nullptr);
    Gui(gui, GUI_OPEN, 0);
    Press(gui, 10);
    Press(gui, 10);
    Gui(gui, GUI_PIN_CHANGED, PIN_RESET);
    EXPECT_EQ(Gui(gui, GUI_IDLE), 1);
    EXPECT_EQ(Gui(gui, GUI_CLOSE), 1);
    ASSERT_FALSE(fake_platform::assertions.empty());
    for (const std::string& report : Reports()) EXPECT_EQ(report, "SEGUI_base.cpp:134 seaudioMaster");

    // The audio side answers 0 for every request, silently.
    fake_platform::Reset();
    AudioPlugRecord* audio = MakeAudio(nullptr);
    ASSERT_NE(audio, nullptr);
    Audio(audio, AUDIO_OPEN);
    EXPECT_EQ(AudioObject(audio).GetPinCount(), 0);
    audio->process(audio->object);
    ModuleEvent event{0, EV_DATA, 1, 2, 0, 0};
    audio->event_handler(audio->object, &event);
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);
    EXPECT_TRUE(fake_platform::assertions.empty());
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(Robustness, PinValuesTheHostDoesNotWriteReadAsZero) {
    SEGUI_base gui(&AnswerWithoutWriting, 0);
    EXPECT_EQ(gui.GetPin(2).GetValueInt(), 0);
    EXPECT_EQ(PinBitsOfFloat(gui.GetPin(2).GetValueFloat()), 0u);
}

TEST_F(Robustness, BrokenTextAnswersGiveEmptyOrCutTexts) {
    SEGUI_base gui(host.callback(), 0);
    // No narrow text at all.
    host.answers[GUI_HOST_GET_PIN_TEXT] = 0;
    EXPECT_EQ(gui.GetPin(1).GetText(), "");
    // Wide sizes that hold no text: one request, no buffer.
    for (HostResult size : {HostResult{0}, HostResult{-1}, HostResult{INT_MIN}}) {
        host.calls.clear();
        host.answers[GUI_HOST_GET_PIN_WIDE_TEXT] = size;
        EXPECT_EQ(gui.GetPin(1).GetWideText(), u"") << size;
        EXPECT_EQ(host.calls.size(), 1u) << size;
    }
    // A wide text without its terminating zero ends at the size given.
    host.answers[GUI_HOST_GET_PIN_WIDE_TEXT] = 4;
    host.on_call = [](const HostCall& call) {
        if (call.opcode == GUI_HOST_GET_PIN_WIDE_TEXT && call.ptr != nullptr) std::memcpy(call.ptr, u"abcd", 8);
    };
    EXPECT_EQ(gui.GetPin(1).GetWideText(), u"abcd");
    // However large the size announced, the text arrives, cut at its zero.
    host.answers[GUI_HOST_GET_PIN_WIDE_TEXT] = (1 << 20) + 1;
    EXPECT_EQ(gui.GetPin(1).GetWideText(), u"abcd");
    // An empty text to the host is a zero byte, never a null address.
    host.on_call = nullptr;
    gui.GetPin(1).SetText("");
    ASSERT_EQ(host.CallsWith(GUI_HOST_SET_PIN_TEXT).size(), 1u);
    EXPECT_NE(host.CallsWith(GUI_HOST_SET_PIN_TEXT)[0].ptr, nullptr);
}

TEST_F(Robustness, PinCountsBelowOneMakeNoPinsAndLargeOnesTheirArray) {
    AudioPlugRecord* audio = MakeAudio(host.callback());
    for (HostResult count : {HostResult{-1}, HostResult{INT_MIN}, HostResult{0}}) {
        host.answers[AUDIO_HOST_GET_PIN_COUNT] = count;
        Audio(audio, AUDIO_OPEN);
        EXPECT_EQ(AudioObject(audio).GetPinCount(), 0) << count;
    }
    // Far more pins than the module declares: the array holds them all, and
    // the declarations bind the first eight as an open with 8 pins does.
    SEModule_base& object = AudioObject(audio);
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = PIN_COUNT;
    Audio(audio, AUDIO_OPEN);
    std::vector<bool> bound_with_eight;
    for (std::int32_t pin = 0; pin < PIN_COUNT; ++pin) bound_with_eight.push_back(object.GetPin(pin)->IsBound());
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 70000;
    Audio(audio, AUDIO_OPEN);
    ASSERT_EQ(object.GetPinCount(), 70000);
    for (std::int32_t pin = 0; pin < PIN_COUNT; ++pin)
        EXPECT_EQ(object.GetPin(pin)->IsBound(), bound_with_eight[pin]) << pin;
    EXPECT_FALSE(object.GetPin(PIN_COUNT)->IsBound());
    EXPECT_FALSE(object.GetPin(69999)->IsBound());
    EXPECT_EQ(object.GetPin(70000), nullptr);
    EXPECT_TRUE(fake_platform::assertions.empty());
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);
}

TEST_F(Robustness, EventsAtTheWrongTimeAreReportedAndDropped) {
    // GUI notifications before open are handled as any other.
    GuiPlugRecord* gui = MakeGui(host.callback());
    host.SetPinInt(PIN_MOUSE_DOWN, 1);
    Press(gui, 10);
    Press(gui, 10);
    EXPECT_EQ(host.PinFloat(PIN_ANIMATION_POSITION), 0.5f);
    Gui(gui, GUI_CLOSE);
    host.calls.clear();

    AudioPlugRecord* audio = MakeAudio(host.callback());
    // Run before open: the default routine, which asks nothing of the host.
    audio->process(audio->object);
    EXPECT_TRUE(host.calls.empty());
    // A pin status before open: there are no pins to tell.
    host.sample_clock = 100;
    ModuleEvent status{100, EV_PIN_STATUS, 1, 0, 0, 0};
    audio->event_handler(audio->object, &status);
    // An event delivered at another time than its own is not handled.
    ModuleEvent late{99, EV_PIN_STATUS, 1, 0, 0, 0};
    audio->event_handler(audio->object, &late);
    // One report each (their texts are the framework tests' check); the
    // object still opens, runs and closes.
    EXPECT_EQ(fake_platform::assertions.size(), 2u);
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 8;
    Audio(audio, AUDIO_OPEN);
    EXPECT_EQ(AudioObject(audio).GetPinCount(), 8);
    audio->process(audio->object);
    EXPECT_EQ(host.CallsWith(AUDIO_HOST_SLEEP).size(), 1u);
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);
}

TEST_F(Robustness, NestedNotificationsRunInFull) {
    GuiPlugRecord* gui = MakeGui(host.callback());
    host.SetPinInt(PIN_MOUSE_DOWN, 1);
    // The host delivers the position's own change before the write returns.
    bool nested = false;
    host.on_call = [&](const HostCall& call) {
        if (call.opcode != GUI_HOST_SET_PIN_VALUE || call.index != PIN_ANIMATION_POSITION || nested) return;
        nested = true;
        fake_platform::clock_ticks += 7;
        Gui(gui, GUI_PIN_CHANGED, PIN_ANIMATION_POSITION);
    };
    Press(gui, 1000);
    Press(gui, 50);
    EXPECT_TRUE(nested);
    const GuiModule& module = GuiObject(gui);
    EXPECT_EQ(module.EventCount(), 3);
    // The next pair is timed from the nested notification's tick.
    EXPECT_EQ(module.ClickClock(), fake_platform::clock_ticks);
    EXPECT_EQ(host.PinFloat(PIN_ANIMATION_POSITION), 0.5f);
    host.on_call = nullptr;
    Gui(gui, GUI_CLOSE);
}

TEST_F(Robustness, NestedCallsCannotReaimATwoPartTextRequest) {
    SEGUI_base gui(host.callback(), 0);
    SEGUI_base other(host.callback(), 0);
    host.answers[GUI_HOST_GET_PIN_WIDE_TEXT] = 3;
    host.on_call = [&](const HostCall& call) {
        // While the size is asked, another notification uses the shared handle.
        if (call.opcode == GUI_HOST_GET_PIN_WIDE_TEXT && call.ptr == nullptr) other.GetPin(6);
        if (call.opcode == GUI_HOST_GET_PIN_WIDE_TEXT && call.ptr != nullptr) std::memcpy(call.ptr, u"ok", 6);
    };
    EXPECT_EQ(gui.GetPin(2).GetWideText(), u"ok");
    const std::vector<HostCall> calls = host.CallsWith(GUI_HOST_GET_PIN_WIDE_TEXT);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].index, 2);
    EXPECT_EQ(calls[1].record, gui.GetPlugRecord());
}

TEST_F(Robustness, SamplePinIsCompleteWhileTheHostIsAskedForItsBuffer) {
    OnePinModule module(host.callback(), DT_FSAMPLE);
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 1;
    float buffer[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    float seen = -1.0f;
    host.on_call = [&](const HostCall& call) {
        if (call.opcode == AUDIO_HOST_GET_PIN_BUFFER) seen = module.GetPin(0)->CurrentSample();
    };
    host.answers[AUDIO_HOST_GET_PIN_BUFFER] = reinterpret_cast<HostResult>(buffer);
    module.GetPlugRecord()->dispatcher(module.GetPlugRecord(), AUDIO_OPEN, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(seen, 0.0f);  // no buffer yet
    host.on_call = nullptr;

    // Only samples of the current block are read.
    module.GetPlugRecord()->dispatcher(module.GetPlugRecord(), AUDIO_SET_BLOCK_SIZE, 0, 4, nullptr, 0.0f);
    host.answers[AUDIO_HOST_GET_BLOCK_START] = 100;
    host.sample_clock = 103;
    EXPECT_EQ(module.GetPin(0)->CurrentSample(), 4.0f);
    for (std::uint32_t clock : {104u, 99u, 0u, 0xFFFFFFFFu}) {
        host.sample_clock = clock;
        EXPECT_EQ(module.GetPin(0)->CurrentSample(), 0.0f) << clock;
    }
    EXPECT_TRUE(fake_platform::assertions.empty());
}

TEST_F(Robustness, RepeatedOpenReplacesWhatTheFirstMade) {
    GuiPlugRecord* gui = MakeGui(host.callback());
    host.SetPinFloat(PIN_INTERVAL, 0.0f);
    Gui(gui, GUI_OPEN, 0);
    host.SetPinFloat(PIN_INTERVAL, 0.0f);
    Gui(gui, GUI_OPEN, 0);
    EXPECT_EQ(host.PinFloat(PIN_INTERVAL), 200.0f);
    EXPECT_EQ(host.CallsWith(GUI_HOST_SIGNAL).size(), 2u);
    Gui(gui, GUI_CLOSE);
    host.calls.clear();

    AudioPlugRecord* audio = MakeAudio(host.callback());
    for (HostResult count : {8, 3, 0, 5}) {
        host.answers[AUDIO_HOST_GET_PIN_COUNT] = count;
        Audio(audio, AUDIO_OPEN);
        EXPECT_EQ(AudioObject(audio).GetPinCount(), count);
    }
    // The routine changed once: later opens find it in place.
    EXPECT_EQ(host.CallsWith(AUDIO_HOST_PROCESS_CHANGED).size(), 1u);
    EXPECT_EQ(Audio(audio, AUDIO_CLOSE), 1);  // the sanitizer and valgrind runs see no leak
}

TEST_F(Robustness, NonFinitePinValuesNeverTrap) {
    GuiPlugRecord* gui = MakeGui(host.callback());
    host.SetPinInt(PIN_MOUSE_DOWN, 1);
    // Intervals that allow no double click, however close the presses.
    for (std::uint32_t interval : {0x7FC00000u, 0x7F800000u, 0xFF800000u, PinBitsOfFloat(1e10f),
                                    PinBitsOfFloat(2147483648.0f), PinBitsOfFloat(-5.0f)}) {
        host.pin_bits[PIN_INTERVAL] = interval;
        host.calls.clear();
        Press(gui, 0);
        Press(gui, 0);
        EXPECT_TRUE(host.CallsWith(GUI_HOST_SET_PIN_VALUE).empty()) << std::hex << interval;
    }
    // A denormal interval is 0 ticks: presses in the same tick are a double click.
    host.pin_bits[PIN_INTERVAL] = 0x00000001u;
    // A signalling NaN reset value reaches the position as the same NaN,
    // sign and payload kept. (On i686 a float result travels in the x87
    // register, which sets the quiet bit.)
    constexpr std::uint32_t kQuietBit = 0x00400000u;
    host.pin_bits[PIN_RESET_VALUE] = 0xFFA00001u;
    Press(gui, 1000);
    Press(gui, 0);
    EXPECT_EQ(host.pin_bits[PIN_ANIMATION_POSITION] | kQuietBit, 0xFFA00001u | kQuietBit);
    // Infinite and NaN ranges give NaN or infinite random values, no trap.
    host.SetPinInt(PIN_RESET, 0);
    fake_platform::key_states[17] = fake_platform::kKeyDown;
    for (auto [low, high] : {std::pair{-INFINITY, INFINITY}, std::pair{NAN, 1.0f}, std::pair{0.0f, INFINITY}}) {
        host.SetPinFloat(PIN_RANDOM_MIN, low);
        host.SetPinFloat(PIN_RANDOM_MAX, high);
        fake_platform::random_values = {500};
        Gui(gui, GUI_PIN_CHANGED, PIN_RESET);  // with Ctrl: a random write
        EXPECT_FALSE(std::isfinite(host.PinFloat(PIN_ANIMATION_POSITION)));
    }
    Gui(gui, GUI_CLOSE);
    EXPECT_TRUE(fake_platform::assertions.empty());
}

TEST_F(Robustness, ClocksWrapWithoutLosingTime) {
    // The tick counter wraps from its largest value to its smallest: two
    // presses 100 ticks apart across the wrap are a double click.
    GuiPlugRecord* gui = MakeGui(host.callback());
    host.SetPinInt(PIN_MOUSE_DOWN, 1);
    fake_platform::clock_ticks = INT_MAX - 49;
    Gui(gui, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    Press(gui, 100);
    EXPECT_EQ(fake_platform::clock_ticks, INT_MIN + 50);
    EXPECT_EQ(host.PinFloat(PIN_ANIMATION_POSITION), 0.5f);
    Gui(gui, GUI_CLOSE);

    // The sample clock wraps after 2^32 samples: an event or a status due
    // just after the wrap is in the future, one just before it in the past.
    OnePinModule module(host.callback(), DT_FLOAT);
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 1;
    module.GetPlugRecord()->dispatcher(module.GetPlugRecord(), AUDIO_OPEN, 0, 0, nullptr, 0.0f);
    host.sample_clock = 0xFFFFFFF0u;
    EXPECT_TRUE(module.GetPin(0)->IsBound());
    module.AddEvent(5, EV_DATA, 0, 0, 0);
    module.GetPin(0)->TransmitStatus(5, 2);
    EXPECT_TRUE(fake_platform::assertions.empty());
    EXPECT_EQ(host.CallsWith(AUDIO_HOST_ADD_EVENT).size(), 1u);
    EXPECT_EQ(host.CallsWith(AUDIO_HOST_SET_PIN_STATUS).size(), 1u);
    module.AddEvent(0xFFFFFFEFu, EV_DATA, 0, 0, 0);
    module.GetPin(0)->TransmitStatus(0xFFFFFFEFu, 2);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"SEModule_base.cpp:340 p_time_stamp >= SampleClock()",
                                                   "SEPin.cpp:77 sampleclock >= m_module->SampleClock()"}));
    EXPECT_EQ(host.CallsWith(AUDIO_HOST_ADD_EVENT).size(), 1u);
}
