// `semhost.exe validate` on the broken i386 fixture DLLs, each loaded
// natively in a process of its own (under Windows or Wine): the calls go
// through the trampoline that compares the registers a callee keeps, and
// the checks the native back end cannot make are reported as not run.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

CommandResult ValidateNative(const std::string& name, std::vector<std::string> more = {}) {
    const std::string path = std::string(QUILL_I386_FIXTURE_DIR) + "/fixture_" + name + ".sem";
    if (!std::filesystem::exists(path)) ADD_FAILURE() << path << " is missing";
    std::vector<std::string> args = {"validate", path, "--cycles", "1", "--seed", "7"};
    args.insert(args.end(), more.begin(), more.end());
    return RunCommand(args);
}

TEST(ValidateI386FixturesNatively, DllMainThatCrashesOrHangsFailsTheLoadCheck) {
    const CommandResult crash = ValidateNative("dllmain_crash");
    EXPECT_EQ(crash.code, 3) << crash.out << crash.err;
    EXPECT_EQ(FailedChecks(crash.out), std::set<std::string>{"load"}) << crash.out;
    EXPECT_EQ(CheckReason(crash.out, "load").rfind("the module crashed: ", 0), 0u) << crash.out;
    const CommandResult hang = ValidateNative("dllmain_hang", {"--timeout-ms", "300"});
    EXPECT_EQ(hang.code, 3) << hang.out << hang.err;
    EXPECT_EQ(CheckReason(hang.out, "load"), "the module hung: did not return within 0.3 s while loading") << hang.out;
}

TEST(ValidateI386FixturesNatively, BrokenCallingConventionsFailTheirCheck) {
    const struct {
        const char* fixture;
        const char* reason;
    } cases[] = {
        {"clobbered_register", "changed ESI (0xE510C0DE -> "},
        {"stack_imbalance", "popped 24 bytes of its arguments (declared stdcall"},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.fixture);
        const CommandResult result = ValidateNative(broken.fixture);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        EXPECT_EQ(CheckStatuses(result.out)["calling-convention"], "failed") << result.out;
        EXPECT_NE(CheckReason(result.out, "calling-convention").find(broken.reason), std::string::npos) << result.out;
    }
}

TEST(ValidateI386FixturesNatively, ChecksTheBackEndCannotMakeAreSkippedNotPassed) {
    const CommandResult sound = ValidateNative("good");
    EXPECT_EQ(sound.code, 0) << sound.out << sound.err;
    EXPECT_EQ(CheckStatuses(sound.out)["calling-convention"], "passed") << sound.out;
    // The leak is in the system's heap, which the native back end does not
    // watch: the check says it did not run.
    const CommandResult leak = ValidateNative("leak");
    const std::map<std::string, std::string> statuses = CheckStatuses(leak.out);
    EXPECT_EQ(statuses.at("heap-after-close"), "skipped") << leak.out;
    EXPECT_EQ(statuses.at("stack-alignment"), "skipped") << leak.out;
    // Besides those, only the audio checks: the fixture has no sample pin.
    for (const auto& [id, status] : statuses) {
        if (status == "skipped" && id != "heap-after-close" && id != "stack-alignment") {
            EXPECT_EQ(AudioCheckIds().count(id), 1u) << id;
        }
    }
}

}  // namespace
