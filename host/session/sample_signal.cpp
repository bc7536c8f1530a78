#include "session/sample_signal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace {

// One well-mixed 64-bit number per (seed, sample): noise needs no state, so
// any block of it can be made on its own.
std::uint64_t Mix(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::uint32_t BitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

std::string InputSignal::Describe() const {
    switch (kind) {
    case Kind::Silence: return "silence";
    case Kind::Dc: return "dc " + Number(level);
    case Kind::Sine: return "sine " + Number(frequency) + " Hz at " + Number(level);
    case Kind::Noise: return "noise at " + Number(level) + ", seed " + std::to_string(seed);
    case Kind::Impulse: return "impulse of " + Number(level);
    case Kind::Stream: return stream ? stream->Describe() : "no stream";
    }
    return "?";
}

void RenderSignal(const InputSignal& signal, double sample_rate, std::uint64_t first, float* samples,
                  std::size_t count) {
    if (signal.kind == InputSignal::Kind::Stream) {
        // Silence before the stream began, then the stream's samples.
        const std::size_t before =
            first >= signal.start ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(signal.start - first, count));
        std::fill(samples, samples + before, 0.0f);
        if (count == before) return;
        if (signal.stream) signal.stream->Read(first + before - signal.start, samples + before, count - before);
        else std::fill(samples + before, samples + count, 0.0f);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t clock = first + i;
        // Samples before the signal began belong to no signal: silence.
        const std::uint64_t n = clock >= signal.start ? clock - signal.start : 0;
        const bool begun = clock >= signal.start;
        double value = 0.0;
        switch (signal.kind) {
        case InputSignal::Kind::Silence:
            break;
        case InputSignal::Kind::Dc:
            value = signal.level;
            break;
        case InputSignal::Kind::Sine: {
            // The phase from the cycles completed, so that it stays exact
            // however long the signal runs.
            const double cycles = static_cast<double>(n) * signal.frequency / sample_rate;
            value = begun ? signal.level * std::sin(2.0 * std::numbers::pi * (cycles - std::floor(cycles))) : 0.0;
            break;
        }
        case InputSignal::Kind::Noise: {
            const double unit = static_cast<double>(Mix(signal.seed ^ Mix(n)) >> 11) * 0x1.0p-53;  // [0, 1)
            value = begun ? signal.level * (2.0 * unit - 1.0) : 0.0;
            break;
        }
        case InputSignal::Kind::Impulse:
            value = begun && n == 0 ? signal.level : 0.0;
            break;
        case InputSignal::Kind::Stream:
            break;  // above
        }
        samples[i] = static_cast<float>(value);
    }
}

void SampleStats::Add(const float* block, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const float sample = block[i];
        switch (std::fpclassify(sample)) {
        case FP_NAN: ++nan; continue;
        case FP_INFINITE: ++infinite; continue;
        case FP_SUBNORMAL: ++subnormal; break;
        default: break;
        }
        // Zeros of either sign are one value: a gain of 0 on a sine writes
        // both, and is silent.
        const std::uint32_t bits = sample == 0.0f ? 0u : BitsOf(sample);
        if (!valued) {
            first_bits = bits;
            valued = true;
        } else if (bits != first_bits) {
            constant = false;
        }
        const double magnitude = std::fabs(static_cast<double>(sample));
        if (magnitude > peak) peak = magnitude;
        sum_squares += magnitude * magnitude;
    }
    samples += count;
}

void SampleStats::Merge(const SampleStats& other) {
    if (other.samples == 0) return;
    if (samples == 0) {
        *this = other;
        return;
    }
    constant = constant && other.constant && (!valued || !other.valued || other.first_bits == first_bits);
    if (!valued) first_bits = other.first_bits;
    valued = valued || other.valued;
    samples += other.samples;
    nan += other.nan;
    infinite += other.infinite;
    subnormal += other.subnormal;
    if (other.peak > peak) peak = other.peak;
    sum_squares += other.sum_squares;
}

double SampleStats::Rms() const {
    const std::uint64_t finite = samples - nan - infinite;
    return finite == 0 ? 0.0 : std::sqrt(sum_squares / static_cast<double>(finite));
}

std::string SampleStats::Describe() const {
    char text[160];
    std::snprintf(text, sizeof text, "peak %.4g, RMS %.4g, %llu NaN, %llu Inf, %llu subnormal (%llu samples)", peak,
                  Rms(), static_cast<unsigned long long>(nan), static_cast<unsigned long long>(infinite),
                  static_cast<unsigned long long>(subnormal), static_cast<unsigned long long>(samples));
    return text;
}
