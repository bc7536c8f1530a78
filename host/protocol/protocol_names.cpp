#include "protocol/protocol_names.h"

#include "SEProtocol.h"

#include <cstdio>

namespace protocol_names {

namespace {

std::string NameOr(const char* name, const char* kind, std::int32_t code) {
    if (name != nullptr) return name;
    return std::string(kind) + " " + std::to_string(code);
}

}  // namespace

std::string AudioDispatchOpcode(std::int32_t opcode) {
    return NameOr(AudioDispatchOpcodeName(opcode), "opcode", opcode);
}
std::string GuiDispatchOpcode(std::int32_t opcode) { return NameOr(GuiDispatchOpcodeName(opcode), "opcode", opcode); }
std::string AudioCallbackOpcode(std::int32_t opcode) {
    return NameOr(AudioCallbackOpcodeName(opcode), "opcode", opcode);
}
std::string GuiCallbackOpcode(std::int32_t opcode) { return NameOr(GuiCallbackOpcodeName(opcode), "opcode", opcode); }
bool IsKnownAudioCallback(std::int32_t opcode) { return AudioCallbackOpcodeName(opcode) != nullptr; }
bool IsKnownGuiCallback(std::int32_t opcode) { return GuiCallbackOpcodeName(opcode) != nullptr; }

std::string DataType(std::int32_t datatype) { return NameOr(DataTypeName(datatype), "type", datatype); }
bool IsKnownDataType(std::int32_t datatype) { return IsDataType(datatype); }

std::string Direction(std::int32_t direction) {
    if (direction == DR_IN) return "in";
    if (direction == DR_OUT) return "out";
    return "direction " + std::to_string(direction);
}

std::string PinFlags(std::uint32_t flags) {
    std::string text;
    std::uint32_t rest = flags;
    for (const PinFlagName& flag : kPinFlagNames) {
        if ((flags & flag.bit) == 0) continue;
        if (!text.empty()) text += " | ";
        text += flag.name;
        rest &= ~flag.bit;
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(rest));
        if (!text.empty()) text += " | ";
        text += hex;
    }
    return text.empty() ? "none" : text;
}

}  // namespace protocol_names
