// `semhost validate` on fixture modules: a sound one passes every check, and
// each deliberately broken one fails the check that names its fault, with
// the exit code that says so.
#include "junit_report.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

CommandResult Validate(const std::string& fault, const std::string& seed = "11") {
    return RunCommand({"validate", FixturePath(fault), "--cycles", "2", "--seed", seed});
}

TEST(Validate, SoundModulePassesEveryCheck) {
    const CommandResult result = Validate("good");
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("16 passed, 0 failed"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("FAIL"), std::string::npos) << result.out;
    EXPECT_NE(LineStartingWith(result.out, "PASS  pin declarations: 4 pins, numbered 0 to 3"), "")
        << result.out;
}

TEST(Validate, SameSeedReplaysTheSameSession) {
    const CommandResult first = Validate("good", "987654321");
    const CommandResult again = Validate("good", "987654321");
    const CommandResult other = Validate("good", "5");
    // The callback count in the summary lines depends on every random event.
    const std::string counted = LineStartingWith(first.out, "PASS  callback opcodes");
    ASSERT_NE(counted, "") << first.out;
    EXPECT_EQ(counted, LineStartingWith(again.out, "PASS  callback opcodes"));
    EXPECT_NE(counted, LineStartingWith(other.out, "PASS  callback opcodes"));
    EXPECT_NE(first.out.find("seed 987654321 (replay with --seed 987654321)"), std::string::npos);
}

TEST(Validate, WrongMagicFailsTheRecordCheck) {
    const CommandResult result = Validate("wrong_magic");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(
        LineStartingWith(result.out, "FAIL  GUI record: "),
        "FAIL  GUI record: makeModule(0, MT_GUI) returned a record with magic 0x12345678, not 0x5345504D")
        << result.out;
    // The audio side is sound and says so.
    EXPECT_NE(LineStartingWith(result.out, "PASS  audio record: "), "") << result.out;
}

TEST(Validate, PinGapFailsTheDeclarationCheck) {
    const CommandResult result = Validate("pin_gap");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(LineStartingWith(result.out, "FAIL  pin declarations: "),
              "FAIL  pin declarations: a gap in the pin table: pin 2 is not declared, but pin 3 is")
        << result.out;
    // The host never learned of pins 2 and 3, so the module's use of them
    // breaks the host contract too.
    EXPECT_EQ(
        LineStartingWith(result.out, "FAIL  callback arguments: ")
            .rfind("FAIL  callback arguments: GUI_HOST_GET_PIN_VALUE for pin 2, which the module did not "
                   "declare (2 pins; during GUI_PIN_CHANGED \"Mouse Down\" on gui#",
                   0),
        0u)
        << result.out;
}

TEST(Validate, EachContractBreachFailsItsOwnCheck) {
    const struct {
        const char* fault;
        const char* failed_line;
    } cases[] = {
        {"unknown_opcode", "FAIL  callback opcodes: gui#"},
        {"identity_changes",
         "FAIL  identity texts unchanged: the identity text name changed from \"Fixture\" to "
         "\"fixture\" after GUI_IDLE on gui#"},
        {"pin_record_overrun", "FAIL  pin declarations: pin 0: the module wrote past the end of the "},
        {"runaway", "FAIL  callback arguments: pin changes nested more than 16 deep"},
    };
    for (const auto& breach : cases) {
        SCOPED_TRACE(breach.fault);
        const CommandResult result = Validate(breach.fault);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        EXPECT_NE(LineStartingWith(result.out, breach.failed_line), "") << result.out;
        EXPECT_NE(result.out.find("15 passed, 1 failed"), std::string::npos) << result.out;
    }
    const CommandResult unknown = Validate("unknown_opcode");
    EXPECT_NE(
        LineStartingWith(unknown.out, "FAIL  callback opcodes: ")
            .find("called back with opcode 99, which the GUI side does not have (during GUI_IDLE on gui#"),
        std::string::npos)
        << unknown.out;
}

TEST(Validate, CallbackWithAnotherObjectsRecordIsCaught) {
    const CommandResult result = Validate("foreign_callback");
    EXPECT_EQ(result.code, 1);
    const std::string line = LineStartingWith(result.out, "FAIL  callback records: ");
    EXPECT_NE(line.find("GUI_HOST_SIGNAL came with gui#"), std::string::npos) << result.out;
    EXPECT_NE(line.find("'s record while the host was calling gui#"), std::string::npos) << line;
    EXPECT_NE(line.find("[in GUI life cycle, cycle 1]"), std::string::npos) << line;
    // Nothing else is wrong with it.
    EXPECT_NE(result.out.find("15 passed, 1 failed"), std::string::npos) << result.out;
}

TEST(Validate, RewrittenRecordIsCaught) {
    const CommandResult result = Validate("rewrites_record");
    EXPECT_EQ(result.code, 1);
    const std::string line = LineStartingWith(result.out, "FAIL  records unchanged: ");
    EXPECT_NE(line.find("'s record changed (host_value "), std::string::npos) << result.out;
    EXPECT_NE(line.find("after GUI_IDLE on gui#"), std::string::npos) << line;
}

TEST(Validate, CrashIsAFailedCheckNamingWhatRan) {
    for (const char* fault : {"crash", "abort"}) {
        SCOPED_TRACE(fault);
        const CommandResult result = Validate(fault);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        const std::string line = LineStartingWith(result.out, "FAIL  GUI life cycle: the module crashed: ");
        EXPECT_NE(line.find("during GUI_PIN_CHANGED \"Level\" on gui#"), std::string::npos) << result.out;
        // In a process of its own the crashed copy is replaced and every
        // check runs; the random session sets "Level" too.
        EXPECT_NE(LineStartingWith(result.out, "FAIL  random session: the module crashed: "), "") << result.out;
        EXPECT_NE(result.out.find("14 passed, 2 failed"), std::string::npos) << result.out;
    }
}

TEST(Validate, JUnitReportListsEveryCheck) {
    const std::string report = std::string(SEMHOST_SCRATCH_DIR) + "/validate-report.xml";
    const CommandResult result = RunCommand(
        {"validate", FixturePath("foreign_callback"), "--cycles", "1", "--seed", "3", "--junit", report});
    EXPECT_EQ(result.code, 1);
    std::ifstream in(report);
    std::stringstream xml;
    xml << in.rdbuf();
    EXPECT_NE(xml.str().find("tests=\"16\" failures=\"1\""), std::string::npos) << xml.str();
    EXPECT_NE(xml.str().find("<testcase classname=\"semhost.validate\" name=\"callback records\">\n"
                             "    <failure message=\"GUI_HOST_SIGNAL came with gui#"),
              std::string::npos)
        << xml.str();
}

TEST(Validate, UnwritableReportDoesNotHideAFailedCheck) {
    const CommandResult failing = RunCommand(
        {"validate", FixturePath("foreign_callback"), "--cycles", "1", "--seed", "3", "--junit", SEMHOST_SCRATCH_DIR});
    EXPECT_EQ(failing.code, 1);
    EXPECT_NE(failing.err.find(": cannot write the report"), std::string::npos) << failing.err;
    const CommandResult passing = RunCommand(
        {"validate", FixturePath("good"), "--cycles", "1", "--seed", "3", "--junit", SEMHOST_SCRATCH_DIR});
    EXPECT_EQ(passing.code, 2);
}

TEST(Validate, JUnitReportIsValidXmlWhateverTheModuleWrote) {
    // A module's texts can hold any bytes: control characters, stray UTF-8
    // continuation bytes, a cut sequence, markup.
    const std::string report = std::string(SEMHOST_SCRATCH_DIR) + "/odd-bytes.xml";
    const std::vector<CheckResult> results = {
        {"identity", false, "name \"\x01\x80\xC3\" <&> caf\xC3\xA9 \xF0\x9F\x8E\xB9 \xED\xA0\x80 \xC0\xAF"},
        {"pin \xFF", true, ""}};
    ASSERT_TRUE(WriteJUnitReport(report, "suite \xFE", results));
#ifndef _WIN32
    EXPECT_EQ(std::system(("xmllint --noout " + report).c_str()), 0) << "xmllint (libxml2-utils) rejects " << report;
#endif
    std::ifstream in(report);
    std::stringstream xml;
    xml << in.rdbuf();
    // Valid UTF-8 stays as it is; every other byte is spelt out.
    EXPECT_NE(xml.str().find("name &quot;\\x01\\x80\\xC3&quot; &lt;&amp;&gt; caf\xC3\xA9 \xF0\x9F\x8E\xB9 \\xED\\xA0\\x80 \\xC0\\xAF"),
              std::string::npos)
        << xml.str();
}

TEST(Validate, BadInputIsOneLineAndExitCodeTwo) {
    const std::string text_file = WriteScratchFile("not-a-library.sem", "plain text, not a library\n");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"validate", FixturePath("no_make_module")},
         "semhost: " + FixturePath("no_make_module") + ": lacks the export \"makeModule\"\n"},
        {{"validate", "no/such/module.sem"}, "semhost: no/such/module.sem: no such file\n"},
#ifdef _WIN32
        {{"info", text_file}, "semhost: " + text_file + ": not an i386 PE image\n"},
#else
        {{"info", text_file},
         "semhost: " + text_file + ": neither an i386 PE image nor an ELF shared object\n"},
#endif
        {{"validate", FixturePath("good"), "--cycles", "0"},
         "semhost: --cycles needs a number from 1 to 1000\n"},
        {{"validate"}, "semhost: validate needs a FILE\n"},
        {{"frobnicate"}, "semhost: unknown command \"frobnicate\"\n"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.args[0] + " " + (bad.args.size() > 1 ? bad.args[1] : ""));
        const CommandResult result = RunCommand(bad.args);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err.rfind(bad.message, 0), 0u) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
