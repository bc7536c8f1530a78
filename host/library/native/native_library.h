// The native back end of the module-library seam: a library of this very
// platform (an ELF .so on Linux, a DLL in semhost.exe), loaded with
// dlopen/LoadLibrary into this process. Addresses are pointers; the
// module's memory is read and written through checked copies, so that a bad
// pointer it hands over is an error and not a crash of semhost.
#pragma once

#include "SEHostTypes.h"
#include "module_library.h"

#include <map>
#include <memory>
#include <string>

class NativeLibrary : public ModuleLibrary {
public:
    // Loads the file and finds both exports; null and a one-line problem
    // (without the file's name) otherwise.
    static std::unique_ptr<NativeLibrary> Open(const std::string& path, Status& status, std::string& problem);
    ~NativeLibrary() override;

    const char* back_end() const override { return "native"; }
    ModuleAddress CallbackAddress() override;
    bool RunOutermost(const std::function<void()>& body, const std::string& description,
                      std::string& fault) override;
    bool Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
              std::uint64_t& result) override;
    bool faulted() const override { return m_faulted; }
    bool Read(ModuleAddress address, void* destination, std::size_t size) override;
    bool Write(ModuleAddress address, const void* source, std::size_t size) override;
    ModuleAddress AllocateHostMemory(std::size_t size) override;
    void FreeHostMemory(ModuleAddress address) override;

private:
    NativeLibrary();
    // The callback the module receives. It has no user data, so it reaches
    // the library through a global: one native library answers at a time.
    static HostResult SE_CALL Callback(void* record, std::int32_t opcode, std::int32_t index,
                                          std::int32_t value, void* ptr, float opt);

    void* m_handle = nullptr;
    bool m_faulted = false;
    std::map<ModuleAddress, std::unique_ptr<unsigned char[]>> m_host_blocks;
};
