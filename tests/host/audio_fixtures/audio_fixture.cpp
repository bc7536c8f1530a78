// An audio effect on the framework, for testing the host's audio side:
// "In" (sample input, its buffer in a module variable), "Gain" (float input,
// its value in a module variable) and "Out" (sample output, its buffer asked
// of the host); Out is In times Gain. It takes Gain on its status event,
// keeps one millisecond of its input in a history line sized by the sample
// rate, works through a scratch buffer of 1024 samples a piece, and sleeps
// while its input is silent. Built sound and once per fault below, each a
// mistake real audio modules make:
//   AUDIO_FIXTURE_NAN              a NaN in the middle of every output block
//   AUDIO_FIXTURE_INF              an infinity in the middle of every output block
//   AUDIO_FIXTURE_SUBNORMAL        subnormal samples where the output is silent
//   AUDIO_FIXTURE_PAST_BLOCK       writes one sample past the output block
//   AUDIO_FIXTURE_WRITES_INPUT     scales the input in place, in the host's buffer
//   AUDIO_FIXTURE_ALLOCATES        allocates and frees a buffer in every run
//   AUDIO_FIXTURE_SCRATCH_1024     runs a whole block through its 1024-sample
//                                  scratch buffer, past its end beyond 1024
//   AUDIO_FIXTURE_RATE_TABLE       its history line has room for 96 kHz; at a
//                                  higher rate clearing it runs over the line's
//                                  cursor, which the next run writes through
//   AUDIO_FIXTURE_IGNORES_STATUS   never reads Gain's status events: keeps the
//                                  gain it had at open
//   AUDIO_FIXTURE_THIRD_EXPORT     exports a third function
//   AUDIO_FIXTURE_SLEEPS_SOUNDING  asks to sleep after every run, sounding or not
//   AUDIO_FIXTURE_UNBOUNDED_FEEDBACK  takes Gain as the feedback of a loop (Out is
//                                  In plus Gain times the last Out) with no bound:
//                                  at Gain 0 Out is In; far beyond 1 the loop
//                                  grows until it overflows
#include "SEExports.h"
#include "SEHostTypes.h"
#include "SEModule_base.h"
#include "SEGUI_base.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define FIXTURE_EXPORT
#else
#define FIXTURE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

enum : std::int32_t { PIN_IN = 0, PIN_GAIN = 1, PIN_OUT = 2, PIN_COUNT = 3 };

constexpr std::int32_t kScratchSamples = 1024;
#if defined(AUDIO_FIXTURE_RATE_TABLE)
constexpr std::int32_t kHighestRate = 96000;
#else
constexpr std::int32_t kHighestRate = 192000;
#endif
constexpr std::int32_t kHistoryRoom = kHighestRate / 1000;  // one millisecond

class AudioFixture final : public SEModule_base {
public:
    AudioFixture(HostCallback callback, std::intptr_t host_value) : SEModule_base(callback, host_value) {
        ResizeHistory(m_samplerate);
    }

    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override {
        switch (index) {
        case PIN_IN:
            properties->name = "In";
            properties->direction = DR_IN;
            properties->datatype = DT_FSAMPLE;
            properties->variable_ptr = &m_in;
            return true;
        case PIN_GAIN:
            properties->name = "Gain";
            properties->direction = DR_IN;
            properties->datatype = DT_FLOAT;
            properties->variable_ptr = &m_gain;
            return true;
        case PIN_OUT:
            properties->name = "Out";
            properties->direction = DR_OUT;
            properties->datatype = DT_FSAMPLE;
            return true;
        default:
            return false;
        }
    }

    void Open() override {
        OpenPins<AudioFixture>();
        // The host wrote Gain's value before the open.
        m_coefficient = m_gain;
        SetProcessFunction(static_cast<ProcessFunction>(&AudioFixture::Process));
    }

    void SetSampleRate(float rate) override {
        SEModule_base::SetSampleRate(rate);
        ResizeHistory(rate);
    }

#if !defined(AUDIO_FIXTURE_IGNORES_STATUS)
    void OnPinStatusChange(SEPin* pin) override {
        if (pin->GetIndex() == PIN_GAIN) m_coefficient = m_gain;
    }
#endif

    void SE_CALL Process() {
        const std::int32_t length = BlockSize();
        float* out = *static_cast<float**>(GetPin(PIN_OUT)->GetVariable());
        float* in = m_in;
#if defined(AUDIO_FIXTURE_SCRATCH_1024)
        // A whole block at once, whatever its length.
        float scratch[kScratchSamples];
        float* volatile cursor = scratch;
        for (std::int32_t i = 0; i < length; ++i) cursor[i] = in[i] * m_coefficient;
        std::memcpy(out, scratch, static_cast<std::size_t>(length) * sizeof(float));
#elif defined(AUDIO_FIXTURE_WRITES_INPUT)
        for (std::int32_t i = 0; i < length; ++i) in[i] *= m_coefficient;
        std::memcpy(out, in, static_cast<std::size_t>(length) * sizeof(float));
#elif defined(AUDIO_FIXTURE_UNBOUNDED_FEEDBACK)
        for (std::int32_t i = 0; i < length; ++i) {
            m_feedback = in[i] + m_coefficient * m_feedback;
            out[i] = m_feedback;
        }
#elif defined(AUDIO_FIXTURE_ALLOCATES)
        float* scratch = static_cast<float*>(std::malloc(static_cast<std::size_t>(length) * sizeof(float)));
        if (scratch == nullptr) return;
        for (std::int32_t i = 0; i < length; ++i) scratch[i] = in[i] * m_coefficient;
        std::memcpy(out, scratch, static_cast<std::size_t>(length) * sizeof(float));
        std::free(scratch);
#else
        float scratch[kScratchSamples];
        for (std::int32_t done = 0; done < length; done += kScratchSamples) {
            const std::int32_t count = length - done < kScratchSamples ? length - done : kScratchSamples;
            for (std::int32_t i = 0; i < count; ++i) scratch[i] = in[done + i] * m_coefficient;
            std::memcpy(out + done, scratch, static_cast<std::size_t>(count) * sizeof(float));
        }
#endif
#if defined(AUDIO_FIXTURE_NAN)
        out[length / 2] = std::numeric_limits<float>::quiet_NaN();
#elif defined(AUDIO_FIXTURE_INF)
        out[length / 2] = std::numeric_limits<float>::infinity();
#elif defined(AUDIO_FIXTURE_SUBNORMAL)
        // What a decaying filter leaves behind without a floor.
        for (std::int32_t i = 0; i < length; ++i)
            if (out[i] == 0.0f) out[i] = std::numeric_limits<float>::denorm_min() * 7.0f;
#elif defined(AUDIO_FIXTURE_PAST_BLOCK)
        out[length] = out[length - 1];
#endif
        Remember(in[length - 1]);

        bool silent = true;
        for (std::int32_t i = 0; i < length && silent; ++i) silent = in[i] == 0.0f;
#if defined(AUDIO_FIXTURE_SLEEPS_SOUNDING)
        silent = true;
#endif
        // Silence in, silence out: nothing to do until the host says otherwise.
        if (silent) CallHost(AUDIO_HOST_SLEEP);
    }

private:
    void ResizeHistory(float rate) {
        m_history_length = static_cast<std::int32_t>(rate) / 1000;
        if (m_history_length < 1) m_history_length = 1;
#if !defined(AUDIO_FIXTURE_RATE_TABLE)
        if (m_history_length > kHistoryRoom) m_history_length = kHistoryRoom;
#endif
        m_history_cursor = m_history;
        std::memset(m_history, 0, static_cast<std::size_t>(m_history_length) * sizeof(float));
    }

    void Remember(float sample) {
        *m_history_cursor = sample;
        if (++m_history_cursor == m_history + m_history_length) m_history_cursor = m_history;
    }

    float* m_in = nullptr;     // In's buffer: the host keeps its address here
    float m_gain = 0.0f;       // Gain's value: the host keeps it here
    float m_coefficient = 0.0f;  // the gain in use, taken on Gain's status
    float m_feedback = 0.0f;     // the loop's last sample (AUDIO_FIXTURE_UNBOUNDED_FEEDBACK)
    std::int32_t m_history_length = 1;
    float m_history[kHistoryRoom];
    float* m_history_cursor = m_history;
};

// The panel side has nothing to show: the host carries every value.
class AudioFixtureGui final : public SEGUI_base {
public:
    AudioFixtureGui(HostCallback callback, std::intptr_t host_value) : SEGUI_base(callback, host_value) {}
};

}  // namespace

extern "C" {

FIXTURE_EXPORT bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties) {
    properties->sdk_version = SDK_VERSION;
    if (index != 0) return false;
    properties->name = "Audio Fixture";
    properties->id = "AudioFixture";
    properties->about = "Out is In times Gain";
    properties->flags = 0;
    properties->secondary_flags = 0;
    return true;
}

FIXTURE_EXPORT void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback,
                                        std::intptr_t host_value) {
    if (index != 0) return nullptr;
    if (type == MT_AUDIO) {
        AudioFixture* object = new (std::nothrow_t{}) AudioFixture(callback, host_value);
        return object != nullptr ? object->GetPlugRecord() : nullptr;
    }
    if (type == MT_GUI) {
        AudioFixtureGui* object = new (std::nothrow_t{}) AudioFixtureGui(callback, host_value);
        return object != nullptr ? object->GetPlugRecord() : nullptr;
    }
    return nullptr;
}

#if defined(AUDIO_FIXTURE_THIRD_EXPORT)
// A tuning entry of the module's own, which no host of the format calls.
FIXTURE_EXPORT std::int32_t SE_CALL fixtureTuning() { return 440; }
#endif

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

}  // extern "C"
