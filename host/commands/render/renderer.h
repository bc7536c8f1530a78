// The render itself: the input files cut into blocks and fed to the
// module's sample inputs, its outputs gathered into the output files and
// the references' copies, block by block on the sample clock, then the
// files put in place and the references compared.
#pragma once

#include "commands/audio_file.h"
#include "commands/render/progress_bar.h"
#include "commands/render/render_plan.h"

#include <memory>
#include <ostream>
#include <vector>

// What a render needs of the hosted module: one block at a time.
class BlockProcessor {
public:
    virtual ~BlockProcessor() = default;
    // Runs one block of the plan's block size: `inputs[i]` is the block for
    // the i-th pin of Renderer::InputPins (silence past an input's end);
    // `outputs[i]` is to hold the block of the i-th pin of
    // Renderer::OutputPins. Returns EXIT_OK to go on, or, after one line on
    // standard error, the exit code the render stops with (the module
    // crashed, an interrupt).
    virtual int ProcessBlock(const std::vector<std::vector<float>>& inputs,
                             std::vector<std::vector<float>>& outputs) = 0;
};

class Renderer {
public:
    Renderer(RenderPlan& plan, std::ostream& err);
    ~Renderer();

    // The sample inputs the files feed and the sample outputs read, in the
    // order ProcessBlock takes them.
    const std::vector<int>& InputPins() const { return m_input_pins; }
    const std::vector<int>& OutputPins() const { return m_output_pins; }

    // Opens each output as a partial file beside its name, and a copy in
    // memory for each reference. False after one line on `err`.
    bool OpenOutputs();
    // Renders the plan's length, block by block. EXIT_OK, or the exit code
    // of the first failure (after its line on `err`); the outputs are then
    // left unwritten.
    int Render(BlockProcessor& processor, ProgressBar& progress);
    // Puts the outputs in place, compares the references, and prints what
    // was rendered, each output's peak and RMS and each comparison on
    // `out`. EXIT_OK, EXIT_FAILED when a comparison failed.
    int Finish(const std::vector<PinDeclaration>& pins, const std::string& module_path, std::ostream& out);

private:
    struct OutputStats;
    bool ReadInputs(std::size_t frames);
    bool WriteOutputs(std::size_t frames);

    RenderPlan& m_plan;
    std::ostream& m_err;
    std::vector<int> m_input_pins;
    std::vector<int> m_output_pins;
    std::vector<std::vector<float>> m_input_blocks;   // by InputPins
    std::vector<std::vector<float>> m_output_blocks;  // by OutputPins
    std::vector<std::vector<float>> m_file_frames;    // by plan input: interleaved
    std::vector<std::unique_ptr<AudioFileWriter>> m_writers;     // by plan output
    std::vector<std::unique_ptr<AudioFileWriter>> m_references;  // by plan expect: the output in the reference's format
    std::vector<OutputStats> m_stats;                  // by OutputPins
    std::uint64_t m_rendered = 0;
};
