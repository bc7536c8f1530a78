#include "commands/render/renderer.h"

#include "commands/commands.h"
#include "commands/render/reference_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

struct Renderer::OutputStats {
    double peak = 0.0;
    double sum_squares = 0.0;
    std::uint64_t samples = 0;
    std::uint64_t non_finite = 0;

    void Add(const float* block, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const double value = block[i];
            if (!std::isfinite(value)) {
                ++non_finite;
                continue;
            }
            peak = std::max(peak, std::fabs(value));
            sum_squares += value * value;
        }
        samples += count;
    }
    std::string Describe() const {
        char text[96];
        const double rms = samples > non_finite ? std::sqrt(sum_squares / static_cast<double>(samples - non_finite)) : 0;
        std::snprintf(text, sizeof text, "peak %.4g, RMS %.4g", peak, rms);
        std::string described = text;
        if (non_finite != 0) described += ", " + std::to_string(non_finite) + " NaN or infinite";
        return described;
    }
};

namespace {

std::string Quoted(const std::vector<PinDeclaration>& pins, int pin) { return "\"" + pins[pin].name + "\""; }

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g s", seconds);
    return text;
}

}  // namespace

Renderer::Renderer(RenderPlan& plan, std::ostream& err) : m_plan(plan), m_err(err) {
    for (const InputFeed& feed : plan.feeds) m_input_pins.push_back(feed.pin);
    m_output_pins = plan.OutputPins();
    const auto block = static_cast<std::size_t>(plan.block_size);
    m_input_blocks.assign(m_input_pins.size(), std::vector<float>(block, 0.0f));
    m_output_blocks.assign(m_output_pins.size(), std::vector<float>(block, 0.0f));
    for (const RenderInput& input : plan.inputs)
        m_file_frames.emplace_back(block * static_cast<std::size_t>(input.reader->channels()), 0.0f);
    m_stats.resize(m_output_pins.size());
}

Renderer::~Renderer() = default;

bool Renderer::OpenOutputs() {
    std::string problem;
    for (const RenderOutput& output : m_plan.outputs) {
        m_writers.push_back(
            AudioFileWriter::Create(output.binding.path, output.format, m_plan.sample_rate, 1, problem));
        if (m_writers.back() == nullptr) {
            m_err << "semhost: " << output.binding.path << ": " << problem << '\n';
            return false;
        }
    }
    for (const RenderExpect& expect : m_plan.expects) {
        m_references.push_back(
            AudioFileWriter::CreateInMemory(ReferenceFormat(*expect.reference), m_plan.sample_rate, 1, problem));
        if (m_references.back() == nullptr) {
            m_err << "semhost: " << expect.binding.path << ": " << problem << '\n';
            return false;
        }
    }
    return true;
}

bool Renderer::ReadInputs(std::size_t frames) {
    for (std::size_t i = 0; i < m_plan.inputs.size(); ++i) {
        RenderInput& input = m_plan.inputs[i];
        std::vector<float>& interleaved = m_file_frames[i];
        std::string problem;
        const std::size_t read = input.reader->Read(interleaved.data(), frames, problem);
        if (!problem.empty()) {
            m_err << "semhost: " << input.binding.path << ": " << problem << '\n';
            return false;
        }
        // Past its end an input is silence.
        std::fill(interleaved.begin() + static_cast<std::ptrdiff_t>(read * input.reader->channels()),
                  interleaved.end(), 0.0f);
    }
    for (std::size_t f = 0; f < m_plan.feeds.size(); ++f) {
        const InputFeed& feed = m_plan.feeds[f];
        const std::vector<float>& interleaved = m_file_frames[feed.input];
        const auto channels = static_cast<std::size_t>(m_plan.inputs[feed.input].reader->channels());
        std::vector<float>& block = m_input_blocks[f];
        for (std::size_t s = 0; s < block.size(); ++s)
            block[s] = interleaved[s * channels + static_cast<std::size_t>(feed.channel)];
    }
    return true;
}

bool Renderer::WriteOutputs(std::size_t frames) {
    std::string problem;
    auto block_of = [this](int pin) -> const std::vector<float>& {
        const auto at = std::find(m_output_pins.begin(), m_output_pins.end(), pin);
        return m_output_blocks[static_cast<std::size_t>(at - m_output_pins.begin())];
    };
    for (std::size_t i = 0; i < m_plan.outputs.size(); ++i) {
        if (!m_writers[i]->Write(block_of(m_plan.outputs[i].pin).data(), frames, problem)) {
            m_err << "semhost: " << m_plan.outputs[i].binding.path << ": " << problem << '\n';
            return false;
        }
    }
    for (std::size_t i = 0; i < m_plan.expects.size(); ++i) {
        if (!m_references[i]->Write(block_of(m_plan.expects[i].pin).data(), frames, problem)) {
            m_err << "semhost: " << m_plan.expects[i].binding.path << ": " << problem << '\n';
            return false;
        }
    }
    for (std::size_t i = 0; i < m_output_pins.size(); ++i) m_stats[i].Add(m_output_blocks[i].data(), frames);
    return true;
}

int Renderer::Render(BlockProcessor& processor, ProgressBar& progress) {
    const auto block = static_cast<std::uint64_t>(m_plan.block_size);
    const double rate = m_plan.sample_rate;
    while (m_rendered < m_plan.frames) {
        // The last block runs whole, as every block does; only the frames
        // within the render's length are kept.
        const auto frames = static_cast<std::size_t>(std::min(block, m_plan.frames - m_rendered));
        if (!ReadInputs(static_cast<std::size_t>(block))) return EXIT_BAD_INPUT;
        for (std::vector<float>& output : m_output_blocks) std::fill(output.begin(), output.end(), 0.0f);
        const int code = processor.ProcessBlock(m_input_blocks, m_output_blocks);
        if (code != EXIT_OK) return code;
        if (!WriteOutputs(frames)) return EXIT_BAD_INPUT;
        m_rendered += frames;
        progress.Update(static_cast<double>(m_rendered) / rate);
    }
    progress.Finish(static_cast<double>(m_rendered) / rate);
    return EXIT_OK;
}

int Renderer::Finish(const std::vector<PinDeclaration>& pins, const std::string& module_path, std::ostream& out) {
    std::string problem;
    for (std::size_t i = 0; i < m_writers.size(); ++i) {
        if (!m_writers[i]->Finish(problem)) {
            m_err << "semhost: " << m_plan.outputs[i].binding.path << ": " << problem << '\n';
            return EXIT_BAD_INPUT;
        }
    }
    const std::uint64_t blocks = (m_rendered + m_plan.block_size - 1) / m_plan.block_size;
    out << "semhost render " << module_path << ": " << Seconds(static_cast<double>(m_rendered) / m_plan.sample_rate)
        << " (" << m_rendered << " samples) at " << m_plan.sample_rate << " Hz, " << blocks << " block"
        << (blocks == 1 ? "" : "s") << " of " << m_plan.block_size << '\n';
    for (const RenderInput& input : m_plan.inputs) {
        std::string fed;
        for (const InputFeed& feed : m_plan.feeds)
            if (&m_plan.inputs[feed.input] == &input)
                fed += (fed.empty() ? "" : ", ") + Quoted(pins, feed.pin) +
                       (input.reader->channels() > 1 ? " (channel " + std::to_string(feed.channel + 1) + ")" : "");
        out << "  " << input.binding.path << " (" << input.reader->FormatName() << ", "
            << input.reader->frames() << " samples) -> " << fed << '\n';
    }
    for (std::size_t i = 0; i < m_output_pins.size(); ++i) {
        std::string files;
        for (const RenderOutput& output : m_plan.outputs)
            if (output.pin == m_output_pins[i])
                files = " -> " + output.binding.path + " (" + output.format.Describe() + ")";
        out << "  " << Quoted(pins, m_output_pins[i]) << ": " << m_stats[i].Describe() << files << '\n';
    }

    int code = EXIT_OK;
    for (std::size_t i = 0; i < m_plan.expects.size(); ++i) {
        RenderExpect& expect = m_plan.expects[i];
        if (!m_references[i]->Finish(problem)) {
            m_err << "semhost: " << expect.binding.path << ": " << problem << '\n';
            return EXIT_BAD_INPUT;
        }
        std::unique_ptr<AudioFileReader> rendered = AudioFileReader::OpenBytes(m_references[i]->bytes(), problem);
        ReferenceComparison comparison;
        if (rendered == nullptr ||
            !CompareWithReference(*rendered, *expect.reference,
                                  expect.binding.channel > 0 ? expect.binding.channel - 1 : 0, m_plan.tolerance,
                                  comparison, problem)) {
            m_err << "semhost: " << expect.binding.path << ": " << problem << '\n';
            return EXIT_BAD_INPUT;
        }
        const std::string line = "expect " + Quoted(pins, expect.pin) + " = " + expect.binding.path + ": " +
                                 comparison.Describe(expect.binding.path);
        out << line << '\n';
        if (!comparison.Holds()) {
            m_err << "semhost: " << line << '\n';
            code = EXIT_FAILED;
        }
    }
    return code;
}
