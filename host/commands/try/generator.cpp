#include "commands/try/generator.h"

#include <cmath>

namespace {

const char* KindName(Generator::Kind kind) {
    switch (kind) {
    case Generator::Kind::Silence: return "silence";
    case Generator::Kind::Sine: return "sine";
    case Generator::Kind::Noise: return "noise";
    case Generator::Kind::Impulse: return "impulse";
    case Generator::Kind::File: return "file";
    }
    return "silence";
}

// A number from `low` to `high`; absent: `value` stays.
bool Within(const nlohmann::json& json, const char* name, double low, double high, double& value) {
    if (!json.contains(name)) return true;
    const nlohmann::json& given = json[name];
    if (!given.is_number()) return false;
    const double number = given.get<double>();
    if (!std::isfinite(number) || number < low || number > high) return false;
    value = number;
    return true;
}

}  // namespace

nlohmann::json Generator::Json() const {
    nlohmann::json json = {{"kind", KindName(kind)}};
    if (kind == Kind::Sine) json["frequency"] = frequency;
    if (kind == Kind::Sine || kind == Kind::Noise || kind == Kind::Impulse) json["level"] = level;
    if (kind == Kind::File) json["file"] = file;
    return json;
}

InputSignal Generator::Signal(const std::vector<TryInputFile>& files, std::uint64_t seed) const {
    InputSignal signal;
    signal.level = level;
    switch (kind) {
    case Kind::Silence: signal.kind = InputSignal::Kind::Silence; break;
    case Kind::Sine:
        signal.kind = InputSignal::Kind::Sine;
        signal.frequency = frequency;
        break;
    case Kind::Noise:
        signal.kind = InputSignal::Kind::Noise;
        signal.seed = seed;
        break;
    case Kind::Impulse: signal.kind = InputSignal::Kind::Impulse; break;
    case Kind::File:
        signal.kind = InputSignal::Kind::Stream;
        if (file >= 0 && file < static_cast<int>(files.size())) signal.stream = files[static_cast<std::size_t>(file)].samples;
        break;
    }
    return signal;
}

std::string ParseGenerator(const nlohmann::json& json, double sample_rate, std::size_t file_count,
                           Generator& generator) {
    if (!json.is_object() || !json.contains("kind") || !json["kind"].is_string()) return "a generator needs a kind";
    const std::string& kind = json["kind"].get_ref<const std::string&>();
    Generator parsed;
    if (kind == "silence") parsed.kind = Generator::Kind::Silence;
    else if (kind == "sine") parsed.kind = Generator::Kind::Sine;
    else if (kind == "noise") parsed.kind = Generator::Kind::Noise;
    else if (kind == "impulse") parsed.kind = Generator::Kind::Impulse;
    else if (kind == "file") parsed.kind = Generator::Kind::File;
    else return "unknown generator \"" + kind.substr(0, 40) + "\"";
    if (!Within(json, "frequency", 0.0, sample_rate / 2, parsed.frequency))
        return "a sine's frequency is from 0 to half the sample rate";
    if (!Within(json, "level", 0.0, kMaxGeneratorLevel, parsed.level)) return "a level is from 0 to 16";
    if (parsed.kind == Generator::Kind::File) {
        if (!json.contains("file") || !json["file"].is_number_integer()) return "a file generator names a file by its number";
        const std::int64_t file = json["file"].get<std::int64_t>();
        if (file < 0 || file >= static_cast<std::int64_t>(file_count)) return "no such file";
        parsed.file = static_cast<int>(file);
    }
    generator = parsed;
    return "";
}
