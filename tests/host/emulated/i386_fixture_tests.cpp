// The broken i386 fixture modules (tests/host/i386_fixtures, built by the
// win32 preset) through the emulated back end: each is loaded and driven as
// a host drives a module. The faults the back end catches by itself come
// out with their own text; the ones only the session can tell (a write past
// a record, a foreign record, a silent swap) load and run cleanly here, and
// the test checks that the fixture really does what it should be caught for.
#include "library/emulated/emulated_library.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

constexpr std::int32_t kAudioHostProcessChanged = 22, kGuiHostGetPinValue = 14;

std::string FixturePath(const std::string& fault) {
    return std::string(QUILL_WIN32_DIR) + "/tests/host/i386_fixtures/fixture_" + fault + ".sem";
}

struct HostCall {
    ModuleAddress record;
    std::int32_t opcode;
};

// Answers every callback with 0 (a pin read with 0 in its slot) and keeps
// what it was asked.
class Host : public CallbackHandler {
public:
    explicit Host(ModuleLibrary& library) : m_library(library) {}
    std::vector<HostCall> calls;

    std::int64_t OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t, std::int32_t,
                                  ModuleAddress ptr, float) override {
        calls.push_back({record, opcode});
        const std::uint32_t zero = 0;
        // 14 asks the audio side's pin count too, without a slot.
        if (opcode == kGuiHostGetPinValue && ptr != 0) {
            EXPECT_TRUE(m_library.Write(ptr, &zero, 4));
        }
        return 0;
    }

private:
    ModuleLibrary& m_library;
};

// One fixture, loaded; Drive runs both sides of it through their lives.
struct Fixture {
    explicit Fixture(const std::string& fault, const LibraryOptions& options = {}) {
        if (!std::ifstream(FixturePath(fault)))
            ADD_FAILURE() << FixturePath(fault) << " is missing: build the win32 preset first: ./quill build win32";
        library = OpenEmulatedLibrary(FixturePath(fault), options, status, problem);
        if (library != nullptr) {
            host = std::make_unique<Host>(*library);
            library->SetCallbackHandler(host.get());
        }
    }

    std::uint32_t Word(ModuleAddress address) {
        std::uint32_t word = 0;
        EXPECT_TRUE(library->Read(address, &word, 4));
        return word;
    }

    // Properties; an audio object set up, opened, its pins declared, run
    // three times and closed; a GUI object opened, told of a pin change,
    // idled and closed. The first fault, or "" when all of it ran.
    std::string Drive() {
        ModuleLibrary& lib = *library;
        auto call = [&](ModuleAddress function, CallShape shape, std::vector<std::uint64_t> arguments) {
            std::uint64_t result = 0;
            if (!lib.faulted()) lib.Call(function, shape, arguments, result);
            return result;
        };
        const std::uint64_t rate_word = CallWordOfFloat(44100.0f);
        std::string fault;
        lib.RunOutermost(
            [&] {
                const ModuleAddress properties = lib.AllocateHostMemory(24);
                call(lib.get_module_properties(), CallShape::GetModuleProperties, {0, properties});
                audio = call(lib.make_module(), CallShape::MakeModule, {0, 1, lib.CallbackAddress(), 0x1111});
                if (lib.faulted() || audio == 0) return;
                const ModuleAddress dispatcher = Word(audio + 20), object = Word(audio + 12);
                first_process = Word(audio + 24);
                auto dispatch = [&](std::int32_t opcode, std::int32_t index, std::int32_t value, ModuleAddress ptr,
                                    std::uint32_t opt) {
                    return call(dispatcher, CallShape::Dispatcher,
                                {audio, static_cast<std::uint64_t>(opcode), static_cast<std::uint64_t>(index),
                                 static_cast<std::uint64_t>(value), ptr, opt});
                };
                dispatch(2, 0, 0, 0, rate_word);  // sample rate
                dispatch(3, 0, 64, 0, 0);          // block size
                dispatch(0, 0, 0, 0, 0);           // open
                pin_record = lib.AllocateHostMemory(48);  // room to see a write past the 32 bytes
                for (std::int32_t pin = 0; dispatch(6, pin, 0, pin_record, 0) == 1 && pin < 8; ++pin) {
                }
                for (int run = 0; run < 3; ++run) call(Word(audio + 24), CallShape::Process, {object});
                last_process = Word(audio + 24);
                dispatch(1, 0, 0, 0, 0);  // close

                gui = call(lib.make_module(), CallShape::MakeModule, {0, 2, lib.CallbackAddress(), 0x2222});
                if (lib.faulted() || gui == 0) return;
                const ModuleAddress gui_dispatcher = Word(gui + 8);
                for (const std::int32_t opcode : {0, 7, 10, 1})  // open, pin 0 changed, idle, close
                    call(gui_dispatcher, CallShape::Dispatcher, {gui, static_cast<std::uint64_t>(opcode), 0, 0, 0, 0});
            },
            "drive", fault);
        return fault;
    }

    ModuleLibrary::Status status = ModuleLibrary::Status::Missing;
    std::string problem;
    std::unique_ptr<ModuleLibrary> library;
    std::unique_ptr<Host> host;
    ModuleAddress audio = 0, gui = 0, pin_record = 0, first_process = 0, last_process = 0;
};

// "fixture_<fault>.sem+0x" at the start of `text` after `head`, and `tail`
// at its end: the address between is the build's.
void ExpectFault(const std::string& text, const std::string& head, const std::string& fault,
                 const std::string& tail) {
    const std::string at = head + "fixture_" + fault + ".sem+0x";
    EXPECT_EQ(text.rfind(at, 0), 0u) << text;
    EXPECT_TRUE(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        << text;
}

TEST(I386Fixture, TheSoundOneRunsItsWholeLifeAndGivesBackItsMemory) {
    Fixture fixture("good");
    ASSERT_NE(fixture.library, nullptr) << fixture.problem;
    EXPECT_TRUE(fixture.library->warnings().empty());
    EXPECT_EQ(fixture.Drive(), "");
    EXPECT_TRUE(fixture.library->HeldBlocks().empty());
    // The routine swapped at the first run, and the host told of it.
    EXPECT_NE(fixture.first_process, fixture.last_process);
    std::size_t told = 0;
    for (const HostCall& call : fixture.host->calls) {
        told += call.record == fixture.audio && call.opcode == kAudioHostProcessChanged;
        EXPECT_TRUE(call.record == fixture.audio || call.record == fixture.gui);
    }
    EXPECT_EQ(told, 1u);
    EXPECT_EQ(fixture.Word(fixture.pin_record + 32), 0u);
}

TEST(I386Fixture, ALibraryTheMachineLacksOrUndecoratedNamesMissingAreRefusedAtLoad) {
    Fixture runtime("runtime_import");
    EXPECT_EQ(runtime.library, nullptr);
    EXPECT_EQ(runtime.status, ModuleLibrary::Status::NotLoadable);
    EXPECT_EQ(runtime.problem,
              "imports libgcc_s_dw2-1.dll, which a user's machine does not have (the module could not be found)");

    Fixture decorated("decorated_names");
    EXPECT_EQ(decorated.library, nullptr);
    EXPECT_EQ(decorated.status, ModuleLibrary::Status::MissingExport);
    EXPECT_EQ(decorated.problem, "lacks the export \"getModuleProperties\"");
}

TEST(I386Fixture, TheBackEndCatchesBrokenConventionsHeapMisuseAndHangs) {
    const std::string convention = "broke the calling convention: ";
    {
        Fixture fixture("stack_imbalance");
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        ExpectFault(fixture.Drive(), convention, "stack_imbalance",
                    " popped 24 bytes of its arguments (declared stdcall or thiscall by mistake)");
    }
    {
        Fixture fixture("clobbered_register");
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        ExpectFault(fixture.Drive(), convention, "clobbered_register", " changed ESI (0xE510C0DE -> 0x00000011)");
    }
    {
        // The object is taken from ECX, which the back end sets to unmapped
        // memory at each call: what an earlier call left there could be a
        // valid pointer.
        Fixture fixture("thiscall");
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        const std::string fault = fixture.Drive();
        // 0x44 past ECX: the object's run count.
        EXPECT_EQ(fault.rfind("crashed: invalid read of 4 bytes at 0xEC0C0E30 (at fixture_thiscall.sem+0x", 0), 0u)
            << fault;
        EXPECT_NE(fault.find("): the address comes from ECX"), std::string::npos) << fault;
    }
    {
        Fixture fixture("double_free");
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        const std::string fault = fixture.Drive();
        EXPECT_EQ(fault.rfind("crashed: free of 0x3", 0), 0u) << fault;
        ExpectFault(fault.substr(fault.find("(at ") + 4), "", "double_free", ")");
        EXPECT_NE(fault.find("which is no block of the module's heap (a double free?)"), std::string::npos) << fault;
    }
    {
        LibraryOptions options;
        options.instruction_budget = 100000;
        Fixture fixture("hang", options);
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        ExpectFault(fixture.Drive(), "hung: no return within 100000 instructions (at ", "hang", ")");
    }
    {
        // Nothing faults; the block taken at AUDIO_OPEN is still held.
        Fixture fixture("leak");
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        EXPECT_EQ(fixture.Drive(), "");
        const std::vector<HeldBlock> held = fixture.library->HeldBlocks();
        ASSERT_EQ(held.size(), 1u);
        EXPECT_EQ(held[0].size, 64u);
    }
}

TEST(I386Fixture, FaultsOnlyTheSessionCanTellRunCleanlyHere) {
    for (const char* fault : {"pin_overrun", "foreign_record", "silent_swap"}) {
        SCOPED_TRACE(fault);
        Fixture fixture(fault);
        ASSERT_NE(fixture.library, nullptr) << fixture.problem;
        EXPECT_EQ(fixture.Drive(), "");
        EXPECT_TRUE(fixture.library->HeldBlocks().empty());
        std::size_t told = 0, foreign = 0;
        for (const HostCall& call : fixture.host->calls) {
            told += call.record == fixture.audio && call.opcode == kAudioHostProcessChanged;
            foreign += call.record != fixture.audio && call.record != fixture.gui;
        }
        // What each does, for the session to find.
        const std::string name = fault;
        EXPECT_EQ(fixture.Word(fixture.pin_record + 32), name == "pin_overrun" ? 0x0BADu : 0u);
        EXPECT_EQ(foreign > 0, name == "foreign_record");
        EXPECT_NE(fixture.first_process, fixture.last_process);
        EXPECT_EQ(told, name == "silent_swap" ? 0u : 1u);
    }
}

}  // namespace
