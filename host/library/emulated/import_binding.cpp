#include "library/emulated/import_binding.h"

#include "library/emulated/system_libraries.h"

#include <set>

bool BindImports(MappedImage& mapped, const std::vector<ImportedFunction>& imports, HostFunctionTable& functions,
                 std::vector<std::string>& warnings, std::string& problem) {
    // Windows refuses the whole image when any library is missing, before
    // it binds anything.
    for (const ImportedFunction& function : imports) {
        if (!IsSystemLibrary(function.library)) {
            problem = "imports " + function.library +
                      ", which a user's machine does not have (the module could not be found)";
            return false;
        }
    }
    std::set<std::string> warned;
    for (const ImportedFunction& function : imports) {
        const std::string import = DescribeImport(function);
        const StandIn* stand_in = function.name.empty() ? nullptr : FindStandIn(function.library, function.name);
        const std::uint32_t address =
            stand_in != nullptr ? functions.AddStandIn(*stand_in, import) : functions.AddUnprovided(import);
        if (address == 0) {
            problem = "imports more functions than semhost can bind";
            return false;
        }
        if (stand_in == nullptr && warned.insert(import).second)
            warnings.push_back("imports " + import + ", which semhost does not stand in for");
        mapped.WriteU32(function.slot_rva, address);
    }
    return true;
}
