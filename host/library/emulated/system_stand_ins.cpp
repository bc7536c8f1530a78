#include "library/emulated/system_stand_ins.h"

#include <algorithm>
#include <cctype>
#include <cstring>

SystemLibrary ClassifyLibrary(const std::string& library) {
    std::string name(library);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0) name.resize(name.size() - 4);
    if (name == "msvcrt" || name == "ucrtbase" || name.rfind("api-ms-win-crt-", 0) == 0) return SystemLibrary::CRuntime;
    if (name == "kernel32") return SystemLibrary::Kernel32;
    if (name == "user32") return SystemLibrary::User32;
    return SystemLibrary::Other;
}

const StandIn* FindStandIn(const std::string& library, const std::string& name) {
    const SystemLibrary kind = ClassifyLibrary(library);
    if (kind == SystemLibrary::Other) return nullptr;
    const StandIn* table = kind == SystemLibrary::CRuntime ? kCRuntimeStandIns : kWin32StandIns;
    const std::size_t count = kind == SystemLibrary::CRuntime ? kCRuntimeStandInCount : kWin32StandInCount;
    for (std::size_t i = 0; i < count; ++i)
        if (table[i].library == kind && name == table[i].name) return &table[i];
    return nullptr;
}
