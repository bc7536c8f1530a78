// `semhost play FILE [SCRIPT]`: a session as a host plays it, printed as a
// timeline.
#include "commands.h"
#include "player.h"
#include "script.h"
#include "timeline.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

bool ReadScript(const std::string& script_path, Script& script, std::ostream& err) {
    std::string text;
    std::string name = "built-in demo";
    if (script_path.empty()) {
        text = BuiltInDemoScript();
    } else {
        // Only a regular file: a directory reads as empty, and a pipe or a
        // device may never end.
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(script_path, error);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            err << "semhost: " << script_path << ": is not a regular file, so not a script\n";
            return false;
        }
        std::ifstream in(script_path, std::ios::binary);
        if (!in) {
            err << "semhost: " << script_path << ": cannot read the script\n";
            return false;
        }
        // One byte more than a script may have shows that it is too long.
        text.resize(kMaxScriptBytes + 1);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        name = script_path;
    }
    std::string error;
    if (!ParseScript(text, name, script, error)) {
        err << "semhost: " << error << '\n';
        return false;
    }
    return true;
}

int PlaySession(ModuleLibrary& library, const std::string& file, Script& script, HostClock& clock, std::ostream& out,
                std::ostream& err) {
    HostSession session(library);
    ModuleIdentity identity;
    const int probed = ProbeModule(session, file, identity, err);
    if (probed != EXIT_OK) return probed;

    std::vector<ScriptPin> script_pins;
    for (const PinDeclaration& pin : session.pins()) script_pins.push_back({pin.name, pin.TakesFloat()});
    std::string error;
    if (!ResolveScript(script, script_pins, error)) {
        err << "semhost: " << error << '\n';
        return EXIT_BAD_INPUT;
    }

    out << "semhost play " << file << " (" << script.name << ")\n";
    out << "module \"" << identity.name << "\": " << identity.about << ", " << session.pins().size()
        << " pins\n\n";
    session.RestartLabels();
    Timeline timeline(out, session, clock);
    session.AddObserver(&timeline);
    // The session outlives the timeline and may still close objects.
    struct Detach {
        HostSession& session;
        Timeline& timeline;
        ~Detach() { session.RemoveObserver(&timeline); }
    } detach{session, timeline};

    const int opened = OpenHostObjects(session, file, err);
    if (opened != EXIT_OK) return opened;

    int result;
    {
        Player player(session, timeline, clock, err);
        result = player.Run(script);
    }
    if (session.faulted()) return EXIT_CRASHED;

    timeline.Heading(result == EXIT_OK ? "end of the session"
                                       : "end of the session after the failed expectation");
    for (HostedObject* object : session.Objects(ObjectKind::Gui)) session.Close(*object);
    for (HostedObject* object : session.Objects(ObjectKind::Audio)) session.Close(*object);
    if (session.faulted()) return ReportFault(session, file, err);

    out << "\npin values at the end:\n";
    for (const PinDeclaration& pin : session.pins())
        out << "  \"" << pin.name << "\" = " << session.FormatPinValue(pin.index, session.PinBits(pin.index))
            << '\n';
    return result;
}

}  // namespace

int RunPlay(const std::string& file, const std::string& script_path, HostClock::Mode clock_mode, std::ostream& out,
            std::ostream& err) {
    Script script;
    if (!ReadScript(script_path, script, err)) return EXIT_BAD_INPUT;
    HostClock clock(clock_mode);
    int failure = EXIT_BAD_INPUT;
    const std::unique_ptr<ModuleLibrary> library = OpenModuleFile(file, clock, err, {}, &failure);
    if (library == nullptr) return failure;
    return UnloadModule(*library, file, PlaySession(*library, file, script, clock, out, err), err);
}
