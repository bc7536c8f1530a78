// Native modules run in a process of their own: whatever they do there
// (end the process, break the heap, never return, call back from a thread
// of their own), semhost reports it, and goes on sound.
#include "library/module_library.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// How the child's end names an access to address 8.
#if defined(_WIN32)
const std::string kInvalidAccess = "crashed: access violation (0xC0000005, invalid memory access)";
#else
const std::string kInvalidAccess = "crashed: SIGSEGV (invalid memory access)";
#endif

CommandResult Validate(const std::string& fault, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"validate", FixturePath(fault), "--cycles", "2", "--seed", "11"};
    args.insert(args.end(), more.begin(), more.end());
    return RunCommand(args);
}

CommandResult PlayLevelChange(const std::string& fault) {
    const std::string script = WriteScratchFile("set_level.script", "set Level 1\n");
    return RunCommand({"play", FixturePath(fault), script});
}

TEST(Isolation, FaultsDuringGuiOpenFailTheChecksThatMetThem) {
    const struct {
        const char* fault;
        const char* how;
    } cases[] = {
        {"exit", "the module ended the process (exit 0) during GUI_OPEN (flag false) on gui#"},
#if !defined(_WIN32)
        // glibc's heap check, or a sanitizer's report, aborts the child.
        {"double_free", "the module crashed: SIGABRT (aborted, as by an assertion report) during GUI_OPEN"},
#endif
        {"thread_callback",
         "the module broke the host contract: called the host's callback from a thread other than the one the "
         "host called it on (answered 0) during GUI_OPEN"},
    };
    for (const auto& fault : cases) {
        SCOPED_TRACE(fault.fault);
        const CommandResult validated = Validate(fault.fault);
        EXPECT_EQ(validated.code, 1) << validated.out << validated.err;
        EXPECT_EQ(CheckReason(validated.out, "gui-life-cycle").rfind(fault.how, 0), 0u) << validated.out;
        // Each faulted copy is replaced: every check runs, and the summary says so.
        EXPECT_EQ(FailedChecks(validated.out), (std::set<std::string>{"gui-life-cycle", "random-session"}))
            << validated.out;
        // One line on standard error too, as for every failure.
        EXPECT_EQ(validated.err, "semhost: " + FixturePath(fault.fault) +
                                     ": 2 checks failed (gui-life-cycle, random-session)\n");

        const CommandResult played = PlayLevelChange(fault.fault);
        EXPECT_EQ(played.code, 3) << played.out << played.err;
        EXPECT_NE(played.err.find(fault.how), std::string::npos) << played.err;
    }
#if defined(_WIN32)
    // Whether the heap notices a double free depends on the system (Wine's
    // does not); when it does, the fault is the module's, and either way
    // every check runs and the summary is written.
    const CommandResult double_free = Validate("double_free");
    if (double_free.code == 1) {
        EXPECT_EQ(CheckReason(double_free.out, "gui-life-cycle").rfind("the module crashed: ", 0), 0u)
            << double_free.out;
        EXPECT_EQ(FailedChecks(double_free.out), (std::set<std::string>{"gui-life-cycle", "random-session"}))
            << double_free.out;
    } else {
        EXPECT_EQ(double_free.code, 0) << double_free.out << double_free.err;
        EXPECT_EQ(FailedChecks(double_free.out), std::set<std::string>{}) << double_free.out;
    }
#endif
    // semhost itself came through whole: its heap and its callback work.
    const CommandResult sound = Validate("good");
    EXPECT_EQ(sound.code, 0) << sound.out << sound.err;
}

TEST(Isolation, CallThatNeverReturnsIsEndedAndTheChecksGoOn) {
    const CommandResult validated = Validate("hang", {"--timeout-ms", "300"});
    EXPECT_EQ(validated.code, 1) << validated.out << validated.err;
    EXPECT_EQ(CheckReason(validated.out, "gui-life-cycle"),
              "the module hung: did not return within 0.3 s during GUI_OPEN (flag false) on gui#3")
        << validated.out;
    EXPECT_EQ(FailedChecks(validated.out), (std::set<std::string>{"gui-life-cycle", "random-session"}))
        << validated.out;
    const CommandResult played = RunCommand(
        {"play", FixturePath("hang"), WriteScratchFile("set_level.script", "set Level 1\n"), "--timeout-ms", "300"});
    EXPECT_EQ(played.code, 3);
    EXPECT_NE(played.err.find("the module hung: did not return within 0.3 s during GUI_OPEN"), std::string::npos)
        << played.err;
}

TEST(Isolation, ConstructorThatNeverReturnsIsAHangAtLoad) {
    const std::string expected =
        "semhost: " + FixturePath("load_loop") + ": the module hung: did not return within 0.3 s while loading\n";
    const CommandResult info = RunCommand({"info", FixturePath("load_loop"), "--timeout-ms", "300"});
    EXPECT_EQ(info.code, 3);
    EXPECT_EQ(info.err, expected);
    const CommandResult validated = Validate("load_loop", {"--timeout-ms", "300"});
    EXPECT_EQ(validated.code, 3);
    EXPECT_EQ(validated.err, expected);
    // The load is the one check that ran, and it failed.
    EXPECT_EQ(CheckStatuses(validated.out), (std::map<std::string, std::string>{{"load", "failed"}})) << validated.out;
    EXPECT_EQ(CheckReason(validated.out, "load"), "the module hung: did not return within 0.3 s while loading");
    EXPECT_NE(validated.out.find("\n0 passed, 1 failed, 0 skipped, 0 warned\n"), std::string::npos) << validated.out;
}

TEST(Isolation, ConstructorThatCrashesFailsTheLoadCheckInEveryReport) {
    const std::string junit = std::string(SEMHOST_SCRATCH_DIR) + "/load-crash.xml";
    const std::string json = std::string(SEMHOST_SCRATCH_DIR) + "/load-crash.json";
    const CommandResult validated = Validate("load_crash", {"--junit", junit, "--json", json});
    EXPECT_EQ(validated.code, 3) << validated.out << validated.err;
    EXPECT_EQ(validated.err.rfind("semhost: " + FixturePath("load_crash") + ": the module " + kInvalidAccess.substr(0, 8), 0),
              0u)
        << validated.err;
    EXPECT_EQ(FailedChecks(validated.out), std::set<std::string>{"load"}) << validated.out;
    EXPECT_NE(validated.out.find("      replay: semhost validate " + FixturePath("load_crash") + " --seed 11 --cycles 2 "
                                 "--only load\n"),
              std::string::npos)
        << validated.out;
    std::ifstream junit_file(junit);
    const std::string xml{std::istreambuf_iterator<char>(junit_file), std::istreambuf_iterator<char>()};
    EXPECT_NE(xml.find("name=\"load\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("failures=\"1\""), std::string::npos) << xml;
    std::ifstream json_file(json);
    const std::string text{std::istreambuf_iterator<char>(json_file), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("\"id\": \"load\",\n      \"status\": \"failed\""), std::string::npos) << text;
    // info and play meet the same fault.
    EXPECT_EQ(RunCommand({"info", FixturePath("load_crash")}).code, 3);
    EXPECT_EQ(PlayLevelChange("load_crash").code, 3);
}

#ifndef _WIN32
// Faults whose reports are the Linux back end's: signals, ELF files, pages.
TEST(Isolation, DestructorThatNeverReturnsIsAHangAtUnload) {
    const std::string expected =
        "semhost: " + FixturePath("unload_loop") + ": the module hung: did not return within 0.3 s while unloading\n";
    const CommandResult info = RunCommand({"info", FixturePath("unload_loop"), "--timeout-ms", "300"});
    EXPECT_EQ(info.code, 3);
    EXPECT_EQ(info.err, expected);
    // The checks before it passed; the checks on every call still count.
    const CommandResult validated = Validate("unload_loop", {"--timeout-ms", "300"});
    EXPECT_EQ(validated.code, 1) << validated.out;
    EXPECT_EQ(CheckReason(validated.out, "unload"), "the module hung: did not return within 0.3 s while unloading");
    EXPECT_EQ(FailedChecks(validated.out), std::set<std::string>{"unload"}) << validated.out;
    EXPECT_EQ(validated.err, "semhost: " + FixturePath("unload_loop") + ": 1 check failed (unload)\n");
}

TEST(Isolation, BrokenPointersAndOverrunsAreFailedChecksNamingThem) {
    const struct {
        const char* fault;
        const char* check;
        const char* reason;
    } cases[] = {
        {"bad_pin_name", "pin-declarations", "pin 1 has a name at 0x10 that cannot be read"},
        {"unmaps_record", "records-unchanged", "gui#3's record cannot be read any more after GUI_IDLE on gui#3"},
        {"properties_overrun_8", "identity",
         "getModuleProperties(0) wrote past the end of the 40-byte record (8 bytes past it)"},
        {"properties_overrun_256", "identity",
         "getModuleProperties(0) wrote past the end of the 40-byte record (32 bytes or more past it)"},
        // Lent records end at an inaccessible page: the store faults in the module.
        {"properties_overrun_4096", "identity",
         "the module crashed: SIGSEGV (invalid memory access) during getModuleProperties(0)"},
    };
    for (const auto& fault : cases) {
        SCOPED_TRACE(fault.fault);
        const CommandResult validated = Validate(fault.fault);
        EXPECT_EQ(validated.code, 1) << validated.out << validated.err;
        EXPECT_EQ(CheckStatuses(validated.out)[fault.check], "failed") << validated.out;
        EXPECT_EQ(CheckReason(validated.out, fault.check).rfind(fault.reason, 0), 0u) << validated.out;
        EXPECT_EQ(CheckStatuses(validated.out).count("random-session"), 1u) << "every check ran: " << validated.out;
    }
    // A name semhost cannot show makes the file unusable for info and play.
    const CommandResult info = RunCommand({"info", FixturePath("bad_pin_name")});
    EXPECT_EQ(info.code, 2);
    EXPECT_EQ(info.err,
              "semhost: " + FixturePath("bad_pin_name") + ": pin 1 has a name at 0x10 that cannot be read\n");
}

TEST(Isolation, LibraryCutShortIsRefusedBeforeItIsLoaded) {
    std::ifstream whole(FixturePath("good"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 12000u);
    // Cut inside the headers, the code and the data: each is refused, none
    // reaches the loader, whose mapping of a missing page is a bus error.
    for (const std::size_t size : {1024, 4096, 8192}) {
        SCOPED_TRACE(size);
        const std::string cut = WriteScratchFile("cut_" + std::to_string(size) + ".so", bytes.substr(0, size));
        const CommandResult info = RunCommand({"info", cut});
        EXPECT_EQ(info.code, 2);
        EXPECT_EQ(info.err.rfind("semhost: " + cut + ": is cut short: its segments need ", 0), 0u) << info.err;
        EXPECT_EQ(info.err.find('\n'), info.err.size() - 1) << "one line: " << info.err;
    }
}
#endif

TEST(Isolation, TimeLimitMustBeAWholeNumberOfMilliseconds) {
    for (const char* bad : {"0", "-5", "1.5", "3600001"}) {
        SCOPED_TRACE(bad);
        const CommandResult result = RunCommand({"info", FixturePath("good"), "--timeout-ms", bad});
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err.rfind("semhost: --timeout-ms needs a number of milliseconds from 1 to 3600000\n", 0), 0u)
            << result.err;
    }
    EXPECT_EQ(RunCommand({"info", FixturePath("good"), "--timeout-ms"}).code, 2);
    EXPECT_EQ(RunCommand({"info", FixturePath("good"), "--timeout-ms", "5000"}).code, 0);
}

std::unique_ptr<ModuleLibrary> OpenFixture(const std::string& fault) {
    ModuleLibrary::Status status = ModuleLibrary::Status::Missing;
    std::string problem;
    std::unique_ptr<ModuleLibrary> library = ModuleLibrary::Open(FixturePath(fault), LibraryOptions{}, status, problem);
    EXPECT_EQ(status, ModuleLibrary::Status::Loaded) << problem;
    return library;
}

TEST(Isolation, MemoryOfTheChildIsCopiedWithoutFaults) {
    const std::unique_ptr<ModuleLibrary> library = OpenFixture("good");
    ASSERT_NE(library, nullptr);
    EXPECT_STREQ(library->back_end(), "native (own process)");
    // The child's calls go through a trampoline that compares the registers
    // a callee keeps; its heap and clock are its own.
    EXPECT_TRUE(library->watches_registers());
    EXPECT_FALSE(library->watches_heap());
    EXPECT_FALSE(library->has_virtual_clock());

    const ModuleAddress block = library->AllocateHostMemory(64);
    const ModuleAddress other = library->AllocateHostMemory(0);
    EXPECT_NE(block, 0u);
    EXPECT_NE(other, block);
    unsigned char bytes[64];
    std::memset(bytes, 0xEE, sizeof bytes);
    ASSERT_TRUE(library->Read(block, bytes, sizeof bytes));
    EXPECT_EQ(bytes[0], 0);  // lent zero-filled
    EXPECT_EQ(bytes[63], 0);
    const char text[] = "written by the host";
    ASSERT_TRUE(library->Write(block, text, sizeof text));
    char back[sizeof text] = {};
    ASSERT_TRUE(library->Read(block, back, sizeof back));
    EXPECT_STREQ(back, text);

    // Unmapped, or wrapping past the end of the address space: refused.
    EXPECT_FALSE(library->Read(0x10, bytes, 4));
    EXPECT_FALSE(library->Write(0x10, bytes, 4));
    EXPECT_FALSE(library->Read(~ModuleAddress{0} - 2, bytes, 8));
    // Beyond 4 GiB: a 32-bit semhost.exe must not read the block there
    // with its high bits cut off.
    EXPECT_FALSE(library->Read(block + (ModuleAddress{1} << 32), bytes, 4));
    EXPECT_FALSE(library->Write(block + (ModuleAddress{1} << 32), bytes, 4));
    // A write into the module's code (read-only) is refused whole.
    EXPECT_FALSE(library->Write(library->get_module_properties(), text, sizeof text));
    library->FreeHostMemory(block);
    library->FreeHostMemory(other);
}

TEST(Isolation, FaultedLibraryRefusesEverythingButNeverBlocks) {
    const std::unique_ptr<ModuleLibrary> library = OpenFixture("good");
    ASSERT_NE(library, nullptr);
    const ModuleAddress record = library->AllocateHostMemory(32);
    std::string fault;
    // A call to address 8 faults in the child.
    EXPECT_FALSE(library->RunOutermost(
        [&] {
            std::uint64_t result = 1;
            EXPECT_FALSE(library->Call(8, CallShape::Process, {record}, result));
            EXPECT_EQ(result, 0u);
        },
        "process", fault));
    EXPECT_EQ(fault, kInvalidAccess);
    EXPECT_TRUE(library->faulted());
    std::uint64_t result = 0;
    EXPECT_FALSE(library->Call(library->get_module_properties(), CallShape::GetModuleProperties, {0, record}, result));
    EXPECT_FALSE(library->RunOutermost([] {}, "again", fault));
    unsigned char byte;
    EXPECT_FALSE(library->Read(record, &byte, 1));
    // Memory is still lent (to no one), never null and each block its own.
    const ModuleAddress a = library->AllocateHostMemory(8);
    const ModuleAddress b = library->AllocateHostMemory(8);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    library->FreeHostMemory(a);
    library->FreeHostMemory(record);
}

TEST(Isolation, DeathBetweenTheHostsCallsIsReportedByTheNextCall) {
    const std::unique_ptr<ModuleLibrary> library = OpenFixture("good");
    ASSERT_NE(library, nullptr);
    const ModuleAddress record = library->AllocateHostMemory(32);
    // A call outside any outermost one ends the child as a thread of the
    // module would while the host is not calling it.
    std::uint64_t result = 0;
    EXPECT_FALSE(library->Call(8, CallShape::Process, {record}, result));
    // Until a call reports it, the session would have no text to show.
    EXPECT_FALSE(library->faulted());
    std::string fault;
    EXPECT_FALSE(library->RunOutermost([] {}, "GUI_IDLE", fault));
    EXPECT_EQ(fault, kInvalidAccess + " between the host's calls, noticed");
    EXPECT_TRUE(library->faulted());
    EXPECT_FALSE(library->RunOutermost([] {}, "GUI_IDLE", fault));
    EXPECT_EQ(fault, "crashed before: it cannot be called again");
}

}  // namespace
