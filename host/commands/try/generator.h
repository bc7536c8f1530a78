// The generator a page picks for a sample input of `semhost try`, as the
// page sends it and as the session feeds it:
//
//   {"kind":"silence"}
//   {"kind":"sine","frequency":HZ,"level":PEAK}
//   {"kind":"noise","level":PEAK}
//   {"kind":"impulse","level":PEAK}
//   {"kind":"file","file":N}   the N-th file of --in, from 0
#pragma once

#include "commands/try/input_files.h"
#include "session/sample_signal.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

struct Generator {
    enum class Kind { Silence, Sine, Noise, Impulse, File };
    Kind kind = Kind::Silence;
    double frequency = 440.0;
    double level = 0.5;
    int file = -1;

    // The generator as the page sends it and is shown it.
    nlohmann::json Json() const;
    // The signal it feeds at `sample_rate`; noise takes `seed`.
    InputSignal Signal(const std::vector<TryInputFile>& files, std::uint64_t seed) const;
};

// The loudest level a generator takes: a module may be tried past full scale.
inline constexpr double kMaxGeneratorLevel = 16.0;

// Reads a page's generator. A sine's frequency lies from 0 to half the
// sample rate, a level from 0 to kMaxGeneratorLevel, a file among
// `file_count`. Returns "" or what is wrong.
std::string ParseGenerator(const nlohmann::json& json, double sample_rate, std::size_t file_count,
                           Generator& generator);
