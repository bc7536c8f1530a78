// `semhost try`'s audio side without a browser: the generators a page picks,
// the pacing of the blocks against the listening page's played samples, the
// scopes and the listened blocks with their checksums. Everything is driven
// by sample counts; the audio fixture (Out = In x Gain) runs natively.
#include "commands/try/generator.h"
#include "commands/try/input_files.h"
#include "commands/try/listen_pacer.h"
#include "commands/try/output_tap.h"
#include "commands/try/try_session.h"

#ifdef SEMHOST_HAS_RENDER
#include "commands/audio_file.h"
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

const std::string kAudioFixture = QUILL_AUDIO_FIXTURE_DIR "/audio_fixture_sound.so";
enum { IN = 0, GAIN = 1, OUT = 2 };
constexpr double kEpoch = 1.7e12;

TEST(ListenPacer, KeepsTheBufferFullAsThePagePlays) {
    ListenPacer pacer;
    EXPECT_FALSE(pacer.WantsBlock(256));  // nobody listens
    pacer.Start(4 * 256);
    int blocks = 0;
    while (pacer.WantsBlock(256)) {
        pacer.Sent(256);
        ++blocks;
    }
    EXPECT_EQ(blocks, 4);
    pacer.Played(100);  // less than a block played: no room yet
    EXPECT_FALSE(pacer.WantsBlock(256));
    pacer.Played(256);
    EXPECT_TRUE(pacer.WantsBlock(256));
    // A count that goes back, or past what was sent, is held to what can be.
    pacer.Played(10);
    EXPECT_EQ(pacer.played(), 256u);
    pacer.Played(1u << 30);
    EXPECT_EQ(pacer.played(), pacer.sent());
    EXPECT_EQ(pacer.buffered(), 0u);
    // A new start forgets the counts of the last.
    pacer.Start(256);
    EXPECT_EQ(pacer.sent(), 0u);
    EXPECT_TRUE(pacer.WantsBlock(256));
    EXPECT_FALSE(pacer.WantsBlock(257));
    pacer.Stop();
    EXPECT_FALSE(pacer.WantsBlock(1));
}

TEST(Generator, ReadsWhatThePageSendsAndRefusesTheRest) {
    Generator generator;
    ASSERT_EQ(ParseGenerator({{"kind", "sine"}, {"frequency", 1000}, {"level", 0.25}}, 48000, 0, generator), "");
    EXPECT_EQ(generator.Json(), nlohmann::json({{"kind", "sine"}, {"frequency", 1000.0}, {"level", 0.25}}));
    const InputSignal sine = generator.Signal({}, 1);
    EXPECT_EQ(sine.kind, InputSignal::Kind::Sine);
    EXPECT_EQ(sine.frequency, 1000.0);
    ASSERT_EQ(ParseGenerator({{"kind", "file"}, {"file", 1}}, 48000, 2, generator), "");
    EXPECT_EQ(generator.Json(), nlohmann::json({{"kind", "file"}, {"file", 1}}));
    ASSERT_EQ(ParseGenerator({{"kind", "noise"}}, 48000, 0, generator), "");
    EXPECT_EQ(generator.Signal({}, 7).seed, 7u);

    EXPECT_EQ(ParseGenerator({{"kind", "sine"}, {"frequency", 24001}}, 48000, 0, generator),
              "a sine's frequency is from 0 to half the sample rate");
    EXPECT_EQ(ParseGenerator({{"kind", "noise"}, {"level", -0.5}}, 48000, 0, generator), "a level is from 0 to 16");
    EXPECT_EQ(ParseGenerator({{"kind", "impulse"}, {"level", "1"}}, 48000, 0, generator), "a level is from 0 to 16");
    EXPECT_EQ(ParseGenerator({{"kind", "file"}, {"file", 2}}, 48000, 2, generator), "no such file");
    EXPECT_EQ(ParseGenerator({{"kind", "file"}, {"file", "/etc/passwd"}}, 48000, 2, generator),
              "a file generator names a file by its number");
    EXPECT_EQ(ParseGenerator({{"kind", "square"}}, 48000, 0, generator), "unknown generator \"square\"");
    EXPECT_EQ(ParseGenerator(nlohmann::json::array(), 48000, 0, generator), "a generator needs a kind");
    // A refusal leaves the generator as it was.
    EXPECT_EQ(generator.kind, Generator::Kind::Noise);
}

TEST(LoopedSamples, PlaysTheFileRoundAndRound) {
    LoopedSamples looped("take.wav", {1, 2, 3});
    std::vector<float> samples(7);
    looped.Read(2, samples.data(), samples.size());
    EXPECT_EQ(samples, (std::vector<float>{3, 1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(looped.Describe(), "take.wav, looped");
}

TEST(OutputTap, ChecksumsChainTheListenedBlocks) {
    const float a[2] = {0.5f, -0.5f};
    // FNV-1a of the words, the page's player computes the same.
    std::uint32_t expected = 2166136261u;
    for (const float sample : a) {
        std::uint32_t bits;
        std::memcpy(&bits, &sample, sizeof bits);
        expected = (expected ^ bits) * 16777619u;
    }
    EXPECT_EQ(SampleChecksum(a, 2), expected);
    EXPECT_NE(SampleChecksum(a, 1), SampleChecksum(a + 1, 1));
}

#ifdef SEMHOST_HAS_RENDER
TEST(TryInputs, ReadsOneChannelOfEachFileAtOneRate) {
    const std::filesystem::path folder = std::filesystem::path(SEMHOST_SCRATCH_DIR) / "try_inputs";
    std::filesystem::create_directories(folder);
    const auto write = [&](const std::string& name, int rate, const std::vector<float>& frames) {
        std::string problem;
        auto writer = AudioFileWriter::Create((folder / name).string(), {AudioContainer::Wav, SampleEncoding::Float},
                                              rate, 2, problem);
        ASSERT_NE(writer, nullptr) << problem;
        ASSERT_TRUE(writer->Write(frames.data(), frames.size() / 2, problem)) << problem;
        ASSERT_TRUE(writer->Finish(problem)) << problem;
    };
    write("stereo.wav", 48000, {0.1f, 0.2f, 0.3f, 0.4f});
    write("other.wav", 44100, {0.1f, 0.2f});
    std::vector<TryInputFile> files;
    std::ostringstream err;
    ASSERT_TRUE(ReadTryInputs({{"In", (folder / "stereo.wav").string(), 2}}, files, err)) << err.str();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].sample_rate, 48000);
    std::vector<float> samples(2);
    files[0].samples->Read(0, samples.data(), 2);
    EXPECT_EQ(samples, (std::vector<float>{0.2f, 0.4f}));
    EXPECT_EQ(files[0].samples->name(), "stereo.wav, channel 2");

    files.clear();
    EXPECT_FALSE(ReadTryInputs({{"", (folder / "stereo.wav").string(), 3}}, files, err));
    EXPECT_NE(err.str().find("no channel 3 (the file has 2)"), std::string::npos) << err.str();
    files.clear();
    EXPECT_FALSE(ReadTryInputs({{"", (folder / "stereo.wav").string(), 0}, {"", (folder / "other.wav").string(), 0}},
                               files, err));
    EXPECT_NE(err.str().find("the files of one session share its rate"), std::string::npos) << err.str();
    files.clear();
    EXPECT_FALSE(ReadTryInputs({{"", (folder / "missing.wav").string(), 0}}, files, err));
}
#endif

// The session of the audio fixture, the page's actions given as JSON.
class TryAudioTest : public ::testing::Test {
protected:
    std::ostringstream log;
    std::ostringstream err;

    static nlohmann::json Set(int pin, double value) { return {{"op", "set"}, {"pin", pin}, {"value", value}}; }
    static nlohmann::json Signal(nlohmann::json generator) {
        return {{"op", "signal"}, {"pin", IN}, {"generator", std::move(generator)}};
    }

    // The samples of the listened blocks taken since the last call, decoded
    // from the page's binary messages; their checksums chained.
    std::vector<float> Listened(TrySession& session, std::uint64_t* first = nullptr, std::uint32_t* chained = nullptr,
                                std::size_t* blocks = nullptr) {
        std::vector<float> samples;
        std::uint32_t chain = 2166136261u;
        const std::vector<std::string> frames = session.TakeListenedBlocks();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            std::uint32_t header[4];
            std::memcpy(header, frames[i].data(), sizeof header);
            EXPECT_EQ(header[0], 1u);
            EXPECT_EQ(header[1], static_cast<std::uint32_t>(OUT));
            if (i == 0 && first != nullptr) *first = header[2] | (static_cast<std::uint64_t>(header[3]) << 32);
            std::vector<float> block((frames[i].size() - sizeof header) / sizeof(float));
            std::memcpy(block.data(), frames[i].data() + sizeof header, block.size() * sizeof(float));
            chain = (chain ^ SampleChecksum(block.data(), block.size())) * 16777619u;
            samples.insert(samples.end(), block.begin(), block.end());
        }
        if (chained != nullptr) *chained = chain;
        if (blocks != nullptr) *blocks = frames.size();
        return samples;
    }

    static double Peak(const std::vector<float>& samples) {
        double peak = 0;
        for (const float sample : samples) peak = std::max(peak, std::fabs(static_cast<double>(sample)));
        return peak;
    }
};

TEST_F(TryAudioTest, ListeningPacesTheBlocksByThePlayedSamples) {
    TrySession session(kAudioFixture, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    const nlohmann::json state = session.State();
    EXPECT_TRUE(state["audio"]["streams"].get<bool>());
    EXPECT_EQ(state["audio"]["buffer_blocks"], ListenPacer::kBufferBlocks);
    EXPECT_EQ(state["pins"][IN]["generator"]["kind"], "silence");
    EXPECT_FALSE(state["pins"][OUT].contains("generator"));
    // Nobody listens and no page is open: no block is due.
    EXPECT_FALSE(session.WantsBlock(false));
    EXPECT_TRUE(session.WantsBlock(true));

    ASSERT_EQ(session.Act(Set(GAIN, 0.5), kEpoch), "");
    ASSERT_EQ(session.Act(Signal({{"kind", "sine"}, {"frequency", 1000}, {"level", 0.8}}), kEpoch), "");
    ASSERT_EQ(session.Act({{"op", "listen"}, {"pin", OUT}}, kEpoch), "");
    int blocks = 0;
    while (session.WantsBlock(true) && blocks < 100) {
        session.RunBlock();
        ++blocks;
    }
    EXPECT_EQ(blocks, ListenPacer::kBufferBlocks);
    std::uint64_t first = 0;
    std::uint32_t chained = 0;
    std::size_t sent = 0;
    const std::vector<float> samples = Listened(session, &first, &chained, &sent);
    EXPECT_EQ(sent, static_cast<std::size_t>(ListenPacer::kBufferBlocks));
    EXPECT_NEAR(Peak(samples), 0.4, 1e-3);
    // The page played one block: one more runs.
    ASSERT_EQ(session.Act({{"op", "played"}, {"samples", TrySession::kBlockSize}}, kEpoch), "");
    EXPECT_TRUE(session.WantsBlock(true));
    session.RunBlock();
    EXPECT_FALSE(session.WantsBlock(true));
    EXPECT_EQ(Listened(session).size(), static_cast<std::size_t>(TrySession::kBlockSize));

    // The session's checksum of the stretch is that of the samples sent.
    session.TakeMessages();
    ASSERT_EQ(session.Act({{"op", "checksum"}, {"from", first}, {"blocks", sent}}, kEpoch), "");
    const std::vector<nlohmann::json> answers = session.TakeMessages();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["checksum"].get<std::uint32_t>(), chained);
    ASSERT_EQ(session.Act({{"op", "checksum"}, {"from", first + 1}, {"blocks", 1}}, kEpoch), "");
    EXPECT_TRUE(session.TakeMessages()[0]["missing"].get<bool>());

    // Gain 0: every block after the change is silent.
    ASSERT_EQ(session.Act(Set(GAIN, 0), kEpoch), "");
    ASSERT_EQ(session.Act({{"op", "played"}, {"samples", 4 * TrySession::kBlockSize}}, kEpoch), "");
    while (session.WantsBlock(true)) session.RunBlock();
    const std::vector<float> muted = Listened(session);
    EXPECT_EQ(muted.size(), 3u * TrySession::kBlockSize);
    EXPECT_EQ(Peak(muted), 0.0);

    // Listening off: the blocks run as fast as they may while a page is open.
    ASSERT_EQ(session.Act({{"op", "listen"}, {"pin", -1}}, kEpoch), "");
    EXPECT_TRUE(session.WantsBlock(true));
    session.Finish(err);
}

TEST_F(TryAudioTest, ScopesShowTheNewestSamplesOfEachOutput) {
    TrySession session(kAudioFixture, Panel{}, log);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    ASSERT_EQ(session.Act(Set(GAIN, 1), kEpoch), "");
    ASSERT_EQ(session.Act(Signal({{"kind", "impulse"}, {"level", 0.75}}), kEpoch), "");
    session.TakeScopes();
    EXPECT_TRUE(session.TakeScopes().is_null());  // nothing ran since
    session.RunBlock();
    nlohmann::json scopes = session.TakeScopes();
    ASSERT_EQ(scopes["outputs"].size(), 1u);
    EXPECT_EQ(scopes["outputs"][0]["pin"], OUT);
    std::vector<double> samples = scopes["outputs"][0]["samples"];
    EXPECT_EQ(samples.back(), 0.0);
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), 0.75);
    // Past the scope's length, the impulse is gone from it.
    for (std::size_t i = 0; i * TrySession::kBlockSize < OutputTap::kScopeSamples; ++i) session.RunBlock();
    samples = session.TakeScopes()["outputs"][0]["samples"].get<std::vector<double>>();
    EXPECT_EQ(samples.size(), OutputTap::kScopeSamples);
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), 0.0);
    session.Finish(err);
}

TEST_F(TryAudioTest, GeneratorsAreRefusedWhereTheyCannotPlayAndToldWhereTheyDo) {
    std::vector<TryInputFile> files(1);
    files[0].binding = {"In", "take.wav", 0};
    files[0].sample_rate = 48000;
    files[0].samples = std::make_shared<LoopedSamples>("take.wav", std::vector<float>{0.5f, -0.25f});
    TrySession session(kAudioFixture, Panel{}, log, files);
    ASSERT_EQ(session.Load(kEpoch, err), EXIT_OK) << err.str();
    const nlohmann::json state = session.State();
    EXPECT_EQ(state["audio"]["rate"], 48000.0);
    ASSERT_EQ(state["audio"]["files"].size(), 1u);
    EXPECT_EQ(state["audio"]["files"][0]["name"], "take.wav");
    // The file bound to In feeds it from the start.
    EXPECT_EQ(state["pins"][IN]["generator"], nlohmann::json({{"kind", "file"}, {"file", 0}}));
    ASSERT_EQ(session.Act(Set(GAIN, 2), kEpoch), "");
    ASSERT_EQ(session.Act({{"op", "listen"}, {"pin", OUT}}, kEpoch), "");
    session.RunBlock();
    const std::vector<float> samples = Listened(session);
    ASSERT_GE(samples.size(), 4u);
    EXPECT_EQ(samples[0], 1.0f);
    EXPECT_EQ(samples[1], -0.5f);
    EXPECT_EQ(samples[2], 1.0f);

    EXPECT_EQ(session.Act({{"op", "signal"}, {"pin", OUT}, {"generator", {{"kind", "silence"}}}}, kEpoch),
              "\"Out\" is no sample input");
    EXPECT_EQ(session.Act({{"op", "signal"}, {"pin", GAIN}, {"generator", {{"kind", "silence"}}}}, kEpoch),
              "\"Gain\" is no sample input");
    EXPECT_EQ(session.Act(Signal({{"kind", "file"}, {"file", 1}}), kEpoch), "no such file");
    EXPECT_EQ(session.Act({{"op", "listen"}, {"pin", IN}}, kEpoch), "\"In\" is no sample output");
    EXPECT_EQ(session.Act({{"op", "played"}, {"samples", -1}}, kEpoch), "played counts samples");

    session.TakeMessages();
    ASSERT_EQ(session.Act(Signal({{"kind", "noise"}, {"level", 0.1}}), kEpoch), "");
    const std::vector<nlohmann::json> messages = session.TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["generators"][0]["generator"], nlohmann::json({{"kind", "noise"}, {"level", 0.1}}));
    EXPECT_NE(messages[0]["lines"].dump().find("signal \\\"In\\\" = noise at 0.1"), std::string::npos)
        << messages[0].dump();
    // A fresh copy keeps the generator the page picked, and nobody listens.
    ASSERT_EQ(session.Act({{"op", "reload"}}, kEpoch), "");
    const nlohmann::json reloaded = session.State();
    EXPECT_EQ(reloaded["pins"][IN]["generator"]["kind"], "noise");
    EXPECT_EQ(reloaded["audio"]["listening"], -1);
    session.Finish(err);
}

TEST_F(TryAudioTest, AFileForAPinThatIsNoSampleInputStopsTheLoad) {
    std::vector<TryInputFile> files(1);
    files[0].binding = {"Gain", "take.wav", 0};
    files[0].sample_rate = 48000;
    files[0].samples = std::make_shared<LoopedSamples>("take.wav", std::vector<float>{0.5f});
    TrySession session(kAudioFixture, Panel{}, log, files);
    EXPECT_EQ(session.Load(kEpoch, err), EXIT_BAD_INPUT);
    EXPECT_NE(err.str().find("\"Gain\" is no sample input; take.wav feeds one"), std::string::npos) << err.str();
    session.Finish(err);
}

}  // namespace
