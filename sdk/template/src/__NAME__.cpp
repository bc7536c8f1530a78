// The library's two entry points. They keep no state: the host may call them
// any number of times, in any order.
#include "SEExports.h"
#include "SEHostTypes.h"
#include "__NAME__Audio.h"
#include "__NAME__Gui.h"

#include <cstdint>
#include <new>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// The .def file names the exports.
#define MODULE_EXPORT
#else
#define MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// The name and the unique identifier: one text, the stem of the file name.
constexpr char kModuleName[] = "__NAME__";
constexpr char kModuleAbout[] = "__ABOUT__";

}  // namespace

extern "C" {

MODULE_EXPORT bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties) {
    properties->sdk_version = SDK_VERSION;
    if (index != 0) return false;  // one module in this library
    properties->name = kModuleName;
    properties->id = kModuleName;
    properties->about = kModuleAbout;
    properties->flags = 0;
    properties->secondary_flags = 0;
    return true;
}

// A new object of the asked type, answered as the address of its record;
// null for another module or type, or without memory. Nothing may throw into
// the host: the allocations are nothrow, with a tag of their own (the
// library links no C++ runtime).
MODULE_EXPORT void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback,
                                       std::intptr_t host_value) {
    if (index != 0) return nullptr;
    if (type == MT_AUDIO) {
        __NAME__Audio* object = new (std::nothrow_t{}) __NAME__Audio(callback, host_value);
        return object != nullptr ? object->GetPlugRecord() : nullptr;
    }
    if (type == MT_GUI) {
        __NAME__Gui* object = new (std::nothrow_t{}) __NAME__Gui(callback, host_value);
        return object != nullptr ? object->GetPlugRecord() : nullptr;
    }
    return nullptr;
}

#if defined(_WIN32)
// The library's entry point (it has no start files): nothing to do.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

}  // extern "C"
