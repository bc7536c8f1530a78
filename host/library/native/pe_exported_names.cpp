// The exports of a Windows DLL, read with the emulated back end's checked
// readers of PE headers and export tables.
#include "library/native/exported_names.h"

#include "library/emulated/export_table.h"
#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <fstream>
#include <iterator>

bool ReadExportedNames(const std::string& path, std::vector<std::string>& names, std::string& problem) {
    names.clear();
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    PeImage image;
    if (!ParsePeImage(file.data(), file.size(), image, problem)) return false;
    const MappedImage mapped(file.data(), image);
    return ListExports(mapped, image, names, problem);
}
