// `semhost play FILE [SCRIPT]`: a session as a host plays it, printed as a
// timeline and a summary, and drawn as a picture or a trace when asked.
#include "reports/check_report.h"
#include "reports/chrome_trace.h"
#include "commands/commands.h"
#include "platform/host_platform.h"
#include "commands/play/player.h"
#include "commands/play/script.h"
#include "reports/session_picture.h"
#include "reports/session_summary.h"
#include "reports/timeline.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

constexpr char kGenericSession[] = "generic session";

bool ReadScript(const std::string& script_path, Script& script, std::ostream& err) {
    if (!script_path.empty()) return ReadScriptFile(script_path, script, err);
    std::string error;
    if (!ParseScript("", kGenericSession, script, error)) {
        err << "semhost: " << error << '\n';
        return false;
    }
    script.generic = true;
    return true;
}

// The session `play` runs without a script, on any module: the objects
// idled, each pin changed once to another value of its type, idled again.
// A pin of audio samples holds no value a person sets: an audio module's
// sample inputs get a sine each (440 Hz, 660 Hz, ...), the audio object
// runs four blocks, and its outputs are shown.
void MakeGenericSession(const HostSession& session, Script& script) {
    script.commands.clear();
    auto add = [&script](ScriptCommand::Kind kind, int pin = -1, const std::string& text = "") -> ScriptCommand& {
        ScriptCommand command;
        command.kind = kind;
        command.pin = pin;
        command.text = text;
        script.commands.push_back(command);
        return script.commands.back();
    };
    bool audio = false;
    for (const PinDeclaration& pin : session.pins()) audio = audio || pin.datatype == DT_FSAMPLE;
    add(ScriptCommand::Kind::Heading, -1,
        audio ? "A generic session: the module idled, each pin changed once, a sine in each sample input, "
                "4 blocks run, idled"
              : "A generic session: the module idled, each pin changed once, idled");
    add(ScriptCommand::Kind::Idle);
    int inputs = 0;
    for (const PinDeclaration& pin : session.pins()) {
        if (pin.datatype != DT_FSAMPLE) {
            add(ScriptCommand::Kind::Change, pin.index);
        } else if (!audio) {
            add(ScriptCommand::Kind::Heading, -1, "\"" + pin.name + "\" carries audio samples: left as it is");
        } else if (pin.direction == DR_IN) {
            ScriptCommand& signal = add(ScriptCommand::Kind::Signal, pin.index);
            signal.signal.kind = InputSignal::Kind::Sine;
            signal.signal.frequency = 440.0 * (2 + inputs++) / 2;
            signal.signal.level = 0.5;
        }
    }
    if (audio) {
        ScriptCommand& run = add(ScriptCommand::Kind::Run);
        run.count = 4;
    }
    add(ScriptCommand::Kind::Idle);
}

int PlaySession(HostedModule& module, Script& script, const PlayOptions& options, SessionRecord& record,
                std::ostream& out, std::ostream& err) {
    const int probed = module.Probe(err);
    if (probed != EXIT_OK) return probed;
    const std::string& file = module.file();
    const ModuleIdentity& identity = module.identity();
    HostSession& session = module.session();

    if (script.generic) MakeGenericSession(session, script);
    std::string error;
    if (!ResolveScript(script, ScriptPinsOf(session.pins()), error)) {
        err << "semhost: " << error << '\n';
        return EXIT_BAD_INPUT;
    }

    out << "semhost play " << file << " (" << script.name << ")\n";
    out << "module \"" << identity.name << "\": " << identity.about << ", " << session.pins().size()
        << " pins\n\n";
    record.module_name = identity.name;
    record.module_about = identity.about;
    for (const ScriptCommand& command : script.commands)
        if (command.kind == ScriptCommand::Kind::Expect) ++record.expects_in_script;
    Timeline timeline(out, session, module.clock(), record,
                      options.brief ? Timeline::Detail::Brief : Timeline::Detail::Full);
    module.Attach(timeline);
    // The module outlives the timeline and may still close objects; the
    // record ends here however the session did.
    struct Detach {
        HostedModule& module;
        ~Detach() { module.Detach(); }
    } detach{module};

    const int opened = module.OpenObjects(err);
    if (opened != EXIT_OK) return opened;

    int result;
    {
        Player player(session, timeline, module.clock(), err);
        result = player.Run(script);
    }
    if (session.faulted()) return EXIT_CRASHED;

    const bool interrupted = result > EXIT_INTERRUPTED;
    const std::string signal_name = result == EXIT_INTERRUPTED + SIGTERM ? "SIGTERM" : "SIGINT";
    timeline.Heading(interrupted         ? "interrupted by " + signal_name + ": the host closes the objects"
                     : result == EXIT_OK ? "end of the session"
                                         : "end of the session after the failed expectation");
    const int closed = module.CloseObjects(err);
    if (closed != EXIT_OK) return closed;
    // A breach of the host contract fails the session as a failed expect
    // does; the "!!" lines of the timeline say each.
    if (timeline.breaches() > 0 && result == EXIT_OK) {
        err << "semhost: " << file << ": the host noticed "
            << Counted(timeline.breaches(), "breach", "breaches") << " of the host contract (the first: "
            << timeline.first_breach() << ")\n";
        result = EXIT_FAILED;
    }

    if (options.brief) return result;
    out << "\npin values at the end:\n";
    for (const PinDeclaration& pin : session.pins())
        out << "  \"" << pin.name << "\" = "
            << (pin.datatype == DT_FSAMPLE ? "audio samples" : session.FormatPinValue(pin.index, session.PinBits(pin.index)))
            << '\n';
    if (interrupted)
        err << "semhost: " << file << ": interrupted by " << signal_name
            << "; the objects were closed as a host closes them\n";
    return result;
}

}  // namespace

int RunPlay(const std::string& file, const std::string& script_path, const PlayOptions& options, std::ostream& out,
            std::ostream& err) {
    // Files to write are refused before anything runs, so that a session
    // is never played for nothing.
    const std::vector<std::string> outputs = {options.html_path, options.trace_path};
    for (const std::string& output : outputs) {
        if (output.empty()) continue;
        std::vector<std::string> inputs = {file, script_path};
        if (&output == &outputs[1]) inputs.push_back(options.html_path);
        if (!CheckOutputFile(output, inputs, err)) return EXIT_BAD_INPUT;
    }
    Script script;
    if (!ReadScript(script_path, script, err)) return EXIT_BAD_INPUT;
    // Ctrl-C or SIGTERM ends the session as a host ends one: the objects
    // closed and the library unloaded, not the process killed mid-call.
    const host_platform::InterruptCatch catch_interrupts;
    HostClock clock = options.clock ? HostClock(*options.clock) : HostClock::ModuleDefault();
    int failure = EXIT_BAD_INPUT;
    const std::unique_ptr<HostedModule> module = HostedModule::Open(file, clock, err, failure);
    if (module == nullptr) return failure;
    SessionRecord record;
    record.file = file;
    record.script = script.name;
    int result = module->Unload(PlaySession(*module, script, options, record, out, err), err);
    if (!module->unload_fault().empty()) {
        if (record.fault.empty() && !record.moments.empty()) {
            record.fault = "the module " + module->unload_fault() + " while unloading";
            record.fault_moment = static_cast<int>(record.moments.size()) - 1;
            record.fault_time = record.finish;
        }
    }
    // Nothing to tell when the session never started (the module failed
    // while the host first met it).
    if (record.moments.empty()) return result;

    const std::string summary = SummarizeSession(record);
    out << "\nsummary: " << summary << '\n';
    if (!options.html_path.empty() && !WriteSessionPicture(options.html_path, record, summary)) {
        err << "semhost: " << options.html_path << ": cannot write the picture\n";
        if (result == EXIT_OK) result = EXIT_BAD_INPUT;
    }
    if (!options.trace_path.empty() && !WriteChromeTrace(options.trace_path, record)) {
        err << "semhost: " << options.trace_path << ": cannot write the trace\n";
        if (result == EXIT_OK) result = EXIT_BAD_INPUT;
    }
    return result;
}
