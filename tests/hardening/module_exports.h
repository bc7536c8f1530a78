// The library's two exports, linked in from the module's sources.
#pragma once

#include "SEExports.h"
#include "SEHostTypes.h"
