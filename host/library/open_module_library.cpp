// Picks the back end by the file's content: an i386 PE image runs in the
// emulator (on any machine but Windows, where semhost.exe runs it natively),
// anything else is loaded natively, in a child process of its own.
#include "module_library.h"

#include "isolated/isolated_library.h"
#ifndef _WIN32
#include "emulated/emulated_library.h"
#include "native/elf_extent.h"
#endif

#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

#ifndef _WIN32
bool StartsLikeI386PeImage(const std::string& path) {
    // The PE header is found through the DOS header's offset, within the
    // first kilobytes of any image.
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> head(4096);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    return LooksLikeI386PeImage(head.data(), static_cast<std::size_t>(file.gcount()));
}
#endif

}  // namespace

std::unique_ptr<ModuleLibrary> ModuleLibrary::Open(const std::string& path, const LibraryOptions& options,
                                                   Status& status, std::string& problem) {
    std::error_code error;
    const std::filesystem::file_status file = std::filesystem::status(path, error);
    if (!std::filesystem::exists(file)) {
        status = Status::Missing;
        problem = "no such file";
        return nullptr;
    }
    if (std::filesystem::is_directory(file)) {
        status = Status::NotLoadable;
        problem = "is a directory, not a library file";
        return nullptr;
    }
    if (!std::filesystem::is_regular_file(file)) {
        // A pipe or a device would be read without end.
        status = Status::NotLoadable;
        problem = "is not a regular file";
        return nullptr;
    }
#ifndef _WIN32
    if (StartsLikeI386PeImage(path)) return OpenEmulatedLibrary(path, options, status, problem);
    if (!ElfSegmentsFitFile(path, problem)) {
        status = Status::NotLoadable;
        return nullptr;
    }
#endif
    return IsolatedNativeLibrary::Open(path, options, status, problem);
}
