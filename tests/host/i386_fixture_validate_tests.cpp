// `semhost validate` on the broken i386 fixture DLLs, run in the emulator:
// each fails, and its reason names the rule the fixture breaks. The sound
// fixture passes every check.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string I386Fixture(const std::string& name) {
    const std::string path = std::string(QUILL_I386_FIXTURE_DIR) + "/fixture_" + name + ".sem";
    if (!std::filesystem::exists(path)) ADD_FAILURE() << path << " is missing: build the win32 preset first";
    return path;
}

CommandResult ValidateI386(const std::string& name) {
    return RunCommand({"validate", I386Fixture(name), "--cycles", "1", "--seed", "7"});
}

TEST(ValidateI386Fixtures, SoundFixturePassesEveryCheckAtEveryAlignment) {
    const CommandResult result = ValidateI386("good");
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("17 passed, 0 failed"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("four stack alignments"), std::string::npos) << result.out;
}

TEST(ValidateI386Fixtures, EachBrokenRuleFailsItsCheckWithAReason) {
    struct Expected {
        const char* fixture;
        const char* check;   // the first failed check's line starts so
        const char* reason;  // and holds this
    };
    const Expected cases[] = {
        {"stack_imbalance", "FAIL  audio record: ", "popped 24 bytes of its arguments (declared stdcall"},
        {"clobbered_register", "FAIL  GUI life cycle: ", "changed ESI (0xE510C0DE -> "},
        {"thiscall", "FAIL  audio life cycle: ", "the address comes from ECX"},
        {"double_free", "FAIL  GUI record: ", "which is no block of the module's heap (a double free?)"},
        {"hang", "FAIL  GUI life cycle: ", "the module hung: no return within"},
        {"leak", "FAIL  heap after close: ", "leaked: still held after the last object closed"},
        {"pin_overrun", "FAIL  pin declarations: ", "wrote past the end of the 32-byte record (4 bytes past it)"},
        {"foreign_record", "FAIL  callback records: ", "which is no object's while the host was calling gui#"},
        {"silent_swap", "FAIL  records unchanged: ", "processing routine changed (0x"},
    };
    for (const Expected& expected : cases) {
        SCOPED_TRACE(expected.fixture);
        const CommandResult result = ValidateI386(expected.fixture);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        const std::string line = LineStartingWith(result.out, expected.check);
        EXPECT_NE(line.find(expected.reason), std::string::npos) << result.out;
        // The checks after a fault still ran, on a fresh copy.
        EXPECT_NE(result.out.find(" passed, "), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("were not run"), std::string::npos) << result.out;
    }
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
