#include "commands/try/panel.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

bool IsPinNumber(const std::string& word) {
    return word.size() > 1 && word[0] == '#' && word.find_first_not_of("0123456789", 1) == std::string::npos;
}

// Splits one line into words and quoted texts; a word starting with '#'
// that is not a pin number ends the line. False with `problem` on an
// unclosed quote.
bool Tokenize(const std::string& line, std::vector<Token>& tokens, std::string& problem) {
    std::size_t at = 0;
    while (at < line.size()) {
        const char c = line[at];
        if (c == ' ' || c == '\t') {
            ++at;
            continue;
        }
        if (c == '"') {
            const std::size_t end = line.find('"', at + 1);
            if (end == std::string::npos) {
                problem = "a quote is not closed";
                return false;
            }
            tokens.push_back({line.substr(at + 1, end - at - 1), true});
            at = end + 1;
            continue;
        }
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '"') ++end;
        std::string word = line.substr(at, end - at);
        if (word[0] == '#' && !IsPinNumber(word)) return true;
        tokens.push_back({std::move(word), false});
        at = end;
    }
    return true;
}

bool ParseNumber(const Token& token, double& value) {
    if (token.quoted || token.text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(token.text.c_str(), &end);
    return errno == 0 && end == token.text.c_str() + token.text.size() && std::isfinite(value);
}

bool ParseRangeEnds(const std::vector<Token>& tokens, std::size_t at, double& low, double& high,
                    std::string& problem) {
    if (at + 1 >= tokens.size() || !ParseNumber(tokens[at], low) || !ParseNumber(tokens[at + 1], high)) {
        problem = "range needs two numbers, LOW HIGH";
        return false;
    }
    if (!(low < high)) {
        problem = "range needs LOW below HIGH";
        return false;
    }
    return true;
}

bool ParseKnob(const std::vector<Token>& tokens, PanelKnob& knob, std::string& problem) {
    if (tokens.size() < 2) {
        problem = "knob needs the PIN its angle shows";
        return false;
    }
    knob.angle_pin_text = tokens[1].text;
    for (std::size_t at = 2; at < tokens.size();) {
        const std::string& key = tokens[at].quoted ? std::string() : tokens[at].text;
        if (key == "press" && at + 1 < tokens.size()) {
            knob.press_pin_text = tokens[at + 1].text;
            at += 2;
        } else if (key == "label" && at + 1 < tokens.size()) {
            knob.label = tokens[at + 1].text;
            at += 2;
        } else if (key == "range") {
            if (!ParseRangeEnds(tokens, at + 1, knob.low, knob.high, problem)) return false;
            at += 3;
        } else {
            problem = "unexpected \"" + tokens[at].text + "\" in a knob (press PIN, range LOW HIGH or label TEXT)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParsePanel(const std::string& text, const std::string& name, Panel& panel, std::string& error) {
    panel = Panel{};
    panel.name = name;
    std::size_t start = 0;
    // A leading UTF-8 byte-order mark is not part of the first line.
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) start = 3;
    int line_number = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        ++line_number;
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        start = end + 1;

        const std::string where = name + ":" + std::to_string(line_number) + ": ";
        if (line.find('\0') != std::string::npos) {
            error = where + "a panel is text; this line holds a zero byte";
            return false;
        }
        std::vector<Token> tokens;
        std::string problem;
        if (!Tokenize(line, tokens, problem)) {
            error = where + problem;
            return false;
        }
        if (tokens.empty()) continue;
        const std::string& keyword = tokens[0].quoted ? std::string() : tokens[0].text;
        if (keyword == "title") {
            if (tokens.size() != 2) {
                error = where + "title needs one TEXT (in quotes when it holds spaces)";
                return false;
            }
            panel.title = tokens[1].text;
        } else if (keyword == "knob") {
            PanelKnob knob;
            knob.line = line_number;
            if (!ParseKnob(tokens, knob, problem)) {
                error = where + problem;
                return false;
            }
            panel.knobs.push_back(knob);
        } else if (keyword == "range") {
            PanelRange range;
            range.line = line_number;
            if (tokens.size() != 4) {
                error = where + "range needs PIN LOW HIGH";
                return false;
            }
            range.pin_text = tokens[1].text;
            if (!ParseRangeEnds(tokens, 2, range.low, range.high, problem)) {
                error = where + problem;
                return false;
            }
            panel.ranges.push_back(range);
        } else {
            error = where + "unknown statement \"" + tokens[0].text + "\" (title, knob or range)";
            return false;
        }
    }
    return true;
}

namespace {

int FindPinNamed(const std::string& text, const std::vector<std::string>& names) {
    if (IsPinNumber(text)) {
        if (text.size() > 6) return -1;
        const int number = std::atoi(text.c_str() + 1);
        return number < static_cast<int>(names.size()) ? number : -1;
    }
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == text) return static_cast<int>(i);
    return -1;
}

}  // namespace

bool ResolvePanel(Panel& panel, const std::vector<std::string>& pin_names, const std::vector<bool>& number_pins,
                  std::string& error) {
    auto resolve = [&](int line, const std::string& text, bool needs_number, int& pin) {
        pin = FindPinNamed(text, pin_names);
        const std::string where = panel.name + ":" + std::to_string(line) + ": ";
        if (pin < 0) {
            error = where + "the module has no pin \"" + text + "\"";
            return false;
        }
        if (needs_number && !number_pins[static_cast<std::size_t>(pin)]) {
            error = where + "\"" + pin_names[static_cast<std::size_t>(pin)] + "\" holds no number to show";
            return false;
        }
        return true;
    };
    for (PanelKnob& knob : panel.knobs) {
        if (!resolve(knob.line, knob.angle_pin_text, true, knob.angle_pin)) return false;
        if (!knob.press_pin_text.empty() && !resolve(knob.line, knob.press_pin_text, true, knob.press_pin))
            return false;
    }
    for (PanelRange& range : panel.ranges)
        if (!resolve(range.line, range.pin_text, true, range.pin)) return false;
    return true;
}

bool ReadPanelFile(const std::string& path, Panel& panel, std::string& error) {
    std::error_code problem;
    const std::filesystem::file_status status = std::filesystem::status(path, problem);
    if (!std::filesystem::exists(status)) {
        error = path + ": no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        error = path + ": is not a regular file, so not a panel";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the panel";
        return false;
    }
    std::string text(kMaxPanelBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxPanelBytes) {
        error = path + ": a panel has at most " + std::to_string(kMaxPanelBytes) + " bytes";
        return false;
    }
    return ParsePanel(text, path, panel, error);
}
