// How the session writes numbers and calls in its reports.
#pragma once

#include <cstdint>
#include <string>

class HostSession;

namespace session_text {

// "0x5E001001" at the module's address width (8 or 16 digits).
std::string HexAddress(std::uint64_t value, unsigned pointer_size);
std::string Hex32(std::uint32_t value);


// "GUI_OPEN (flag true)", "AUDIO_SET_BLOCK_SIZE 256": a host call, readable.
std::string GuiCall(const HostSession& session, std::int32_t opcode, std::int32_t index, std::int32_t value);
std::string AudioCall(std::int32_t opcode, std::int32_t index, std::int32_t value, float opt);
std::string ModuleType(std::int32_t type);  // "MT_AUDIO", "MT_GUI" or the number

}  // namespace session_text
