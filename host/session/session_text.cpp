#include "session/session_text.h"

#include "session/host_session.h"
#include "protocol/protocol_names.h"

#include <cstdio>
#include <cstring>

namespace session_text {

std::string HexAddress(std::uint64_t value, unsigned pointer_size) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", static_cast<int>(pointer_size * 2),
                  static_cast<unsigned long long>(value));
    return text;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}


std::string GuiCall(const HostSession& session, std::int32_t opcode, std::int32_t index, std::int32_t value) {
    std::string what = protocol_names::GuiDispatchOpcode(opcode);
    switch (opcode) {
    case GUI_OPEN:
        return what + (index == 1 ? " (flag true)" : " (flag false)");
    case GUI_CLOSE:
    case GUI_IDLE:
        return what;
    case GUI_PIN_CHANGED:
        if (index >= 0 && index < static_cast<int>(session.pins().size()))
            return what + " \"" + session.pins()[index].name + "\"";
        return what + " pin " + std::to_string(index);
    default:
        return what + " " + std::to_string(index) + ", " + std::to_string(value);
    }
}

std::string AudioCall(std::int32_t opcode, std::int32_t index, std::int32_t value, float opt) {
    std::string what = protocol_names::AudioDispatchOpcode(opcode);
    char number[32];
    switch (opcode) {
    case AUDIO_OPEN:
    case AUDIO_CLOSE:
    case AUDIO_GET_PROCESS_RECORD:
        return what;
    case AUDIO_SET_SAMPLE_RATE:
        std::snprintf(number, sizeof number, " %g", static_cast<double>(opt));
        return what + number;
    case AUDIO_SET_BLOCK_SIZE:
        return what + " " + std::to_string(value);
    case AUDIO_GET_PIN_PROPERTIES:
        return what + " " + std::to_string(index);
    default:
        return what + " " + std::to_string(index) + ", " + std::to_string(value);
    }
}

std::string ModuleType(std::int32_t type) {
    if (type == MT_AUDIO) return "MT_AUDIO";
    if (type == MT_GUI) return "MT_GUI";
    return std::to_string(type);
}

}  // namespace session_text
