// The library's two entry points. They keep no state: the host may call them
// any number of times, in any order and from any thread.
#include "GuiModule.h"
#include "Module.h"
#include "SEExports.h"
#include "SEHostTypes.h"

#include <cstdint>
#include <new>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// The module definition file names the exports, and nothing else is exported.
#define QUILL_EXPORT
#else
#define QUILL_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// The display name and the unique identifier are one text, also the stem of
// the library's file name.
constexpr char kModuleName[] = "Quillmark";
constexpr char kModuleAbout[] = "knob-waving Tom-Foolery";
constexpr std::uint32_t kModuleFlags = MODULE_FLAG_BIT_9;
constexpr std::uint32_t kModuleSecondaryFlags = MODULE_SECONDARY_FLAG_BIT_8;

}  // namespace

extern "C" {

// True for module 0, the only one; the record's sdk_version is written
// whatever the index, its other fields only for module 0.
QUILL_EXPORT bool SE_CALL getModuleProperties(std::int32_t index, ModuleProperties* properties) {
    properties->sdk_version = SDK_VERSION;
    if (index != 0) return false;
    properties->name = kModuleName;
    properties->id = kModuleName;
    properties->about = kModuleAbout;
    properties->secondary_flags = kModuleSecondaryFlags;
    properties->flags = kModuleFlags;
    return true;
}

// A new object of the asked type, answered as the address of its embedded
// plug record; null for another module number, another type, or when memory
// for the object cannot be had (the host's only way to hear of a failure).
// The nothrow tags are made here, not taken from the C++ runtime's
// std::nothrow object, which the shipped library does not link.
QUILL_EXPORT void* SE_CALL makeModule(std::int32_t index, std::int32_t type, HostCallback callback,
                                      std::intptr_t host_value) {
    if (index != 0) return nullptr;
    switch (type) {
    case MT_AUDIO: {
        Module* module = new (std::nothrow_t{}) Module(callback, host_value);
        return module != nullptr ? module->GetPlugRecord() : nullptr;
    }
    case MT_GUI: {
        GuiModule* module = new (std::nothrow_t{}) GuiModule(callback, host_value);
        return module != nullptr ? module->GetPlugRecord() : nullptr;
    }
    default:
        return nullptr;
    }
}

#if defined(_WIN32)
// Loading and unloading need no work of the library's own.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

}  // extern "C"
