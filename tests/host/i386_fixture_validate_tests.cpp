// `semhost validate` on the broken i386 fixture DLLs, run in the emulator:
// each fails, and its reason names the rule the fixture breaks. The sound
// fixture passes every check.
#include "commands/validate/check_table.h"
#include "library/module_library.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

namespace {

std::string I386Fixture(const std::string& name) {
    const std::string path = std::string(QUILL_I386_FIXTURE_DIR) + "/fixture_" + name + ".sem";
    if (!std::filesystem::exists(path)) ADD_FAILURE() << path << " is missing: build the win32 preset first";
    return path;
}

CommandResult ValidateI386(const std::string& name, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"validate", I386Fixture(name), "--cycles", "1", "--seed", "7"};
    args.insert(args.end(), more.begin(), more.end());
    return RunCommand(args);
}

TEST(ValidateI386Fixtures, SoundFixturePassesEveryCheckAtEveryAlignment) {
    const CommandResult result = ValidateI386("good");
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    // The emulator makes every check: none is skipped but the audio checks,
    // which a module without sample pins is not given.
    const std::map<std::string, std::string> statuses = CheckStatuses(result.out);
    for (const CheckDefinition& check : CheckTable()) {
        const bool audio = AudioCheckIds().count(check.id) != 0;
        EXPECT_EQ(statuses.count(check.id) ? statuses.at(check.id) : "", audio ? "skipped" : "passed") << check.id;
        if (audio) {
            EXPECT_NE(CheckReason(result.out, check.id).find("not an audio module"), std::string::npos);
        }
    }
    EXPECT_NE(result.out.find("four stack alignments"), std::string::npos) << result.out;
    // Its clock is the host's, virtual unless asked otherwise.
    EXPECT_NE(LineStartingWith(result.out, "semhost validate ").find("emulated i386, 1 cycle, seed 7, virtual clock"),
              std::string::npos)
        << result.out;
    const CommandResult real = ValidateI386("good", {"--clock", "real", "--only", "random-session"});
    EXPECT_NE(LineStartingWith(real.out, "semhost validate ").find(", real clock"), std::string::npos) << real.out;
}

TEST(ValidateI386Fixtures, EachBrokenRuleFailsItsCheckWithAReason) {
    struct Expected {
        const char* fixture;
        const char* check;   // this check fails
        const char* reason;  // and its reason holds this
    };
    const Expected cases[] = {
        {"stack_imbalance", "calling-convention", "popped 24 bytes of its arguments (declared stdcall"},
        {"stack_imbalance", "audio-record", "popped 24 bytes of its arguments (declared stdcall"},
        {"clobbered_register", "calling-convention", "changed ESI (0xE510C0DE -> "},
        {"clobbered_register", "gui-life-cycle", "changed ESI (0xE510C0DE -> "},
        {"thiscall", "audio-life-cycle", "the address comes from ECX"},
        {"double_free", "gui-record", "which is no block of the module's heap (a double free?)"},
        {"hang", "gui-life-cycle", "the module hung: no return within"},
        {"leak", "heap-after-close", "leaked: still held after the last object closed"},
        {"pin_overrun", "pin-declarations", "wrote past the end of the 32-byte record (4 bytes past it)"},
        {"foreign_record", "callback-records", "which is no object's while the host was calling gui#"},
        {"silent_swap", "records-unchanged", "processing routine changed (0x"},
    };
    for (const Expected& expected : cases) {
        SCOPED_TRACE(std::string(expected.fixture) + " " + expected.check);
        const CommandResult result = ValidateI386(expected.fixture);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        EXPECT_EQ(CheckStatuses(result.out)[expected.check], "failed") << result.out;
        EXPECT_NE(CheckReason(result.out, expected.check).find(expected.reason), std::string::npos) << result.out;
    }
}

// A DllMain that crashes is the module's fault: exit 3 and the load check
// failed, in the JSON report too.
TEST(ValidateI386Fixtures, DllMainThatCrashesFailsTheLoadCheck) {
    const std::string json = std::string(SEMHOST_SCRATCH_DIR) + "/dllmain.json";
    const CommandResult result = ValidateI386("dllmain_crash", {"--json", json});
    EXPECT_EQ(result.code, 3) << result.out << result.err;
    EXPECT_EQ(FailedChecks(result.out), std::set<std::string>{"load"}) << result.out;
    EXPECT_EQ(CheckReason(result.out, "load").rfind(
                  "DllMain crashed: invalid write of 4 bytes at 0x00000000 (at fixture_dllmain_crash.sem+0x", 0),
              0u)
        << result.out;
    EXPECT_EQ(result.err, "semhost: " + I386Fixture("dllmain_crash") + ": " + CheckReason(result.out, "load") + "\n");
    EXPECT_NE(LineStartingWith(result.out, "semhost validate ").find("emulated i386, 1 cycle, seed 7, virtual clock"),
              std::string::npos)
        << result.out;
    std::ifstream in(json);
    const nlohmann::json report = nlohmann::json::parse(in);
    EXPECT_EQ(report.at("back_end"), "emulated i386");
    ASSERT_EQ(report.at("checks").size(), 1u);
    EXPECT_EQ(report.at("checks")[0].at("id"), "load");
    EXPECT_EQ(report.at("checks")[0].at("status"), "failed");
}

// One that never returns spends the load's instruction budget (a small
// one here), and is a fault of the module's too.
TEST(ValidateI386Fixtures, DllMainThatNeverReturnsIsAFaultAtLoad) {
    LibraryOptions options;
    options.instruction_budget = 100'000;
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    EXPECT_EQ(ModuleLibrary::Open(I386Fixture("dllmain_hang"), options, status, problem), nullptr);
    EXPECT_EQ(status, ModuleLibrary::Status::Faulted);
    EXPECT_EQ(problem.rfind("DllMain hung: no return within 100000 instructions", 0), 0u) << problem;
}

TEST(ValidateI386Fixtures, ModulesAHostCannotLoadAreBadInput) {
    const CommandResult runtime = ValidateI386("runtime_import");
    EXPECT_EQ(runtime.code, 2);
    EXPECT_NE(runtime.err.find("imports libgcc_s_dw2-1.dll, which a user's machine does not have"), std::string::npos)
        << runtime.err;
    const CommandResult decorated = ValidateI386("decorated_names");
    EXPECT_EQ(decorated.code, 2);
    EXPECT_NE(decorated.err.find("lacks the export \"getModuleProperties\""), std::string::npos) << decorated.err;
}

}  // namespace
