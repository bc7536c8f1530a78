#include "module_library.h"

#include "host_platform.h"

#include <filesystem>
#include <system_error>

ModuleLibrary::~ModuleLibrary() { host_platform::CloseLibrary(m_library); }

ModuleLibrary::Status ModuleLibrary::Load(const std::string& path) {
    m_path = path;
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        m_problem = "no such file";
        return Status::Missing;
    }
    if (std::filesystem::is_directory(status)) {
        m_problem = "is a directory, not a library file";
        return Status::NotLoadable;
    }
    m_library = host_platform::OpenLibrary(path, m_problem);
    if (m_library == nullptr) return Status::NotLoadable;

    // Both exports are plain C functions of the calling convention SE_CALL.
    get_module_properties = reinterpret_cast<GetModulePropertiesFunction>(
        host_platform::FindExport(m_library, "getModuleProperties"));
    make_module = reinterpret_cast<MakeModuleFunction>(host_platform::FindExport(m_library, "makeModule"));
    if (get_module_properties == nullptr) {
        m_problem = "lacks the export \"getModuleProperties\"";
        return Status::MissingExport;
    }
    if (make_module == nullptr) {
        m_problem = "lacks the export \"makeModule\"";
        return Status::MissingExport;
    }
    return Status::Loaded;
}
