// The audio fixture (a gain on the framework), i386 in the emulator and
// native in a process of its own, through a session as a host runs it: a
// sine at Gain 0.5 comes out at half its peak, every run counts its heap
// operations where the back end can, and a fault fixture shows its fault.
#include "commands/commands.h"
#include "semhost_test_support.h"
#include "session/host_clock.h"
#include "session/host_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>

namespace {

struct RunLog : SessionObserver {
    std::vector<ProcessingRun> runs;
    std::vector<std::string> violations;
    void OnRun(const ProcessingRun& run) override { runs.push_back(run); }
    void OnViolation(Violation, const std::string& reason) override { violations.push_back(reason); }
};

// The module loaded, probed and its audio object opened at 48 kHz in blocks of `block`.
struct OpenedFixture {
    HostClock clock = HostClock::ModuleDefault();
    std::ostringstream err;
    RunLog log;
    std::unique_ptr<HostedModule> module;
    HostSession* session = nullptr;
    HostedObject* audio = nullptr;

    OpenedFixture(const std::string& path, int block) {
        int failure = EXIT_OK;
        module = HostedModule::Open(path, clock, err, failure);
        if (module == nullptr) return;
        session = &module->session();
        if (module->Probe(err) != EXIT_OK) return;
        module->Attach(log);
        std::string problem;
        audio = session->Create(ObjectKind::Audio, problem);
        if (audio == nullptr) return;
        session->Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 48000.0f);
        session->Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, block);
        session->Dispatch(*audio, AUDIO_OPEN);
    }
    void Sine(double level) {
        InputSignal sine;
        sine.kind = InputSignal::Kind::Sine;
        sine.frequency = 1000.0;
        sine.level = level;
        ASSERT_TRUE(session->SetInputSignal(*audio, session->FindPin("In"), sine));
    }
};

TEST(AudioFixture, PlaysASineAtGainHalfToHalfThePeak) {
    for (const std::string& path : AudioFixturePaths("sound")) {
        SCOPED_TRACE(path);
        OpenedFixture fixture(path, 480);
        ASSERT_NE(fixture.audio, nullptr) << fixture.err.str();
        HostSession& session = *fixture.session;
        session.SetPin(session.FindPin("Gain"), PinBitsOfFloat(0.5f));
        fixture.Sine(0.8);
        EXPECT_EQ(session.Process(*fixture.audio, 4), 4);
        ASSERT_FALSE(session.faulted()) << session.fault();
        const ProcessingRun& last = fixture.log.runs.back();
        ASSERT_EQ(last.outputs.size(), 1u);
        // 1 kHz at 48 kHz: ten whole cycles a block, the crest among them.
        EXPECT_NEAR(last.outputs[0].stats.peak, 0.4, 1e-6);
        EXPECT_NEAR(last.outputs[0].stats.Rms(), 0.4 / std::sqrt(2.0), 1e-4);
        EXPECT_TRUE(last.outputs[0].stats.Finite());
        EXPECT_TRUE(fixture.log.violations.empty()) << fixture.log.violations[0];
        // It works in place and allocates nothing once running.
        EXPECT_EQ(last.heap_operations, std::optional<std::uint64_t>(0));

        // Silence in: one run to hear it, then asleep until something moves.
        InputSignal silence;
        session.SetInputSignal(*fixture.audio, session.FindPin("In"), silence);
        EXPECT_EQ(session.Process(*fixture.audio, 4), 1);
        EXPECT_TRUE(fixture.log.runs.back().outputs[0].stats.Silent());
    }
}

TEST(AudioFixture, FaultsShowInTheRunsTheyBreak) {
    struct Case {
        const char* fault;
        std::function<bool(const OpenedFixture&)> shows;
        const char* what;
    };
    const Case cases[] = {
        {"nan", [](const OpenedFixture& f) { return f.log.runs.back().outputs[0].stats.nan == 1; }, "one NaN a block"},
        {"inf", [](const OpenedFixture& f) { return f.log.runs.back().outputs[0].stats.infinite == 1; }, "one Inf a block"},
        {"past_block",
         [](const OpenedFixture& f) {
             return !f.log.violations.empty() &&
                    f.log.violations[0].find("sample buffer of \"Out\": at offset 480 of a 480-sample block") !=
                        std::string::npos;
         },
         "a write one past the block"},
        {"writes_input",
         [](const OpenedFixture& f) {
             return !f.log.violations.empty() &&
                    f.log.violations[0].find("buffer of its input \"In\"") != std::string::npos;
         },
         "a write into the input"},
        {"sleeps_sounding", [](const OpenedFixture& f) { return f.log.runs.back().SleptWhileSounding(); },
         "sleep while sounding"},
    };
    for (const Case& one : cases) {
        for (const std::string& path : AudioFixturePaths(one.fault)) {
            SCOPED_TRACE(path);
            OpenedFixture fixture(path, 480);
            ASSERT_NE(fixture.audio, nullptr) << fixture.err.str();
            fixture.session->SetPin(fixture.session->FindPin("Gain"), PinBitsOfFloat(0.5f));
            fixture.Sine(0.8);
            fixture.session->Process(*fixture.audio, 2);
            ASSERT_FALSE(fixture.session->faulted()) << fixture.session->fault();
            EXPECT_TRUE(one.shows(fixture)) << one.what;
        }
    }
}

TEST(AudioFixture, AllocationsInARunAreCounted) {
    // On the emulated heap, and natively through the module's imports of
    // malloc and free.
    for (const std::string& path : AudioFixturePaths("allocates")) {
        SCOPED_TRACE(path);
        OpenedFixture fixture(path, 256);
        ASSERT_NE(fixture.audio, nullptr) << fixture.err.str();
        fixture.Sine(0.5);
        fixture.session->Process(*fixture.audio, 3);
        ASSERT_EQ(fixture.log.runs.size(), 3u);
        for (const ProcessingRun& run : fixture.log.runs)
            EXPECT_EQ(run.heap_operations, std::optional<std::uint64_t>(2));
    }
}

TEST(AudioFixture, ATableSizedForLowerRatesCrashesAt192kHz) {
    for (const std::string& path : AudioFixturePaths("rate_table")) {
        SCOPED_TRACE(path);
        OpenedFixture fixture(path, 256);
        ASSERT_NE(fixture.audio, nullptr) << fixture.err.str();
        fixture.session->Process(*fixture.audio, 1);
        ASSERT_FALSE(fixture.session->faulted()) << "48 kHz is within its table";
        fixture.session->Dispatch(*fixture.audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 192000.0f);
        fixture.Sine(0.5);
        fixture.session->Process(*fixture.audio, 1);
        EXPECT_TRUE(fixture.session->faulted());
    }
}

}  // namespace
