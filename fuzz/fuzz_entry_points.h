// The library's exports, as a host sees them; the fuzz targets link the
// module's sources in, so they call the functions directly.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>

extern "C" {
bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties);
void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback, std::intptr_t host_value);
}

namespace fuzz {

// Stops the run with a message: the module broke the protocol in a way no
// sanitizer sees (a wrong opcode, argument or result).
[[noreturn]] void ProtocolFault(const char* what);

}  // namespace fuzz
