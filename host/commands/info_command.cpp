// `semhost info FILE`: the module as a host sees it.
#include "commands/commands.h"
#include "protocol/protocol_names.h"

#include <algorithm>
#include <cstdio>

namespace {

int ShowModule(HostedModule& module, std::ostream& out, std::ostream& err) {
    const int probed = module.Probe(err);
    if (probed != EXIT_OK) return probed;
    const std::string& file = module.file();
    const HostSession& session = module.session();
    const ModuleIdentity& identity = module.identity();

    char hex[16];
    out << "file          " << file << '\n';
    // The version a person sees in the file's properties. A malformed
    // resource section does not stop the module from loading, so it is
    // only a warning here.
    const FileVersion version = ModuleLibrary::ReadFileVersion(file);
    if (!version.version.empty()) out << "version       " << version.version << '\n';
    if (!version.problem.empty())
        err << "semhost: " << file << ": warning: version resource not read: " << version.problem << '\n';
    out << "name          " << identity.name << '\n';
    out << "id            " << identity.id << '\n';
    out << "about         " << identity.about << '\n';
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(identity.flags));
    out << "flags         " << hex << '\n';
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(identity.secondary_flags));
    out << "secondary     " << hex << '\n';
    out << "SDK version   " << identity.sdk_version << '\n';
    out << "pins          " << session.pins().size() << '\n';
    if (session.pins().empty()) return EXIT_OK;

    std::size_t name_width = 4;
    for (const PinDeclaration& pin : session.pins())
        name_width = std::max(name_width, pin.name.size() + 4);  // quotes and a gap
    const auto pad = [](const std::string& text, std::size_t width) {
        return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
    };
    out << '\n'
        << pad("index", 7) << pad("name", name_width) << pad("direction", 11) << pad("data type", 12)
        << "flags\n";
    for (const PinDeclaration& pin : session.pins()) {
        std::snprintf(hex, sizeof hex, "%5d  ", pin.index);
        out << hex << pad("\"" + pin.name + "\"", name_width)
            << pad(protocol_names::Direction(pin.direction), 11)
            << pad(protocol_names::DataType(pin.datatype), 12) << protocol_names::PinFlags(pin.flags) << '\n';
    }
    return session.faulted() ? module.ReportFault(err) : EXIT_OK;
}

}  // namespace

int RunInfo(const std::string& file, std::ostream& out, std::ostream& err) {
    HostClock clock;
    int failure = EXIT_BAD_INPUT;
    const std::unique_ptr<HostedModule> module = HostedModule::Open(file, clock, err, failure);
    if (module == nullptr) return failure;
    const int shown = ShowModule(*module, out, err);
    return module->Unload(shown, err);
}
