// Fuzz target of the emulated back end's loader: the input is a module
// file. Whatever it holds, loading it must end in a library or in one line
// saying why not; a loaded one has its getModuleProperties called and is
// unloaded again (DllMain's attach and detach run). A small instruction
// budget keeps random code from taking long.
//
// The version resource is read from every input whose headers pass, as
// `semhost info` reads it, whether or not the module then loads.
//
// Besides the sanitizers, the target checks that a failure is never
// reported as success and that every problem is one line.
#include "library/emulated/emulated_library.h"
#include "library/emulated/pe_version.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void LoaderFault(const char* what, const std::string& detail) {
    std::fprintf(stderr, "loader fault: %s: %s\n", what, detail.c_str());
    std::abort();
}

void CheckVersionResource(const std::uint8_t* data, std::size_t size) {
    PeImage image;
    std::string problem;
    if (!ParsePeImage(data, size, image, problem)) return;
    const PeVersion version = ReadPeVersion(data, size, image);
    if (!version.version.empty() && !version.problem.empty()) LoaderFault("a version and a problem", version.problem);
    if (version.problem.find('\n') != std::string::npos) LoaderFault("version problem not one line", version.problem);
    if (version.version.size() > 64) LoaderFault("version longer than 64 characters", version.version);
    for (const char c : version.version)
        if (c < 0x20 || c > 0x7E) LoaderFault("version not printable", version.version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckVersionResource(data, size);
    LibraryOptions options;
    options.instruction_budget = 20000;
    options.clock_milliseconds = [] { return 0u; };
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    std::unique_ptr<ModuleLibrary> library = OpenEmulatedLibraryFromBytes(
        std::vector<unsigned char>(data, data + size), "fuzz.sem", options, status, problem);

    if (library == nullptr) {
        if (status == ModuleLibrary::Status::Loaded) LoaderFault("no library, yet Loaded", problem);
        if (problem.empty() || problem.find('\n') != std::string::npos) LoaderFault("not one line", problem);
        return 0;
    }
    if (status != ModuleLibrary::Status::Loaded) LoaderFault("a library, yet not Loaded", problem);
    if (library->get_module_properties() == 0 || library->make_module() == 0) LoaderFault("an export is 0", "");

    const ModuleAddress properties = library->AllocateHostMemory(24);
    std::string fault;
    std::uint64_t result = 0;
    const bool returned = library->RunOutermost(
        [&] { library->Call(library->get_module_properties(), CallShape::GetModuleProperties, {0, properties}, result); },
        "getModuleProperties", fault);
    if (returned == library->faulted() || returned != fault.empty()) LoaderFault("fault reported inconsistently", fault);
    if (!returned && fault.find('\n') != std::string::npos) LoaderFault("fault not one line", fault);
    library->FreeHostMemory(properties);
    return 0;
}
