// Picks the back end by the file's content: a PE image runs in the
// emulator (on any machine but Windows, where semhost.exe runs it natively),
// an ELF shared object natively, in a child process of its own; any other
// file is refused, saying what it is not.
#include "library/module_library.h"

#include "library/isolated/isolated_library.h"
#ifndef _WIN32
#include "library/emulated/emulated_library.h"
#include "library/native/elf_extent.h"
#endif

#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

// What a file's first bytes say it is, before any loader reads it.
enum class FileKind { Empty, PeImage, ElfObject, Other };

FileKind KindOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char head[4] = {};
    file.read(reinterpret_cast<char*>(head), sizeof head);
    const std::streamsize got = file.gcount();
    if (got <= 0) return FileKind::Empty;
    if (got >= 2 && head[0] == 'M' && head[1] == 'Z') return FileKind::PeImage;
    if (got == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
        return FileKind::ElfObject;
    return FileKind::Other;
}

}  // namespace

const char* ModuleLibrary::BackEndFor(const std::string& path) {
#ifndef _WIN32
    if (KindOf(path) == FileKind::PeImage) return "emulated i386";
#else
    (void)path;
#endif
    return "native (own process)";
}

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
    // Say what the file is not before a loader gives its own terse reason.
    const FileKind kind = KindOf(path);
#ifndef _WIN32
    const char* const kNeither = "neither an i386 PE image nor an ELF shared object";
    if (kind == FileKind::Empty || kind == FileKind::Other) {
        status = Status::NotLoadable;
        problem = kind == FileKind::Empty ? std::string("is empty: ") + kNeither : kNeither;
        return nullptr;
    }
    // Any PE image goes to the emulator, which says what is wrong with one
    // it cannot run (another machine, a program, a file cut short).
    if (kind == FileKind::PeImage) return OpenEmulatedLibrary(path, options, status, problem);
    if (!ElfSegmentsFitFile(path, problem)) {
        status = Status::NotLoadable;
        return nullptr;
    }
#else
    if (kind != FileKind::PeImage) {
        status = Status::NotLoadable;
        problem = kind == FileKind::Empty       ? "is empty: not an i386 PE image"
                  : kind == FileKind::ElfObject ? "is an ELF shared object, which Windows does not load"
                                                : "not an i386 PE image";
        return nullptr;
    }
#endif
    return IsolatedNativeLibrary::Open(path, options, status, problem);
}
