// `--expect PIN=golden.wav`: an output compared with a reference file,
// sample by sample.
//
// The output is compared as a file of the reference's own format would
// hold it (ReferenceFormat), so that an output written at 16 bits once
// and kept as the reference matches the same render later with a
// tolerance of 0.
#pragma once

#include "commands/audio_file.h"

#include <cstdint>
#include <string>

// The format the output is put in before the comparison: the reference's
// container and encoding, or 32-bit float WAV where render writes neither.
AudioFormat ReferenceFormat(const AudioFileReader& reference);

struct ReferenceComparison {
    int rendered_rate = 0;
    int reference_rate = 0;
    std::uint64_t rendered_samples = 0;
    std::uint64_t reference_samples = 0;
    double tolerance = 0.0;

    // Over the samples both have: the first that differs by more than the
    // tolerance, and the largest difference (infinite where one of a pair
    // is NaN and the other is not).
    bool differs = false;
    std::uint64_t first_index = 0;
    float first_rendered = 0.0f;
    float first_reference = 0.0f;
    double largest = 0.0;
    std::uint64_t largest_index = 0;

    bool Holds() const {
        return !differs && rendered_samples == reference_samples && rendered_rate == reference_rate;
    }
    // "ok (48000 samples, largest difference 0)", or what failed: the
    // rates, the lengths, the first differing sample (index, time, both
    // values) and the largest difference.
    std::string Describe(const std::string& reference_name) const;
};

// Reads both to their ends; `reference_channel` counts from 0. False, with
// `problem`, when either could not be read.
bool CompareWithReference(AudioFileReader& rendered, AudioFileReader& reference, int reference_channel,
                          double tolerance, ReferenceComparison& comparison, std::string& problem);
