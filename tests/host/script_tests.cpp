// The script language: what parses to what, and every syntax error named
// with its line.
#include "commands/play/player.h"
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
        "test.script:2: unknown command \"frobnicate\" (set, click, press, release, wait, idle, expect, signal, run)");
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

namespace {

const std::vector<ScriptPin> kAudioPins = {
    {"In", true, true, false}, {"Gain", true}, {"Out", true, true, true}, {"Level peak", true}};

Script Resolved(const std::string& text) {
    Script script = Parse(text);
    std::string error;
    EXPECT_TRUE(ResolveScript(script, kAudioPins, error)) << error;
    return script;
}

std::string ResolveError(const std::string& text) {
    Script script = Parse(text);
    std::string error;
    EXPECT_FALSE(ResolveScript(script, kAudioPins, error)) << text;
    return error;
}

TEST(ScriptAudio, SignalsRunsAndMeasuresParse) {
    const Script script = Resolved(
        "signal In sine 1000 Hz at 0.5\n"
        "signal In sine 440\n"
        "signal \"In\" noise at 0.25 seed 9\n"
        "signal In dc -0.5\n"
        "signal In impulse\n"
        "signal #0 silence\n"
        "run 4 blocks\n"
        "run 1000 samples\n"
        "expect Out peak 0.5\n"
        "expect Out rms 0.3 .. 0.4\n"
        "expect Out silent\n"
        "expect Level peak 3\n");
    const auto& c = script.commands;
    ASSERT_EQ(c.size(), 12u);
    EXPECT_EQ(c[0].kind, ScriptCommand::Kind::Signal);
    EXPECT_EQ(c[0].pin, 0);
    EXPECT_EQ(c[0].signal.Describe(), "sine 1000 Hz at 0.5");
    EXPECT_EQ(c[1].signal.Describe(), "sine 440 Hz at 1");
    EXPECT_EQ(c[2].signal.Describe(), "noise at 0.25, seed 9");
    EXPECT_EQ(c[3].signal.Describe(), "dc -0.5");
    EXPECT_EQ(c[4].signal.Describe(), "impulse of 1");
    EXPECT_EQ(c[5].signal.kind, InputSignal::Kind::Silence);
    EXPECT_EQ(c[6].kind, ScriptCommand::Kind::Run);
    EXPECT_EQ(Player::BlocksOfRun(c[6], 256), 4);
    EXPECT_EQ(Player::BlocksOfRun(c[7], 256), 4);  // 1000 samples: as many blocks as cover them
    EXPECT_EQ(Player::BlocksOfRun(c[7], 1000), 1);
    EXPECT_EQ(c[8].measure, ScriptCommand::Measure::Peak);
    EXPECT_EQ(c[8].pin, 2);
    EXPECT_EQ(c[8].value_text, "0.5");
    EXPECT_EQ(c[9].measure, ScriptCommand::Measure::Rms);
    EXPECT_TRUE(c[9].is_range);
    EXPECT_EQ(c[9].high_text, "0.4");
    EXPECT_EQ(c[10].measure, ScriptCommand::Measure::Silent);
    // A pin whose own name ends in the measure's word is a plain expect.
    EXPECT_EQ(c[11].measure, ScriptCommand::Measure::None);
    EXPECT_EQ(c[11].pin, 3);
}

TEST(ScriptAudio, MisusedSamplePinsAndBadSignalsAreNamed) {
    EXPECT_EQ(ParseError("signal In triangle 3\n"),
              "test.script:1: \"signal\" needs a pin and a signal: silence, dc LEVEL, sine FREQ Hz [at LEVEL], "
              "noise [at LEVEL] [seed N] or impulse [LEVEL]");
    EXPECT_EQ(ParseError("signal In sine -5 Hz\n"),
              "test.script:1: \"sine\" needs a frequency above 0, as in \"sine 440 Hz at 0.5\"");
    EXPECT_EQ(ParseError("signal In dc\n"), "test.script:1: \"dc\" needs one level, as in \"dc 0.5\"");
    EXPECT_EQ(ParseError("signal In noise at 0.5 seed -1\n"), "test.script:1: a seed is a whole number from 0");
    EXPECT_EQ(ParseError("signal In silence 3\n"), "test.script:1: \"3\" does not belong to a silence signal");
    EXPECT_EQ(ParseError("run 4\n"),
              "test.script:1: \"run\" needs a count from 1 to 1000000 and blocks or samples, as in \"run 4 blocks\"");
    EXPECT_NE(ParseError("run 0 blocks\n").find("a count from 1"), std::string::npos);
    EXPECT_EQ(ResolveError("signal Out sine 440 Hz\n"),
              "test.script:1: \"Out\" is no sample input: only a sample input takes a signal");
    EXPECT_EQ(ResolveError("signal Gain dc 1\n"),
              "test.script:1: \"Gain\" is no sample input: only a sample input takes a signal");
    EXPECT_EQ(ResolveError("expect In peak 1\n"),
              "test.script:1: \"In\" is no sample output: peak is measured on a sample output");
    EXPECT_EQ(ResolveError("expect Gain silent\n"),
              "test.script:1: \"Gain\" is no sample output: silent is measured on a sample output");
    EXPECT_EQ(ResolveError("set In 1\n"),
              "test.script:1: \"In\" carries audio samples: give it a signal (silence, dc, sine, noise or impulse)");
    EXPECT_EQ(ResolveError("expect Out 0\n"),
              "test.script:1: \"Out\" carries audio samples: expect its peak, its rms, or that it is silent");
}

}  // namespace
