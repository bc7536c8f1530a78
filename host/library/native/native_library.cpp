#include "native_library.h"

#include "native_call.h"

#include "host_platform.h"
#include "watchdog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr int kWatchdogSeconds = 20;

NativeLibrary* g_answering = nullptr;

}  // namespace

NativeLibrary::NativeLibrary() : ModuleLibrary(kNativeLayout) {}

NativeLibrary::~NativeLibrary() {
    host_platform::CloseLibrary(m_handle);
    if (g_answering == this) g_answering = nullptr;
}

std::unique_ptr<NativeLibrary> NativeLibrary::Open(const std::string& path, Status& status, std::string& problem) {
    std::unique_ptr<NativeLibrary> library(new NativeLibrary());
    library->m_path = path;
    library->m_handle = host_platform::OpenLibrary(path, problem);
    if (library->m_handle == nullptr) {
        status = Status::NotLoadable;
        return nullptr;
    }
    const auto find = [&](const char* name) {
        return static_cast<ModuleAddress>(reinterpret_cast<std::uintptr_t>(host_platform::FindExport(library->m_handle, name)));
    };
    library->m_get_module_properties = find("getModuleProperties");
    library->m_make_module = find("makeModule");
    for (const auto& [address, name] : {std::pair{library->m_get_module_properties, "getModuleProperties"},
                                        std::pair{library->m_make_module, "makeModule"}}) {
        if (address != 0) continue;
        status = Status::MissingExport;
        problem = std::string("lacks the export \"") + name + "\"";
        return nullptr;
    }
    status = Status::Loaded;
    return library;
}

HostResult SE_CALL NativeLibrary::Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                           void* ptr, float opt) {
    // Nothing may unwind into the module's frames.
    try {
        if (g_answering == nullptr) return 0;
        return static_cast<HostResult>(g_answering->RunCallback(reinterpret_cast<std::uintptr_t>(record), opcode,
                                                                index, value, reinterpret_cast<std::uintptr_t>(ptr),
                                                                opt));
    } catch (...) {
        std::fprintf(stderr, "semhost: out of memory while answering the module\n");
        host_platform::ReleaseHeldKeys();
        std::_Exit(3);
    }
}

ModuleAddress NativeLibrary::CallbackAddress() {
    g_answering = this;
    return reinterpret_cast<std::uintptr_t>(&NativeLibrary::Callback);
}

bool NativeLibrary::RunOutermost(const std::function<void()>& body, const std::string& description,
                                 std::string& fault) {
    if (m_faulted) {
        fault = "crashed before: it cannot be called again";
        return false;
    }
    g_answering = this;
    watchdog::Arm("semhost: " + m_path + ": the module did not return from " + description + " within " +
                      std::to_string(kWatchdogSeconds) + " s",
                  kWatchdogSeconds);
    std::string signal_text;
    const bool returned = host_platform::RunGuarded(body, signal_text);
    watchdog::Disarm();
    if (!returned) {
        m_faulted = true;
        fault = "crashed: " + signal_text;
    }
    return returned;
}

bool NativeLibrary::Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
                         std::uint64_t& result) {
    result = 0;
    if (m_faulted) return false;
    std::uint64_t words[kMaxCallWords] = {};
    for (std::size_t i = 0; i < arguments.size() && i < kMaxCallWords; ++i) words[i] = arguments[i];
    result = CallNativeFunction(function, shape, words);
    return true;
}

bool NativeLibrary::Read(ModuleAddress address, void* destination, std::size_t size) {
    return host_platform::ReadProcessBytes(static_cast<std::uintptr_t>(address), destination, size);
}

bool NativeLibrary::Write(ModuleAddress address, const void* source, std::size_t size) {
    return host_platform::WriteProcessBytes(static_cast<std::uintptr_t>(address), source, size);
}

ModuleAddress NativeLibrary::AllocateHostMemory(std::size_t size) {
    // Aligned for any record, and never empty, so that each block has an
    // address of its own.
    std::unique_ptr<unsigned char[]> block(new unsigned char[size == 0 ? 1 : size]());
    const ModuleAddress address = reinterpret_cast<std::uintptr_t>(block.get());
    m_host_blocks.emplace(address, std::move(block));
    return address;
}

void NativeLibrary::FreeHostMemory(ModuleAddress address) { m_host_blocks.erase(address); }
