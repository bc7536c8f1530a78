// semhost's commands on the shipped DLL, run in-process: the scripts on the
// virtual clock, where every wait is exact, so that the double click's
// interval can be tested at its boundary; validate; and files that are no
// module at all.
#include "real_dll.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

class RealDllCommand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(RealDllBuilt()); }

    static CommandResult PlayVirtual(const std::string& script) {
        return RunCommand({"play", RealDllPath(), script, "--clock", "virtual"});
    }

    // Two clicks `gap` ms apart under the interval written as `interval`;
    // the script expects the reset value after them, or the position kept.
    static CommandResult PlayTwoClicks(const std::string& interval, long gap, bool resets) {
        const std::string name = "two_clicks_" + interval + "_" + std::to_string(gap) + ".script";
        return PlayVirtual(WriteScratchFile(name, "set Interval (ms) " + interval +
                                                      "\n"
                                                      "set Reset Value 0.5\n"
                                                      "set Animation Position 0.9\n"
                                                      "click\n"
                                                      "wait " +
                                                      std::to_string(gap) +
                                                      "\n"
                                                      "click\n"
                                                      "expect Animation Position " +
                                                      (resets ? "0.5" : "0.9") + "\n"));
    }
};

TEST_F(RealDllCommand, CheckedInScriptsPassOnTheVirtualClock) {
    for (const char* name : {"double_click_resets.script", "slow_clicks_do_not_reset.script",
                             "ctrl_double_click_randomizes.script", "ctrl_at_first_click_only_resets.script"}) {
        SCOPED_TRACE(name);
        const CommandResult result = PlayVirtual(ScriptPath(name));
        EXPECT_EQ(result.code, 0) << result.out << result.err;
        EXPECT_EQ(result.out.find("FAILED"), std::string::npos) << result.out;
    }
    // The built-in demo, too.
    const CommandResult demo = RunCommand({"play", RealDllPath(), "--clock", "virtual"});
    EXPECT_EQ(demo.code, 0) << demo.out << demo.err;
}

// Without --clock, an emulated module's clock is virtual: the boundary is
// exact there too.
TEST_F(RealDllCommand, TheClockIsVirtualUnlessRealIsAskedFor) {
    const std::string script = WriteScratchFile("two_clicks_default_clock.script",
                                                "set Interval (ms) 200\nset Reset Value 0.5\n"
                                                "set Animation Position 0.9\nclick\nwait 200\nclick\n"
                                                "expect Animation Position 0.5\n");
    const CommandResult played = RunCommand({"play", RealDllPath(), script});
    EXPECT_EQ(played.code, 0) << played.out << played.err;
    EXPECT_NE(played.out.find("\n    200 ms  "), std::string::npos) << played.out;
    const CommandResult real = RunCommand({"play", RealDllPath(), script, "--clock=real"});
    EXPECT_NE(real.code, 2) << real.err;
}

// The module compares the ticks since the first click with the interval cut
// to whole ticks: a gap of exactly the interval is still a double click.
TEST_F(RealDllCommand, ClicksExactlyTheIntervalApartResetAndOneMillisecondMoreDoNot) {
    for (const long interval : {1L, 20L, 200L, 5000L}) {
        SCOPED_TRACE(interval);
        const std::string text = std::to_string(interval);
        const CommandResult at = PlayTwoClicks(text, interval, true);
        EXPECT_EQ(at.code, 0) << at.out << at.err;
        const CommandResult past = PlayTwoClicks(text, interval + 1, false);
        EXPECT_EQ(past.code, 0) << past.out << past.err;
    }
    // A fractional interval counts its whole milliseconds only.
    EXPECT_EQ(PlayTwoClicks("200.75", 200, true).code, 0);
    EXPECT_EQ(PlayTwoClicks("200.75", 201, false).code, 0);
    // An interval of 0 on a panel that is already open stays 0: only clicks
    // within the same millisecond are a double click.
    EXPECT_EQ(PlayTwoClicks("0", 0, true).code, 0);
    EXPECT_EQ(PlayTwoClicks("0", 1, false).code, 0);
    // And the script's expectation is itself checked: the opposite fails.
    const CommandResult wrong = PlayTwoClicks("20", 21, true);
    EXPECT_EQ(wrong.code, 1) << wrong.out;
    EXPECT_NE(wrong.err.find("expected \"Animation Position\" = 0.5, actual 0.9"), std::string::npos) << wrong.err;
}

TEST_F(RealDllCommand, InfoAndValidatePassOnTheDll) {
    const CommandResult info = RunCommand({"info", RealDllPath()});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("name          Quillmark\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("SDK version   2230\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("pins          8\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("    3  \"Animation Position\"  out"), std::string::npos) << info.out;

    const CommandResult validate = RunCommand({"validate", RealDllPath(), "--cycles", "3", "--seed", "7"});
    EXPECT_EQ(validate.code, 0) << validate.out << validate.err;
    // The emulator makes every check, on the virtual clock.
    for (const auto& [id, status] : CheckStatuses(validate.out)) EXPECT_EQ(status, "passed") << id;
    EXPECT_NE(validate.out.find(", virtual clock\n"), std::string::npos) << validate.out;
    EXPECT_EQ(validate.err, "");
}

TEST_F(RealDllCommand, AFileThatIsNoModuleIsBadInputForEveryCommand) {
    std::ifstream file(RealDllPath(), std::ios::binary);
    const std::string dll((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(dll.size(), 4096u);
    const std::vector<std::string> bad = {
        WriteScratchFile("truncated_headers.sem", dll.substr(0, 400)),
        WriteScratchFile("truncated_4k.sem", dll.substr(0, 4096)),
        WriteScratchFile("truncated_last_section.sem", dll.substr(0, dll.size() - 512)),
        WriteScratchFile("text.sem", "this is a text file, not a library\n"),
        WriteScratchFile("empty.sem", ""),
    };
    const std::string script = WriteScratchFile("no_module.script", "click\n");
    for (const std::string& path : bad) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"info", path}, std::vector<std::string>{"validate", path},
              std::vector<std::string>{"play", path, script, "--clock", "virtual"}}) {
            SCOPED_TRACE(args[0] + " " + path);
            const CommandResult result = RunCommand(args);
            EXPECT_EQ(result.code, 2) << result.out << result.err;
            EXPECT_EQ(result.err.rfind("semhost: " + path + ": ", 0), 0u) << result.err;
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
        }
    }
}

}  // namespace
