// Finds a function an image exports, by name, and lists them all.
#pragma once

#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

enum class ExportLookup { Found, Missing, Malformed };

// The RVA of the export `name`. Missing covers a forwarded export too (it
// names a function of another library, which the image does not hold);
// Malformed leaves one line in `problem`.
ExportLookup FindExport(const MappedImage& mapped, const PeImage& image, const std::string& name,
                        std::uint32_t& rva, std::string& problem);

// Every export of the image: the named ones as their names, in the table's
// order, then those exported by ordinal alone as "ordinal N". False, with
// one line in `problem`, when the directory is malformed.
bool ListExports(const MappedImage& mapped, const PeImage& image, std::vector<std::string>& names,
                 std::string& problem);
