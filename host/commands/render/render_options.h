// What `semhost render` is asked to do, as its command line says it.
#pragma once

#include <optional>
#include <string>
#include <vector>

// An audio file tied to a pin: `--in PIN=in.wav:2`, `--out PIN=out.wav`,
// `--expect PIN=golden.wav`.
struct AudioBinding {
    std::string pin_text;  // a pin's name or #N; empty: the first sample pin of that direction
    std::string path;
    // The file's channel, counted from 1; 0 when none is picked (an input
    // then feeds one pin per channel).
    int channel = 0;
};

struct PinSetting {
    std::string pin_text;
    std::string value_text;
};

struct RenderOptions {
    std::string script_path;  // may be empty
    std::vector<AudioBinding> inputs;
    std::vector<AudioBinding> outputs;
    std::vector<AudioBinding> expects;
    std::vector<PinSetting> settings;
    std::optional<int> sample_rate;  // --rate: only without inputs, or equal to theirs
    std::optional<int> block_size;   // --block
    std::optional<double> seconds;   // --seconds: the render's length, whatever the inputs' lengths
    double tolerance = 0.0;          // --tolerance: for every --expect
};

// The longest render, and the limits of --rate.
inline constexpr double kMaxRenderSeconds = 24.0 * 60 * 60;
inline constexpr int kMaxSampleRate = 1'000'000;
// The session's rate when neither an input nor --rate gives one.
inline constexpr int kDefaultRenderRate = 48'000;

// "PIN=path" or "path" (the first sample pin), with ":N" after the path
// for a channel when `channel_allowed`. A path whose last ':' is followed
// by digits alone names a channel; channels count from 1. False, with
// `problem`, for an empty path or a channel of 0.
bool ParseAudioBinding(const std::string& text, bool channel_allowed, AudioBinding& binding, std::string& problem);
// "PIN=VALUE"; false, with `problem`, without a '=' or a value.
bool ParsePinSetting(const std::string& text, PinSetting& setting, std::string& problem);
