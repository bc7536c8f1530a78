// The emulated process around the module: its image in memory, its stack,
// its thread and process blocks, the descriptor table that gives FS its
// base, and the page of semhost's functions.
#pragma once

#include "library/emulated/emulated_cpu.h"
#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <cstdint>

// Maps the image at `base`: the headers read-only, each section with the
// protection its characteristics ask for, gaps inaccessible.
bool MapImage(EmulatedCpu& cpu, const MappedImage& mapped, const PeImage& image, std::uint32_t base);

// Maps the stack, the thread and process blocks, the descriptor table and
// the function page, and points FS at the thread block.
bool SetUpProcess(EmulatedCpu& cpu, std::uint32_t image_base);
