// render's parts without a module: audio files, the plan's refusals, the
// reference comparison, the progress bar and the block loop.
#include "commands/audio_file.h"
#include "commands/render/progress_bar.h"
#include "commands/render/reference_check.h"
#include "commands/render/render_plan.h"
#include "commands/render/renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string Scratch(const std::string& name) {
    const fs::path folder = fs::path(SEMHOST_SCRATCH_DIR) / "render_parts";
    fs::create_directories(folder);
    return (folder / name).string();
}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAudio(const std::string& path, const std::vector<float>& interleaved, int channels, AudioFormat format,
                int rate = 48000) {
    std::string problem;
    auto writer = AudioFileWriter::Create(path, format, rate, channels, problem);
    ASSERT_NE(writer, nullptr) << problem;
    ASSERT_TRUE(writer->Write(interleaved.data(), interleaved.size() / channels, problem)) << problem;
    ASSERT_TRUE(writer->Finish(problem)) << problem;
}

std::vector<float> ReadAll(AudioFileReader& reader) {
    std::vector<float> samples(reader.frames() * reader.channels());
    std::string problem;
    EXPECT_EQ(reader.Read(samples.data(), reader.frames(), problem), reader.frames());
    return samples;
}

PinDeclaration Pin(int index, const std::string& name, std::int32_t direction, std::int32_t datatype) {
    PinDeclaration pin;
    pin.index = index;
    pin.name = name;
    pin.direction = direction;
    pin.datatype = datatype;
    return pin;
}

// In L, In R, Gain, Out, Level (an output that is no sample pin).
std::vector<PinDeclaration> StereoPins() {
    return {Pin(0, "In L", DR_IN, DT_FSAMPLE), Pin(1, "In R", DR_IN, DT_FSAMPLE), Pin(2, "Gain", DR_IN, DT_FLOAT),
            Pin(3, "Out", DR_OUT, DT_FSAMPLE), Pin(4, "Level", DR_OUT, DT_FLOAT)};
}

}  // namespace

TEST(AudioFile, EachContainerAndEncodingReadsBackWhatWasWritten) {
    const std::vector<float> ramp = {0.0f, 0.25f, -0.5f, 0.75f, -1.0f, 0.125f};
    for (AudioContainer container : {AudioContainer::Wav, AudioContainer::Aiff, AudioContainer::Flac}) {
        for (SampleEncoding encoding : {SampleEncoding::Pcm16, SampleEncoding::Pcm24, SampleEncoding::Float}) {
            if (!ContainerHolds(container, encoding)) continue;
            const AudioFormat format{container, encoding};
            SCOPED_TRACE(format.Describe());
            const std::string path = Scratch("ramp.audio");
            WriteAudio(path, ramp, 2, format, 44100);
            std::string problem;
            auto reader = AudioFileReader::Open(path, problem);
            ASSERT_NE(reader, nullptr) << problem;
            EXPECT_EQ(reader->sample_rate(), 44100);
            EXPECT_EQ(reader->channels(), 2);
            EXPECT_EQ(reader->frames(), 3u);
            EXPECT_EQ(reader->encoding(), encoding);
            EXPECT_EQ(reader->container(), container);
            EXPECT_EQ(ReadAll(*reader), ramp);  // each of these values is exact in every encoding
        }
    }
    EXPECT_EQ(ContainerOfName("x/Take.AIFF"), AudioContainer::Aiff);
    EXPECT_EQ(ContainerOfName("take.flac"), AudioContainer::Flac);
    EXPECT_EQ(ContainerOfName("take.mp3"), std::nullopt);
}

TEST(AudioFile, IntegersClipBeyondFullScaleInsteadOfWrappingRound) {
    const std::string path = Scratch("loud.wav");
    WriteAudio(path, {1.5f, -1.5f, 1.0f}, 1, {AudioContainer::Wav, SampleEncoding::Pcm16});
    std::string problem;
    auto reader = AudioFileReader::Open(path, problem);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(ReadAll(*reader), (std::vector<float>{32767 / 32768.0f, -1.0f, 32767 / 32768.0f}));
}

TEST(AudioFile, NothingInAWrittenFileDependsOnTheTime) {
    for (AudioContainer container : {AudioContainer::Wav, AudioContainer::Aiff, AudioContainer::Flac}) {
        const AudioFormat format{container,
                                 container == AudioContainer::Flac ? SampleEncoding::Pcm24 : SampleEncoding::Float};
        SCOPED_TRACE(format.Describe());
        WriteAudio(Scratch("dated.audio"), {0.5f, -0.25f}, 1, format);
        const std::string bytes = Bytes(Scratch("dated.audio"));
        // No count of seconds from about now, in either byte order (a PEAK
        // chunk's time stamp is one).
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        for (std::uint32_t second = now - 5; second <= now + 5; ++second) {
            const char little[4] = {char(second), char(second >> 8), char(second >> 16), char(second >> 24)};
            const char big[4] = {char(second >> 24), char(second >> 16), char(second >> 8), char(second)};
            EXPECT_EQ(bytes.find(std::string(little, 4)), std::string::npos);
            EXPECT_EQ(bytes.find(std::string(big, 4)), std::string::npos);
        }
    }
}

TEST(AudioFile, AFileAppearsWholeOrNotAtAll) {
    const std::string path = Scratch("kept.wav");
    std::ofstream(path) << "the old contents";
    std::string problem;
    {
        auto writer = AudioFileWriter::Create(path, {}, 48000, 1, problem);
        const float samples[] = {0.5f};
        ASSERT_TRUE(writer->Write(samples, 1, problem));
    }  // never finished
    EXPECT_EQ(Bytes(path), "the old contents");
    EXPECT_FALSE(fs::exists(AudioFileWriter::PartialPath(path)));

    WriteAudio(path, {0.5f}, 1, {});
    EXPECT_NE(Bytes(path), "the old contents");
    EXPECT_FALSE(fs::exists(AudioFileWriter::PartialPath(path)));
}

TEST(AudioFile, WhatIsNoAudioFileIsRefusedSayingWhy) {
    std::ofstream(Scratch("notes.wav")) << "not audio";
    std::string problem;
    EXPECT_EQ(AudioFileReader::Open(Scratch("notes.wav"), problem), nullptr);
    EXPECT_NE(problem.find("cannot be read as audio"), std::string::npos) << problem;
    EXPECT_EQ(AudioFileReader::Open(Scratch("missing.wav"), problem), nullptr);
    EXPECT_EQ(problem, "no such file");
    EXPECT_EQ(AudioFileReader::Open(SEMHOST_SCRATCH_DIR, problem), nullptr);
    EXPECT_EQ(problem, "is not a regular file, so not an audio file");
}

TEST(RenderOptions, BindingsNameAPinAFileAndAChannelCountedFromOne) {
    AudioBinding binding;
    std::string problem;
    ASSERT_TRUE(ParseAudioBinding("In L=take.wav:2", true, binding, problem));
    EXPECT_EQ(binding.pin_text, "In L");
    EXPECT_EQ(binding.path, "take.wav");
    EXPECT_EQ(binding.channel, 2);
    ASSERT_TRUE(ParseAudioBinding("take.wav", true, binding, problem));
    EXPECT_EQ(binding.pin_text, "");
    EXPECT_EQ(binding.channel, 0);
    // Outputs pick no channel; a colon not followed by digits is the path's.
    ASSERT_TRUE(ParseAudioBinding("Out=out.wav:2", false, binding, problem));
    EXPECT_EQ(binding.path, "out.wav:2");
    ASSERT_TRUE(ParseAudioBinding("In=a:b.wav", true, binding, problem));
    EXPECT_EQ(binding.path, "a:b.wav");
    EXPECT_FALSE(ParseAudioBinding("In=take.wav:0", true, binding, problem));
    EXPECT_FALSE(ParseAudioBinding("In=", true, binding, problem));
}

TEST(RenderPlan, AStereoFileFeedsConsecutiveSampleInputsAndShorterInputsSetNoLength) {
    std::vector<float> stereo(2 * 100, 0.25f);
    WriteAudio(Scratch("stereo.wav"), stereo, 2, {AudioContainer::Wav, SampleEncoding::Pcm24});
    WriteAudio(Scratch("short.wav"), std::vector<float>(40, 0.5f), 1, {});
    RenderOptions options;
    options.inputs = {{"In L", Scratch("stereo.wav"), 0}};
    options.outputs = {{"", Scratch("out.flac"), 0}};
    RenderPlan plan;
    std::ostringstream err;
    ASSERT_TRUE(PlanFiles(options, "module.sem", 256, 8192, plan, err)) << err.str();
    ASSERT_TRUE(PlanPins(StereoPins(), plan, err)) << err.str();
    EXPECT_EQ(plan.sample_rate, 48000);
    EXPECT_EQ(plan.frames, 100u);
    ASSERT_EQ(plan.feeds.size(), 2u);
    EXPECT_EQ(plan.feeds[1].pin, 1);
    EXPECT_EQ(plan.feeds[1].channel, 1);
    EXPECT_EQ(plan.outputs[0].pin, 3);
    // The input's 24 bits, in a container that holds them.
    EXPECT_EQ(plan.outputs[0].format.Describe(), "FLAC, 24-bit");

    // One channel picked feeds one pin; the longer input sets the length.
    options.inputs = {{"In R", Scratch("short.wav"), 0}, {"In L", Scratch("stereo.wav"), 2}};
    ASSERT_TRUE(PlanFiles(options, "module.sem", 256, 8192, plan, err)) << err.str();
    ASSERT_TRUE(PlanPins(StereoPins(), plan, err)) << err.str();
    EXPECT_EQ(plan.frames, 100u);
    ASSERT_EQ(plan.feeds.size(), 2u);
    EXPECT_EQ(plan.feeds[1].pin, 0);
    EXPECT_EQ(plan.feeds[1].channel, 1);
}

TEST(RenderPlan, EachBadInputIsRefusedWithOneLineAndNoFileMade) {
    WriteAudio(Scratch("mono.wav"), std::vector<float>(10, 0.5f), 1, {});
    WriteAudio(Scratch("mono44.wav"), std::vector<float>(10, 0.5f), 1, {}, 44100);
    WriteAudio(Scratch("stereo.wav"), std::vector<float>(20, 0.5f), 2, {});
    std::ofstream(Scratch("notes.txt")) << "not audio";
    const std::string out = Scratch("never.wav");
    struct Case {
        const char* what;
        RenderOptions options;
        std::string problem;  // a part of the line
    };
    auto with = [&](std::vector<AudioBinding> inputs, std::vector<AudioBinding> outputs) {
        RenderOptions options;
        options.inputs = std::move(inputs);
        options.outputs = std::move(outputs);
        return options;
    };
    const std::vector<Case> cases = {
        {"non-audio input", with({{"", Scratch("notes.txt"), 0}}, {{"", out, 0}}), "cannot be read as audio"},
        {"channel past the count", with({{"", Scratch("stereo.wav"), 3}}, {{"", out, 0}}), "there is no channel 3"},
        {"rates differ", with({{"In L", Scratch("mono.wav"), 0}, {"In R", Scratch("mono44.wav"), 0}}, {{"", out, 0}}),
         "does not resample"},
        {"no length", with({}, {{"", out, 0}}), "--seconds"},
        {"output is an input", with({{"", Scratch("mono.wav"), 0}}, {{"", Scratch("mono.wav"), 0}}),
         "is an input of the command"},
        {"output is the module", with({{"", Scratch("mono.wav"), 0}}, {{"", Scratch("module.wav"), 0}}),
         "is an input of the command"},
        {"two outputs, one file", with({{"", Scratch("mono.wav"), 0}}, {{"Out", out, 0}, {"Out", out, 0}}),
         "is named by two --out"},
        {"unknown extension", with({{"", Scratch("mono.wav"), 0}}, {{"", Scratch("never.mp3"), 0}}),
         ".wav, .aif, .aiff or .flac"},
        {"stereo file past the inputs", with({{"In R", Scratch("stereo.wav"), 0}}, {}), "pick a channel"},
        {"input for an output", with({{"Out", Scratch("mono.wav"), 0}}, {}), "\"Out\" is an output"},
        {"input for a control pin", with({{"Gain", Scratch("mono.wav"), 0}}, {}), "carries no audio samples"},
        {"output for an input", with({{"", Scratch("mono.wav"), 0}}, {{"In L", out, 0}}), "\"In L\" is an input"},
        {"output for a control output", with({{"", Scratch("mono.wav"), 0}}, {{"Level", out, 0}}),
         "carries no audio samples"},
        {"unknown pin", with({{"Input", Scratch("mono.wav"), 0}}, {}), "no pin \"Input\""},
        {"one input fed twice", with({{"In L", Scratch("mono.wav"), 0}, {"#0", Scratch("mono.wav"), 0}}, {}),
         "feeds already"},
    };
    RenderOptions rate_changed = with({{"", Scratch("mono.wav"), 0}}, {});
    rate_changed.sample_rate = 44100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RenderPlan plan;
        std::ostringstream err;
        const bool planned = PlanFiles(c.options, Scratch("module.wav"), 256, 8192, plan, err) &&
                             PlanPins(StereoPins(), plan, err);
        EXPECT_FALSE(planned);
        const std::string said = err.str();
        EXPECT_NE(said.find(c.problem), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_FALSE(fs::exists(out));
    }
    RenderPlan plan;
    std::ostringstream err;
    EXPECT_FALSE(PlanFiles(rate_changed, "module.sem", 256, 8192, plan, err));
    EXPECT_NE(err.str().find("--rate: 44100 Hz is not the inputs' rate (48000 Hz)"), std::string::npos) << err.str();
}

TEST(ReferenceCheck, NamesTheFirstDifferingSampleTheLargestDifferenceAndALengthMismatch) {
    WriteAudio(Scratch("reference.wav"), {0.0f, 0.5f, 0.25f, -0.25f}, 1, {});
    auto compare = [](const std::vector<float>& rendered, double tolerance) {
        WriteAudio(Scratch("rendered.wav"), rendered, 1, {});
        std::string problem;
        auto ours = AudioFileReader::Open(Scratch("rendered.wav"), problem);
        auto theirs = AudioFileReader::Open(Scratch("reference.wav"), problem);
        ReferenceComparison comparison;
        EXPECT_TRUE(CompareWithReference(*ours, *theirs, 0, tolerance, comparison, problem)) << problem;
        return comparison;
    };
    EXPECT_EQ(compare({0.0f, 0.5f, 0.25f, -0.25f}, 0).Describe("ref.wav"), "ok (4 samples, largest difference 0)");

    const ReferenceComparison off = compare({0.0f, 0.5f, 0.5f, -0.75f}, 0);
    EXPECT_FALSE(off.Holds());
    EXPECT_EQ(off.Describe("ref.wav"),
              "FAILED: the first to differ is sample 2 (0.000042 s): 0.5 rendered, 0.25 in ref.wav; the largest "
              "difference is 0.5, at sample 3 (0.000063 s) (tolerance 0)");
    EXPECT_TRUE(compare({0.0f, 0.5f, 0.25f, -0.2f}, 0.1).Holds());

    const ReferenceComparison shorter = compare({0.0f, 0.5f, 0.25f}, 0);
    EXPECT_FALSE(shorter.Holds());
    EXPECT_EQ(shorter.Describe("ref.wav"),
              "FAILED: 3 samples rendered, ref.wav holds 4; the 3 samples both have match (largest difference 0)");
    EXPECT_FALSE(compare({0.0f, NAN, 0.25f, -0.25f}, 1e9).Holds());
}

TEST(ProgressBar, ShowsOnlyWhenWantedAndOnlyAfterAMoment) {
    double now = 0.0;
    auto clock = [&now] { return now; };
    std::ostringstream hidden;
    ProgressBar off(hidden, false, 60.0, clock);
    now = 5.0;
    off.Update(30.0);
    off.Finish(60.0);
    EXPECT_EQ(hidden.str(), "");

    now = 0.0;
    std::ostringstream shown;
    ProgressBar bar(shown, true, 60.0, clock);
    now = 0.4;
    bar.Update(10.0);
    EXPECT_EQ(shown.str(), "");  // a moment has not passed
    now = 1.0;
    bar.Update(30.0);
    EXPECT_NE(shown.str().find("30.0 of 60.0 s, 30.0x real time"), std::string::npos) << shown.str();
    const std::size_t drawn = shown.str().size();
    now = 1.05;
    bar.Update(31.0);
    EXPECT_EQ(shown.str().size(), drawn);  // not redrawn this soon
    now = 2.0;
    bar.Finish(60.0);
    EXPECT_EQ(shown.str().back(), '\n');
    EXPECT_NE(shown.str().find("[##############################] 60.0 of 60.0 s"), std::string::npos);

    // A render over before the moment passes leaves nothing.
    std::ostringstream quick;
    now = 0.0;
    ProgressBar brief(quick, true, 1.0, clock);
    brief.Finish(1.0);
    EXPECT_EQ(quick.str(), "");
}

namespace {

// Halves every input into the output, as the audio fixture at a gain of 0.5.
class Halver : public BlockProcessor {
public:
    int blocks = 0;
    int fail_at = -1;
    int ProcessBlock(const std::vector<std::vector<float>>& inputs, std::vector<std::vector<float>>& outputs) override {
        if (blocks++ == fail_at) return 3;
        for (std::size_t i = 0; i < outputs[0].size(); ++i) outputs[0][i] = inputs.empty() ? 0 : inputs[0][i] * 0.5f;
        return 0;
    }
};

}  // namespace

TEST(Renderer, FeedsTheBlocksPadsWithSilenceAndKeepsOnlyTheRendersLength) {
    std::vector<float> ramp(10);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.1f * static_cast<float>(i);
    WriteAudio(Scratch("ramp.wav"), ramp, 1, {});
    RenderOptions options;
    options.inputs = {{"", Scratch("ramp.wav"), 0}};
    options.outputs = {{"", Scratch("halved.wav"), 0}};
    options.seconds = 13 / 48000.0;  // 3 samples past the input's end; blocks of 4 end 3 samples beyond
    options.block_size = 4;
    RenderPlan plan;
    std::ostringstream err;
    ASSERT_TRUE(PlanFiles(options, "module.sem", 256, 8192, plan, err));
    ASSERT_TRUE(PlanPins(StereoPins(), plan, err));
    Renderer renderer(plan, err);
    ASSERT_TRUE(renderer.OpenOutputs());
    Halver halver;
    ProgressBar quiet(err, false, 1.0, [] { return 0.0; });
    ASSERT_EQ(renderer.Render(halver, quiet), 0) << err.str();
    EXPECT_EQ(halver.blocks, 4);
    std::ostringstream out;
    ASSERT_EQ(renderer.Finish(StereoPins(), "module.sem", out), 0);
    EXPECT_NE(out.str().find("13 samples) at 48000 Hz, 4 blocks of 4"), std::string::npos) << out.str();

    std::string problem;
    auto halved = AudioFileReader::Open(Scratch("halved.wav"), problem);
    ASSERT_NE(halved, nullptr);
    std::vector<float> expected(13, 0.0f);
    for (std::size_t i = 0; i < ramp.size(); ++i) expected[i] = ramp[i] * 0.5f;
    EXPECT_EQ(ReadAll(*halved), expected);

    // A render that stops (the module crashed) leaves no output.
    fs::remove(Scratch("halved.wav"));
    ASSERT_TRUE(PlanFiles(options, "module.sem", 256, 8192, plan, err));
    ASSERT_TRUE(PlanPins(StereoPins(), plan, err));
    Renderer stopped(plan, err);
    ASSERT_TRUE(stopped.OpenOutputs());
    Halver crashing;
    crashing.fail_at = 2;
    EXPECT_EQ(stopped.Render(crashing, quiet), 3);
    EXPECT_FALSE(fs::exists(Scratch("halved.wav")));
}
