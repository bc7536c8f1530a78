// The functions an image imports, read from its import directory.
#pragma once

#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

struct ImportedFunction {
    std::string library;     // as the image names it: "KERNEL32.dll"
    std::string name;        // empty when imported by ordinal
    std::uint16_t ordinal;   // when imported by ordinal
    std::uint32_t slot_rva;  // its entry of the import address table, which the loader fills
};

// Every imported function, in table order. False with one line in `problem`
// when the directory or a table runs outside the image.
bool ReadImports(const MappedImage& mapped, const PeImage& image, std::vector<ImportedFunction>& imports,
                 std::string& problem);

// "KERNEL32.dll!GetTickCount64", or "KERNEL32.dll#12" for an ordinal.
std::string DescribeImport(const ImportedFunction& function);
