// The sample pins' signal in play's reports: the record keeps each block's
// lowest and highest sample with its peak and RMS, the picture's data
// carries them on the sample clock, the trace has a slice per run, and a
// long session is kept at a coarser grain instead of without bound.
#include "semhost_test_support.h"
#include "reports/session_record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The session data the page carries.
nlohmann::json PictureData(const std::string& html) {
    const std::string open = "<script type=\"application/json\" id=\"session-data\">";
    const std::size_t from = html.find(open);
    const std::size_t to = html.find("</script>", from);
    if (from == std::string::npos || to == std::string::npos) return nullptr;
    return nlohmann::json::parse(html.substr(from + open.size(), to - from - open.size()));
}

int PinNamed(const nlohmann::json& data, const std::string& name) {
    for (const nlohmann::json& pin : data.at("pins"))
        if (pin.at("name") == name) return pin.at("index").get<int>();
    return -1;
}

const nlohmann::json* LevelOf(const nlohmann::json& block, int pin) {
    for (const nlohmann::json& level : block.at("levels"))
        if (level.at("pin") == pin) return &level;
    return nullptr;
}

TEST(PlayWaveform, EachBlockKeepsItsLowHighPeakAndRmsAndTheTraceASlicePerRun) {
    const std::string script = WriteScratchFile("waveform.script",
                                                "set Gain 0.5\n"
                                                "signal In dc 0.8\n"
                                                "run 3 blocks\n"
                                                "signal In sine 1000 Hz at 0.8\n"
                                                "run 4 blocks\n");
    const std::string html = std::string(SEMHOST_SCRATCH_DIR) + "/waveform.html";
    const std::string trace = std::string(SEMHOST_SCRATCH_DIR) + "/waveform.trace.json";
    for (const std::string& fixture : AudioFixturePaths("sound")) {
        SCOPED_TRACE(fixture);
        std::filesystem::remove(html);
        std::filesystem::remove(trace);
        std::vector<std::string> arguments = {"play", fixture, script, "--html", html, "--trace", trace};
#ifndef _WIN32
        // The i386 fixture runs in the emulator here, on the virtual clock;
        // semhost.exe loads it natively, on the system's clock.
        if (fixture.ends_with(".sem")) arguments.insert(arguments.end(), {"--clock", "virtual"});
#endif
        const CommandResult result = RunCommand(arguments);
        ASSERT_EQ(result.code, 0) << result.out << result.err;
        const nlohmann::json data = PictureData(ReadFile(html));
        ASSERT_TRUE(data.is_object());
        const int in = PinNamed(data, "In");
        const int out = PinNamed(data, "Out");
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);

        // Which moment each block belongs to: the dc run, then the sine run.
        int dc_moment = -1;
        int sine_moment = -1;
        const nlohmann::json& moments = data.at("moments");
        for (std::size_t m = 0; m < moments.size(); ++m) {
            if (moments[m].at("text") == "run 3 blocks") dc_moment = static_cast<int>(m);
            if (moments[m].at("text") == "run 4 blocks") sine_moment = static_cast<int>(m);
        }
        int dc_blocks = 0;
        int sine_blocks = 0;
        double sine_low = 0;
        double sine_high = 0;
        std::uint64_t next_start = 0;
        bool first = true;
        for (const nlohmann::json& block : data.at("blocks")) {
            // One after the other on the sample clock, in ms as well.
            const std::uint64_t start = block.at("start").get<std::uint64_t>();
            if (!first) {
                EXPECT_EQ(start, next_start) << block.dump();
            }
            first = false;
            next_start = start + block.at("length").get<std::uint64_t>();
            EXPECT_LT(block.at("startMs").get<double>(), block.at("endMs").get<double>());
            const nlohmann::json* in_level = LevelOf(block, in);
            const nlohmann::json* out_level = LevelOf(block, out);
            ASSERT_NE(in_level, nullptr);
            ASSERT_NE(out_level, nullptr);
            if (block.at("moment") == dc_moment) {
                ++dc_blocks;
                EXPECT_FLOAT_EQ(in_level->at("min").get<float>(), 0.8f);
                EXPECT_FLOAT_EQ(in_level->at("max").get<float>(), 0.8f);
                EXPECT_FLOAT_EQ(out_level->at("min").get<float>(), 0.4f);
                EXPECT_FLOAT_EQ(out_level->at("max").get<float>(), 0.4f);
                EXPECT_NEAR(out_level->at("rms").get<double>(), 0.4, 1e-6);
            }
            if (block.at("moment") == sine_moment) {
                ++sine_blocks;
                sine_low = std::min(sine_low, out_level->at("min").get<double>());
                sine_high = std::max(sine_high, out_level->at("max").get<double>());
                EXPECT_NEAR(out_level->at("peak").get<double>(),
                            std::max(-out_level->at("min").get<double>(), out_level->at("max").get<double>()), 1e-6);
                EXPECT_NEAR(in_level->at("peak").get<double>(), 2 * out_level->at("peak").get<double>(), 1e-5);
            }
        }
        EXPECT_EQ(dc_blocks, 3);
        EXPECT_EQ(sine_blocks, 4);
        EXPECT_NEAR(sine_low, -0.4, 0.002);
        EXPECT_NEAR(sine_high, 0.4, 0.002);

        // A slice per processing run, on the sample clock: as many as blocks.
        const nlohmann::json parsed = nlohmann::json::parse(ReadFile(trace));
        std::size_t slices = 0;
        double slice_end = 0;
        for (const nlohmann::json& event : parsed.at("traceEvents")) {
            if (event.value("cat", "") != "run") continue;
            ++slices;
            EXPECT_EQ(event.at("tid"), 2);
            // One after the other on their track, never overlapping.
            EXPECT_NEAR(event.at("ts").get<double>(), slice_end, 1e-6) << event.dump();
            slice_end = event.at("ts").get<double>() + event.at("dur").get<double>();
            EXPECT_EQ(event.at("ph"), "X");
            EXPECT_GT(event.at("dur").get<double>(), 0.0);
            EXPECT_TRUE(event.at("args").at("levels").contains("Out")) << event.dump();
        }
        EXPECT_EQ(slices, data.at("blocks").size());
    }
}

TEST(PlayWaveform, ALongSessionIsKeptBoundedWithItsExtremes) {
    SessionRecord record;
    const int runs = 3 * static_cast<int>(kMaxRecordedBlocks) + 7;
    for (int i = 0; i < runs; ++i) {
        RecordedBlocks run;
        run.moment = i < 10 ? 1 : 2;  // two moments: never merged across
        run.block_start = static_cast<std::uint64_t>(i) * 64;
        run.length = 64;
        run.ran = 1;
        run.sample_rate = 48000;
        RecordedLevel level;
        level.pin = 3;
        level.low = i == 5000 ? -0.9f : -0.1f;
        level.high = i == 20 ? 0.7f : 0.1f;
        const float samples[2] = {level.low, level.high};
        level.stats.Add(samples, 2);
        run.levels.push_back(level);
        AddRecordedBlocks(record, run);
    }
    ASSERT_LE(record.blocks.size(), kMaxRecordedBlocks);
    int total = 0;
    float low = 0;
    float high = 0;
    std::uint64_t next = 0;
    for (const RecordedBlocks& entry : record.blocks) {
        EXPECT_EQ(entry.block_start, next);
        next = entry.block_start + entry.length;
        EXPECT_EQ(entry.length, static_cast<std::uint64_t>(entry.runs) * 64);
        EXPECT_EQ(entry.levels.front().stats.samples, static_cast<std::uint64_t>(entry.runs) * 2);
        if (entry.block_start < 10 * 64) {
            EXPECT_EQ(entry.moment, 1);
        }
        total += entry.runs;
        low = std::min(low, entry.levels.front().low);
        high = std::max(high, entry.levels.front().high);
    }
    EXPECT_EQ(total, runs);
    EXPECT_EQ(low, -0.9f);
    EXPECT_EQ(high, 0.7f);
}

}  // namespace
