// The audio files `semhost try --in` offers the page's generators: each read
// once, whole, when the command starts, and played round and round from the
// moment a generator picks it. The page picks a file by its number in the
// list the server sends; it never names a path.
#pragma once

#include "session/sample_signal.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// `--in [PIN=]FILE[:CHANNEL]`: the file, and the pin it feeds from the start
// (empty: the first sample input).
struct TryInputBinding {
    std::string pin_text;
    std::string path;
    int channel = 0;  // counted from 1; 0: the first
};

// One channel of a file, looped: sample n of the signal is the file's
// sample n modulo its length.
class LoopedSamples : public SampleStream {
public:
    LoopedSamples(std::string name, std::vector<float> samples);
    void Read(std::uint64_t offset, float* samples, std::size_t count) override;
    std::string Describe() const override { return m_name + ", looped"; }
    const std::string& name() const { return m_name; }
    std::size_t length() const { return m_samples.size(); }

private:
    std::string m_name;
    std::vector<float> m_samples;
};

struct TryInputFile {
    TryInputBinding binding;
    std::shared_ptr<LoopedSamples> samples;
    int sample_rate = 0;
};

// The longest stretch of a file `try` keeps: ten minutes at 48 kHz.
inline constexpr std::size_t kMaxTryFileSamples = 10 * 60 * 48000;

// Reads every file: one channel each (the one picked, else the first), at
// most kMaxTryFileSamples of it; all at one rate. False after one line on
// `err` for a file that is no readable audio, a channel past its count,
// files at different rates, and in a build without audio files.
bool ReadTryInputs(const std::vector<TryInputBinding>& bindings, std::vector<TryInputFile>& files, std::ostream& err);
