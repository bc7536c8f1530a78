// Binds an image's imports to semhost's functions, as the loader binds
// them to the system's libraries.
#pragma once

#include "library/emulated/host_function_table.h"
#include "library/emulated/import_table.h"
#include "library/emulated/mapped_image.h"

#include <string>
#include <vector>

// Fills each import address table entry with the address of its stand-in,
// or of a trap when semhost does not stand in for the function (one warning
// per function; any library Windows ships may be imported). False with one
// line in `problem` for an import from a library a user's machine does not
// have (a compiler runtime, a third party's), or more imports than the
// function page holds.
bool BindImports(MappedImage& mapped, const std::vector<ImportedFunction>& imports, HostFunctionTable& functions,
                 std::vector<std::string>& warnings, std::string& problem);
