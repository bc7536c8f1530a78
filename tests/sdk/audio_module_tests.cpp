// The audio-side base as the host sees it: the plug record, the dispatcher,
// the processing routine, events and the pin array built on open. Every host
// call goes through the record's own entries, as a host would make it.
#include "SEModule_base.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

// Declares whatever the test lists and logs every virtual operation it
// reaches into a journal that outlives the object.
class RecordingModule : public SEModule_base {
public:
    RecordingModule(HostCallback callback, Log& journal, std::intptr_t host_value = 0)
        : SEModule_base(callback, host_value), m_journal(journal) {}
    ~RecordingModule() override { m_journal.push_back("~RecordingModule"); }

    std::vector<SEPinProperties> declarations;
    std::vector<std::int32_t> asked;  // declaration numbers, in order
    std::set<std::int32_t> type_only;  // declarations that leave variable_ptr and flags unwritten
    const void* process_this = nullptr;
    std::uint32_t rate_bits = 0;  // the argument SetSampleRate got, as bits

    void OnPinStatusChange(SEPin* pin) override {
        Note("OnPinStatusChange " + std::to_string(pin->GetIndex()) + " " + std::to_string(pin->GetStatus()));
    }
    void Open() override {
        Note("Open");
        SEModule_base::Open();
    }
    void Close() override { Note("Close"); }
    void SetSampleRate(float rate) override {
        rate_bits = std::bit_cast<std::uint32_t>(rate);
        Note("SetSampleRate");
        SEModule_base::SetSampleRate(rate);
    }
    void SetBlockSize(std::int32_t size) override {
        Note("SetBlockSize");
        SEModule_base::SetBlockSize(size);
    }
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override {
        asked.push_back(index);
        if (index < 0 || index >= static_cast<std::int32_t>(declarations.size())) return false;
        const SEPinProperties& declared = declarations[static_cast<std::size_t>(index)];
        properties->direction = declared.direction;
        properties->datatype = declared.datatype;
        properties->name = declared.name;
        if (type_only.count(index)) return true;
        properties->variable_ptr = declared.variable_ptr;
        properties->flags = declared.flags;
        return true;
    }
    void OnNotify() override { Note("OnNotify"); }
    void OnNotifyCount(std::int32_t count) override { Note("OnNotifyCount " + std::to_string(count)); }
    void OnDataEvent(std::uint32_t time_stamp, std::int32_t a, std::int16_t b) override {
        Note("OnDataEvent " + std::to_string(time_stamp) + " " + std::to_string(a) + " " + std::to_string(b));
    }
    void OnRequest(std::int32_t value, std::int32_t index, void* ptr) override {
        Note("OnRequest " + std::to_string(value) + " " + std::to_string(index) + (ptr ? " ptr" : " null"));
    }

    void SE_CALL CountingProcess() {
        process_this = this;
        Note("CountingProcess");
    }
    void Marker() { Note("Marker"); }
    const ProcessFunction* ProcessMember() const { return &m_process; }

private:
    void Note(const std::string& entry) { m_journal.push_back(entry); }
    Log& m_journal;
};

// The same module whose Open asks each declaration statically, as a final
// module's own Open does.
class StaticallyDeclaringModule final : public RecordingModule {
public:
    using RecordingModule::RecordingModule;
    void Open() override { OpenPins<StaticallyDeclaringModule>(); }
};

SEPinProperties Declare(std::int32_t datatype, std::uint32_t flags = 0, void* variable = nullptr,
                        std::int32_t direction = DR_IN) {
    SEPinProperties p{};
    p.variable_ptr = variable;
    p.direction = direction;
    p.datatype = datatype;
    p.name = "pin";
    p.flags = flags;
    return p;
}

HostResult Send(SEModule_base& module, std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                void* ptr = nullptr, float opt = 0.0f) {
    AudioPlugRecord* record = module.GetPlugRecord();
    return record->dispatcher(record, opcode, index, value, ptr, opt);
}

void Deliver(SEModule_base& module, ModuleEvent event) {
    AudioPlugRecord* record = module.GetPlugRecord();
    record->event_handler(record->object, &event);
}

std::vector<std::string> Reports() {
    std::vector<std::string> result;
    for (const auto& a : fake_platform::assertions)
        result.push_back(a.file + ":" + std::to_string(a.line) + " " + a.expression);
    return result;
}

std::uint32_t Bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// "unbound", or "<index> dt<type> <where the value lives>".
std::string Describe(SEPin* pin, const std::vector<void*>& variables) {
    if (!pin->IsBound()) return "unbound";
    std::string where = pin->GetVariable() == nullptr ? "none" : "own";
    for (std::size_t i = 0; i < variables.size(); ++i)
        if (pin->GetVariable() == variables[i]) where = "var" + std::to_string(i);
    return std::to_string(pin->GetIndex()) + " dt" + std::to_string(pin->GetDataType()) + " " + where;
}

Log DescribeAll(SEModule_base& module, const std::vector<void*>& variables = {}) {
    Log result;
    for (std::int32_t i = 0; i < module.GetPinCount(); ++i)
        result.push_back(Describe(module.GetPin(i), variables));
    return result;
}

class AudioModule : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::Reset(); }
    FakeHost host;
    Log log;
};

// The fresh record's bytes are HostRecords' check, at literal offsets.
TEST_F(AudioModule, FreshObjectHasTheDefaultRateAndBlockSizeAndNoPins) {
    RecordingModule module(host.callback(), log, 0x1234);
    EXPECT_EQ(Bits(module.SampleRate()), Bits(44100.0f));
    EXPECT_EQ(module.BlockSize(), 1024);
    EXPECT_EQ(module.GetPinCount(), 0);
    EXPECT_TRUE(host.calls.empty());  // construction never calls the host
}

TEST_F(AudioModule, SampleRateAndBlockSizeTakeTheirOwnArgumentOnly) {
    RecordingModule module(host.callback(), log);
    EXPECT_EQ(Send(module, AUDIO_SET_SAMPLE_RATE, 3, 96000, nullptr, 48000.25f), 0);
    EXPECT_EQ(Bits(module.SampleRate()), Bits(48000.25f));
    const float subnormal = 1e-40f;  // survives only an untouched pass-through
    Send(module, AUDIO_SET_SAMPLE_RATE, 0, 0, nullptr, subnormal);
    EXPECT_EQ(Bits(module.SampleRate()), Bits(subnormal));
    const std::uint32_t signalling_bits = 0x7F800001u;
    Send(module, AUDIO_SET_SAMPLE_RATE, 0, 0, nullptr, std::bit_cast<float>(signalling_bits));
    EXPECT_EQ(module.rate_bits, signalling_bits);

    EXPECT_EQ(Send(module, AUDIO_SET_BLOCK_SIZE, 7, 256, nullptr, 512.0f), 0);
    EXPECT_EQ(module.BlockSize(), 256);
    EXPECT_EQ(log, (Log{"SetSampleRate", "SetSampleRate", "SetSampleRate", "SetBlockSize"}));
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(AudioModule, UnknownOpcodesDoNothingAndForbiddenOnesAreReported) {
    RecordingModule module(host.callback(), log);
    for (std::int32_t opcode : {4, 5, 9, 11, 14, 1000, -1, INT_MIN})
        EXPECT_EQ(Send(module, opcode, 5, 5, &module, 1.0f), 0) << opcode;
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(Reports().empty());

    EXPECT_EQ(Send(module, 7, 1, 2, nullptr, 0.0f), 0);
    EXPECT_EQ(Send(module, 10, 1, 2, nullptr, 0.0f), 0);
    EXPECT_EQ(Reports(), (Log{"SEModule_base.cpp:99 false", "SEModule_base.cpp:119 false"}));
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(AudioModule, NotifyCountsOnlyAbove0AndRequestPutsValueFirst) {
    RecordingModule module(host.callback(), log);
    Send(module, AUDIO_NOTIFY, 0);
    Send(module, AUDIO_NOTIFY, -3);
    Send(module, AUDIO_NOTIFY, 5);
    int anything = 0;
    EXPECT_EQ(Send(module, AUDIO_REQUEST, 3, 7, &anything), 0);
    EXPECT_EQ(log, (Log{"OnNotify", "OnNotify", "OnNotify", "OnNotifyCount 5", "OnRequest 7 3 ptr"}));
}

TEST_F(AudioModule, PinPropertiesWriteOnlyDeclaredFieldsAndCheckPatchStore) {
    RecordingModule module(host.callback(), log);
    int variable = 0;
    module.declarations = {Declare(DT_FLOAT, 0x20, &variable, DR_OUT)};
    SEPinProperties record;
    std::memset(&record, 0xA5, sizeof record);
    SEPinProperties pattern = record;

    EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, 1, 0, &record), 0);  // not declared
    EXPECT_EQ(0, std::memcmp(&record, &pattern, sizeof record));

    EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, 0, 0, &record), 1);
    EXPECT_EQ(record.variable_ptr, &variable);
    EXPECT_EQ(record.direction, DR_OUT);
    EXPECT_EQ(record.datatype, DT_FLOAT);
    EXPECT_STREQ(record.name, "pin");
    EXPECT_EQ(record.flags, 0x20u);
    EXPECT_EQ(0, std::memcmp(record.reserved_c, pattern.reserved_c, sizeof record.reserved_c));
    EXPECT_EQ(record.reserved_d, pattern.reserved_d);
    EXPECT_TRUE(Reports().empty());

    // A stored input must be private or a GUI-side pin; outputs may store.
    module.declarations = {Declare(DT_INT, IO_PATCH_STORE | IO_PRIVATE),
                           Declare(DT_INT, IO_PATCH_STORE | IO_UI_COMMUNICATION),
                           Declare(DT_INT, IO_PATCH_STORE, nullptr, DR_OUT), Declare(DT_INT, IO_PATCH_STORE)};
    for (std::int32_t i = 0; i < 3; ++i) EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, i, 0, &record), 1);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, 3, 0, &record), 1);
    EXPECT_EQ(
        Reports(),
        (Log{"SEModule_base.cpp:80 (((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
             "(((SEPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || ((SEPinProperties*)ptr)->direction == "
             "DR_OUT || ( ( (SEPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0"}));
}

TEST_F(AudioModule, ProcessRecordIsSharedAndNamesTheLastAsker) {
    RecordingModule first(host.callback(), log);
    RecordingModule second(host.callback(), log);
    const HostResult a = Send(first, AUDIO_GET_PROCESS_RECORD);
    const HostResult b = Send(second, AUDIO_GET_PROCESS_RECORD);
    ASSERT_NE(a, 0);
    EXPECT_EQ(a, b);
    // Its words are HostRecords' check; here, whose member it names.
    const auto* record = reinterpret_cast<const ProcessRecord*>(b);
    EXPECT_EQ(record->process_member, second.ProcessMember());
    EXPECT_TRUE(*static_cast<const ProcessFunction*>(record->process_member) == second.GetProcessFunction());
}

TEST_F(AudioModule, ProcessRoutineRunsThroughTheRecordAsAPlainFunction) {
    RecordingModule module(host.callback(), log);
    AudioPlugRecord* record = module.GetPlugRecord();
    const ProcessRoutine default_entry = record->process;
    record->process(record->object);  // DefaultProcess: nothing happens
    EXPECT_TRUE(log.empty());

    module.SetProcessFunction(&SEModule_base::DefaultProcess);  // already in place
    EXPECT_TRUE(host.calls.empty());

    ProcessRoutine announced = nullptr;
    host.on_call = [&](const HostCall& call) {
        if (call.opcode == AUDIO_HOST_PROCESS_CHANGED) announced = record->process;
    };
    const auto counting = static_cast<ProcessFunction>(&RecordingModule::CountingProcess);
    module.SetProcessFunction(counting);
    module.SetProcessFunction(counting);
    ASSERT_EQ(host.Opcodes(), (std::vector<std::int32_t>{AUDIO_HOST_PROCESS_CHANGED}));
    const HostCall& call = host.calls[0];
    EXPECT_EQ(call.record, record);
    EXPECT_EQ(call.index, 0);
    EXPECT_EQ(call.value, 0);
    EXPECT_EQ(call.ptr, nullptr);
    EXPECT_EQ(call.OptBits(), 0u);
    EXPECT_NE(announced, default_entry);
    EXPECT_EQ(announced, record->process);  // already in the record when the host heard
    EXPECT_TRUE(module.GetProcessFunction() == counting);

    record->process(record->object);
    EXPECT_EQ(log, (Log{"CountingProcess"}));
    EXPECT_EQ(module.process_this, &module);

    module.SetProcessFunction(&SEModule_base::DefaultProcess);
    EXPECT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(record->process, default_entry);
}

TEST_F(AudioModule, NullRoutinesAreOneRoutineWhateverTheirAdjustment) {
    RecordingModule module(host.callback(), log);
    const auto routine = [](std::uintptr_t function, std::ptrdiff_t adjustment) {
        const MemberFunctionWords words{function, adjustment};
        ProcessFunction result;
        std::memcpy(&result, &words, sizeof result);
        return result;
    };
    module.SetProcessFunction(nullptr);
    EXPECT_EQ(module.GetPlugRecord()->process, nullptr);
    module.SetProcessFunction(routine(0, 8));
    EXPECT_EQ(host.calls.size(), 1u);

    // A function word other than null with another adjustment is another routine.
    const auto counting = static_cast<ProcessFunction>(&RecordingModule::CountingProcess);
    MemberFunctionWords words;
    std::memcpy(&words, &counting, sizeof words);
    module.SetProcessFunction(counting);
    module.SetProcessFunction(routine(words.function, 8));
    EXPECT_EQ(host.Opcodes(), (std::vector<std::int32_t>(3, AUDIO_HOST_PROCESS_CHANGED)));
}

TEST_F(AudioModule, AddEventAcceptsNowAndLaterButNeverThePast) {
    RecordingModule module(host.callback(), log);
    host.sample_clock = 1000;
    host.answers[AUDIO_HOST_ADD_EVENT] = 55;
    EXPECT_EQ(module.AddEvent(1000, EV_DATA, -4, 0x00018000, 77), 55);
    const std::vector<HostCall> added = host.CallsWith(AUDIO_HOST_ADD_EVENT);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].record, module.GetPlugRecord());
    EXPECT_EQ(added[0].index, 0);
    EXPECT_EQ(added[0].value, 0);
    EXPECT_EQ(added[0].OptBits(), 0u);
    const ModuleEvent& e = added[0].event;
    EXPECT_EQ(e.time_stamp, 1000u);
    EXPECT_EQ(e.event_type, EV_DATA);
    EXPECT_EQ(e.param_a, -4);
    EXPECT_EQ(e.param_b, 0x00018000);
    EXPECT_EQ(e.param_ptr, 77);
    EXPECT_EQ(e.reserved, 0);

    host.calls.clear();
    EXPECT_EQ(module.AddEvent(999, EV_DATA, 0, 0, 0), 0);
    EXPECT_EQ(Reports(), (Log{"SEModule_base.cpp:340 p_time_stamp >= SampleClock()"}));
    EXPECT_EQ(host.Opcodes(), (std::vector<std::int32_t>{AUDIO_HOST_GET_SAMPLE_CLOCK}));  // nothing queued

    // The clock is unsigned: stamps with the top bit set lie ahead of 5,
    // however far.
    fake_platform::Reset();
    host.sample_clock = 5;
    EXPECT_EQ(module.AddEvent(0x80000000u, EV_DATA, 0, 0, 0), 55);
    EXPECT_EQ(module.AddEvent(0x80000006u, EV_DATA, 0, 0, 0), 55);
    EXPECT_EQ(module.AddEvent(0xFFFFFFFFu, EV_DATA, 0, 0, 0), 55);
    EXPECT_TRUE(Reports().empty());
}

TEST(SampleClock, BeforeIsUnsignedOrderExceptForTimesJustPastTheWrap) {
    struct Case {
        std::uint32_t time, clock;
        bool before;
    };
    const Case cases[] = {
        {1000, 1000, false},
        {999, 1000, true},
        {1001, 1000, false},
        {0x80000006u, 5, false},  // more than 2^31 ahead: still ahead
        {0xFFFFFFFFu, 0, false},
        {0, 0x7FFFFFFFu, true},  // 2^31 - 1 behind: the farthest past
        {0, 0x80000000u, false},  // 2^31 behind: just past the wrap, ahead
        {0x80000000u, 0xFFFFFFFFu, true},
        {0x7FFFFFFFu, 0xFFFFFFFFu, false},
        {5, 0xFFFFFFF0u, false},
        {0xFFFFFFEFu, 0xFFFFFFF0u, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SampleClockBefore(c.time, c.clock), c.before) << std::hex << c.time << " at " << c.clock;
}

TEST_F(AudioModule, DeliveredEventsRunOnlyAtTheirTimeAndOnlyKnownTypes) {
    RecordingModule module(host.callback(), log);
    host.sample_clock = 300;
    Deliver(module, ModuleEvent{300, EV_DATA, 9, 0x00018000, 0, 0});
    Deliver(module, ModuleEvent{300, EV_DATA, 1, 0x7FFF0005, 0, 0});
    Deliver(module, ModuleEvent{300, 6, 1, 1, 0, 0});
    Deliver(module, ModuleEvent{300, 99, 1, 1, 0, 0});
    EXPECT_EQ(log, (Log{"OnDataEvent 300 9 -32768", "OnDataEvent 300 1 5"}));
    EXPECT_TRUE(Reports().empty());

    log.clear();
    Deliver(module, ModuleEvent{299, EV_DATA, 1, 1, 0, 0});
    Deliver(module, ModuleEvent{301, EV_DATA, 1, 1, 0, 0});
    EXPECT_TRUE(log.empty());  // a mistimed event is reported and dropped
    EXPECT_EQ(Reports(), (Log{"SEModule_base.cpp:276 e->time_stamp == SampleClock()",
                              "SEModule_base.cpp:276 e->time_stamp == SampleClock()"}));
}

TEST_F(AudioModule, CallEventsReachOverridesAndPlainMembers) {
    RecordingModule module(host.callback(), log);
    host.sample_clock = 40;
    module.AddCallEvent(40, &SEModule_base::OnNotify);  // virtual: RecordingModule overrides it
    module.AddCallEvent(41, static_cast<CallFunction>(&RecordingModule::Marker));
    const std::vector<HostCall> added = host.CallsWith(AUDIO_HOST_ADD_EVENT);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0].event.event_type, EV_CALL);
    EXPECT_EQ(added[0].event.param_a, 0);
    EXPECT_EQ(added[0].event.param_b, 0);

    Deliver(module, added[0].event);
    host.sample_clock = 41;
    Deliver(module, added[1].event);
    Deliver(module, ModuleEvent{41, EV_CALL, 0, 0, 0, 0});  // names nothing: ignored
    EXPECT_EQ(log, (Log{"OnNotify", "Marker"}));
}

TEST_F(AudioModule, PinStatusEventsReachOnlyBoundPinsInTheArray) {
    RecordingModule module(host.callback(), log);
    module.declarations = {Declare(DT_FLOAT), Declare(DT_INT)};
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 3;  // pin 2 stays unbound
    Send(module, AUDIO_OPEN);
    log.clear();

    Deliver(module, ModuleEvent{0, EV_PIN_STATUS, 2, 0, 1, 0});
    Deliver(module, ModuleEvent{0, EV_PIN_STATUS, PS_ONCE, 0, 0, 0});
    EXPECT_EQ(log, (Log{"OnPinStatusChange 1 2", "OnPinStatusChange 0 1"}));
    EXPECT_EQ(module.GetPin(1)->GetStatus(), 2);
    EXPECT_EQ(module.GetPin(0)->GetStatus(), 0);  // a one-off status clears once told

    log.clear();
    std::vector<std::intptr_t> outside = {-1, 2, 3, INT_MAX, INT_MIN};
    if constexpr (sizeof(std::intptr_t) > 4)
        outside.push_back((std::intptr_t{1} << 32) + 1);  // truncates to 1
    for (std::intptr_t number : outside) Deliver(module, ModuleEvent{0, EV_PIN_STATUS, 5, 0, number, 0});
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(module.GetPin(3), nullptr);
    EXPECT_EQ(module.GetPin(-1), nullptr);

    // Without an array, opened with no pins or never opened, every status
    // event is the missing array's broken contract, and no pin is told.
    const std::string missing_array = "SEModule_base.cpp:150 m_pins != 0";
    for (HostResult count : {HostResult{0}, HostResult{-1}}) {
        host.answers[AUDIO_HOST_GET_PIN_COUNT] = count;
        Send(module, AUDIO_OPEN);
        for (std::intptr_t number : {0, 1, 70000}) Deliver(module, ModuleEvent{0, EV_PIN_STATUS, 5, 0, number, 0});
    }
    EXPECT_EQ(log, (Log{"Open", "Open"}));
    EXPECT_EQ(Reports(), Log(6, missing_array));
    log.clear();
    fake_platform::assertions.clear();

    RecordingModule closed(host.callback(), log);  // never opened: the host has not told its pins
    Deliver(closed, ModuleEvent{0, EV_PIN_STATUS, 5, 0, 0, 0});
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(Reports(), Log{missing_array});
}

// Pins 0 to 7 bound to declarations of their own variable, the rest unbound.
Log EightBoundOf(std::size_t count) {
    Log pins(count, "unbound");
    for (std::size_t pin = 0; pin < 8; ++pin) pins[pin] = std::to_string(pin) + " dt6 own";
    return pins;
}

TEST_F(AudioModule, OpenBindsDeclarationsWithAudioPinsInOrder) {
    int v0 = 0, v1 = 0, v2 = 0;
    const std::vector<void*> variables = {&v0, &v1, &v2};
    struct Case {
        const char* name;
        HostResult count;
        std::vector<SEPinProperties> declarations;
        Log pins;
        std::vector<std::int32_t> asked;
    };
    const std::vector<Case> cases = {
        {"a GUI-side pin leaves no gap; the last repeats",
         3,
         {Declare(DT_FLOAT, 0, &v0), Declare(DT_INT, IO_UI_COMMUNICATION, &v1),
          Declare(DT_INT, IO_REPEAT_LAST, &v2)},
         {"0 dt6 var0", "1 dt8 var2", "2 dt8 own"},
         {0, 1, 2, 3, 2}},
        {"more declarations than pins",
         2,
         {Declare(DT_FLOAT, 0, &v0), Declare(DT_INT, 0, &v1), Declare(DT_SHORT), Declare(DT_SHORT),
          Declare(DT_SHORT)},
         {"0 dt6 var0", "1 dt8 var1"},
         {0, 1, 2, 1}},
        {"fewer declarations than pins",
         4,
         {Declare(DT_BOOL, 0, &v0)},
         {"0 dt4 var0", "unbound", "unbound", "unbound"},
         {0, 1, 0}},
        {"the one declaration repeats",
         4,
         {Declare(DT_BOOL, IO_REPEAT_LAST, &v0)},
         {"0 dt4 var0", "1 dt4 own", "2 dt4 own", "3 dt4 own"},
         {0, 1, 0}},
        {"a repeating GUI-side pin repeats nothing",
         2,
         {Declare(DT_INT), Declare(DT_INT, IO_UI_COMMUNICATION | IO_REPEAT_LAST)},
         {"0 dt8 own", "unbound"},
         {0, 1, 2, 1}},
        {"a GUI-side pin that asks for an audio pin gets one",
         1,
         {Declare(DT_INT, IO_UI_COMMUNICATION | IO_UI_AUDIO_PIN, &v1)},
         {"0 dt8 var1"},
         {0, 1, 0}},
        {"no pins", 0, {Declare(DT_INT)}, {}, {0, -1}},
        {"a negative count", -5, {Declare(DT_INT)}, {}, {0, -1}},
        {"no declarations", 2, {}, {"unbound", "unbound"}, {0, -1}},
        {"far more pins than declarations: the eight bind the first eight",
         70000,
         std::vector<SEPinProperties>(8, Declare(DT_FLOAT)),
         EightBoundOf(70000),
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 7}},
    };
    for (const bool statically : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (statically ? ", asked statically" : ", asked virtually"));
            host.calls.clear();
            host.answers[AUDIO_HOST_GET_PIN_COUNT] = c.count;
            RecordingModule virtual_module(host.callback(), log);
            StaticallyDeclaringModule static_module(host.callback(), log);
            RecordingModule& module = statically ? static_module : virtual_module;
            module.declarations = c.declarations;
            EXPECT_EQ(Send(module, AUDIO_OPEN), 0);
            EXPECT_EQ(DescribeAll(module, variables), c.pins);
            EXPECT_EQ(module.asked, c.asked);
            EXPECT_EQ(host.Opcodes(), (std::vector<std::int32_t>{AUDIO_HOST_GET_PIN_COUNT}));
        }
    }
    EXPECT_TRUE(Reports().empty());
}

// Leaves a pattern where the next calls' frames will lie.
[[gnu::noinline]] void FillStack(unsigned char pattern) {
    volatile unsigned char area[16384];
    for (volatile unsigned char& byte : area) byte = pattern;
}

TEST_F(AudioModule, EachDeclarationStartsFromAZeroRecord) {
    int v0 = 0;
    RecordingModule module(host.callback(), log);
    module.declarations = {Declare(DT_INT), Declare(DT_INT, IO_REPEAT_LAST, &v0), Declare(DT_INT)};
    module.type_only = {0, 2};
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 4;
    FillStack(0xA5);
    Send(module, AUDIO_OPEN);
    // Unwritten fields are zero: no variable from the stack or from the
    // declaration before, and no repeat of the last one.
    EXPECT_EQ(DescribeAll(module, {&v0}), (Log{"0 dt8 own", "1 dt8 var0", "2 dt8 own", "unbound"}));
    EXPECT_EQ(module.asked, (std::vector<std::int32_t>{0, 1, 2, 3, 2}));
}

TEST_F(AudioModule, SamplePinsAskForTheirBufferOnOpen) {
    RecordingModule module(host.callback(), log);
    float buffer[4] = {};
    float* variable = buffer;
    module.declarations = {Declare(DT_INT), Declare(DT_FSAMPLE, 0, &variable), Declare(DT_FSAMPLE)};
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 3;
    host.answers[AUDIO_HOST_GET_PIN_BUFFER] = reinterpret_cast<HostResult>(buffer);
    Send(module, AUDIO_OPEN);
    const std::vector<HostCall> asked = host.CallsWith(AUDIO_HOST_GET_PIN_BUFFER);
    ASSERT_EQ(asked.size(), 1u);  // only the pin without a module variable
    EXPECT_EQ(asked[0].index, 2);
    EXPECT_EQ(*static_cast<float**>(module.GetPin(2)->GetVariable()), buffer);
}

TEST_F(AudioModule, ReopeningReplacesThePinArray) {
    RecordingModule module(host.callback(), log);
    module.declarations = {Declare(DT_INT, IO_REPEAT_LAST)};
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 3;
    Send(module, AUDIO_OPEN);
    EXPECT_EQ(DescribeAll(module), (Log{"0 dt8 own", "1 dt8 own", "2 dt8 own"}));
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 1;
    Send(module, AUDIO_OPEN);  // the first array is released (the sanitizer build sees any leak)
    EXPECT_EQ(DescribeAll(module), (Log{"0 dt8 own"}));
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 0;
    Send(module, AUDIO_OPEN);
    EXPECT_EQ(module.GetPinCount(), 0);
}

TEST_F(AudioModule, CloseRunsCloseThenDestroysTheObjectAndItsPins) {
    auto* module = new (std::nothrow) RecordingModule(host.callback(), log);
    ASSERT_NE(module, nullptr);
    module->declarations = {Declare(DT_FLOAT, IO_REPEAT_LAST)};
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 4;
    Send(*module, AUDIO_OPEN);
    host.calls.clear();
    EXPECT_EQ(Send(*module, AUDIO_CLOSE), 1);
    EXPECT_EQ(log, (Log{"Open", "Close", "~RecordingModule"}));
    EXPECT_TRUE(host.calls.empty());  // destruction makes no host call
}

TEST_F(AudioModule, NullCallbackAnswersZeroAndOpensWithoutPins) {
    RecordingModule module(nullptr, log);
    module.declarations = {Declare(DT_INT, IO_REPEAT_LAST)};
    for (std::int32_t opcode : std::vector<std::int32_t>{AUDIO_HOST_GET_SAMPLE_CLOCK,
                                                         AUDIO_HOST_GET_PIN_COUNT, AUDIO_HOST_ADD_EVENT, 99})
        EXPECT_EQ(module.CallHost(opcode, 1, 1, &module, 1.0f), 0);
    EXPECT_EQ(module.SampleClock(), 0u);
    Send(module, AUDIO_OPEN);
    EXPECT_EQ(module.GetPinCount(), 0);
    EXPECT_EQ(module.asked, (std::vector<std::int32_t>{0, -1}));
    EXPECT_EQ(module.AddEvent(0, EV_DATA, 0, 0, 0), 0);
    module.SetProcessFunction(static_cast<ProcessFunction>(&RecordingModule::CountingProcess));
    AudioPlugRecord* record = module.GetPlugRecord();
    record->process(record->object);
    EXPECT_EQ(log, (Log{"Open", "CountingProcess"}));
    EXPECT_TRUE(Reports().empty());
    EXPECT_TRUE(host.calls.empty());
}

}  // namespace
