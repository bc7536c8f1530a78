// The library's two exports, linked in from the module's sources.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>

extern "C" {
bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties);
void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback, std::intptr_t host_value);
}
