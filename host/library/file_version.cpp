// A module file's version resource, by the PE reader every build has (the
// emulator's on Linux; semhost.exe's copy of it on Windows).
#include "library/module_library.h"

#include "library/emulated/pe_version.h"

FileVersion ModuleLibrary::ReadFileVersion(const std::string& path) {
    const PeVersion read = ReadPeFileVersion(path);
    return {read.version, read.problem};
}
