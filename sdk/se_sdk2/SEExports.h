// The two exports every module library defines, for the module's own
// sources (which define them) and for programs that link those sources in
// and call them directly. A host that loads a library finds them by name
// instead, as GetModulePropertiesFunction and MakeModuleFunction.
#pragma once

#include "SEEntryPoints.h"

extern "C" {
bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties);
void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback, std::intptr_t host_value);
}
