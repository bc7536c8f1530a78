#include "commands/render/render_options.h"

#include <cstdlib>

bool ParseAudioBinding(const std::string& text, bool channel_allowed, AudioBinding& binding, std::string& problem) {
    binding = AudioBinding{};
    const std::size_t equals = text.find('=');
    std::string path = text;
    if (equals != std::string::npos) {
        binding.pin_text = text.substr(0, equals);
        path = text.substr(equals + 1);
    }
    const std::size_t colon = path.rfind(':');
    if (channel_allowed && colon != std::string::npos && colon + 1 < path.size() &&
        path.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        const std::string digits = path.substr(colon + 1);
        const long channel = digits.size() > 4 ? 0 : std::strtol(digits.c_str(), nullptr, 10);
        if (channel < 1) {
            problem = "\"" + text + "\": channels count from 1 (to the file's number of channels)";
            return false;
        }
        binding.channel = static_cast<int>(channel);
        path.erase(colon);
    }
    if (path.empty()) {
        problem = "\"" + text + "\" names no file";
        return false;
    }
    binding.path = path;
    return true;
}

bool ParsePinSetting(const std::string& text, PinSetting& setting, std::string& problem) {
    const std::size_t equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        problem = "\"" + text + "\" is not PIN=VALUE";
        return false;
    }
    setting.pin_text = text.substr(0, equals);
    setting.value_text = text.substr(equals + 1);
    return true;
}
