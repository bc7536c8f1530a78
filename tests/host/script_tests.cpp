// The script language: what parses to what, and every syntax error named
// with its line.
#include "commands/play/script.h"

#include <gtest/gtest.h>

namespace {

Script Parse(const std::string& text) {
    Script script;
    std::string error;
    EXPECT_TRUE(ParseScript(text, "test.script", script, error)) << error;
    return script;
}

std::string ParseError(const std::string& text) {
    Script script;
    std::string error;
    EXPECT_FALSE(ParseScript(text, "test.script", script, error)) << text;
    return error;
}

const std::vector<ScriptPin> kPins = {{"Mouse Down", false}, {"Interval (ms)", true}, {"Count", false}};

TEST(ScriptParse, PinNamesWithSpacesQuotesNumbersAndComments) {
    const Script script = Parse(
        "# heading line\n"
        "\n"
        "set Interval (ms) 400   # trailing comment\n"
        "set \"Interval (ms)\" 2.5\n"
        "set #2 7\n"
        "click\n"
        "click Count\n"
        "expect Interval (ms) 0.2 .. 0.8\n"
        "expect Count -3\n"
        "wait 250 ms\n"
        "wait 10\n"
        "press ctrl\n"
        "release shift\n"
        "idle\n");
    ASSERT_EQ(script.commands.size(), 13u);
    EXPECT_EQ(script.commands[0].kind, ScriptCommand::Kind::Heading);
    EXPECT_EQ(script.commands[0].text, "heading line");
    EXPECT_EQ(script.commands[1].pin_text, "Interval (ms)");
    EXPECT_EQ(script.commands[1].value_text, "400");
    EXPECT_EQ(script.commands[1].line, 3);
    EXPECT_EQ(script.commands[2].pin_text, "Interval (ms)");
    EXPECT_EQ(script.commands[3].pin_text, "#2");
    EXPECT_EQ(script.commands[4].pin_text, "");
    EXPECT_TRUE(script.commands[6].is_range);
    EXPECT_EQ(script.commands[6].value_text, "0.2");
    EXPECT_EQ(script.commands[6].high_text, "0.8");
    EXPECT_FALSE(script.commands[7].is_range);
    EXPECT_EQ(script.commands[8].milliseconds, 250);
    EXPECT_EQ(script.commands[10].key, 17);
    EXPECT_EQ(script.commands[11].key, 16);
    EXPECT_EQ(script.commands[12].kind, ScriptCommand::Kind::Idle);
}

TEST(ScriptParse, KeyNamesInAnyCase) {
    // The timeline writes "press Ctrl"; a script copied from it plays.
    const Script script = Parse("press Ctrl\npress CTRL\nrelease ctrl\npress Shift\nrelease ALT\n");
    ASSERT_EQ(script.commands.size(), 5u);
    for (int i : {0, 1, 2}) {
        EXPECT_EQ(script.commands[i].key, 17) << i;
        EXPECT_EQ(script.commands[i].key_name, "ctrl") << i;
    }
    EXPECT_EQ(script.commands[3].key, 16);
    EXPECT_EQ(script.commands[4].key, 18);
    EXPECT_EQ(ParseError("press Meta\n"), "test.script:1: unknown key \"Meta\" (ctrl, shift or alt)");
}

TEST(ScriptParse, SyntaxErrorsNameTheLine) {
    EXPECT_EQ(
        ParseError("idle\nfrobnicate 3\n"),
        "test.script:2: unknown command \"frobnicate\" (set, click, press, release, wait, idle, expect)");
    EXPECT_EQ(ParseError("set Level\n"), "test.script:1: \"set\" needs a pin and a value");
    EXPECT_EQ(ParseError("set Level high\n"), "test.script:1: \"high\" is not a number");
    EXPECT_EQ(ParseError("\n\npress meta\n"), "test.script:3: unknown key \"meta\" (ctrl, shift or alt)");
    EXPECT_EQ(ParseError("wait soon\n"),
              "test.script:1: \"soon\" is not a number of milliseconds from 0 to 3600000");
    EXPECT_EQ(ParseError("wait -5\n"),
              "test.script:1: \"-5\" is not a number of milliseconds from 0 to 3600000");
    EXPECT_EQ(ParseError("wait 5 s\n"),
              "test.script:1: \"wait\" needs a number of milliseconds, as in \"wait 500 ms\"");
    EXPECT_EQ(ParseError("expect Level 1 .. x\n"),
              "test.script:1: a range is two numbers, as in \"0.2 .. 0.8\"");
    EXPECT_EQ(ParseError("set \"Level 1\n"), "test.script:1: a quote is not closed");
    EXPECT_EQ(ParseError("idle now\n"), "test.script:1: \"idle\" takes nothing more");
}

TEST(ScriptParse, LineEndsByteOrderMarkAndLimits) {
    // LF, CRLF and a lone CR each end a line; the mark before the first is skipped.
    for (const std::string ends : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(static_cast<int>(ends.size()));
        const Script script = Parse("\xEF\xBB\xBFset Count 1" + ends + ends + "idle" + ends + "wait 5");
        ASSERT_EQ(script.commands.size(), 3u);
        EXPECT_EQ(script.commands[0].pin_text, "Count");
        EXPECT_EQ(script.commands[1].line, 3);
        EXPECT_EQ(script.commands[2].milliseconds, 5);
    }
    EXPECT_EQ(ParseError("expect Count 5 .. 1\n"),
              "test.script:1: the range 5 .. 1 is reversed: the lower end comes first");
    EXPECT_EQ(ParseError(std::string(kMaxScriptBytes + 1, '\n')),
              "test.script: longer than 1048576 bytes, the most a script may have");
}

TEST(ScriptResolve, PinsAndValuesMustFitTheModule) {
    Script script = Parse("click\nset #1 0.5\nexpect Count 2 .. 4\n");
    std::string error;
    ASSERT_TRUE(ResolveScript(script, kPins, error)) << error;
    EXPECT_EQ(script.commands[0].pin, 0);  // a plain click is on "Mouse Down"
    EXPECT_EQ(script.commands[1].pin, 1);
    EXPECT_EQ(script.commands[2].pin, 2);

    Script unknown = Parse("idle\nset Volume 3\n");
    EXPECT_FALSE(ResolveScript(unknown, kPins, error));
    EXPECT_EQ(error,
              "test.script:2: the module has no pin \"Volume\" (its pins: \"Mouse Down\", \"Interval (ms)\", "
              "\"Count\")");

    Script fraction = Parse("set Count 1.5\n");
    EXPECT_FALSE(ResolveScript(fraction, kPins, error));
    EXPECT_EQ(error, "test.script:1: \"Count\" holds whole numbers; \"1.5\" is not one");

    Script past_end = Parse("set #3 1\n");
    EXPECT_FALSE(ResolveScript(past_end, kPins, error));

    Script no_mouse = Parse("click\n");
    EXPECT_FALSE(ResolveScript(no_mouse, {{"Level", true}}, error));
    EXPECT_EQ(error, "test.script:1: the module has no pin \"Mouse Down\" (its pins: \"Level\")");
}

}  // namespace
