#include "commands/render/render_plan.h"

#include "commands/commands.h"
#include "commands/play/script.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>

namespace {

bool Refuse(const std::string& subject, const std::string& problem, std::ostream& err) {
    err << "semhost: " << subject << ": " << problem << '\n';
    return false;
}

std::unique_ptr<AudioFileReader> OpenPicked(const AudioBinding& binding, std::ostream& err) {
    std::string problem;
    std::unique_ptr<AudioFileReader> reader = AudioFileReader::Open(binding.path, problem);
    if (reader == nullptr) {
        Refuse(binding.path, problem, err);
        return nullptr;
    }
    if (binding.channel > reader->channels()) {
        Refuse(binding.path,
               "has " + std::to_string(reader->channels()) + " channel" + (reader->channels() == 1 ? "" : "s") +
                   "; there is no channel " + std::to_string(binding.channel) + " (channels count from 1)",
               err);
        return nullptr;
    }
    return reader;
}

// What the outputs are written as: the first input's encoding where the
// container holds it, else 32-bit float (FLAC, which holds no float: 24-bit).
AudioFormat OutputFormat(AudioContainer container, const RenderPlan& plan) {
    AudioFormat format{container, SampleEncoding::Float};
    if (!plan.inputs.empty()) {
        if (const std::optional<SampleEncoding> encoding = plan.inputs.front().reader->encoding())
            format.encoding = *encoding;
    }
    if (!ContainerHolds(container, format.encoding)) format.encoding = SampleEncoding::Pcm24;
    return format;
}

std::string PinsOfKind(const std::vector<PinDeclaration>& pins, const std::vector<int>& chosen) {
    std::string names;
    for (int pin : chosen) names += (names.empty() ? "\"" : ", \"") + pins[pin].name + "\"";
    return names.empty() ? "none" : names;
}

// The sample pin a binding names, of the direction it needs; -1 after one
// line on `err`.
int BindPin(const std::vector<PinDeclaration>& pins, const AudioBinding& binding, bool input,
            const std::vector<int>& candidates, std::ostream& err) {
    const char* role = input ? "--in" : "an output";
    const std::string kind = input ? "sample input" : "sample output";
    if (binding.pin_text.empty()) {
        if (!candidates.empty()) return candidates.front();
        Refuse(binding.path, std::string("the module has no ") + kind + " for it", err);
        return -1;
    }
    const int pin = FindScriptPin(binding.pin_text, ScriptPinsOf(pins));
    if (pin < 0) {
        Refuse(binding.pin_text + "=" + binding.path,
               "the module has no pin \"" + binding.pin_text + "\" (its " + kind + "s: " +
                   PinsOfKind(pins, candidates) + ")",
               err);
        return -1;
    }
    if (std::find(candidates.begin(), candidates.end(), pin) == candidates.end()) {
        const PinDeclaration& declaration = pins[pin];
        const std::string what = declaration.datatype != DT_FSAMPLE ? "carries no audio samples"
                                 : declaration.direction == DR_IN ? "is an input"
                                                                  : "is an output";
        Refuse(binding.pin_text + "=" + binding.path,
               "pin \"" + declaration.name + "\" " + what + "; " + role + " needs a " + kind + " (the module's: " +
                   PinsOfKind(pins, candidates) + ")",
               err);
        return -1;
    }
    return pin;
}

}  // namespace

std::vector<int> RenderPlan::OutputPins() const {
    std::set<int> pins;
    for (const RenderOutput& output : outputs) pins.insert(output.pin);
    for (const RenderExpect& expect : expects) pins.insert(expect.pin);
    return {pins.begin(), pins.end()};
}

bool PlanFiles(const RenderOptions& options, const std::string& module_path, int default_block_size,
               int max_block_size, RenderPlan& plan, std::ostream& err) {
    plan = RenderPlan{};
    plan.block_size = options.block_size.value_or(default_block_size);
    plan.tolerance = options.tolerance;
    if (plan.block_size < 1 || plan.block_size > max_block_size)
        return Refuse("--block", "needs a number of samples from 1 to " + std::to_string(max_block_size), err);

    for (const AudioBinding& binding : options.inputs) {
        std::unique_ptr<AudioFileReader> reader = OpenPicked(binding, err);
        if (reader == nullptr) return false;
        plan.inputs.push_back({binding, std::move(reader)});
    }
    for (const AudioBinding& binding : options.expects) {
        std::unique_ptr<AudioFileReader> reader = OpenPicked(binding, err);
        if (reader == nullptr) return false;
        if (binding.channel == 0 && reader->channels() > 1)
            return Refuse(binding.path,
                          "has " + std::to_string(reader->channels()) +
                              " channels; a reference for one output needs one, or a channel picked (" +
                              binding.path + ":1)",
                          err);
        plan.expects.push_back({binding, -1, std::move(reader)});
    }

    // One rate for the session: the inputs', which --rate may repeat but
    // not change (semhost does not resample).
    for (const RenderInput& input : plan.inputs) {
        const int rate = input.reader->sample_rate();
        if (plan.sample_rate == 0) plan.sample_rate = rate;
        if (rate != plan.sample_rate)
            return Refuse(input.binding.path,
                          "is at " + std::to_string(rate) + " Hz, " + plan.inputs.front().binding.path + " at " +
                              std::to_string(plan.sample_rate) + " Hz; semhost does not resample",
                          err);
    }
    if (options.sample_rate) {
        if (plan.sample_rate != 0 && *options.sample_rate != plan.sample_rate)
            return Refuse("--rate",
                          std::to_string(*options.sample_rate) + " Hz is not the inputs' rate (" +
                              std::to_string(plan.sample_rate) + " Hz); semhost does not resample",
                          err);
        plan.sample_rate = *options.sample_rate;
    }
    if (plan.sample_rate == 0) plan.sample_rate = kDefaultRenderRate;

    if (options.seconds) {
        plan.frames = static_cast<std::uint64_t>(std::llround(*options.seconds * plan.sample_rate));
    } else if (plan.inputs.empty()) {
        return Refuse("render", "without an input, --seconds says how long to render", err);
    } else {
        for (const RenderInput& input : plan.inputs) plan.frames = std::max(plan.frames, input.reader->frames());
    }

    // The files the command reads, which no output may be.
    std::vector<std::string> read = {module_path, options.script_path};
    for (const AudioBinding& binding : options.inputs) read.push_back(binding.path);
    for (const AudioBinding& binding : options.expects) read.push_back(binding.path);
    for (const AudioBinding& binding : options.outputs) {
        for (const RenderOutput& earlier : plan.outputs) {
            std::error_code error;
            if (std::filesystem::weakly_canonical(earlier.binding.path, error) ==
                std::filesystem::weakly_canonical(binding.path, error))
                return Refuse(binding.path, "is named by two --out; each output needs a file of its own", err);
        }
        if (!CheckOutputFile(binding.path, read, err)) return false;
        const std::optional<AudioContainer> container = ContainerOfName(binding.path);
        if (!container)
            return Refuse(binding.path, "an output's name ends in .wav, .aif, .aiff or .flac, which gives its format",
                          err);
        read.push_back(binding.path);
        plan.outputs.push_back({binding, -1, OutputFormat(*container, plan)});
    }
    return true;
}

bool PlanPins(const std::vector<PinDeclaration>& pins, RenderPlan& plan, std::ostream& err) {
    plan.sample_inputs.clear();
    plan.sample_outputs.clear();
    plan.feeds.clear();
    for (const PinDeclaration& pin : pins) {
        if (pin.datatype != DT_FSAMPLE || !pin.HasAudioPin()) continue;
        (pin.direction == DR_IN ? plan.sample_inputs : plan.sample_outputs).push_back(pin.index);
    }

    std::map<int, std::string> fed;  // pin -> the file feeding it
    for (std::size_t i = 0; i < plan.inputs.size(); ++i) {
        const RenderInput& input = plan.inputs[i];
        const int first = BindPin(pins, input.binding, true, plan.sample_inputs, err);
        if (first < 0) return false;
        const int channels = input.binding.channel > 0 ? 1 : input.reader->channels();
        const auto at = std::find(plan.sample_inputs.begin(), plan.sample_inputs.end(), first);
        const auto room = static_cast<int>(plan.sample_inputs.end() - at);
        if (channels > room)
            return Refuse(input.binding.path,
                          "has " + std::to_string(channels) + " channels, and from \"" + pins[first].name +
                              "\" on the module has " + std::to_string(room) + " sample input" +
                              (room == 1 ? "" : "s") + "; pick a channel (" + input.binding.path + ":1)",
                          err);
        for (int channel = 0; channel < channels; ++channel) {
            const int pin = *(at + channel);
            if (fed.count(pin) != 0)
                return Refuse(input.binding.path,
                              "would feed \"" + pins[pin].name + "\", which " + fed[pin] + " feeds already", err);
            fed[pin] = input.binding.path;
            plan.feeds.push_back({pin, i, input.binding.channel > 0 ? input.binding.channel - 1 : channel});
        }
    }

    std::set<int> written;
    for (RenderOutput& output : plan.outputs) {
        output.pin = BindPin(pins, output.binding, false, plan.sample_outputs, err);
        if (output.pin < 0) return false;
        if (!written.insert(output.pin).second)
            return Refuse(output.binding.path, "\"" + pins[output.pin].name + "\" is written to another file already",
                          err);
    }
    std::set<int> compared;
    for (RenderExpect& expect : plan.expects) {
        expect.pin = BindPin(pins, expect.binding, false, plan.sample_outputs, err);
        if (expect.pin < 0) return false;
        if (!compared.insert(expect.pin).second)
            return Refuse(expect.binding.path, "\"" + pins[expect.pin].name + "\" has another --expect already", err);
    }
    return true;
}
