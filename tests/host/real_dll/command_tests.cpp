// semhost's commands on the shipped DLL, run in-process: the scripts on the
// virtual clock, where every wait is exact, so that the double click's
// interval can be tested at its boundary; validate; and files that are no
// module at all.
#include "real_dll.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

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
    // The demo, which `./quill demo` plays, too.
    const CommandResult demo = RunCommand({"play", RealDllPath(), SEMHOST_DEMO_SCRIPT, "--clock", "virtual"});
    EXPECT_EQ(demo.code, 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("expect \"Animation Position\" in 2 .. 4: ok"), std::string::npos) << demo.out;
    // Without a script semhost knows no pin of Quillmark's: the generic session.
    const CommandResult generic = RunCommand({"play", RealDllPath(), "--clock", "virtual"});
    EXPECT_EQ(generic.code, 0) << generic.out << generic.err;
    EXPECT_NE(generic.out.find("  set \"Interval (ms)\" = 201\n"), std::string::npos) << generic.out;
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
    EXPECT_NE(info.out.find("version       " QUILL_VERSION "\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("name          Quillmark\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("SDK version   2230\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("pins          8\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("    3  \"Animation Position\"  out"), std::string::npos) << info.out;

    const CommandResult validate = RunCommand({"validate", RealDllPath(), "--cycles", "3", "--seed", "7"});
    EXPECT_EQ(validate.code, 0) << validate.out << validate.err;
    // The emulator makes every check, on the virtual clock, but the audio
    // checks: Quillmark has no sample pin.
    for (const auto& [id, status] : CheckStatuses(validate.out))
        EXPECT_EQ(status, AudioCheckIds().count(id) != 0 ? "skipped" : "passed") << id;
    EXPECT_NE(validate.out.find(", virtual clock\n"), std::string::npos) << validate.out;
    EXPECT_EQ(validate.err, "");
}

// The user's guide that ships with the DLL lists its pins: index, name,
// direction and type must be what the host sees, with what to connect and
// the default for each, so that the two cannot drift apart.
TEST_F(RealDllCommand, TheGuidesPinTableIsWhatInfoShows) {
    const CommandResult info = RunCommand({"info", RealDllPath()});
    ASSERT_EQ(info.code, 0) << info.err;
    // "    3  "Animation Position"  out        DT_FLOAT    IO_UI_COMMUNICATION"
    const std::regex info_row(R"re(^ +(\d+)  "([^"]+)" +(in|out) +DT_([A-Z]+) .*)re");
    std::vector<std::string> shown;
    std::istringstream info_lines(info.out);
    for (std::string line; std::getline(info_lines, line);) {
        std::smatch row;
        if (!std::regex_match(line, row, info_row)) continue;
        std::string type = row[4];
        for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        shown.push_back(row[1].str() + " " + row[2].str() + " " + row[3].str() + " " + type);
    }
    ASSERT_EQ(shown.size(), 8u) << info.out;

    // "  3    Animation Position  out        float  none: Quillmark writes it"
    // then "       Connect: ..." on the next line.
    std::ifstream guide_file(QUILL_GUIDE_FILE);
    ASSERT_TRUE(guide_file) << QUILL_GUIDE_FILE;
    const std::regex guide_row(R"(^  (\d+) +(\S+(?: \S+)*)  +(in|out) +(bool|float) +(\S.*)$)");
    std::vector<std::string> listed;
    std::string previous_row;
    for (std::string line; std::getline(guide_file, line);) {
        std::smatch row;
        if (std::regex_match(line, row, guide_row)) {
            listed.push_back(row[1].str() + " " + row[2].str() + " " + row[3].str() + " " + row[4].str());
            previous_row = line;
            continue;
        }
        if (!previous_row.empty()) {
            EXPECT_EQ(line.rfind("       Connect: ", 0), 0u) << "no Connect line after: " << previous_row;
            previous_row.clear();
        }
    }
    EXPECT_EQ(listed, shown);
}

// A broken version resource does not keep the module from loading: `info`
// shows the module without a version and warns in one line.
TEST_F(RealDllCommand, InfoWarnsOfABrokenVersionResourceAndShowsTheModule) {
    std::ifstream file(RealDllPath(), std::ios::binary);
    std::string dll((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t key = dll.find(std::string("V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0", 20));
    ASSERT_NE(key, std::string::npos);
    dll[key] = 'W';
    const std::string path = WriteScratchFile("broken_version.sem", dll);
    const CommandResult info = RunCommand({"info", path});
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_EQ(info.out.find("\nversion "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("pins          8\n"), std::string::npos) << info.out;
    EXPECT_EQ(info.err, "semhost: " + path +
                            ": warning: version resource not read: the version resource does not start with "
                            "VS_VERSION_INFO\n");
}

TEST_F(RealDllCommand, AFileThatIsNoModuleIsBadInputForEveryCommand) {
    std::ifstream file(RealDllPath(), std::ios::binary);
    const std::string dll((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(dll.size(), 4096u);
    // Each says what the file is, or what it is not: never a loader's
    // terse reason for another kind of file.
    const std::string whole = std::to_string(dll.size());
    const std::vector<std::pair<std::string, std::string>> bad = {
        {WriteScratchFile("truncated_mz.sem", dll.substr(0, 100)), "a PE image cut short: its headers need "},
        {WriteScratchFile("truncated_headers.sem", dll.substr(0, 400)),
         "an i386 PE image cut short: its headers need "},
        {WriteScratchFile("truncated_4k.sem", dll.substr(0, 4096)),
         "an i386 PE image cut short: its sections need " + whole + " bytes, the file has 4096"},
        {WriteScratchFile("truncated_last_section.sem", dll.substr(0, dll.size() - 512)),
         "an i386 PE image cut short: its sections need " + whole + " bytes, the file has " +
             std::to_string(dll.size() - 512)},
        {WriteScratchFile("text.sem", "this is a text file, not a library\n"),
         "neither an i386 PE image nor an ELF shared object"},
        {WriteScratchFile("empty.sem", ""), "is empty: neither an i386 PE image nor an ELF shared object"},
    };
    const std::string script = WriteScratchFile("no_module.script", "click\n");
    for (const auto& [path, said] : bad) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"info", path}, std::vector<std::string>{"validate", path},
              std::vector<std::string>{"play", path, script, "--clock", "virtual"}}) {
            SCOPED_TRACE(args[0] + " " + path);
            const CommandResult result = RunCommand(args);
            EXPECT_EQ(result.code, 2) << result.out << result.err;
            EXPECT_EQ(result.err.rfind("semhost: " + path + ": " + said, 0), 0u) << result.err;
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
        }
    }
}

// The DLL with its user32 import renamed: `library` in place of USER32.dll.
std::string DllImporting(const std::string& library) {
    std::ifstream file(RealDllPath(), std::ios::binary);
    std::string dll((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t name = dll.find("USER32.dll");
    // Zeros follow the last name of the import section: room for longer ones.
    if (name == std::string::npos || dll.find_first_not_of('\0', name + 10) < name + library.size() + 1) {
        ADD_FAILURE() << "no room for " << library << " in place of USER32.dll";
        return RealDllPath();
    }
    dll.replace(name, library.size() + 1, library + '\0');
    std::string file_name = "imports_" + library + ".sem";
    for (char& c : file_name)
        if (c == '+' || c == '-') c = '_';
    return WriteScratchFile(file_name, dll);
}

TEST_F(RealDllCommand, ALibraryWindowsShipsLoadsWithAWarningAndFaultsWhenCalled) {
    for (const std::string library : {"WINSPOOL.DRV", "IMM32.dll", "crypt32.dll", "rpcrt4.dll", "bcrypt",
                                      "api-ms-win-core-synch-l1-2-0.dll"}) {
        SCOPED_TRACE(library);
        const std::string path = DllImporting(library);
        const std::string import = library + "!GetAsyncKeyState, which semhost does not stand in for";
        const CommandResult validate = RunCommand({"validate", path, "--cycles", "1", "--seed", "7"});
        EXPECT_EQ(validate.code, 1) << validate.out << validate.err;
        EXPECT_NE(LineStartingWith(validate.out, "FAIL  exports: ").find("imports " + import),
                  std::string::npos)
            << validate.out;
        // Quillmark asks for the key state at a click: the call faults, by name.
        const CommandResult play =
            RunCommand({"play", path, ScriptPath("double_click_resets.script"), "--clock", "virtual"});
        EXPECT_EQ(play.code, 3) << play.out << play.err;
        EXPECT_NE(play.err.find("called " + import), std::string::npos) << play.err;
    }
}

TEST_F(RealDllCommand, ALibraryWindowsDoesNotShipIsMissing) {
    for (const std::string library : {"libstdc++-6.dll", "libgcc_s_dw2-1.dll", "vcruntime140.dll",
                                      "msvcp140.dll", "ThirdParty.dll", "winspool"}) {
        SCOPED_TRACE(library);
        const std::string path = DllImporting(library);
        const CommandResult info = RunCommand({"info", path});
        EXPECT_EQ(info.code, 2) << info.out << info.err;
        EXPECT_EQ(info.err, "semhost: " + path + ": imports " + library +
                                ", which a user's machine does not have (the module could not be found)\n");
    }
}

}  // namespace
