// Readable names for what the host sees of a module: opcodes, data types,
// directions and pin flags. Used by every printed report of semhost.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>
#include <string>

namespace protocol_names {

// Opcodes the host sends through a plug record's dispatcher.
std::string AudioDispatchOpcode(std::int32_t opcode);
std::string GuiDispatchOpcode(std::int32_t opcode);

// Opcodes the module sends through the host callback. Unknown ones read as
// "opcode N"; `IsKnown...` tells them apart.
std::string AudioCallbackOpcode(std::int32_t opcode);
std::string GuiCallbackOpcode(std::int32_t opcode);
bool IsKnownAudioCallback(std::int32_t opcode);
bool IsKnownGuiCallback(std::int32_t opcode);

// Pin declarations.
std::string DataType(std::int32_t datatype);  // "DT_FLOAT", or "type N"
bool IsKnownDataType(std::int32_t datatype);
std::string Direction(std::int32_t direction);  // "in", "out", or "direction N"
std::string PinFlags(std::uint32_t flags);      // "IO_PRIVATE | 0x20", or "none"

}  // namespace protocol_names
