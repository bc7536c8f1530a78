// `semhost play` on the audio fixture (a gain): the script feeds signals
// and runs blocks, expects hold on an output's peak, RMS and silence, each
// run is one line per output in the timeline and in --brief, and play
// without a script gives every sample input a signal and shows the outputs.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

TEST(PlayAudio, ASineAtGainHalfComesOutAtHalfItsPeak) {
    for (const std::string& fixture : AudioFixturePaths("sound")) {
        SCOPED_TRACE(fixture);
        const CommandResult result = RunCommand({"play", fixture, ScriptPath("audio_fixture_gain.script")});
        EXPECT_EQ(result.code, 0) << result.out << result.err;
        const std::string& out = result.out;
        EXPECT_NE(out.find("expect \"Out\" peak in 0.39 .. 0.4: ok (0.399997"), std::string::npos) << out;
        EXPECT_NE(out.find("expect \"Out\" peak in 0.19 .. 0.2: ok"), std::string::npos) << out;
        EXPECT_NE(out.find("expect \"Out\" silent: ok (peak 0)"), std::string::npos) << out;
        // The change reached the audio side as a status at a sample time.
        EXPECT_NE(out.find("host -> audio#1  EV_PIN_STATUS \"Gain\" status 1 at 1280"), std::string::npos) << out;
        EXPECT_NE(out.find("1 run, asleep through 3 blocks"), std::string::npos) << out;
        EXPECT_NE(out.find("4 of 4 expects held"), std::string::npos) << out;
    }
}

TEST(PlayAudio, EachRunIsOneLinePerOutputAlsoInBrief) {
    const std::string script = WriteScratchFile("audio_brief.script",
                                                "set Gain 1\n"
                                                "signal In noise at 0.5 seed 3\n"
                                                "run 100 blocks\n"
                                                "expect Out rms 0.5\n");
    const CommandResult full = RunCommand({"play", AudioFixturePaths("nan").front(), script});
    const CommandResult brief = RunCommand({"play", AudioFixturePaths("nan").front(), script, "--brief"});
    for (const CommandResult* result : {&full, &brief}) {
        // One line for the output over all 100 blocks, with its NaN counted.
        EXPECT_EQ(Count(result->out, "\"Out\": peak "), 1u) << result->out;
        EXPECT_NE(result->out.find(", 100 NaN, 0 Inf, 0 subnormal (25600 samples)"), std::string::npos) << result->out;
        // The expect fails with the measure it found, and play says so.
        EXPECT_EQ(result->code, 1);
        EXPECT_NE(result->err.find(":4: expected \"Out\" rms = 0.5 over the last run, actual 0.28"), std::string::npos)
            << result->err;
    }
    EXPECT_EQ(Count(full.out, "host -> audio#1  process\n"), 1u + 100u);  // the run at open, then the script's
    EXPECT_EQ(Count(brief.out, "process"), 0u) << brief.out;
}

TEST(PlayAudio, WithoutAScriptEachSampleInputGetsASineAndTheOutputsAreShown) {
    const CommandResult result = RunCommand({"play", AudioFixturePaths("sound").back()});
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    const std::string& out = result.out;
    EXPECT_NE(out.find("signal \"In\" = sine 440 Hz at 0.5"), std::string::npos) << out;
    EXPECT_NE(out.find("set \"Gain\" = 1"), std::string::npos) << out;
    EXPECT_NE(out.find("run 4 blocks: 4 blocks of 256 samples"), std::string::npos) << out;
    EXPECT_NE(out.find("\"Out\": peak 0.5, RMS 0.35"), std::string::npos) << out;
    EXPECT_NE(out.find("  \"Out\" = audio samples\n"), std::string::npos) << out;
}

TEST(PlayAudio, AnExpectBeforeAnyRunFailsAsSuch) {
    const std::string script = WriteScratchFile("audio_no_run.script", "expect Out silent\n");
    const CommandResult result = RunCommand({"play", AudioFixturePaths("sound").front(), script});
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("expected \"Out\" silent over the last run, actual no run yet"), std::string::npos)
        << result.err;
}

}  // namespace
