// The names a native library file exports, read from the file itself (a
// host that looks a name up finds these), so that the check of exports
// beyond the format's two needs nothing of the loaded module.
#pragma once

#include <string>
#include <vector>

// An ELF library's defined global functions and objects of its dynamic
// symbol table; a Windows DLL's export table. False, with one line in
// `problem`, when the file's tables cannot be read.
bool ReadExportedNames(const std::string& path, std::vector<std::string>& names, std::string& problem);
