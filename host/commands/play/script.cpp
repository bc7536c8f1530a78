#include "commands/play/script.h"

#include "hosting/modifier_keys.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

namespace {

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Splits on blanks; a double-quoted stretch is one token without its quotes.
bool Tokenize(const std::string& text, std::vector<std::string>& tokens, std::string& problem) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        std::string token;
        if (text[i] == '"') {
            const std::size_t end = text.find('"', i + 1);
            if (end == std::string::npos) {
                problem = "a quote is not closed";
                return false;
            }
            token = text.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < text.size() && text[i] != ' ' && text[i] != '\t') token += text[i++];
        }
        tokens.push_back(token);
    }
    return true;
}

std::string Join(const std::vector<std::string>& tokens, std::size_t first, std::size_t end) {
    std::string joined;
    for (std::size_t i = first; i < end; ++i) {
        if (!joined.empty()) joined += ' ';
        joined += tokens[i];
    }
    return joined;
}

bool IsNumber(const std::string& text) {
    if (text.empty()) return false;
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0';
}

double Number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

bool IsFiniteNumber(const std::string& text) { return IsNumber(text) && std::isfinite(Number(text)); }

bool IsMeasure(const std::string& word) { return word == "peak" || word == "rms"; }

// The signal that `tokens` from `first` on describe: "silence", "dc 0.5",
// "sine 440 Hz at 0.5", "noise at 0.5 seed 3", "impulse 1".
bool ParseSignal(const std::vector<std::string>& tokens, std::size_t first, InputSignal& signal, std::string& problem) {
    const std::string& kind = tokens[first];
    std::vector<std::string> rest(tokens.begin() + static_cast<long>(first) + 1, tokens.end());
    signal = InputSignal{};
    signal.level = 1.0;
    signal.seed = 1;
    // "at LEVEL" and "seed N", where the kind takes them.
    const auto take_at = [&](bool allowed, bool allowed_seed) {
        for (std::size_t i = 0; i < rest.size();) {
            if ((rest[i] == "at" && allowed) || (rest[i] == "seed" && allowed_seed)) {
                if (i + 1 >= rest.size() || !IsFiniteNumber(rest[i + 1])) {
                    problem = "\"" + rest[i] + "\" needs a number";
                    return false;
                }
                if (rest[i] == "at") {
                    signal.level = Number(rest[i + 1]);
                } else {
                    const double seed = Number(rest[i + 1]);
                    if (seed < 0 || seed != std::floor(seed) || seed > 1e18) {
                        problem = "a seed is a whole number from 0";
                        return false;
                    }
                    signal.seed = static_cast<std::uint64_t>(seed);
                }
                rest.erase(rest.begin() + static_cast<long>(i), rest.begin() + static_cast<long>(i) + 2);
                continue;
            }
            ++i;
        }
        return true;
    };
    if (kind == "silence") {
        signal.kind = InputSignal::Kind::Silence;
        signal.level = 0.0;
    } else if (kind == "dc") {
        signal.kind = InputSignal::Kind::Dc;
        if (rest.size() != 1 || !IsFiniteNumber(rest[0])) {
            problem = "\"dc\" needs one level, as in \"dc 0.5\"";
            return false;
        }
        signal.level = Number(rest[0]);
        rest.clear();
    } else if (kind == "sine") {
        signal.kind = InputSignal::Kind::Sine;
        if (!take_at(true, false)) return false;
        if (rest.empty() || rest.size() > 2 || (rest.size() == 2 && rest[1] != "Hz" && rest[1] != "hz") ||
            !IsFiniteNumber(rest[0]) || Number(rest[0]) <= 0) {
            problem = "\"sine\" needs a frequency above 0, as in \"sine 440 Hz at 0.5\"";
            return false;
        }
        signal.frequency = Number(rest[0]);
        rest.clear();
    } else if (kind == "noise") {
        signal.kind = InputSignal::Kind::Noise;
        if (!take_at(true, true)) return false;
    } else if (kind == "impulse") {
        signal.kind = InputSignal::Kind::Impulse;
        if (rest.size() == 1 && IsFiniteNumber(rest[0])) {
            signal.level = Number(rest[0]);
            rest.clear();
        }
    } else {
        problem = "unknown signal \"" + kind + "\" (silence, dc, sine, noise or impulse)";
        return false;
    }
    if (!rest.empty()) {
        problem = "\"" + rest[0] + "\" does not belong to a " + kind + " signal";
        return false;
    }
    return true;
}

// Drops a trailing comment: " # " (or " #" at the end) outside quotes.
std::string WithoutTrailingComment(const std::string& line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (quoted || line[i] != '#' || i == 0) continue;
        const bool blank_before = line[i - 1] == ' ' || line[i - 1] == '\t';
        const bool blank_after = i + 1 == line.size() || line[i + 1] == ' ' || line[i + 1] == '\t';
        if (blank_before && blank_after) return line.substr(0, i);
    }
    return line;
}

bool ParseLine(const std::string& raw, ScriptCommand& command, bool& empty, std::string& problem) {
    const std::string whole = Trim(raw);
    empty = whole.empty();
    if (empty) return true;
    if (whole[0] == '#') {
        command.kind = ScriptCommand::Kind::Heading;
        command.text = Trim(whole.substr(1));
        empty = command.text.empty();
        return true;
    }
    std::vector<std::string> tokens;
    if (!Tokenize(Trim(WithoutTrailingComment(whole)), tokens, problem)) return false;
    if (tokens.empty()) {
        problem = "an empty command";
        return false;
    }
    const std::string& verb = tokens[0];
    std::size_t count = tokens.size();

    if (verb == "set") {
        if (count < 3) {
            problem = "\"set\" needs a pin and a value";
            return false;
        }
        if (!IsNumber(tokens[count - 1])) {
            problem = "\"" + tokens[count - 1] + "\" is not a number";
            return false;
        }
        command.kind = ScriptCommand::Kind::Set;
        command.pin_text = Join(tokens, 1, count - 1);
        command.value_text = tokens[count - 1];
        return true;
    }
    if (verb == "click") {
        command.kind = ScriptCommand::Kind::Click;
        command.pin_text = Join(tokens, 1, count);
        return true;
    }
    if (verb == "press" || verb == "release") {
        if (count != 2) {
            problem = "\"" + verb + "\" needs one key: ctrl, shift or alt";
            return false;
        }
        command.kind = verb == "press" ? ScriptCommand::Kind::Press : ScriptCommand::Kind::Release;
        // In any case: the timeline writes "press Ctrl", and a script may copy it.
        const ModifierKey* key = FindModifierKey(tokens[1]);
        if (key == nullptr) {
            problem = "unknown key \"" + tokens[1] + "\" (ctrl, shift or alt)";
            return false;
        }
        command.key = key->virtual_key;
        command.key_name = key->name;
        return true;
    }
    if (verb == "wait") {
        if (count < 2 || count > 3 || (count == 3 && tokens[2] != "ms")) {
            problem = "\"wait\" needs a number of milliseconds, as in \"wait 500 ms\"";
            return false;
        }
        char* end = nullptr;
        errno = 0;
        const long milliseconds = std::strtol(tokens[1].c_str(), &end, 10);
        if (tokens[1].empty() || *end != '\0' || errno != 0 || milliseconds < 0 || milliseconds > 3600000) {
            problem = "\"" + tokens[1] + "\" is not a number of milliseconds from 0 to 3600000";
            return false;
        }
        command.kind = ScriptCommand::Kind::Wait;
        command.milliseconds = milliseconds;
        return true;
    }
    if (verb == "idle") {
        if (count != 1) {
            problem = "\"idle\" takes nothing more";
            return false;
        }
        command.kind = ScriptCommand::Kind::Idle;
        return true;
    }
    if (verb == "signal") {
        // The pin is every word before the signal's kind.
        static const char* const kKinds[] = {"silence", "dc", "sine", "noise", "impulse"};
        std::size_t kind_at = 0;
        for (std::size_t i = 2; i < count && kind_at == 0; ++i)
            for (const char* kind : kKinds)
                if (tokens[i] == kind) kind_at = i;
        if (kind_at == 0) {
            problem = "\"signal\" needs a pin and a signal: silence, dc LEVEL, sine FREQ Hz [at LEVEL], "
                      "noise [at LEVEL] [seed N] or impulse [LEVEL]";
            return false;
        }
        if (!ParseSignal(tokens, kind_at, command.signal, problem)) return false;
        command.kind = ScriptCommand::Kind::Signal;
        command.pin_text = Join(tokens, 1, kind_at);
        return true;
    }
    if (verb == "run") {
        const bool unit = count == 3 && (tokens[2] == "blocks" || tokens[2] == "block" || tokens[2] == "samples" ||
                                         tokens[2] == "sample");
        char* end = nullptr;
        errno = 0;
        const long number = unit ? std::strtol(tokens[1].c_str(), &end, 10) : 0;
        if (!unit || tokens[1].empty() || *end != '\0' || errno != 0 || number < 1 || number > kMaxRunCount) {
            problem = "\"run\" needs a count from 1 to " + std::to_string(kMaxRunCount) +
                      " and blocks or samples, as in \"run 4 blocks\"";
            return false;
        }
        command.kind = ScriptCommand::Kind::Run;
        command.count = number;
        command.in_samples = tokens[2][0] == 's';
        return true;
    }
    if (verb == "expect") {
        command.kind = ScriptCommand::Kind::Expect;
        if (count >= 3 && tokens[count - 1] == "silent") {
            command.measure = ScriptCommand::Measure::Silent;
            command.pin_text = Join(tokens, 1, count - 1);
            return true;
        }
        // A measure's word before the value or range: a sample output's
        // peak or RMS, unless the pin's own name ends in it.
        const std::size_t measure_at = count >= 6 && tokens[count - 2] == ".." ? count - 4 : count - 2;
        if (count >= 4 && IsMeasure(tokens[measure_at])) {
            command.measure = tokens[measure_at] == "peak" ? ScriptCommand::Measure::Peak : ScriptCommand::Measure::Rms;
            command.plain_pin_text = Join(tokens, 1, measure_at + 1);
            tokens.erase(tokens.begin() + static_cast<long>(measure_at));
            count = tokens.size();
        }
        if (count >= 5 && tokens[count - 2] == "..") {
            if (!IsNumber(tokens[count - 3]) || !IsNumber(tokens[count - 1])) {
                problem = "a range is two numbers, as in \"0.2 .. 0.8\"";
                return false;
            }
            if (std::strtod(tokens[count - 3].c_str(), nullptr) > std::strtod(tokens[count - 1].c_str(), nullptr)) {
                problem = "the range " + tokens[count - 3] + " .. " + tokens[count - 1] +
                          " is reversed: the lower end comes first";
                return false;
            }
            command.is_range = true;
            command.pin_text = Join(tokens, 1, count - 3);
            command.value_text = tokens[count - 3];
            command.high_text = tokens[count - 1];
            return true;
        }
        if (count < 3) {
            problem = "\"expect\" needs a pin and a value or a range";
            return false;
        }
        if (!IsNumber(tokens[count - 1])) {
            problem = "\"" + tokens[count - 1] + "\" is not a number";
            return false;
        }
        command.pin_text = Join(tokens, 1, count - 1);
        command.value_text = tokens[count - 1];
        return true;
    }
    problem = "unknown command \"" + verb + "\" (set, click, press, release, wait, idle, expect, signal, run)";
    return false;
}

}  // namespace

std::vector<ScriptPin> ScriptPinsOf(const std::vector<PinDeclaration>& pins) {
    std::vector<ScriptPin> named;
    for (const PinDeclaration& pin : pins)
        named.push_back({pin.name, pin.TakesFloat(), pin.datatype == DT_FSAMPLE, pin.direction == DR_OUT});
    return named;
}

int FindScriptPin(const std::string& text, const std::vector<ScriptPin>& pins) {
    for (std::size_t i = 0; i < pins.size(); ++i)
        if (pins[i].name == text) return static_cast<int>(i);
    std::string digits = text;
    if (!digits.empty() && digits[0] == '#') digits.erase(0, 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6)
        return -1;
    const int number = std::atoi(digits.c_str());
    return number < static_cast<int>(pins.size()) ? number : -1;
}

namespace {

bool ValueFits(const std::string& text, const ScriptPin& pin) {
    const double value = std::strtod(text.c_str(), nullptr);
    if (pin.takes_float) return true;
    return std::isfinite(value) && value == std::floor(value) &&
           value >= std::numeric_limits<std::int32_t>::min() &&
           value <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

// The lines of a text: LF, CRLF and a lone CR each end one.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            line += text[i];
            continue;
        }
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool ParseScript(const std::string& text, const std::string& name, Script& script, std::string& error) {
    script.name = name;
    script.commands.clear();
    if (text.size() > kMaxScriptBytes) {
        error = name + ": longer than " + std::to_string(kMaxScriptBytes) + " bytes, the most a script may have";
        return false;
    }
    // A UTF-8 byte-order mark, as some editors write, is no part of the first line.
    const std::string kByteOrderMark = "\xEF\xBB\xBF";
    const bool marked = text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
    const std::vector<std::string> lines = SplitLines(marked ? text.substr(kByteOrderMark.size()) : text);
    int line_number = 0;
    for (const std::string& raw : lines) {
        ++line_number;
        ScriptCommand command;
        command.line = line_number;
        bool empty = false;
        std::string problem;
        if (!ParseLine(raw, command, empty, problem)) {
            error = name + ":" + std::to_string(line_number) + ": " + problem;
            return false;
        }
        if (!empty) script.commands.push_back(command);
    }
    return true;
}

const char* MeasureName(ScriptCommand::Measure measure) {
    switch (measure) {
    case ScriptCommand::Measure::Peak: return "peak";
    case ScriptCommand::Measure::Rms: return "rms";
    case ScriptCommand::Measure::Silent: return "silent";
    case ScriptCommand::Measure::None: break;
    }
    return "";
}

bool ResolveScript(Script& script, const std::vector<ScriptPin>& pins, std::string& error) {
    // The generic session is made from the pins themselves.
    if (script.generic) return true;
    for (ScriptCommand& command : script.commands) {
        const std::string where = script.name + ":" + std::to_string(command.line) + ": ";
        const bool names_pin = command.kind == ScriptCommand::Kind::Set ||
                               command.kind == ScriptCommand::Kind::Click ||
                               command.kind == ScriptCommand::Kind::Expect ||
                               command.kind == ScriptCommand::Kind::Signal;
        if (!names_pin) continue;
        const std::string pin_text = command.kind == ScriptCommand::Kind::Click && command.pin_text.empty()
                                         ? "Mouse Down"
                                         : command.pin_text;
        command.pin = FindScriptPin(pin_text, pins);
        // "expect Level peak 3": the measure's word may be the end of a name
        // when no sample output takes the name without it.
        const bool measured = command.measure == ScriptCommand::Measure::Peak ||
                              command.measure == ScriptCommand::Measure::Rms;
        if (measured && (command.pin < 0 || !pins[command.pin].samples)) {
            const int plain = FindScriptPin(command.plain_pin_text, pins);
            if (plain >= 0 && !pins[plain].samples) {
                command.pin = plain;
                command.measure = ScriptCommand::Measure::None;
            }
        }
        if (command.pin < 0) {
            std::string known;
            for (const ScriptPin& pin : pins) known += (known.empty() ? "\"" : ", \"") + pin.name + "\"";
            error = where + "the module has no pin \"" + pin_text +
                    "\" (its pins: " + (known.empty() ? "none" : known) + ")";
            return false;
        }
        const ScriptPin& pin = pins[command.pin];
        const std::string named = "\"" + pin.name + "\"";
        if (command.kind == ScriptCommand::Kind::Signal) {
            if (!pin.samples || pin.output) {
                error = where + named + " is no sample input: only a sample input takes a signal";
                return false;
            }
            continue;
        }
        if (command.kind == ScriptCommand::Kind::Expect && command.measure != ScriptCommand::Measure::None) {
            if (!pin.samples || !pin.output) {
                error = where + named + " is no sample output: " + MeasureName(command.measure) +
                        " is measured on a sample output";
                return false;
            }
            continue;
        }
        if (pin.samples) {
            error = where + named + " carries audio samples: " +
                    (pin.output ? "expect its peak, its rms, or that it is silent"
                                : "give it a signal (silence, dc, sine, noise or impulse)");
            return false;
        }
        for (const std::string* value : {&command.value_text, &command.high_text}) {
            if (value->empty() || ValueFits(*value, pin)) continue;
            error = where + "\"" + pin.name + "\" holds whole numbers; \"" + *value + "\" is not one";
            return false;
        }
    }
    return true;
}

bool ReadScriptFile(const std::string& path, Script& script, std::ostream& err) {
    // Only a regular file: a directory reads as empty, and a pipe or a
    // device may never end.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        err << "semhost: " << path << ": is not a regular file, so not a script\n";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err << "semhost: " << path << ": cannot read the script\n";
        return false;
    }
    // One byte more than a script may have shows that it is too long.
    std::string text(kMaxScriptBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::string problem;
    if (!ParseScript(text, path, script, problem)) {
        err << "semhost: " << problem << '\n';
        return false;
    }
    return true;
}
