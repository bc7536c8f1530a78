// End to end on the real module, loaded as a host loads it: the Windows
// library under Wine, the Linux library natively.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

namespace {

#if defined(QUILLMARK_PATH)

TEST(Quillmark, ValidatePassesEveryCheck) {
    const CommandResult result = RunCommand({"validate", QUILLMARK_PATH, "--cycles", "3"});
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(FailedChecks(result.out), std::set<std::string>{}) << result.out;
    // A process of its own: the calls are checked through the trampoline;
    // the heap is the system's, which no check watches.
    const std::map<std::string, std::string> statuses = CheckStatuses(result.out);
    EXPECT_EQ(statuses.at("calling-convention"), "passed") << result.out;
    EXPECT_EQ(statuses.at("heap-after-close"), "skipped") << result.out;
}

TEST(Quillmark, ScriptsShowTheDoubleClickBehaviour) {
    for (const char* name : {"double_click_resets.script", "slow_clicks_do_not_reset.script",
                             "ctrl_double_click_randomizes.script"}) {
        SCOPED_TRACE(name);
        const CommandResult result = RunCommand({"play", QUILLMARK_PATH, ScriptPath(name)});
        EXPECT_EQ(result.code, 0) << result.out << result.err;
    }
}

TEST(Quillmark, CtrlOnlyAtTheFirstClickStillResets) {
    // The must-not beside the must: Ctrl released before the second click.
    const CommandResult result =
        RunCommand({"play", QUILLMARK_PATH, ScriptPath("ctrl_at_first_click_only_resets.script")});
    EXPECT_EQ(result.code, 0) << result.out << result.err;
}

TEST(Quillmark, InfoShowsTheEightPins) {
    const CommandResult result = RunCommand({"info", QUILLMARK_PATH});
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("name          Quillmark\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("flags         0x00000200\n"), std::string::npos);
    EXPECT_NE(result.out.find("pins          8\n"), std::string::npos);
    EXPECT_NE(result.out.find("    3  \"Animation Position\"  out"), std::string::npos) << result.out;
}

#endif

}  // namespace
