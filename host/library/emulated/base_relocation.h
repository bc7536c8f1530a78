// Moves a mapped image from its preferred base to the one it is loaded at.
#pragma once

#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <cstdint>
#include <string>

// Applies the image's base relocations (ABSOLUTE and HIGHLOW, the only two
// an i386 image uses) and writes the new base into its headers. False with
// one line in `problem` when the image cannot be moved: relocations
// stripped or absent, a malformed block, a type it does not apply.
bool ApplyBaseRelocations(MappedImage& mapped, const PeImage& image, std::uint32_t load_base,
                          std::string& problem);
