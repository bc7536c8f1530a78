// The host's model of a processing run, on a scripted module: the buffers
// hold the block, the clock and block start follow it, events land inside
// the block at their time stamps, module variables follow the pins, a pin
// change reaches the audio side as EV_PIN_STATUS, writes outside a buffer
// and into an input are caught, and a sleeping object wakes only for an
// event or a moving input.
#include "scripted_module.h"
#include "session/host_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

struct RunLog : SessionObserver {
    std::vector<ProcessingRun> runs;
    std::vector<std::pair<Violation, std::string>> violations;
    void OnRun(const ProcessingRun& run) override { runs.push_back(run); }
    void OnViolation(Violation kind, const std::string& reason) override { violations.push_back({kind, reason}); }
};

float* Samples(std::int64_t address) { return reinterpret_cast<float*>(static_cast<std::uintptr_t>(address)); }

// A gain: "In" (sample input, variable), "Panel" (GUI-side only), "Gain"
// (float input, variable), "Out" (sample output, buffer asked at open).
struct GainModule {
    ScriptedAudio audio;
    float* in = nullptr;
    float gain = -1.0f;
    float* out = nullptr;
    RunLog log;
    std::vector<ModuleEvent> events;
    std::vector<std::int64_t> clock_in_run;

    GainModule() {
        audio.pins = {{"In", DR_IN, DT_FSAMPLE, 0, &in},
                      {"Panel", DR_IN, DT_FLOAT, IO_UI_COMMUNICATION},
                      {"Gain", DR_IN, DT_FLOAT, 0, &gain},
                      {"Out", DR_OUT, DT_FSAMPLE}};
        // "Panel" has no audio-side pin, so "Out" is pin 2 of the array.
        audio.on_open = [this] { out = Samples(audio.Ask(AUDIO_HOST_GET_PIN_BUFFER, 2)); };
        audio.on_process = [this] {
            clock_in_run.push_back(audio.Ask(AUDIO_HOST_GET_SAMPLE_CLOCK));
            const std::int64_t start = audio.Ask(AUDIO_HOST_GET_BLOCK_START, 0);
            EXPECT_EQ(start, clock_in_run.back());
            for (int i = 0; i < 64; ++i) out[i] = in[i] * gain;
        };
        audio.on_event = [this](const ModuleEvent& event) { events.push_back(event); };
    }
};

struct Opened {
    HostSession session;
    HostedObject* object = nullptr;
    explicit Opened(GainModule& module, int block = 64) : session(module.audio.library) {
        std::vector<std::string> problems;
        std::string problem;
        HostedObject* probe = session.Create(ObjectKind::Audio, problem);
        session.ReadPinTable(*probe, problems);
        session.Close(*probe);
        session.AddObserver(&module.log);
        object = session.Create(ObjectKind::Audio, problem);
        session.Dispatch(*object, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 48000.0f);
        session.Dispatch(*object, AUDIO_SET_BLOCK_SIZE, 0, block);
        session.Dispatch(*object, AUDIO_OPEN);
    }
};

TEST(ProcessingRun, BuffersHoldTheBlockAndTheClockMovesOnByIt) {
    GainModule module;
    Opened opened(module);
    HostSession& session = opened.session;
    ASSERT_NE(module.in, nullptr);
    ASSERT_NE(module.out, nullptr);
    EXPECT_EQ(module.gain, 0.0f);  // the host's value, written before the first run
    session.SetPin(session.FindPin("Gain"), PinBitsOfFloat(0.5f));
    InputSignal sine;
    sine.kind = InputSignal::Kind::Sine;
    sine.frequency = 750.0;  // 64 samples a cycle at 48 kHz
    sine.level = 0.8;
    ASSERT_TRUE(session.SetInputSignal(*opened.object, session.FindPin("In"), sine));
    EXPECT_FALSE(session.SetInputSignal(*opened.object, session.FindPin("Out"), sine));

    EXPECT_EQ(session.Process(*opened.object, 3), 3);
    EXPECT_EQ(module.clock_in_run, (std::vector<std::int64_t>{0, 64, 128}));
    EXPECT_EQ(session.sample_clock(), 192u);
    ASSERT_EQ(module.log.runs.size(), 3u);
    const ProcessingRun& last = module.log.runs.back();
    EXPECT_EQ(last.block_start, 128u);
    EXPECT_EQ(last.length, 64);
    ASSERT_EQ(last.outputs.size(), 1u);
    EXPECT_EQ(last.outputs[0].pin, 3);
    EXPECT_EQ(last.outputs[0].audio_pin, 2);
    EXPECT_NEAR(last.outputs[0].stats.peak, 0.4, 1e-6);
    EXPECT_NEAR(last.outputs[0].stats.Rms(), 0.4 / std::sqrt(2.0), 1e-6);
    // The input holds the sine of the block: sample 16 of a 64-sample cycle is its crest.
    EXPECT_NEAR(module.in[16], 0.8f, 1e-6f);
    EXPECT_TRUE(module.log.violations.empty()) << module.log.violations[0].second;

    // A longer block moves the guard, not the buffer.
    float* const in_before = module.in;
    session.Dispatch(*opened.object, AUDIO_SET_BLOCK_SIZE, 0, 8192);
    session.Process(*opened.object, 1);
    EXPECT_EQ(module.in, in_before);
    EXPECT_EQ(module.log.runs.back().length, 8192);
    EXPECT_EQ(session.sample_clock(), 192u + 8192u);
}

TEST(ProcessingRun, EventsLandAtTheirSampleBeforeTheRunThatCoversThem) {
    GainModule module;
    Opened opened(module);
    HostSession& session = opened.session;
    InputSignal noise;
    noise.kind = InputSignal::Kind::Noise;
    noise.level = 1.0;
    noise.seed = 7;
    session.SetInputSignal(*opened.object, session.FindPin("In"), noise);
    std::vector<std::string> order;
    float sample_at_event = 0.0f;
    module.audio.on_event = [&](const ModuleEvent& event) {
        const std::int64_t clock = module.audio.Ask(AUDIO_HOST_GET_SAMPLE_CLOCK);
        const std::int64_t start = module.audio.Ask(AUDIO_HOST_GET_BLOCK_START, 0);
        order.push_back("event " + std::to_string(event.event_type) + " at " + std::to_string(clock) + " in block " +
                        std::to_string(start));
        if (event.event_type == EV_DATA) sample_at_event = module.in[clock - start];
    };
    module.audio.on_process = [&] {
        const std::int64_t clock = module.audio.Ask(AUDIO_HOST_GET_SAMPLE_CLOCK);
        order.push_back("run at " + std::to_string(clock));
        if (clock == 0) module.audio.Queue(64 + 10, EV_DATA);  // inside the next block
    };
    session.Process(*opened.object, 2);
    // (The input's status came when its signal was set, before the first run.)
    EXPECT_EQ(order, (std::vector<std::string>{"run at 0", "event 2 at 74 in block 64", "run at 64"}));
    // The event reads the input's sample at its own time.
    float expected[80];
    RenderSignal(noise, 48000.0, 0, expected, 80);
    EXPECT_EQ(sample_at_event, expected[74]);
}

TEST(ProcessingRun, APinChangeWritesTheVariableAndReportsItsStatusAtTheNextBlockStart) {
    GainModule module;
    Opened opened(module);
    HostSession& session = opened.session;
    session.Process(*opened.object, 1);
    float gain_seen_in_event = -1.0f;
    std::int64_t clock_in_event = -1;
    module.audio.on_event = [&](const ModuleEvent& event) {
        module.events.push_back(event);
        gain_seen_in_event = module.gain;
        clock_in_event = module.audio.Ask(AUDIO_HOST_GET_SAMPLE_CLOCK);
    };
    session.SetPin(session.FindPin("Panel"), PinBitsOfFloat(3.0f));  // GUI-side only: nothing reaches audio
    EXPECT_TRUE(module.events.empty());
    session.SetPin(session.FindPin("Gain"), PinBitsOfFloat(0.75f));
    // At once, at the sample the next block starts with, before its run.
    ASSERT_EQ(module.events.size(), 1u);
    EXPECT_EQ(module.events[0].event_type, EV_PIN_STATUS);
    EXPECT_EQ(module.events[0].time_stamp, 64u);
    EXPECT_EQ(clock_in_event, 64);
    EXPECT_EQ(module.events[0].param_ptr, 1);  // "Gain" is pin 1 of the array
    EXPECT_EQ(module.events[0].param_a, PS_ONCE);
    EXPECT_EQ(gain_seen_in_event, 0.75f);

    // A change made inside a call of the module's reaches the audio side
    // once that call has returned, not inside it.
    module.audio.on_open = [&] {
        session.SetPin(session.FindPin("Gain"), PinBitsOfFloat(0.5f));
        EXPECT_EQ(module.events.size(), 1u);
    };
    session.Dispatch(*opened.object, AUDIO_OPEN);
    ASSERT_EQ(module.events.size(), 2u);
    EXPECT_EQ(gain_seen_in_event, 0.5f);
}

TEST(ProcessingRun, VariablesAreWrittenInThePinsOwnWidth) {
    ScriptedAudio audio;
    struct {
        std::uint8_t flag;
        std::uint8_t after_flag;
        std::int16_t level;
        std::int16_t after_level;
    } variables{0xEE, 0xEE, 0x5555, 0x5555};
    audio.pins = {{"Flag", DR_IN, DT_BOOL, 0, &variables.flag}, {"Level", DR_IN, DT_SHORT, 0, &variables.level}};
    HostSession session(audio.library);
    std::vector<std::string> problems;
    std::string problem;
    HostedObject* probe = session.Create(ObjectKind::Audio, problem);
    session.ReadPinTable(*probe, problems);
    session.Close(*probe);
    session.SetPin(0, 1);
    session.SetPin(1, static_cast<std::uint32_t>(-300));
    HostedObject* object = session.Create(ObjectKind::Audio, problem);
    session.Dispatch(*object, AUDIO_OPEN);
    EXPECT_EQ(variables.flag, 1);
    EXPECT_EQ(variables.after_flag, 0xEE);
    EXPECT_EQ(variables.level, -300);
    EXPECT_EQ(variables.after_level, 0x5555);
}

TEST(ProcessingRun, WritesOutsideTheBlockAndIntoAnInputAreNamedWithPinAndOffset) {
    GainModule module;
    Opened opened(module);
    HostSession& session = opened.session;
    const struct {
        int offset;
        bool into_input;
        Violation kind;
        const char* said;
    } cases[] = {
        {64, false, Violation::BufferOverrun, "sample buffer of \"Out\": at offset 64 of a 64-sample block (1 past its end)"},
        {-1, false, Violation::BufferOverrun, "sample buffer of \"Out\": at offset -1 of a 64-sample block (1 before its start)"},
        {5, true, Violation::InputOverwritten, "buffer of its input \"In\": at offset 5 of the block"},
    };
    for (const auto& one : cases) {
        module.log.violations.clear();
        module.audio.on_process = [&] {
            (one.into_input ? module.in : module.out)[one.offset] = 0.125f;
        };
        session.Process(*opened.object, 1);
        ASSERT_EQ(module.log.violations.size(), 1u) << one.said;
        EXPECT_EQ(module.log.violations[0].first, one.kind);
        EXPECT_NE(module.log.violations[0].second.find(one.said), std::string::npos) << module.log.violations[0].second;
        // Told once: the guards are laid again and the input rewritten.
        module.log.violations.clear();
        module.audio.on_process = [] {};
        session.Process(*opened.object, 1);
        EXPECT_TRUE(module.log.violations.empty());
    }
}

TEST(ProcessingRun, ASleepingObjectWakesForAnEventOrAMovingInputOnly) {
    GainModule module;
    Opened opened(module);
    HostSession& session = opened.session;
    int runs = 0;
    module.audio.on_process = [&] {
        ++runs;
        for (int i = 0; i < 64; ++i) module.out[i] = module.in[i] * module.gain;
        module.audio.Ask(AUDIO_HOST_SLEEP);
    };
    EXPECT_EQ(session.Process(*opened.object, 4), 1);  // silence: asleep after the first
    EXPECT_TRUE(module.log.runs.back().outputs[0].stats.Silent());
    EXPECT_FALSE(module.log.runs.back().ran);
    EXPECT_EQ(session.sample_clock(), 256u);  // the clock moves through sleep

    session.SetPin(session.FindPin("Gain"), PinBitsOfFloat(2.0f));
    EXPECT_EQ(session.Process(*opened.object, 4), 1);  // the status event wakes it once

    InputSignal dc;
    dc.kind = InputSignal::Kind::Dc;
    dc.level = 0.25;
    session.SetInputSignal(*opened.object, session.FindPin("In"), dc);
    EXPECT_EQ(session.Process(*opened.object, 4), 1);  // a step to a new constant: one run

    InputSignal sine;
    sine.kind = InputSignal::Kind::Sine;
    sine.frequency = 1000.0;
    sine.level = 0.5;
    session.SetInputSignal(*opened.object, session.FindPin("In"), sine);
    EXPECT_EQ(session.Process(*opened.object, 4), 4);  // it moves in every block
    EXPECT_EQ(runs, 7);
    // Asleep with a moving output: the run says so.
    EXPECT_TRUE(module.log.runs.back().SleptWhileSounding());
}

TEST(SampleSignals, DoNotDependOnHowTheClockIsCutIntoBlocksAndAreMeasuredAsWritten) {
    for (InputSignal::Kind kind : {InputSignal::Kind::Sine, InputSignal::Kind::Noise, InputSignal::Kind::Impulse}) {
        InputSignal signal;
        signal.kind = kind;
        signal.level = 0.5;
        signal.frequency = 441.0;
        signal.seed = 3;
        signal.start = 100;
        float whole[300];
        float parts[300];
        RenderSignal(signal, 44100.0, 50, whole, 300);
        RenderSignal(signal, 44100.0, 50, parts, 17);
        RenderSignal(signal, 44100.0, 67, parts + 17, 283);
        EXPECT_EQ(std::memcmp(whole, parts, sizeof whole), 0) << signal.Describe();
        EXPECT_EQ(whole[0], 0.0f) << "before its start a signal is silent";
    }
    const float samples[] = {0.5f, -1.0f, NAN, INFINITY, -INFINITY, 1e-40f, 0.0f};
    SampleStats stats;
    stats.Add(samples, 4);
    stats.Add(samples + 4, 3);
    EXPECT_EQ(stats.samples, 7u);
    EXPECT_EQ(stats.nan, 1u);
    EXPECT_EQ(stats.infinite, 2u);
    EXPECT_EQ(stats.subnormal, 1u);
    EXPECT_EQ(stats.peak, 1.0);
    EXPECT_NEAR(stats.Rms(), std::sqrt(1.25 / 4), 1e-9);
    EXPECT_FALSE(stats.constant);
    // A gain of 0 on a sine writes zeros of both signs, and a NaN in a
    // silent block is finite-output's finding: neither moves the output.
    SampleStats zeros;
    const float silent[] = {0.0f, -0.0f, NAN, 0.0f};
    zeros.Add(silent, 2);
    zeros.Add(silent + 2, 2);
    EXPECT_EQ(zeros.peak, 0.0);
    EXPECT_TRUE(zeros.constant);
    SampleStats merged;
    merged.Merge(zeros);
    const float moved[] = {NAN, 0.25f};
    SampleStats after;
    after.Add(moved, 2);
    merged.Merge(after);
    EXPECT_FALSE(merged.constant) << "0 then 0.25 across blocks";
}

}  // namespace
