// `semhost play` and `info` on the fixture module: the host's own work
// (pin values, delivery of the module's writes, expectations, the timeline)
// without Quillmark's timing.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

TEST(Play, TimelineShowsHostActionsAndCallbacksWithPinNamesAndValues) {
    const std::string script = WriteScratchFile("echo.script",
                                                "# the level doubles into Echo\n"
                                                "set Level 1.25\n"
                                                "expect Echo 2.5\n"
                                                "click\n"
                                                "click\n"
                                                "expect Clicks 2\n");
    const CommandResult result = RunCommand({"play", FixturePath("good"), script});
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    const std::string& out = result.out;
    // In order: the host's set, its notification, the module's reads and
    // writes, and the nested notification of the written pin.
    const std::size_t set = out.find("  set \"Level\" = 1.25\n");
    const std::size_t notify = out.find("  host -> gui#1  GUI_PIN_CHANGED \"Level\"\n", set);
    const std::size_t read =
        out.find("    gui#1 -> host  GUI_HOST_GET_PIN_VALUE \"Level\" -> 1.25\n", notify);
    const std::size_t write = out.find("    gui#1 -> host  GUI_HOST_SET_PIN_VALUE \"Echo\" = 2.5\n", read);
    const std::size_t nested = out.find("      host -> gui#1  GUI_PIN_CHANGED \"Echo\"\n", write);
    EXPECT_NE(set, std::string::npos) << out;
    EXPECT_NE(notify, std::string::npos) << out;
    EXPECT_NE(read, std::string::npos) << out;
    EXPECT_NE(write, std::string::npos) << out;
    EXPECT_NE(nested, std::string::npos) << out;
    EXPECT_NE(out.find("-- the level doubles into Echo"), std::string::npos);
    EXPECT_NE(out.find("expect \"Clicks\" = 2: ok (2)"), std::string::npos) << out;
    EXPECT_NE(out.find("  \"Echo\" = 2.5\n"), std::string::npos) << out;
}

TEST(Play, WithoutAScriptEachPinOfAnyModuleChangesOnceToAValueOfItsType) {
    const CommandResult result = RunCommand({"play", FixturePath("good")});
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    const std::string& out = result.out;
    EXPECT_NE(out.find("(generic session)"), std::string::npos) << out;
    // Idled, then each pin once in table order: a switch flipped, numbers
    // one up from what the host held (Clicks counted the mouse-down, Echo
    // doubled from Level).
    const std::size_t idle = out.find("GUI_IDLE");
    std::size_t at = idle;
    for (const char* set : {"  set \"Mouse Down\" = 1\n", "  set \"Level\" = 1\n", "  set \"Clicks\" = 2\n",
                            "  set \"Echo\" = 3\n"}) {
        SCOPED_TRACE(set);
        at = out.find(set, at);
        ASSERT_NE(at, std::string::npos) << out;
    }
    EXPECT_NE(out.find("GUI_IDLE", at), std::string::npos) << out;
    std::size_t sets = 0;
    for (std::size_t found = out.find("  set \""); found != std::string::npos;
         found = out.find("  set \"", found + 1))
        ++sets;
    EXPECT_EQ(sets, 4u) << out;
    EXPECT_NE(out.find("GUI_CLOSE"), std::string::npos) << out;
    EXPECT_NE(out.find("pin values at the end:"), std::string::npos) << out;
}

TEST(Play, FailedExpectNamesTheLineAndExitsOne) {
    const std::string script = WriteScratchFile("wrong.script",
                                                "set Level 1\n"
                                                "expect Echo 2\n"
                                                "expect Echo 3 .. 4\n"
                                                "expect Clicks 99\n");
    const CommandResult result = RunCommand({"play", FixturePath("good"), script});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "semhost: " + script + ":3: expected \"Echo\" in 3 .. 4, actual 2\n");
    // It stops at the first failure.
    EXPECT_EQ(result.out.find("Clicks\" = 99"), std::string::npos);
}

// A breach the host noticed fails the session as a failed expect does,
// whether the GUI side or the audio side made it.
TEST(Play, ABreachOfTheHostContractExitsOne) {
    for (const bool brief : {false, true}) {
        std::vector<std::string> args = {"play", FixturePath("unknown_opcode")};
        if (brief) args.push_back("--brief");
        const CommandResult result = RunCommand(args);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        EXPECT_NE(result.out.find("!! the host noticed: "), std::string::npos) << result.out;
        EXPECT_EQ(result.err.rfind("semhost: " + FixturePath("unknown_opcode") + ": the host noticed ", 0), 0u)
            << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    }
    for (const std::string& path : AudioFixturePaths("past_block")) {
        const CommandResult result = RunCommand({"play", path, "--brief"});
        EXPECT_EQ(result.code, 1) << path << result.out << result.err;
        EXPECT_NE(result.err.find("sample buffer of \"Out\""), std::string::npos) << result.err;
    }
    EXPECT_EQ(RunCommand({"play", FixturePath("good")}).code, 0);
}

TEST(Play, BadScriptOrModuleIsOneLineAndExitCodeTwo) {
    const std::string syntax = WriteScratchFile("syntax.script", "set Level 1\nclick\nfly away\n");
    const std::string unknown_pin = WriteScratchFile("pin.script", "set Volume 1\n");
    const std::string fits_fixture = WriteScratchFile("fits.script", "set Level 1\n");
#ifndef _WIN32
    const std::string fifo = std::string(SEMHOST_SCRATCH_DIR) + "/module.fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
#endif
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"play", FixturePath("good"), syntax}, "semhost: " + syntax + ":3: unknown command \"fly\""},
        {{"play", FixturePath("good"), unknown_pin},
         "semhost: " + unknown_pin + ":1: the module has no pin \"Volume\""},
        {{"play", FixturePath("good"), "no-such.script"},
         "semhost: no-such.script: cannot read the script\n"},
        {{"play", FixturePath("good"), SEMHOST_SCRATCH_DIR},
         "semhost: " + std::string(SEMHOST_SCRATCH_DIR) + ": is not a regular file, so not a script\n"},
#ifndef _WIN32
        {{"play", FixturePath("good"), "/dev/zero"}, "semhost: /dev/zero: is not a regular file, so not a script\n"},
        {{"info", "/dev/zero"}, "semhost: /dev/zero: is not a regular file\n"},
        // Opening a FIFO for reading would wait for a writer for ever.
        {{"play", FixturePath("good"), fifo}, "semhost: " + fifo + ": is not a regular file, so not a script\n"},
        {{"info", fifo}, "semhost: " + fifo + ": is not a regular file\n"},
#endif
        {{"play", FixturePath("wrong_magic"), fits_fixture},
         "semhost: " + FixturePath("wrong_magic") +
             ": makeModule(0, MT_GUI) returned a record with magic 0x12345678"},
        {{"info", FixturePath("null_record")},
         "semhost: " + FixturePath("null_record") + ": makeModule(0, MT_AUDIO) returned a null record\n"},
        {{"info", FixturePath("no_make_module")},
         "semhost: " + FixturePath("no_make_module") + ": lacks the export \"makeModule\"\n"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.args.back());
        const CommandResult result = RunCommand(bad.args);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err.rfind(bad.message, 0), 0u) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    }
}

TEST(Play, CrashDuringPlayExitsThree) {
    const std::string script = WriteScratchFile("crash.script", "set Level 1\n");
    const CommandResult result = RunCommand({"play", FixturePath("crash"), script});
    EXPECT_EQ(result.code, 3);
    EXPECT_NE(result.err.find(":1: the module crashed: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("during GUI_PIN_CHANGED \"Level\" on gui#1"), std::string::npos) << result.err;
}

TEST(Info, ShowsIdentityAndDecodedPinTable) {
    const CommandResult result = RunCommand({"info", FixturePath("good")});
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("name          Fixture\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("about         a module for testing the host\n"), std::string::npos);
    EXPECT_NE(result.out.find("SDK version   2230\n"), std::string::npos);
    EXPECT_NE(result.out.find("    2  \"Clicks\"      out        DT_INT      IO_UI_COMMUNICATION\n"),
              std::string::npos)
        << result.out;
}

}  // namespace
