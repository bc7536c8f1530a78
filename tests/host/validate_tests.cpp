// `semhost validate` on fixture modules: a sound one passes every check the
// back end can make, and each deliberately broken one fails the check that
// names its fault, with the exit code that says so. The tests name checks
// by id and status, so that a check added to the table breaks none of them.
#include "reports/check_report.h"
#include "commands/validate/check_table.h"
#include "reports/junit_report.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

CommandResult Validate(const std::string& fault, const std::string& seed = "11") {
    return RunCommand({"validate", FixturePath(fault), "--cycles", "2", "--seed", seed});
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The checks that drive objects stop at a module's first breach of the host
// contract, and fail saying so; the breach itself fails the check named
// for it.
bool StoppedAtABreach(const std::string& output, const std::string& id) {
    return CheckReason(output, id).find("; the check stopped there") != std::string::npos;
}

TEST(Validate, SoundModulePassesEveryCheckTheBackEndCanMake) {
    const CommandResult result = Validate("good");
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(FailedChecks(result.out), std::set<std::string>{}) << result.out;
    EXPECT_EQ(CheckReason(result.out, "pin-declarations").rfind("4 pins, numbered 0 to 3", 0), 0u) << result.out;
    // Every check of the table has its line.
    const std::map<std::string, std::string> statuses = CheckStatuses(result.out);
    for (const CheckDefinition& check : CheckTable()) EXPECT_EQ(statuses.count(check.id), 1u) << check.id;
    // The native back end does not watch the heap: not run, and not counted
    // as passed.
    EXPECT_EQ(statuses.at("heap-after-close"), "skipped");
    EXPECT_NE(CheckReason(result.out, "heap-after-close").find("does not watch the module's heap"), std::string::npos);
    int skipped = 0;
    for (const auto& [id, status] : statuses) skipped += status == "skipped";
    EXPECT_NE(result.out.find(", " + std::to_string(skipped) + " skipped, 0 warned\n"), std::string::npos) << result.out;
}

#if defined(__x86_64__) && defined(__linux__)
// In the module's own process each call goes through a trampoline that
// compares the registers a callee must keep.
TEST(Validate, ARegisterTheModuleMustKeepIsCheckedOnEveryCall) {
    const CommandResult sound = Validate("good");
    EXPECT_EQ(CheckStatuses(sound.out).at("calling-convention"), "passed") << sound.out;
    const CommandResult clobbered = Validate("clobbers_register");
    EXPECT_EQ(clobbered.code, 1) << clobbered.out << clobbered.err;
    const std::string reason = CheckReason(clobbered.out, "calling-convention");
    EXPECT_NE(reason.find("changed RBX (0x5EB0C0DE5EB0C0DE -> 0x1BAD) during GUI_IDLE on gui#"), std::string::npos)
        << clobbered.out;
    EXPECT_NE(reason.find("[in gui-life-cycle]"), std::string::npos) << reason;
    // The call it came in failed its own check too, as any fault does.
    EXPECT_EQ(CheckReason(clobbered.out, "gui-life-cycle").rfind("the module broke the calling convention: ", 0), 0u)
        << clobbered.out;
}
#endif

TEST(Validate, SameSeedReplaysTheSameSession) {
    const CommandResult first = Validate("good", "987654321");
    const CommandResult again = Validate("good", "987654321");
    const CommandResult other = Validate("good", "5");
    // The callback count depends on every random event.
    const std::string counted = CheckReason(first.out, "callback-opcodes");
    ASSERT_NE(counted, "") << first.out;
    EXPECT_EQ(counted, CheckReason(again.out, "callback-opcodes"));
    EXPECT_NE(counted, CheckReason(other.out, "callback-opcodes"));
    EXPECT_EQ(CheckReason(first.out, "random-session"), "500 host events, seed 987654321");
}

TEST(Validate, WrongMagicFailsTheRecordCheck) {
    const CommandResult result = Validate("wrong_magic");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(CheckReason(result.out, "gui-record"),
              "makeModule(0, MT_GUI) returned a record with magic 0x12345678, not 0x5345504D")
        << result.out;
    // The audio side is sound and says so.
    EXPECT_EQ(CheckStatuses(result.out).at("audio-record"), "passed") << result.out;
}

TEST(Validate, PinGapFailsTheDeclarationCheck) {
    const CommandResult result = Validate("pin_gap");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(CheckReason(result.out, "pin-declarations"), "a gap in the pin table: pin 2 is not declared, but pin 3 is")
        << result.out;
    // The host never learned of pins 2 and 3, so the module's use of them
    // breaks the host contract too.
    EXPECT_EQ(CheckReason(result.out, "callback-arguments")
                  .rfind("GUI_HOST_GET_PIN_VALUE for pin 2, which the module did not declare (2 pins; during "
                         "GUI_PIN_CHANGED \"Mouse Down\" on gui#",
                         0),
              0u)
        << result.out;
}

TEST(Validate, EachContractBreachFailsItsOwnCheck) {
    const struct {
        const char* fault;
        const char* check;
        const char* reason;  // the failed check's reason starts so
    } cases[] = {
        {"unknown_opcode", "callback-opcodes", "gui#"},
        {"identity_changes", "identity-texts-unchanged",
         "the identity text name changed from \"Fixture\" to \"fixture\" after GUI_IDLE on gui#"},
        {"pin_record_overrun", "pin-declarations", "pin 0: the module wrote past the end of the "},
        {"runaway", "callback-arguments", "pin changes nested more than 16 deep"},
        {"event_livelock", "callback-arguments", "audio#"},
    };
    for (const auto& breach : cases) {
        SCOPED_TRACE(breach.fault);
        const CommandResult result = Validate(breach.fault);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        EXPECT_EQ(CheckReason(result.out, breach.check).rfind(breach.reason, 0), 0u) << result.out;
        // Besides, only checks that stopped at the breach failed.
        for (const std::string& failed : FailedChecks(result.out))
            EXPECT_TRUE(failed == breach.check || StoppedAtABreach(result.out, failed)) << failed << "\n" << result.out;
    }
    const CommandResult unknown = Validate("unknown_opcode");
    EXPECT_NE(CheckReason(unknown.out, "callback-opcodes")
                  .find("called back with opcode 99, which the GUI side does not have (during GUI_IDLE on gui#"),
              std::string::npos)
        << unknown.out;
}

TEST(Validate, ALivelockedModuleStopsAtItsFirstRunawayBlock) {
    // Each event queues another for the same moment: the first processing
    // run of each check ends the check, so the whole validation makes a
    // few thousand calls, not a quarter of a million.
    const CommandResult result = Validate("event_livelock");
    EXPECT_EQ(result.code, 1) << result.out << result.err;
    const std::string reason = CheckReason(result.out, "callback-arguments");
    EXPECT_NE(reason.find("queued more than 4096 events due within one block of 256 samples"), std::string::npos)
        << result.out;
    EXPECT_EQ(CheckReason(result.out, "audio-life-cycle").rfind("cycle 1: ", 0), 0u) << result.out;
    EXPECT_TRUE(StoppedAtABreach(result.out, "audio-life-cycle")) << result.out;
    EXPECT_TRUE(StoppedAtABreach(result.out, "random-session")) << result.out;
    const std::string counted = CheckReason(result.out, "callback-opcodes");
    ASSERT_EQ(CheckStatuses(result.out).at("callback-opcodes"), "passed") << result.out;
    EXPECT_LT(std::stol(counted), 20000) << counted;
}

TEST(Validate, CallbackWithAnotherObjectsRecordIsCaught) {
    const CommandResult result = Validate("foreign_callback");
    EXPECT_EQ(result.code, 1);
    const std::string reason = CheckReason(result.out, "callback-records");
    EXPECT_NE(reason.find("GUI_HOST_SIGNAL came with gui#"), std::string::npos) << result.out;
    EXPECT_NE(reason.find("'s record while the host was calling gui#"), std::string::npos) << reason;
    EXPECT_NE(reason.find("[in GUI life cycle, cycle 1]"), std::string::npos) << reason;
    for (const std::string& failed : FailedChecks(result.out))
        EXPECT_TRUE(failed == "callback-records" || StoppedAtABreach(result.out, failed)) << failed;
}

TEST(Validate, RewrittenRecordIsCaught) {
    const CommandResult result = Validate("rewrites_record");
    EXPECT_EQ(result.code, 1);
    const std::string reason = CheckReason(result.out, "records-unchanged");
    EXPECT_NE(reason.find("'s record changed (host_value "), std::string::npos) << result.out;
    EXPECT_NE(reason.find("after GUI_IDLE on gui#"), std::string::npos) << reason;
}

TEST(Validate, CrashIsAFailedCheckNamingWhatRan) {
    for (const char* fault : {"crash", "abort"}) {
        SCOPED_TRACE(fault);
        const CommandResult result = Validate(fault);
        EXPECT_EQ(result.code, 1) << result.out << result.err;
        const std::string reason = CheckReason(result.out, "gui-life-cycle");
        EXPECT_EQ(reason.rfind("the module crashed: ", 0), 0u) << result.out;
        EXPECT_NE(reason.find("during GUI_PIN_CHANGED \"Level\" on gui#"), std::string::npos) << result.out;
        // In a process of its own the crashed copy is replaced and every
        // check runs; the random session sets "Level" too.
        EXPECT_EQ(CheckReason(result.out, "random-session").rfind("the module crashed: ", 0), 0u) << result.out;
        EXPECT_EQ(FailedChecks(result.out), (std::set<std::string>{"gui-life-cycle", "random-session"}))
            << result.out;
    }
}

TEST(Validate, AFailureGivesTheCommandLineThatReplaysIt) {
    const std::string module = FixturePath("foreign_callback");
    const CommandResult result = RunCommand({"validate", module, "--cycles", "1", "--seed", "3"});
    EXPECT_EQ(result.code, 1);
    const std::string replay = "semhost validate " + module + " --seed 3 --cycles 1 --only callback-records";
    EXPECT_NE(result.out.find("FAIL  callback-records: " + CheckReason(result.out, "callback-records") +
                              "\n      replay: " + replay + "\n"),
              std::string::npos)
        << result.out;
    // The line does what it says: that check alone, with the same verdict.
    std::vector<std::string> args = {"validate", module, "--seed", "3", "--cycles", "1", "--only", "callback-records"};
    const CommandResult replayed = RunCommand(args);
    EXPECT_EQ(replayed.code, 1);
    EXPECT_EQ(CheckStatuses(replayed.out), (std::map<std::string, std::string>{{"callback-records", "failed"}}))
        << replayed.out;
    EXPECT_EQ(CheckReason(replayed.out, "callback-records"), CheckReason(result.out, "callback-records"));
}

TEST(Validate, OnlyAndSkipChooseTheChecks) {
    const CommandResult only =
        RunCommand({"validate", FixturePath("good"), "--seed", "3", "--only", "unload,identity,gui-life-cycle"});
    EXPECT_EQ(only.code, 0) << only.out << only.err;
    EXPECT_EQ(CheckStatuses(only.out),
              (std::map<std::string, std::string>{{"identity", "passed"}, {"gui-life-cycle", "passed"}, {"unload", "passed"}}))
        << only.out;
    // A check after a skipped one still finds the pins it needs.
    EXPECT_NE(CheckReason(only.out, "gui-life-cycle").find("pin changes"), std::string::npos) << only.out;
    // The module's GUI side is broken; without the checks that make GUI
    // objects, it passes.
    const CommandResult skip = RunCommand({"validate", FixturePath("wrong_magic"), "--seed", "3",
                                           "--skip=gui-record,gui-life-cycle,random-session"});
    EXPECT_EQ(skip.code, 0) << skip.out;
    EXPECT_EQ(CheckStatuses(skip.out).count("gui-record"), 0u);
    EXPECT_EQ(CheckStatuses(skip.out).at("audio-record"), "passed");
}

TEST(Validate, JUnitReportHasEveryCheckTheSeedAndTheReplayLine) {
    const std::string report = std::string(SEMHOST_SCRATCH_DIR) + "/validate-report.xml";
    const std::string module = FixturePath("foreign_callback");
    const CommandResult result = RunCommand({"validate", module, "--cycles", "1", "--seed", "3", "--junit", report});
    EXPECT_EQ(result.code, 1);
    const std::string xml = ReadFile(report);
    // CI runs are replayed from the seed.
    EXPECT_NE(xml.find("<property name=\"seed\" value=\"3\"/>"), std::string::npos) << xml;
    const std::size_t failed = FailedChecks(result.out).size();
    EXPECT_NE(xml.find("tests=\"" + std::to_string(CheckStatuses(result.out).size()) + "\" failures=\"" +
                       std::to_string(failed) + "\""),
              std::string::npos)
        << xml;
    // Each case with its own time; a failure with its reason and replay.
    const std::size_t records = xml.find("<testcase classname=\"semhost.validate\" name=\"callback-records\" time=\"");
    ASSERT_NE(records, std::string::npos) << xml;
    EXPECT_EQ(xml.find("\">\n    <failure message=\"GUI_HOST_SIGNAL came with gui#", records),
              xml.find("\">\n", records))
        << xml;
    EXPECT_NE(xml.find("\" type=\"check failed\">replay: semhost validate " + module +
                       " --seed 3 --cycles 1 --only callback-records</failure>"),
              std::string::npos)
        << xml;
    const std::size_t heap = xml.find("<testcase classname=\"semhost.validate\" name=\"heap-after-close\" time=\"");
    ASSERT_NE(heap, std::string::npos) << xml;
    EXPECT_EQ(xml.find("\">\n    <skipped message=\"not run: ", heap), xml.find("\">\n", heap)) << xml;
#ifndef _WIN32
    // The strict schema but for <skipped>, which its variant adds.
    EXPECT_EQ(std::system(("xmllint --noout --schema " + std::string(SEMHOST_JUNIT_SCHEMA_DIR) +
                           "/JUnit-with-skipped.xsd " + report)
                              .c_str()),
              0);
#endif
}

TEST(Validate, JsonReportParsesAndMatchesTheText) {
    const std::string report = std::string(SEMHOST_SCRATCH_DIR) + "/validate-report.json";
    const std::string module = FixturePath("wrong_magic");
    const CommandResult result = RunCommand({"validate", module, "--cycles=1", "--seed=77", "--json=" + report});
    EXPECT_EQ(result.code, 1) << result.err;
    const nlohmann::json json = nlohmann::json::parse(ReadFile(report));
    EXPECT_EQ(json.at("module"), module);
    EXPECT_EQ(json.at("back_end"), "native (own process)");
    EXPECT_EQ(json.at("seed"), 77u);
    EXPECT_EQ(json.at("cycles"), 1);
    EXPECT_EQ(json.at("clock"), "real");
    std::map<std::string, std::string> statuses;
    for (const nlohmann::json& check : json.at("checks")) {
        statuses[check.at("id")] = check.at("status");
        EXPECT_TRUE(check.at("reason").is_string());
        EXPECT_TRUE(check.at("alignments").is_array());
        if (check.at("status") == "failed")
            EXPECT_EQ(check.at("replay"), "semhost validate " + module + " --seed 77 --cycles 1 --only " +
                                              check.at("id").get<std::string>());
        else
            EXPECT_TRUE(check.at("replay").is_null());
    }
    EXPECT_EQ(statuses, CheckStatuses(result.out));
    EXPECT_EQ(json.at("failed"), FailedChecks(result.out).size());
}

TEST(Validate, ReportThatWouldOverwriteTheModuleIsRefused) {
    // The same file under other names: "./" in the path, and a hard link.
    const std::string module = WriteScratchFile("module-under-test.so", ReadFile(FixturePath("good")));
    const std::string linked = std::string(SEMHOST_SCRATCH_DIR) + "/module-link.so";
    std::filesystem::remove(linked);
    std::filesystem::create_hard_link(module, linked);
    const std::string dotted = std::string(SEMHOST_SCRATCH_DIR) + "/./module-under-test.so";
    const std::string before = ReadFile(module);
    for (const auto& args : {std::vector<std::string>{"validate", module, "--junit", dotted},
                             std::vector<std::string>{"validate", module, "--json", linked},
                             std::vector<std::string>{"validate", linked, "--junit=" + module}}) {
        SCOPED_TRACE(args.back());
        const CommandResult result = RunCommand(args);
        EXPECT_EQ(result.code, 2);
        EXPECT_NE(result.err.find(": is the module under test; the report would overwrite it\n"), std::string::npos)
            << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(ReadFile(module), before);
}

TEST(Validate, UnwritableReportDoesNotHideAFailedCheck) {
    const CommandResult failing = RunCommand(
        {"validate", FixturePath("foreign_callback"), "--cycles", "1", "--seed", "3", "--junit", SEMHOST_SCRATCH_DIR});
    EXPECT_EQ(failing.code, 1);
    EXPECT_NE(failing.err.find(": cannot write the report"), std::string::npos) << failing.err;
    const CommandResult passing = RunCommand(
        {"validate", FixturePath("good"), "--cycles", "1", "--seed", "3", "--json", SEMHOST_SCRATCH_DIR});
    EXPECT_EQ(passing.code, 2);
}

TEST(Validate, JUnitReportIsValidXmlWhateverTheModuleWrote) {
    // A module's texts can hold any bytes: control characters, stray UTF-8
    // continuation bytes, a cut sequence, markup.
    const std::string report = std::string(SEMHOST_SCRATCH_DIR) + "/odd-bytes.xml";
    ValidationReport results;
    results.module = "module \xFE";
    results.checks = {
        {"identity", CheckStatus::Failed, "name \"\x01\x80\xC3\" <&> caf\xC3\xA9 \xF0\x9F\x8E\xB9 \xED\xA0\x80 \xC0\xAF", {}, {}},
        {"pin \xFF", CheckStatus::Passed, "", {}, {}}};
    ASSERT_TRUE(WriteJUnitReport(report, results));
#ifndef _WIN32
    // No check skipped: the strict schema itself holds.
    EXPECT_EQ(std::system(("xmllint --noout --schema " + std::string(SEMHOST_JUNIT_SCHEMA_DIR) + "/JUnit.xsd " + report)
                              .c_str()),
              0)
        << "xmllint (libxml2-utils) rejects " << report;
#endif
    // Valid UTF-8 stays as it is; every other byte is spelt out.
    EXPECT_NE(ReadFile(report).find(
                  "name &quot;\\x01\\x80\\xC3&quot; &lt;&amp;&gt; caf\xC3\xA9 \xF0\x9F\x8E\xB9 \\xED\\xA0\\x80 \\xC0\\xAF"),
              std::string::npos)
        << ReadFile(report);
    // And the JSON file parses whatever the bytes.
    const std::string json = std::string(SEMHOST_SCRATCH_DIR) + "/odd-bytes.json";
    ASSERT_TRUE(WriteJsonReport(json, results));
    EXPECT_TRUE(nlohmann::json::accept(ReadFile(json)));
}

TEST(Validate, AWarningShowsInEveryReportAndFailsTheRunOnlyWhenStrict) {
    ValidationReport report;
    report.module = "gain.sem";
    report.seed = 9;
    report.checks = {{"exports", CheckStatus::Passed, "both exported", {}, {}},
                     {"subnormal-output", CheckStatus::Warned, "Out held 3 subnormal samples", {}, {}}};
    EXPECT_FALSE(report.Failed());
    EXPECT_EQ(CountsLine(report), "1 passed, 0 failed, 0 skipped, 1 warned");
    const std::string junit = std::string(SEMHOST_SCRATCH_DIR) + "/warned.xml";
    const std::string json = std::string(SEMHOST_SCRATCH_DIR) + "/warned.json";
    ASSERT_TRUE(WriteJUnitReport(junit, report));
    ASSERT_TRUE(WriteJsonReport(json, report));
    // JUnit has no warning: the case passes, and the suite's output says it.
    EXPECT_NE(ReadFile(junit).find("failures=\"0\""), std::string::npos) << ReadFile(junit);
    EXPECT_NE(ReadFile(junit).find("name=\"subnormal-output\" time=\"0.000\"/>"), std::string::npos) << ReadFile(junit);
    EXPECT_NE(ReadFile(junit).find("<system-out>WARN  subnormal-output: Out held 3 subnormal samples&#10;"
                                   "      replay: semhost validate gain.sem --seed 9 --only subnormal-output&#10;"
                                   "</system-out>"),
              std::string::npos)
        << ReadFile(junit);
    const nlohmann::json parsed = nlohmann::json::parse(ReadFile(json));
    EXPECT_EQ(parsed.at("warned"), 1);
    EXPECT_EQ(parsed.at("strict"), false);
    EXPECT_EQ(parsed.at("checks")[1].at("status"), "warned");
    EXPECT_EQ(parsed.at("checks")[1].at("replay"), "semhost validate gain.sem --seed 9 --only subnormal-output");

    // Under --strict the warning is the failure, and its replay is strict too.
    report.strict = true;
    EXPECT_TRUE(report.Failed());
    ASSERT_TRUE(WriteJUnitReport(junit, report));
    EXPECT_NE(ReadFile(junit).find("failures=\"1\""), std::string::npos) << ReadFile(junit);
    EXPECT_NE(ReadFile(junit).find("<failure message=\"warning: Out held 3 subnormal samples\" type=\"warning (--strict)\">"
                                   "replay: semhost validate gain.sem --seed 9 --strict --only subnormal-output</failure>"),
              std::string::npos)
        << ReadFile(junit);
}

// Each back end lists the file's exports: the native ones (an ELF library
// here, a DLL under Windows) and the emulator (the i386 build).
TEST(Validate, ExportsBeyondTheFormatsTwoAreAWarningNamingThem) {
    for (const std::string& path : AudioFixturePaths("third_export")) {
        SCOPED_TRACE(path);
        const CommandResult lenient = RunCommand({"validate", path, "--seed", "1", "--only", "other-exports"});
        EXPECT_EQ(lenient.code, 0) << lenient.out << lenient.err;
        EXPECT_EQ(CheckStatuses(lenient.out).at("other-exports"), "warned") << lenient.out;
        EXPECT_NE(CheckReason(lenient.out, "other-exports").find("1 export beyond getModuleProperties and makeModule, "
                                                                 "which no host of the format calls: fixtureTuning"),
                  std::string::npos)
            << lenient.out;
        EXPECT_NE(lenient.out.find("\n0 passed, 0 failed, 0 skipped, 1 warned\n"), std::string::npos) << lenient.out;
        EXPECT_EQ(lenient.err, "");

        const CommandResult strict = RunCommand({"validate", path, "--seed", "1", "--only", "other-exports", "--strict"});
        EXPECT_EQ(strict.code, 1) << strict.out;
        EXPECT_EQ(strict.err, "semhost: " + path + ": 1 check warned, which --strict fails (other-exports)\n");
        EXPECT_NE(strict.out.find("      replay: semhost validate " + path + " --seed 1 --strict --only other-exports\n"),
                  std::string::npos)
            << strict.out;
    }
    // What the compiler exports by itself (a template instantiated weakly,
    // as std::bit_cast is in the good fixture) is not the author's export.
    std::vector<std::string> sound = AudioFixturePaths("sound");
    sound.push_back(FixturePath("good"));
    for (const std::string& path : sound) {
        const CommandResult result = RunCommand({"validate", path, "--seed", "1", "--only", "other-exports", "--strict"});
        EXPECT_EQ(result.code, 0) << path << result.out;
        EXPECT_EQ(CheckStatuses(result.out).at("other-exports"), "passed") << path << result.out;
    }
}

TEST(ListChecks, ListsEveryCheckOfTheTable) {
    const CommandResult text = RunCommand({"list-checks"});
    EXPECT_EQ(text.code, 0);
    const CommandResult json = RunCommand({"list-checks", "--json"});
    EXPECT_EQ(json.code, 0);
    const nlohmann::json list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), CheckTable().size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string id = CheckTable()[i].id;
        EXPECT_EQ(list[i].at("id"), id);
        EXPECT_EQ(LineStartingWith(text.out, id + " ").empty(), false) << id;
    }
}

TEST(Arguments, EveryOptionTakesItsValueAfterAnEqualsSignToo) {
    const CommandResult spaced = RunCommand({"validate", FixturePath("good"), "--cycles", "1", "--seed", "42"});
    const CommandResult joined = RunCommand({"validate", FixturePath("good"), "--cycles=1", "--seed=42", "--clock=real"});
    EXPECT_EQ(joined.code, 0) << joined.err;
    EXPECT_EQ(joined.out, spaced.out);
    // One cycle is "1 cycle".
    EXPECT_NE(joined.out.find(", 1 cycle, seed 42, real clock\n"), std::string::npos) << joined.out;
    EXPECT_EQ(CheckReason(joined.out, "audio-life-cycle").rfind("1 cycle of ", 0), 0u) << joined.out;
}

TEST(Arguments, BadInputIsOneLineAndExitCodeTwo) {
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
        // There are no negative seeds, and the usage says why.
        {{"validate", FixturePath("good"), "--seed", "-1"},
         "semhost: --seed needs a whole number from 0 to 18446744073709551615\n"},
        {{"info", FixturePath("good"), "--bogus"}, "semhost: unexpected argument \"--bogus\"\n"},
        {{"validate", FixturePath("good"), "--only", "exports,no-such-check"},
         "semhost: --only: no check has the id \"no-such-check\" (semhost list-checks names them)\n"},
        {{"validate", FixturePath("good"), "--skip="}, "semhost: --skip: no check has the id \"\""},
        {{"validate", FixturePath("good"), "--clock", "virtual"},
         "semhost: " + FixturePath("good") + ": --clock virtual needs a module that runs in the emulator"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.args[0] + " " + (bad.args.size() > 1 ? bad.args.back() : ""));
        const CommandResult result = RunCommand(bad.args);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err.rfind(bad.message, 0), 0u) << result.err;
        EXPECT_EQ(result.out, "");
    }
    const CommandResult negative = RunCommand({"validate", FixturePath("good"), "--seed", "-1"});
    EXPECT_NE(negative.err.find("no negative seeds: leave --seed out and a fresh one is drawn\n"), std::string::npos)
        << negative.err;
}

}  // namespace
