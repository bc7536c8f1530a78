// A render worked out before anything is written: the files read and
// checked, then each file bound to the module's sample pins. Every problem
// found here is bad input: one line on `err`, and the command exits 2
// with no file written and none overwritten.
#pragma once

#include "commands/audio_file.h"
#include "commands/render/render_options.h"
#include "session/host_session.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct RenderInput {
    AudioBinding binding;
    std::unique_ptr<AudioFileReader> reader;
};

// One channel of an input file fed to one sample input.
struct InputFeed {
    int pin = -1;         // the declaration
    std::size_t input = 0;  // in RenderPlan::inputs
    int channel = 0;      // counted from 0
};

struct RenderOutput {
    AudioBinding binding;
    int pin = -1;
    AudioFormat format;
};

struct RenderExpect {
    AudioBinding binding;
    int pin = -1;
    std::unique_ptr<AudioFileReader> reference;
};

struct RenderPlan {
    int sample_rate = 0;
    int block_size = 0;
    std::uint64_t frames = 0;  // the render's length
    double tolerance = 0.0;    // for every reference
    std::vector<RenderInput> inputs;
    std::vector<RenderOutput> outputs;
    std::vector<RenderExpect> expects;
    // Known once the pins are bound.
    std::vector<InputFeed> feeds;
    std::vector<int> sample_inputs;   // every sample input of the module, in pin order
    std::vector<int> sample_outputs;  // every sample output, in pin order

    // The sample outputs the render reads: those written or compared, in
    // pin order, each once.
    std::vector<int> OutputPins() const;
};

// The files alone, before the module is loaded: every input and reference
// readable as audio, each channel picked within its file, the inputs at
// one rate (and --rate, when given, that rate too), a length to render,
// each output named .wav, .aif, .aiff or .flac and writable, and no output
// the module, the script, an input, a reference or another output.
bool PlanFiles(const RenderOptions& options, const std::string& module_path, int default_block_size,
               int max_block_size, RenderPlan& plan, std::ostream& err);

// The module's pins: each input bound to a sample input (a file without a
// channel picked feeds one input per channel, from the pin it names on in
// pin order), each output and reference to a sample output, no pin fed or
// written twice.
bool PlanPins(const std::vector<PinDeclaration>& pins, RenderPlan& plan, std::ostream& err);
