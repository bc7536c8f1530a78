// The shipped Quillmark.sem driven as a host drives it, in the emulated CPU:
// only through its two exports and the records they hand out, each field
// read from the raw bytes at its 32-bit offset. The back end checks the
// calling convention of every call; a breach fails the call.
#include "ModulePins.h"
#include "SEHostTypes.h"
#include "real_dll.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::uint32_t WordAt(const std::vector<unsigned char>& bytes, std::size_t offset) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes.data() + offset, sizeof word);
    return word;
}

bool AllBytesAre(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t to, unsigned char byte) {
    for (std::size_t i = from; i < to; ++i)
        if (bytes[i] != byte) return false;
    return true;
}

class RealDllLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll.library, nullptr);
        dll.int_pins = {PIN_MOUSE_DOWN, PIN_RESET, PIN_RANDOMIZE};
    }

    RealDll dll;
};

TEST(RealDllLayout, SemhostReadsTheRecordsAtTheProductTargetsOffsets) {
    // The offsets of SEHostTypes.h on i686, which the raw reads below use too.
    const RecordLayout& at = kI386Layout;
    EXPECT_EQ(at.pointer_size, 4u);
    EXPECT_EQ(std::vector<unsigned>({at.properties.size, at.properties.name, at.properties.id, at.properties.about,
                                     at.properties.flags, at.properties.secondary_flags, at.properties.sdk_version}),
              std::vector<unsigned>({24, 0, 4, 8, 12, 16, 20}));
    EXPECT_EQ(std::vector<unsigned>({at.audio.size, at.audio.magic, at.audio.version, at.audio.host_value,
                                     at.audio.object, at.audio.reserved_a, at.audio.dispatcher, at.audio.process,
                                     at.audio.event_handler, at.audio.reserved_b}),
              std::vector<unsigned>({48, 0, 4, 8, 12, 16, 20, 24, 28, 32}));
    EXPECT_EQ(std::vector<unsigned>({at.pin.size, at.pin.variable_ptr, at.pin.direction, at.pin.datatype,
                                     at.pin.name, at.pin.reserved_c, at.pin.flags, at.pin.reserved_d}),
              std::vector<unsigned>({32, 0, 4, 8, 12, 16, 24, 28}));
    EXPECT_EQ(std::vector<unsigned>({at.event.size, at.event.time_stamp, at.event.event_type, at.event.param_a,
                                     at.event.param_b, at.event.param_ptr, at.event.reserved}),
              std::vector<unsigned>({24, 0, 4, 8, 12, 16, 20}));
    EXPECT_EQ(std::vector<unsigned>({at.process_record.size, at.process_record.format,
                                     at.process_record.member_size, at.process_record.process_member,
                                     at.process_record.tag}),
              std::vector<unsigned>({16, 0, 4, 8, 12}));
    EXPECT_EQ(std::vector<unsigned>({at.gui.size, at.gui.magic, at.gui.version, at.gui.dispatcher, at.gui.host_value,
                                     at.gui.object, at.gui.reserved}),
              std::vector<unsigned>({40, 0, 4, 8, 12, 16, 20}));
}

TEST_F(RealDllLibrary, LoadsInTheEmulatorWithBothExportsAndNamesModuleZeroOnly) {
    EXPECT_STREQ(dll.library->back_end(), "emulated i386");
    EXPECT_EQ(dll.library->layout().pointer_size, 4u);
    EXPECT_TRUE(dll.library->warnings().empty()) << dll.library->warnings().front();
    EXPECT_TRUE(dll.InImage(dll.library->get_module_properties()));
    EXPECT_TRUE(dll.InImage(dll.library->make_module()));
    EXPECT_NE(dll.library->get_module_properties(), dll.library->make_module());

    // The host's record is filled, with guard bytes after its 24.
    const ModuleAddress record = dll.library->AllocateHostMemory(24 + 8);
    const std::vector<unsigned char> fill(32, 0x5A);
    ASSERT_TRUE(dll.library->Write(record, fill.data(), fill.size()));
    EXPECT_EQ(dll.Call(dll.library->get_module_properties(), CallShape::GetModuleProperties, {0, record}), 1u);
    std::vector<unsigned char> bytes = dll.Bytes(record, 32);
    EXPECT_EQ(dll.Text(WordAt(bytes, 0)), "Quillmark");
    EXPECT_EQ(WordAt(bytes, 4), WordAt(bytes, 0)) << "one text for name and id";
    EXPECT_TRUE(dll.InImage(WordAt(bytes, 0))) << "a constant of the library";
    EXPECT_EQ(dll.Text(WordAt(bytes, 8)), "knob-waving Tom-Foolery");
    EXPECT_EQ(WordAt(bytes, 12), 0x200u);
    EXPECT_EQ(WordAt(bytes, 16), 0x100u);
    EXPECT_EQ(WordAt(bytes, 20), 2230u);
    EXPECT_TRUE(AllBytesAre(bytes, 24, 32, 0x5A)) << "nothing past the record";

    // Other numbers: false, and only sdk_version written.
    for (const std::int32_t index : {1, -1, 0x7FFFFFFF}) {
        ASSERT_TRUE(dll.library->Write(record, fill.data(), fill.size()));
        EXPECT_EQ(dll.Call(dll.library->get_module_properties(), CallShape::GetModuleProperties,
                           {static_cast<std::uint64_t>(index), record}),
                  0u)
            << index;
        bytes = dll.Bytes(record, 32);
        EXPECT_EQ(WordAt(bytes, 20), 2230u) << index;
        EXPECT_TRUE(AllBytesAre(bytes, 0, 20, 0x5A)) << index;
        EXPECT_TRUE(AllBytesAre(bytes, 24, 32, 0x5A)) << index;
    }
    dll.library->FreeHostMemory(record);

    // Only module 0 and the two object types are made, without a host call.
    EXPECT_EQ(dll.MakeModule(0, 0, 0), 0u);
    EXPECT_EQ(dll.MakeModule(0, 3, 0), 0u);
    EXPECT_EQ(dll.MakeModule(1, MT_AUDIO, 0), 0u);
    EXPECT_EQ(dll.MakeModule(-1, MT_GUI, 0), 0u);
    EXPECT_TRUE(dll.calls.empty());
    EXPECT_TRUE(dll.library->HeldBlocks().empty());
    EXPECT_FALSE(dll.library->faulted());
}

TEST_F(RealDllLibrary, AudioObjectHasItsRecordDeclaresItsPinsSleepsAndCloses) {
    dll.answers[AUDIO_HOST_GET_PIN_COUNT] = PIN_COUNT;
    dll.answers[AUDIO_HOST_GET_SAMPLE_CLOCK] = 512;
    const ModuleAddress record = dll.MakeModule(0, MT_AUDIO, -1234);
    ASSERT_NE(record, 0u);
    EXPECT_TRUE(dll.calls.empty()) << "construction makes no host call";

    const std::vector<unsigned char> fresh = dll.Bytes(record, 48);
    EXPECT_EQ(std::vector<unsigned char>(fresh.begin(), fresh.begin() + 4),
              (std::vector<unsigned char>{0x4C, 0x50, 0x45, 0x53}));
    EXPECT_EQ(WordAt(fresh, 4), 1u);
    EXPECT_EQ(WordAt(fresh, 8), static_cast<std::uint32_t>(-1234)) << "the host's value, as 32 bits";
    const ModuleAddress object = WordAt(fresh, 12);
    EXPECT_NE(object, 0u);
    EXPECT_NE(object, record) << "the record is embedded, not the object's start";
    EXPECT_EQ(WordAt(fresh, 16), 0u);
    const ModuleAddress dispatcher = WordAt(fresh, 20);
    const ModuleAddress default_process = WordAt(fresh, 24);
    const ModuleAddress event_handler = WordAt(fresh, 28);
    for (const ModuleAddress entry : {dispatcher, default_process, event_handler})
        EXPECT_TRUE(dll.InImage(entry)) << dll.library->DescribeAddress(entry);
    EXPECT_TRUE(AllBytesAre(fresh, 32, 48, 0));

    // Open: the new routine is in the record before the host hears of it,
    // then the pin count is asked.
    ModuleAddress process_at_notice = 0;
    dll.on_call = [&](const HostCall& call) {
        if (call.opcode == AUDIO_HOST_PROCESS_CHANGED) process_at_notice = dll.Word(record + 24);
    };
    EXPECT_EQ(dll.Audio(record, AUDIO_OPEN), 0);
    dll.on_call = nullptr;
    EXPECT_EQ(dll.Opcodes(), (std::vector<std::int32_t>{AUDIO_HOST_PROCESS_CHANGED, AUDIO_HOST_GET_PIN_COUNT}));
    for (const HostCall& call : dll.calls) EXPECT_EQ(call.record, record);
    const ModuleAddress process = dll.Word(record + 24);
    EXPECT_NE(process, default_process);
    EXPECT_EQ(process_at_notice, process);
    EXPECT_TRUE(dll.InImage(process));
    const std::vector<unsigned char> opened = dll.Bytes(record, 48);
    EXPECT_EQ(WordAt(opened, 20), dispatcher);
    EXPECT_EQ(WordAt(opened, 28), event_handler);

    // The declarations go into the host's own record: variable_ptr and the
    // reserved words keep the host's bytes.
    struct Expected {
        const char* name;
        std::int32_t direction, datatype;
    };
    const Expected pins[PIN_COUNT] = {
        {"Mouse Down", DR_OUT, DT_BOOL},         {"Reset Value", DR_IN, DT_FLOAT},
        {"Interval (ms)", DR_IN, DT_FLOAT},      {"Animation Position", DR_OUT, DT_FLOAT},
        {"Reset", DR_IN, DT_BOOL},               {"Randomize", DR_IN, DT_BOOL},
        {"Random (min)", DR_IN, DT_FLOAT},       {"Random (max)", DR_IN, DT_FLOAT},
    };
    // 0xEE leaves IO_PATCH_STORE clear, so a record the module leaves alone
    // keeps the patch-store rule.
    const std::vector<unsigned char> fill(32 + 8, 0xEE);
    const ModuleAddress properties = dll.library->AllocateHostMemory(fill.size());
    dll.calls.clear();
    for (std::int32_t index = 0; index < PIN_COUNT; ++index) {
        SCOPED_TRACE(pins[index].name);
        ASSERT_TRUE(dll.library->Write(properties, fill.data(), fill.size()));
        EXPECT_EQ(dll.Audio(record, AUDIO_GET_PIN_PROPERTIES, index, 0, properties), 1);
        const std::vector<unsigned char> pin = dll.Bytes(properties, fill.size());
        EXPECT_TRUE(AllBytesAre(pin, 0, 4, 0xEE)) << "variable_ptr";
        EXPECT_EQ(static_cast<std::int32_t>(WordAt(pin, 4)), pins[index].direction);
        EXPECT_EQ(static_cast<std::int32_t>(WordAt(pin, 8)), pins[index].datatype);
        EXPECT_EQ(dll.Text(WordAt(pin, 12)), pins[index].name);
        EXPECT_TRUE(dll.InImage(WordAt(pin, 12)));
        EXPECT_TRUE(AllBytesAre(pin, 16, 24, 0xEE)) << "reserved_c";
        EXPECT_EQ(WordAt(pin, 24), static_cast<std::uint32_t>(IO_UI_COMMUNICATION));
        EXPECT_TRUE(AllBytesAre(pin, 28, 40, 0xEE)) << "reserved_d and past the record";
    }
    for (const std::int32_t past : {std::int32_t{PIN_COUNT}, std::int32_t{-1}}) {
        ASSERT_TRUE(dll.library->Write(properties, fill.data(), fill.size()));
        EXPECT_EQ(dll.Audio(record, AUDIO_GET_PIN_PROPERTIES, past, 0, properties), 0) << past;
        EXPECT_EQ(dll.Bytes(properties, fill.size()), fill) << past;
    }
    EXPECT_EQ(dll.Audio(record, AUDIO_GET_PIN_PROPERTIES, 0, 0, 0), 0) << "no record: refused";
    dll.library->FreeHostMemory(properties);
    EXPECT_TRUE(dll.calls.empty());

    // The shared process record names this object's routine member: its
    // function word is the record's process, its adjustment 0.
    const ModuleAddress process_record =
        static_cast<std::uint64_t>(dll.Audio(record, AUDIO_GET_PROCESS_RECORD)) & 0xFFFFFFFFu;
    ASSERT_NE(process_record, 0u);
    const std::vector<unsigned char> words = dll.Bytes(process_record, 16);
    EXPECT_EQ(WordAt(words, 0), 1u);
    EXPECT_EQ(WordAt(words, 4), 8u);
    EXPECT_EQ(WordAt(words, 12), 1002u);
    const ModuleAddress member = WordAt(words, 8);
    EXPECT_GT(member, object);
    EXPECT_EQ(dll.Word(member), process);
    EXPECT_EQ(dll.Word(member + 4), 0u);

    // Rate, block size and the opcodes that do nothing: answer 0, no call.
    EXPECT_EQ(dll.Audio(record, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 48000.0f), 0);
    EXPECT_EQ(dll.Audio(record, AUDIO_SET_BLOCK_SIZE, 0, 256), 0);
    for (const std::int32_t opcode : {4, 5, 9, 11, 14, 1000, -1})
        EXPECT_EQ(dll.Audio(record, opcode, 5, 5, 0, 1.0f), 0) << opcode;
    EXPECT_TRUE(dll.calls.empty());

    // The routine through the record, with the object first: it sleeps.
    dll.Call(process, CallShape::Process, {object});
    ASSERT_EQ(dll.Opcodes(), std::vector<std::int32_t>{AUDIO_HOST_SLEEP});
    EXPECT_EQ(dll.calls[0].record, record);

    // An event at the host's sample clock is taken; no event, nothing asked.
    dll.calls.clear();
    const ModuleAddress event = dll.library->AllocateHostMemory(24);
    const std::uint32_t data_event[6] = {512, EV_DATA, 7, 0x12345, 0, 0};
    ASSERT_TRUE(dll.library->Write(event, data_event, sizeof data_event));
    dll.Call(event_handler, CallShape::Event, {object, event});
    EXPECT_EQ(dll.Opcodes(), std::vector<std::int32_t>{AUDIO_HOST_GET_SAMPLE_CLOCK});
    dll.calls.clear();
    dll.Call(event_handler, CallShape::Event, {object, 0});
    EXPECT_TRUE(dll.calls.empty());
    dll.library->FreeHostMemory(event);

    EXPECT_EQ(dll.Audio(record, AUDIO_CLOSE), 1);
    EXPECT_TRUE(dll.library->HeldBlocks().empty()) << "the object and its pins are freed";
    EXPECT_FALSE(dll.library->faulted());
}

TEST_F(RealDllLibrary, GuiObjectsAreIndependentFillDefaultsAndResetOnADoubleClickWithinTheInterval) {
    const ModuleAddress first = dll.MakeModule(0, MT_GUI, 11);
    const ModuleAddress second = dll.MakeModule(0, MT_GUI, -22);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    for (const ModuleAddress record : {first, second}) {
        const std::vector<unsigned char> bytes = dll.Bytes(record, 40);
        EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4),
                  (std::vector<unsigned char>{0x4D, 0x50, 0x45, 0x53}));
        EXPECT_EQ(WordAt(bytes, 4), 1u);
        EXPECT_TRUE(dll.InImage(WordAt(bytes, 8)));
        EXPECT_NE(WordAt(bytes, 16), 0u);
        EXPECT_NE(WordAt(bytes, 16), record) << "the record is embedded, not the object's start";
        EXPECT_TRUE(AllBytesAre(bytes, 20, 40, 0));
    }
    EXPECT_EQ(dll.Word(first + 12), 11u);
    EXPECT_EQ(dll.Word(second + 12), static_cast<std::uint32_t>(-22));
    EXPECT_NE(dll.Word(first + 16), dll.Word(second + 16));
    EXPECT_TRUE(dll.calls.empty()) << "construction makes no host call";

    // Open(false) with an empty interval and range fills in the defaults;
    // a set interval is kept.
    dll.SetPinFloat(PIN_INTERVAL, 0.0f);
    EXPECT_EQ(dll.Gui(first, GUI_OPEN, 0), 0);
    ASSERT_FALSE(dll.calls.empty());
    EXPECT_EQ(dll.calls.front().opcode, GUI_HOST_SIGNAL);
    EXPECT_EQ(dll.calls.front().record, first);
    EXPECT_EQ(dll.PinFloat(PIN_INTERVAL), 200.0f);
    EXPECT_EQ(dll.PinFloat(PIN_RANDOM_MAX), 1.0f);
    dll.SetPinFloat(PIN_INTERVAL, 300.0f);
    dll.calls.clear();
    EXPECT_EQ(dll.Gui(second, GUI_OPEN, 0), 0);
    EXPECT_TRUE(dll.CallsWith(GUI_HOST_SET_PIN_VALUE).empty());
    for (const HostCall& call : dll.calls) EXPECT_EQ(call.record, second);

    // Two presses 120 ms apart on the module's clock: the reset value is
    // written, once, as a float. The release between them does nothing.
    dll.SetPinFloat(PIN_RESET_VALUE, -2.5f);
    dll.SetPinFloat(PIN_ANIMATION_POSITION, 0.9f);
    dll.calls.clear();
    dll.clock_ms = 1000;
    dll.GuiPinChanged(first, PIN_MOUSE_DOWN, 1);
    dll.GuiPinChanged(first, PIN_MOUSE_DOWN, 0);
    dll.clock_ms = 1120;
    dll.GuiPinChanged(first, PIN_MOUSE_DOWN, 1);
    const std::vector<HostCall> writes = dll.CallsWith(GUI_HOST_SET_PIN_VALUE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].index, PIN_ANIMATION_POSITION);
    EXPECT_EQ(writes[0].value, 0);
    EXPECT_EQ(writes[0].record, first);
    EXPECT_EQ(dll.PinFloat(PIN_ANIMATION_POSITION), -2.5f);

    // The second object has no click of its own: its first press only starts a pair.
    dll.calls.clear();
    dll.SetPinFloat(PIN_ANIMATION_POSITION, 0.9f);
    dll.GuiPinChanged(second, PIN_MOUSE_DOWN, 1);
    EXPECT_TRUE(dll.CallsWith(GUI_HOST_SET_PIN_VALUE).empty());

    // Presses further apart than the interval start a new pair each.
    dll.clock_ms = 2000;
    dll.GuiPinChanged(first, PIN_MOUSE_DOWN, 1);
    dll.clock_ms = 2301;
    dll.GuiPinChanged(first, PIN_MOUSE_DOWN, 1);
    dll.clock_ms = 2602;
    dll.GuiPinChanged(first, PIN_MOUSE_DOWN, 1);
    EXPECT_TRUE(dll.CallsWith(GUI_HOST_SET_PIN_VALUE).empty());
    EXPECT_EQ(dll.PinFloat(PIN_ANIMATION_POSITION), 0.9f);

    EXPECT_EQ(dll.Gui(first, GUI_IDLE), 1);
    dll.calls.clear();
    EXPECT_EQ(dll.Gui(first, GUI_CLOSE), 1);
    ASSERT_EQ(dll.Opcodes(), std::vector<std::int32_t>{GUI_HOST_SIGNAL});
    EXPECT_EQ(dll.calls[0].record, first);
    EXPECT_EQ(dll.Gui(second, GUI_CLOSE), 1);
    EXPECT_TRUE(dll.library->HeldBlocks().empty());
    EXPECT_FALSE(dll.library->faulted());
}

TEST_F(RealDllLibrary, CtrlFromTheKeyStateTurnsADoubleClickIntoARandomValue) {
    const ModuleAddress record = dll.MakeModule(0, MT_GUI, 0);
    ASSERT_NE(record, 0u);
    dll.SetPinFloat(PIN_INTERVAL, 5000.0f);
    dll.SetPinFloat(PIN_RESET_VALUE, -1.0f);
    dll.SetPinFloat(PIN_RANDOM_MIN, 20.0f);
    dll.SetPinFloat(PIN_RANDOM_MAX, 10.0f);  // in reverse: put in order

    // Open queries Ctrl first (clearing a press made before), then only key 0.
    dll.Gui(record, GUI_OPEN, 1);
    ASSERT_EQ(dll.key_queries.size(), 40u);
    EXPECT_EQ(dll.key_queries[0], 17);
    for (std::size_t i = 1; i < dll.key_queries.size(); ++i) EXPECT_EQ(dll.key_queries[i], 0) << i;

    // Ctrl up at the first press, down at the second: a value from the
    // range, the first of the runtime's sequence (41 of 1000), not the reset value.
    dll.key_queries.clear();
    dll.clock_ms = 100;
    dll.GuiPinChanged(record, PIN_MOUSE_DOWN, 1);
    dll.keys[17] = static_cast<std::int16_t>(0x8000);
    dll.clock_ms = 150;
    dll.GuiPinChanged(record, PIN_MOUSE_DOWN, 1);
    EXPECT_EQ(dll.key_queries, (std::vector<int>{17, 17}));
    ASSERT_EQ(dll.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), 1u);
    EXPECT_NEAR(dll.PinFloat(PIN_ANIMATION_POSITION), 10.41f, 1e-4f);

    // A press of Ctrl since the last query counts as held, too.
    dll.keys[17] = 0x0001;
    dll.clock_ms = 200;
    dll.GuiPinChanged(record, PIN_MOUSE_DOWN, 1);
    ASSERT_EQ(dll.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), 2u);
    EXPECT_GE(dll.PinFloat(PIN_ANIMATION_POSITION), 10.0f);
    EXPECT_LT(dll.PinFloat(PIN_ANIMATION_POSITION), 20.0f);

    // Without Ctrl the next double click resets.
    dll.keys.clear();
    dll.clock_ms = 250;
    dll.GuiPinChanged(record, PIN_MOUSE_DOWN, 1);
    ASSERT_EQ(dll.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), 3u);
    EXPECT_EQ(dll.PinFloat(PIN_ANIMATION_POSITION), -1.0f);
    EXPECT_EQ(dll.Gui(record, GUI_CLOSE), 1);
    EXPECT_TRUE(dll.library->HeldBlocks().empty());
}

// Win32 promises the module only a 4-byte aligned stack; code that needs
// more (aligned SSE spills) would crash at some alignments only.
TEST(RealDllConventions, AWholeSessionRunsAtEveryStackAlignment) {
    for (const unsigned alignment : {0u, 4u, 8u, 12u}) {
        SCOPED_TRACE(alignment);
        LibraryOptions options;
        options.stack_alignment = alignment;
        RealDll dll(options);
        ASSERT_NE(dll.library, nullptr);
        dll.int_pins = {PIN_MOUSE_DOWN, PIN_RESET, PIN_RANDOMIZE};
        dll.answers[AUDIO_HOST_GET_PIN_COUNT] = PIN_COUNT;

        const ModuleAddress audio = dll.MakeModule(0, MT_AUDIO, 1);
        ASSERT_NE(audio, 0u);
        dll.Audio(audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 44100.0f);
        dll.Audio(audio, AUDIO_OPEN);
        dll.Call(dll.Word(audio + 24), CallShape::Process, {dll.Word(audio + 12)});

        const ModuleAddress gui = dll.MakeModule(0, MT_GUI, 2);
        ASSERT_NE(gui, 0u);
        dll.Gui(gui, GUI_OPEN, 0);
        dll.SetPinFloat(PIN_RESET_VALUE, 0.25f);
        dll.SetPinFloat(PIN_RANDOM_MIN, 2.0f);
        dll.SetPinFloat(PIN_RANDOM_MAX, 4.0f);
        dll.GuiPinChanged(gui, PIN_MOUSE_DOWN, 1);
        dll.GuiPinChanged(gui, PIN_MOUSE_DOWN, 1);
        EXPECT_EQ(dll.PinFloat(PIN_ANIMATION_POSITION), 0.25f);
        dll.GuiPinChanged(gui, PIN_RANDOMIZE, 0);
        EXPECT_GE(dll.PinFloat(PIN_ANIMATION_POSITION), 2.0f);
        EXPECT_LT(dll.PinFloat(PIN_ANIMATION_POSITION), 4.0f);
        dll.Gui(gui, GUI_IDLE);
        dll.Gui(gui, GUI_CLOSE);
        dll.Audio(audio, AUDIO_CLOSE);
        EXPECT_FALSE(dll.library->faulted());
        EXPECT_TRUE(dll.library->HeldBlocks().empty());
    }
}

// Memory the module cannot have is never a crash: no object, or an object
// without its pin array, and nothing held afterwards.
TEST(RealDllMemory, FailedAllocationsGiveNoObjectOrNoPinsAndLeakNothing) {
    for (const std::int32_t type : {MT_AUDIO, MT_GUI}) {
        LibraryOptions options;
        options.fail_allocations_after = 0;
        RealDll dll(options);
        ASSERT_NE(dll.library, nullptr);
        EXPECT_EQ(dll.MakeModule(0, type, 0), 0u) << type;
        EXPECT_TRUE(dll.calls.empty());
        EXPECT_TRUE(dll.library->HeldBlocks().empty());
    }

    LibraryOptions options;
    options.fail_allocations_after = 1;  // the object, not its pins
    RealDll dll(options);
    ASSERT_NE(dll.library, nullptr);
    dll.answers[AUDIO_HOST_GET_PIN_COUNT] = PIN_COUNT;
    const ModuleAddress audio = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(audio, 0u);
    dll.Audio(audio, AUDIO_OPEN);
    EXPECT_EQ(dll.library->HeldBlocks().size(), 1u) << "the object alone";
    dll.Call(dll.Word(audio + 24), CallShape::Process, {dll.Word(audio + 12)});
    EXPECT_EQ(dll.Audio(audio, AUDIO_CLOSE), 1);
    EXPECT_TRUE(dll.library->HeldBlocks().empty());
    EXPECT_FALSE(dll.library->faulted());
}

}  // namespace
