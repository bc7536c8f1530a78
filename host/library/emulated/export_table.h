// Finds a function an image exports, by name.
#pragma once

#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <cstdint>
#include <string>

enum class ExportLookup { Found, Missing, Malformed };

// The RVA of the export `name`. Missing covers a forwarded export too (it
// names a function of another library, which the image does not hold);
// Malformed leaves one line in `problem`.
ExportLookup FindExport(const MappedImage& mapped, const PeImage& image, const std::string& name,
                        std::uint32_t& rva, std::string& problem);
