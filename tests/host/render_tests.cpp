// `semhost render` on the audio fixture (Out = In × Gain), i386 in the
// emulator and native in a process of its own: outputs, determinism,
// references, a script along the render, and the refusals of bad input.
#include "commands/audio_file.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> GainFixtures() {
    return {std::string(QUILL_AUDIO_FIXTURE_DIR) + "/audio_fixture_sound" + SEMHOST_FIXTURE_SUFFIX,
            std::string(QUILL_I386_AUDIO_FIXTURE_DIR) + "/audio_fixture_sound.sem"};
}

std::string Scratch(const std::string& name) {
    const fs::path folder = fs::path(SEMHOST_SCRATCH_DIR) / "render";
    fs::create_directories(folder);
    return (folder / name).string();
}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One second of a 1 kHz sine at 0.8, at 48 kHz.
std::string WriteSine(const std::string& name, int channels = 1, SampleEncoding encoding = SampleEncoding::Float) {
    std::vector<float> samples;
    for (int i = 0; i < 48000; ++i)
        for (int channel = 0; channel < channels; ++channel)
            samples.push_back(static_cast<float>(0.8 * std::sin(2 * M_PI * 1000.0 * i / 48000.0)));
    std::string problem;
    auto writer = AudioFileWriter::Create(Scratch(name), {AudioContainer::Wav, encoding}, 48000, channels, problem);
    EXPECT_NE(writer, nullptr) << problem;
    EXPECT_TRUE(writer->Write(samples.data(), 48000, problem));
    EXPECT_TRUE(writer->Finish(problem));
    return Scratch(name);
}

std::vector<float> Samples(const std::string& path) {
    std::string problem;
    auto reader = AudioFileReader::Open(path, problem);
    EXPECT_NE(reader, nullptr) << path << ": " << problem;
    if (reader == nullptr) return {};
    std::vector<float> samples(reader->frames() * reader->channels());
    reader->Read(samples.data(), reader->frames(), problem);
    return samples;
}

float Peak(const std::vector<float>& samples, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    float peak = 0;
    for (std::size_t i = from; i < std::min(to, samples.size()); ++i) peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

}  // namespace

TEST(Render, GainHalfGivesHalfThePeakAndTheSameBytesEachTime) {
    const std::string sine = WriteSine("sine.wav");
    const std::vector<float> in = Samples(sine);
    for (const std::string& module : GainFixtures()) {
        SCOPED_TRACE(module);
        const std::string out = Scratch("half.wav");
        const CommandResult first =
            RunCommand({"render", module, "--in", "In=" + sine, "--out", "Out=" + out, "--set", "Gain=0.5"});
        ASSERT_EQ(first.code, 0) << first.err;
        EXPECT_NE(first.out.find("\"Out\": peak 0.4, RMS 0.2828 -> " + out + " (WAV, 32-bit float)"),
                  std::string::npos)
            << first.out;
        const std::vector<float> halved = Samples(out);
        ASSERT_EQ(halved.size(), in.size());
        EXPECT_EQ(Peak(halved), Peak(in) / 2);
        for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(halved[i], in[i] * 0.5f) << "sample " << i;

        const std::string again = Scratch("half-again.wav");
        ASSERT_EQ(RunCommand({"render", module, "--in", sine, "--out", again, "--set", "Gain=0.5"}).code, 0);
        EXPECT_EQ(Bytes(again), Bytes(out));
    }
}

TEST(Render, AScriptStepsAtItsMomentsOfTheRender) {
    const std::string sine = WriteSine("sine.wav");
    // Gain 1 for the first half second, then 0: blocks of 480 samples, so
    // the step falls exactly on the boundary of the 50th block.
    const std::string script = WriteScratchFile("render/mute_half.script",
                                                "set Gain 1\nwait 500\nset Gain 0\nwait 500\nexpect Gain 0\n");
    for (const std::string& module : GainFixtures()) {
        SCOPED_TRACE(module);
        const std::string out = Scratch("muted.wav");
        const CommandResult result = RunCommand({"render", module, script, "--in", sine, "--out", out, "--block", "480"});
        ASSERT_EQ(result.code, 0) << result.err;
        const std::vector<float> muted = Samples(out);
        EXPECT_NEAR(Peak(muted, 0, 24000), 0.8, 1e-6);
        EXPECT_EQ(Peak(muted, 24000), 0.0f);

        // A failed expect at the end is exit 1, the output still written.
        const std::string failing = WriteScratchFile("render/expects_gain.script", "wait 1000\nexpect Gain 2\n");
        fs::remove(out);
        const CommandResult failed = RunCommand({"render", module, failing, "--in", sine, "--out", out});
        EXPECT_EQ(failed.code, 1);
        EXPECT_NE(failed.err.find("expects_gain.script:2: expected \"Gain\" = 2, actual"), std::string::npos)
            << failed.err;
        EXPECT_TRUE(fs::exists(out));
    }
}

TEST(Render, AReferenceThatDiffersFailsNamingTheFirstDifferingSample) {
    const std::string sine = WriteSine("sine16.wav", 1, SampleEncoding::Pcm16);
    const std::string module = GainFixtures()[1];
    // The output takes the input's 16 bits; the same render matches it
    // exactly, compared as 16 bits hold it.
    ASSERT_EQ(RunCommand({"render", module, "--in", sine, "--out", Scratch("golden16.wav"), "--set", "Gain=0.5"}).code,
              0);
    const std::string reference = "Out=" + Scratch("golden16.wav");
    const CommandResult same = RunCommand({"render", module, "--in", sine, "--set", "Gain=0.5", "--expect", reference});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_NE(same.out.find("golden16.wav: ok (48000 samples, largest difference 0)"), std::string::npos) << same.out;

    const CommandResult louder =
        RunCommand({"render", module, "--in", sine, "--set", "Gain=0.6", "--expect", reference});
    EXPECT_EQ(louder.code, 1);
    // Sample 0 of a sine is 0 at any gain; sample 1 is the first to differ.
    EXPECT_NE(louder.err.find("FAILED: the first to differ is sample 1 (0.000021 s): 0.0626"), std::string::npos)
        << louder.err;
    EXPECT_NE(louder.err.find("the largest difference is 0.08"), std::string::npos) << louder.err;
    EXPECT_EQ(RunCommand({"render", module, "--in", sine, "--set", "Gain=0.6", "--expect", reference, "--tolerance",
                          "0.081"})
                  .code,
              0);

    const CommandResult shorter =
        RunCommand({"render", module, "--in", sine, "--set", "Gain=0.5", "--expect", reference, "--seconds", "0.5"});
    EXPECT_EQ(shorter.code, 1);
    EXPECT_NE(shorter.err.find("24000 samples rendered, " + Scratch("golden16.wav") + " holds 48000"),
              std::string::npos)
        << shorter.err;
}

TEST(Render, BadInputExitsTwoBeforeTheSessionWithNothingWritten) {
    const std::string sine = WriteSine("sine.wav");
    const std::string stereo = WriteSine("stereo.wav", 2);
    const std::string script = WriteScratchFile("render/idle.script", "idle\n");
    const std::string notes = WriteScratchFile("render/notes.wav", "not audio");
    const std::string kept = WriteScratchFile("render/kept.wav", "the old contents");
    const std::string runs = WriteScratchFile("render/runs.script", "run 4 blocks\n");
    const std::string feeds = WriteScratchFile("render/feeds.script", "signal In sine 440 Hz\n");
    const std::string module = GainFixtures()[0];
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{"--in", notes}, "cannot be read as audio"},
        {{"--in", stereo + ":3"}, "has 2 channels; there is no channel 3"},
        {{"--in", stereo}, "from \"In\" on the module has 1 sample input"},
        {{"--rate", "0", "--seconds", "1"}, "--rate needs a sample rate from 1 to 1000000 Hz"},
        {{"--in", "Gain=" + sine}, "pin \"Gain\" carries no audio samples; --in needs a sample input"},
        {{"--in", "Out=" + sine}, "pin \"Out\" is an output; --in needs a sample input"},
        {{"--in", sine, "--expect", "In=" + sine}, "pin \"In\" is an input"},
        {{"--in", sine, "--out", "In=" + Scratch("in.wav")}, "pin \"In\" is an input"},
        {{"--in", sine, "--set", "In=1"}, "\"In\" carries audio samples; --in feeds it"},
        {{"--in", sine, "--out", module + ".wav", "--out", module + ".wav"}, "is named by two --out"},
        {{"--in", sine, "--out", sine}, "is an input of the command"},
        {{script, "--in", sine, "--out", script}, "is an input of the command"},
        {{runs, "--in", sine}, "runs.script:1: render runs the blocks itself"},
        {{feeds, "--in", sine}, "feeds.script:1: \"In\" is fed by " + sine},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render", module};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--out", "Out=" + kept});
        SCOPED_TRACE(args[2] + " " + (args.size() > 3 ? args[3] : ""));
        const CommandResult result = RunCommand(args);
        EXPECT_EQ(result.code, 2);
        EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
        EXPECT_EQ(Bytes(kept), "the old contents");
        EXPECT_FALSE(fs::exists(Scratch("in.wav")));
        EXPECT_FALSE(fs::exists(module + ".wav"));
        EXPECT_FALSE(fs::exists(AudioFileWriter::PartialPath(kept)));
    }
    // The module itself is no output either.
    const CommandResult onto_module = RunCommand({"render", module, "--in", sine, "--out", "Out=" + module});
    EXPECT_EQ(onto_module.code, 2);
    EXPECT_NE(onto_module.err.find("is an input of the command"), std::string::npos) << onto_module.err;
}
