// The framework's assertion reports, each brought about by a host action on
// the shipped DLL. The C runtime's _assert stops the module for good, so
// each report gets a library of its own; the same action done within the
// contract comes first and must not report.
//
// The reports the DLL can make: the two forbidden audio opcodes, the
// patch-store rule, a mistimed event, a pin status event while there is no
// pin array, and a GUI object made without a callback. The others (an event or
// a status in the past, a sample read of a pin of another type) sit in
// framework calls that Quillmark never makes.
#include "ModulePins.h"
#include "SEHostTypes.h"
#include "session/host_session.h"
#include "real_dll.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kModuleBase = "SEModule_base.cpp";

class RealDllAssertion : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll.library, nullptr);
        dll.answers[AUDIO_HOST_GET_PIN_COUNT] = PIN_COUNT;
        dll.answers[AUDIO_HOST_GET_SAMPLE_CLOCK] = 100;
    }

    // The dispatcher call's fault, or "".
    std::string AudioFault(ModuleAddress record, std::int32_t opcode, std::int32_t index = 0, ModuleAddress ptr = 0) {
        return dll.Fault(dll.Word(record + 20), CallShape::Dispatcher,
                         {record, static_cast<std::uint64_t>(opcode), static_cast<std::uint64_t>(index), 0, ptr, 0});
    }

    // The fault of delivering one event to the object through its record.
    std::string EventFault(ModuleAddress record, std::uint32_t time_stamp, std::int32_t type,
                           std::uint32_t param_ptr = 0) {
        const ModuleAddress event = dll.library->AllocateHostMemory(24);
        const std::uint32_t words[6] = {time_stamp, static_cast<std::uint32_t>(type), 1, 0, param_ptr, 0};
        EXPECT_TRUE(dll.library->Write(event, words, sizeof words));
        const std::string fault =
            dll.Fault(dll.Word(record + 28), CallShape::Event, {dll.Word(record + 12), event});
        if (fault.empty()) dll.library->FreeHostMemory(event);
        return fault;
    }

    // A pin declaration record of the host's, past the module's last pin,
    // so that the module leaves the host's direction and flags in place.
    std::string DeclarationFault(ModuleAddress record, std::int32_t direction, std::uint32_t flags) {
        const ModuleAddress properties = dll.library->AllocateHostMemory(32);
        const std::uint32_t words[8] = {0, static_cast<std::uint32_t>(direction), DT_FLOAT, 0, 0, 0, flags, 0};
        EXPECT_TRUE(dll.library->Write(properties, words, sizeof words));
        return AudioFault(record, AUDIO_GET_PIN_PROPERTIES, PIN_COUNT, properties);
    }

    RealDll dll;
};

TEST_F(RealDllAssertion, AudioOpcodeSevenIsABrokenContract) {
    const ModuleAddress record = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(record, 0u);
    EXPECT_EQ(AudioFault(record, 7), AssertionFault("false", kModuleBase, 99));
    EXPECT_TRUE(dll.calls.empty());
    EXPECT_TRUE(dll.library->faulted());
}

TEST_F(RealDllAssertion, AudioOpcodeTenIsABrokenContract) {
    const ModuleAddress record = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(record, 0u);
    for (const std::int32_t harmless : {4, 5, 9, 11}) EXPECT_EQ(AudioFault(record, harmless), "") << harmless;
    EXPECT_EQ(AudioFault(record, 10), AssertionFault("false", kModuleBase, 119));
}

TEST_F(RealDllAssertion, APatchStoredInputLeftInTheHostsRecordBreaksThePatchStoreRule) {
    const ModuleAddress record = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(record, 0u);
    // Private, an output or a GUI-side pin: the rule holds.
    EXPECT_EQ(DeclarationFault(record, DR_IN, IO_PATCH_STORE | IO_PRIVATE), "");
    EXPECT_EQ(DeclarationFault(record, DR_OUT, IO_PATCH_STORE), "");
    EXPECT_EQ(DeclarationFault(record, DR_IN, IO_PATCH_STORE | IO_UI_COMMUNICATION), "");
    EXPECT_EQ(DeclarationFault(record, DR_IN, 0), "");
    EXPECT_EQ(DeclarationFault(record, DR_IN, IO_PATCH_STORE),
              AssertionFault("(((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || "
                             "(((SEPinProperties*)ptr)->flags & IO_PRIVATE) != 0 || "
                             "((SEPinProperties*)ptr)->direction == DR_OUT || ( ( (SEPinProperties*)ptr)->flags & "
                             "IO_UI_COMMUNICATION) != 0",
                             kModuleBase, 80));
}

TEST(RealDllEventTiming, AnEventDeliveredAtAnotherSampleClockIsABrokenContract) {
    for (const std::uint32_t stamp : {99u, 101u}) {
        SCOPED_TRACE(stamp);
        RealDll own;
        ASSERT_NE(own.library, nullptr);
        own.answers[AUDIO_HOST_GET_SAMPLE_CLOCK] = 100;
        const ModuleAddress record = own.MakeModule(0, MT_AUDIO, 0);
        ASSERT_NE(record, 0u);
        const ModuleAddress event = own.library->AllocateHostMemory(24);
        const ModuleAddress handler = own.Word(record + 28);
        const ModuleAddress object = own.Word(record + 12);
        std::uint32_t words[6] = {100, EV_DATA, 1, 2, 0, 0};
        ASSERT_TRUE(own.library->Write(event, words, sizeof words));
        EXPECT_EQ(own.Fault(handler, CallShape::Event, {object, event}), "") << "on time";
        words[0] = stamp;
        ASSERT_TRUE(own.library->Write(event, words, sizeof words));
        EXPECT_EQ(own.Fault(handler, CallShape::Event, {object, event}),
                  AssertionFault("e->time_stamp == SampleClock()", kModuleBase, 276));
    }
}

TEST_F(RealDllAssertion, APinStatusEventBeforeThePinsExistIsABrokenContract) {
    // Opened with pins: the status of an unbound pin is ignored.
    const ModuleAddress opened = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(opened, 0u);
    ASSERT_EQ(AudioFault(opened, AUDIO_OPEN), "");
    EXPECT_EQ(EventFault(opened, 100, EV_PIN_STATUS, 0), "");
    EXPECT_EQ(EventFault(opened, 100, EV_PIN_STATUS, 1000), "");

    const ModuleAddress unopened = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(unopened, 0u);
    EXPECT_EQ(EventFault(unopened, 100, EV_PIN_STATUS, 0), AssertionFault("m_pins != 0", kModuleBase, 150));
}

TEST_F(RealDllAssertion, APinStatusEventAfterAnOpenWithoutPinsIsABrokenContract) {
    dll.answers[AUDIO_HOST_GET_PIN_COUNT] = 0;
    const ModuleAddress record = dll.MakeModule(0, MT_AUDIO, 0);
    ASSERT_NE(record, 0u);
    ASSERT_EQ(AudioFault(record, AUDIO_OPEN), "");
    EXPECT_EQ(EventFault(record, 100, EV_PIN_STATUS, 0), AssertionFault("m_pins != 0", kModuleBase, 150));
}

TEST_F(RealDllAssertion, AGuiObjectWithoutACallbackReportsItsFirstHostCall) {
    // The audio side answers 0 for a missing callback, without a report.
    const ModuleAddress audio = dll.Call(dll.library->make_module(), CallShape::MakeModule, {0, MT_AUDIO, 0, 0});
    ASSERT_NE(audio, 0u);
    EXPECT_EQ(AudioFault(audio, AUDIO_OPEN), "");
    EXPECT_EQ(dll.Fault(dll.Word(audio + 24), CallShape::Process, {dll.Word(audio + 12)}), "");
    EXPECT_EQ(AudioFault(audio, AUDIO_CLOSE), "");

    const ModuleAddress gui = dll.Call(dll.library->make_module(), CallShape::MakeModule, {0, MT_GUI, 0, 0});
    ASSERT_NE(gui, 0u) << "made without a host call";
    EXPECT_EQ(dll.Fault(dll.Word(gui + 8), CallShape::Dispatcher, {gui, GUI_OPEN, 0, 0, 0, 0}),
              AssertionFault("seaudioMaster", "SEGUI_base.cpp", 134));
    EXPECT_TRUE(dll.calls.empty());
}

TEST(RealDllAssertionInASession, TheSessionNamesTheCallDuringWhichTheModuleReported) {
    ASSERT_TRUE(RealDllBuilt());
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    const std::unique_ptr<ModuleLibrary> library = ModuleLibrary::Open(RealDllPath(), {}, status, problem);
    ASSERT_NE(library, nullptr) << problem;
    HostSession session(*library);
    HostedObject* audio = session.Create(ObjectKind::Audio, problem);
    ASSERT_NE(audio, nullptr) << problem;
    EXPECT_EQ(session.Dispatch(*audio, 7, 3), 0);
    EXPECT_TRUE(session.faulted());
    const std::string expected = "the module " + AssertionFault("false", kModuleBase, 99) + " during ";
    EXPECT_EQ(session.fault().rfind(expected, 0), 0u) << session.fault();
    EXPECT_NE(session.fault().find("on audio#1"), std::string::npos) << session.fault();
    // Nothing more is called once the module has stopped.
    EXPECT_EQ(session.Dispatch(*audio, AUDIO_OPEN), 0);
    EXPECT_EQ(session.host_calls(), 2);
}

}  // namespace
