// The loader maps an ELF library's segments straight from the file; a
// segment that reaches past the file's end is a bus error inside dlopen,
// not an error it returns. This finds such a cut file before it is loaded.
#pragma once

#include <string>

// True unless the file is an ELF image whose program headers or loadable
// segments reach past its end; then `problem` says by how much. Files that
// are no ELF image at all are left to the loader, which refuses them.
bool ElfSegmentsFitFile(const std::string& path, std::string& problem);
