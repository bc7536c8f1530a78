#include "commands.h"

#include "host_platform.h"

#include <cstring>

bool LoadModuleFile(ModuleLibrary& library, const std::string& file, std::ostream& err) {
    if (library.Load(file) == ModuleLibrary::Status::Loaded) return true;
    err << "semhost: " << file << ": " << library.problem() << '\n';
    return false;
}

int ReportFault(const HostSession& session, const std::string& file, std::ostream& err) {
    err << "semhost: " << file << ": " << session.fault() << '\n';
    return EXIT_CRASHED;
}

int ProbeModule(HostSession& session, const std::string& file, ModuleIdentity& identity, std::ostream& err) {
    ModuleProperties properties;
    std::memset(&properties, 0, sizeof properties);
    const bool named = session.GetModuleProperties(0, properties);
    if (session.faulted()) return ReportFault(session, file, err);
    if (!named) {
        err << "semhost: " << file
            << ": getModuleProperties(0) returned false: the library names no module\n";
        return EXIT_BAD_INPUT;
    }
    if (properties.name == nullptr || properties.id == nullptr) {
        err << "semhost: " << file << ": getModuleProperties(0) gave a null "
            << (properties.name ? "id" : "name") << '\n';
        return EXIT_BAD_INPUT;
    }
    std::string fault;
    const bool readable = host_platform::RunGuarded(
        [&] {
            identity.name = std::string(properties.name, strnlen(properties.name, 4096));
            identity.id = std::string(properties.id, strnlen(properties.id, 4096));
            if (properties.about != nullptr)
                identity.about = std::string(properties.about, strnlen(properties.about, 4096));
        },
        fault);
    if (!readable) {
        err << "semhost: " << file << ": getModuleProperties(0) gave texts that cannot be read (" << fault
            << ")\n";
        return EXIT_BAD_INPUT;
    }
    identity.flags = properties.flags;
    identity.secondary_flags = properties.secondary_flags;
    identity.sdk_version = properties.sdk_version;
    session.WatchIdentity(properties);

    std::string problem;
    HostedObject* probe = session.Create(ObjectKind::Audio, problem);
    if (probe == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        return session.faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
    }
    std::vector<std::string> problems;
    session.ReadPinTable(*probe, problems);
    if (session.faulted()) return ReportFault(session, file, err);
    session.Close(*probe);
    if (session.faulted()) return ReportFault(session, file, err);
    return EXIT_OK;
}
