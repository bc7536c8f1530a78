// The seam's one out-of-line default, for the programs that link the
// emulated back end without the rest of semhost (its unit tests and the
// loader's fuzz target). semhost itself links its own definition instead;
// never link both.
#include "module_library.h"

#include <cstdio>

std::string ModuleLibrary::DescribeAddress(ModuleAddress address) const {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
    return text;
}
