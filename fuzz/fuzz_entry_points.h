// The library's exports, as a host sees them; the fuzz targets link the
// module's sources in, so they call the functions directly.
#pragma once

#include "SEExports.h"
#include "SEHostTypes.h"

namespace fuzz {

// Stops the run with a message: the module broke the protocol in a way no
// sanitizer sees (a wrong opcode, argument or result).
[[noreturn]] void ProtocolFault(const char* what);

}  // namespace fuzz
