// __NAME__ through its entry points and record, as a host drives it: a small
// host here lends the sample buffers, writes the module's variables, runs
// blocks of a sine through it and reports a change of Gain. Exits non-zero
// on the first failed check.
#include "SEExports.h"
#include "SEHostTypes.h"
#include "__NAME__Pins.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::int32_t kBlock = 256;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "__NAME___test: failed: %s\n", what);
    std::exit(1);
}

float g_in[kBlock];
float g_out[kBlock];
int g_sleeps = 0;

// The audio side's requests: its pin count, the sample clock (0: one block
// at a time from the start) and its wish to sleep.
HostResult SE_CALL AudioHost(void*, std::int32_t opcode, std::int32_t, std::int32_t, void*, float) {
    if (opcode == AUDIO_HOST_GET_PIN_COUNT) return PIN_COUNT;
    if (opcode == AUDIO_HOST_SLEEP) ++g_sleeps;
    return 0;
}

HostResult Dispatch(AudioPlugRecord* audio, std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                    void* ptr = nullptr, float opt = 0.0f) {
    return audio->dispatcher(audio, opcode, index, value, ptr, opt);
}

float Peak(const float* samples) {
    float peak = 0.0f;
    for (std::int32_t i = 0; i < kBlock; ++i) peak = std::fmax(peak, std::fabs(samples[i]));
    return peak;
}

}  // namespace

int main() {
    ModuleProperties properties{};
    Check(getModuleProperties(0, &properties), "module 0 has properties");
    Check(std::strcmp(properties.name, "__NAME__") == 0, "the module is named __NAME__");

    auto* audio = static_cast<AudioPlugRecord*>(makeModule(0, MT_AUDIO, AudioHost, 0));
    Check(audio != nullptr && audio->magic == AUDIO_PLUG_MAGIC, "an audio record");
    Dispatch(audio, AUDIO_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f);
    Dispatch(audio, AUDIO_SET_BLOCK_SIZE, 0, kBlock);

    // The host writes each declared variable before the open: the buffers'
    // addresses and Gain's value.
    void* variables[PIN_COUNT] = {};
    for (std::int32_t index = 0; index < PIN_COUNT; ++index) {
        SEPinProperties pin{};
        Check(Dispatch(audio, AUDIO_GET_PIN_PROPERTIES, index, 0, &pin) == 1, "each pin declared");
        Check(pin.variable_ptr != nullptr, "each pin names a variable");
        variables[index] = pin.variable_ptr;
    }
    float* in = g_in;
    float* out = g_out;
    const float half = 0.5f;
    std::memcpy(variables[PIN_IN], &in, sizeof in);
    std::memcpy(variables[PIN_OUT], &out, sizeof out);
    std::memcpy(variables[PIN_GAIN], &half, sizeof half);
    Dispatch(audio, AUDIO_OPEN);

    // A sine of 0.8 at Gain 0.5 comes out at half its peak.
    for (std::int32_t i = 0; i < kBlock; ++i) g_in[i] = 0.8f * std::sin(2.0f * 3.14159265f * 750.0f * i / 48000.0f);
    audio->process(audio->object);
    Check(std::fabs(Peak(g_out) - 0.4f) < 1e-6f, "Out's peak is half In's");
    Check(g_sleeps == 0, "no sleep while the input sounds");

    // Gain becomes 0.25: the variable first, then its status event.
    const float quarter = 0.25f;
    std::memcpy(variables[PIN_GAIN], &quarter, sizeof quarter);
    ModuleEvent status{};
    status.event_type = EV_PIN_STATUS;
    status.param_a = PS_ONCE;
    status.param_ptr = PIN_GAIN;
    audio->event_handler(audio->object, &status);
    audio->process(audio->object);
    Check(std::fabs(Peak(g_out) - 0.2f) < 1e-6f, "Out follows Gain's change");

    // Silence in: silence out, and the module asks to sleep.
    std::memset(g_in, 0, sizeof g_in);
    audio->process(audio->object);
    Check(Peak(g_out) == 0.0f && g_sleeps == 1, "silence out and a sleep");

    Check(Dispatch(audio, AUDIO_CLOSE) == 1, "the audio object closes");
    std::puts("__NAME___test: all checks passed");
    return 0;
}
