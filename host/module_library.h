// A module library file loaded into this process, with its two entry points.
#pragma once

#include "SEHostTypes.h"

#include <string>

class ModuleLibrary {
public:
    enum class Status { Loaded, Missing, NotLoadable, MissingExport };

    ModuleLibrary() = default;
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    // Loads the file and finds both exports. Anything but Loaded leaves a
    // one-line reason in problem() (the caller names the file).
    Status Load(const std::string& path);
    const std::string& problem() const { return m_problem; }
    const std::string& path() const { return m_path; }

    GetModulePropertiesFunction get_module_properties = nullptr;
    MakeModuleFunction make_module = nullptr;

private:
    void* m_library = nullptr;
    std::string m_path;
    std::string m_problem;
};
