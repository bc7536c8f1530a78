// The signals the host feeds into a module's sample inputs, and what it
// measures of the samples a module writes to its sample outputs.
//
// A signal is a function of the sample clock alone: the same samples come
// out however the host cuts the time into blocks, so a run of 4 blocks of
// 256 and a run of 1 block of 1024 feed a module the same input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Samples the host takes from elsewhere (an audio file), as a signal: the
// samples from any point after the signal's start.
class SampleStream {
public:
    virtual ~SampleStream() = default;
    // Writes `count` samples, the first `offset` samples after the start.
    virtual void Read(std::uint64_t offset, float* samples, std::size_t count) = 0;
    // "in.wav, channel 2"
    virtual std::string Describe() const = 0;
};

struct InputSignal {
    enum class Kind { Silence, Dc, Sine, Noise, Impulse, Stream };

    Kind kind = Kind::Silence;
    double level = 0.0;            // dc: the value; sine, noise, impulse: the peak
    double frequency = 0.0;        // sine: cycles per second
    std::uint64_t seed = 0;        // noise: the same seed gives the same samples
    std::uint64_t start = 0;       // the sample clock the signal began at: sine phase 0, the impulse's sample
    std::shared_ptr<SampleStream> stream;  // stream: where the samples come from

    // Sine, noise and a stream move from sample to sample; the others hold
    // one value (after the impulse's first sample).
    bool Varies() const { return kind == Kind::Sine || kind == Kind::Noise || kind == Kind::Stream; }
    // "silence", "dc 0.25", "sine 1000 Hz at 0.5", "noise at 0.5, seed 7", "impulse of 1", the stream's own.
    std::string Describe() const;
};

// Writes `count` samples of `signal`, the first at sample clock `first`, at
// `sample_rate` samples per second.
void RenderSignal(const InputSignal& signal, double sample_rate, std::uint64_t first, float* samples,
                  std::size_t count);

// Peak, RMS and the counts of samples a module should not write, over any
// number of blocks. Peak and RMS are of the finite samples.
struct SampleStats {
    std::uint64_t samples = 0;
    std::uint64_t nan = 0;
    std::uint64_t infinite = 0;
    std::uint64_t subnormal = 0;
    double peak = 0.0;         // the largest magnitude
    double sum_squares = 0.0;  // of the finite samples
    // Every finite sample the same value (bit for bit, zeros of either sign
    // alike): a NaN or infinite sample is no movement of the output.
    bool constant = true;
    bool valued = false;           // a finite sample was seen
    std::uint32_t first_bits = 0;  // the first finite sample's

    void Add(const float* block, std::size_t count);
    void Merge(const SampleStats& other);
    double Rms() const;
    // Only zeros (either sign): nothing sounds.
    bool Silent() const { return peak == 0.0 && nan == 0 && infinite == 0; }
    bool Finite() const { return nan == 0 && infinite == 0; }
    // "peak 0.5, RMS 0.354, 0 NaN, 0 Inf, 0 subnormal (1024 samples)"
    std::string Describe() const;
};
