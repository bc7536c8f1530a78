// `semhost render FILE [SCRIPT]`: the module's audio side run over audio
// files, block by block, as a host renders a track offline; its outputs
// written to files and compared with references.
//
// Everything the command line says is checked before the module opens, and
// what needs the module's pin table right after the probe, before any
// output is begun: bad input writes nothing and overwrites nothing.
#include "commands/commands.h"
#include "commands/play/player.h"
#include "commands/play/script.h"
#include "commands/render/render_plan.h"
#include "commands/render/render_script.h"
#include "commands/render/renderer.h"
#include "commands/render/session_processor.h"
#include "platform/host_platform.h"
#include "reports/timeline.h"

#include <chrono>

namespace {

constexpr int kDefaultBlockSize = 256;

// The command line's --set as a script of `set` steps, named "--set".
bool ReadSettings(const RenderOptions& options, Script& settings, std::ostream& err) {
    std::string text;
    for (const PinSetting& setting : options.settings)
        text += "set \"" + setting.pin_text + "\" " + setting.value_text + "\n";
    std::string problem;
    if (!ParseScript(text, "--set", settings, problem)) {
        err << "semhost: " << problem << '\n';
        return false;
    }
    return true;
}

bool ResolveSteps(const std::vector<PinDeclaration>& pins, Script& settings, Script& script, std::ostream& err) {
    std::vector<ScriptPin> named;
    for (const PinDeclaration& pin : pins) named.push_back({pin.name, pin.TakesFloat()});
    std::string problem;
    if (!ResolveScript(settings, named, problem) || !ResolveScript(script, named, problem)) {
        err << "semhost: " << problem << '\n';
        return false;
    }
    for (const ScriptCommand& command : settings.commands) {
        if (pins[command.pin].datatype != DT_FSAMPLE) continue;
        err << "semhost: --set:" << command.line << ": \"" << pins[command.pin].name
            << "\" carries audio samples; --in feeds it\n";
        return false;
    }
    return true;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The render on a probed session: the objects opened at the plan's rate and
// block size, the blocks run with the steps due before each, the objects
// closed, the outputs put in place.
int RenderSession(HostSession& session, const std::string& file, RenderPlan& plan, const Script& settings,
                  const Script& script, HostClock& clock, std::ostream& out, std::ostream& err) {
    Renderer renderer(plan, err);
    if (!renderer.OpenOutputs()) return EXIT_BAD_INPUT;

    std::string problem;
    HostedObject* audio = session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        return session.faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
    }
    session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, static_cast<float>(plan.sample_rate));
    session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, plan.block_size);
    session.Dispatch(*audio, AUDIO_OPEN);
    if (session.faulted()) return ReportFault(session, file, err);
    HostedObject* gui = session.Create(ObjectKind::Gui, problem);
    if (gui == nullptr) {
        err << "semhost: " << file << ": " << problem << '\n';
        return session.faulted() ? EXIT_CRASHED : EXIT_BAD_INPUT;
    }
    session.Dispatch(*gui, GUI_OPEN, 0);
    if (session.faulted()) return ReportFault(session, file, err);

    SessionProcessor processor(session, *audio, clock, file, err);
    std::vector<std::string> input_names;
    for (const InputFeed& feed : plan.feeds) {
        const RenderInput& input = plan.inputs[feed.input];
        input_names.push_back(input.binding.path + ", channel " + std::to_string(feed.channel + 1));
    }
    if (!processor.Connect(renderer.InputPins(), input_names, renderer.OutputPins())) return EXIT_BAD_INPUT;

    // The steps' own record is not shown: render prints what it rendered.
    std::ostream unshown(nullptr);
    SessionRecord record;
    Timeline timeline(unshown, session, clock, record, Timeline::Detail::Brief);
    Player player(session, timeline, clock, err);
    RenderScript steps(settings, script, plan.sample_rate);
    bool expectation_failed = false;
    auto play_due = [&](std::uint64_t rendered) {
        const int code = steps.PlayDue(rendered, player);
        expectation_failed = expectation_failed || code == EXIT_FAILED;
        return code == EXIT_FAILED ? EXIT_OK : code;
    };
    processor.SetBeforeBlock(play_due);

    ProgressBar progress(err, ProgressBar::Wanted(), static_cast<double>(plan.frames) / plan.sample_rate, WallSeconds);
    int code = renderer.Render(processor, progress);
    // Steps at the render's very end come after its last block.
    if (code == EXIT_OK) code = play_due(UINT64_MAX);

    if (!session.faulted()) {
        for (HostedObject* object : session.Objects(ObjectKind::Gui)) session.Close(*object);
        for (HostedObject* object : session.Objects(ObjectKind::Audio)) session.Close(*object);
        if (session.faulted()) return ReportFault(session, file, err);
    }
    if (code != EXIT_OK) return code;
    code = renderer.Finish(session.pins(), file, out);
    return code == EXIT_OK && expectation_failed ? EXIT_FAILED : code;
}

}  // namespace

int RunRender(const std::string& file, const RenderOptions& options, std::ostream& out, std::ostream& err) {
    RenderPlan plan;
    if (!PlanFiles(options, file, kDefaultBlockSize, HostSession::kMaxBlockSize, plan, err)) return EXIT_BAD_INPUT;
    Script settings;
    Script script;
    if (!ReadSettings(options, settings, err)) return EXIT_BAD_INPUT;
    if (!options.script_path.empty() && !ReadScriptFile(options.script_path, script, err)) return EXIT_BAD_INPUT;
    const std::uint64_t script_length = RenderScript(settings, script, plan.sample_rate).length();
    if (script_length > plan.frames) {
        err << "semhost: " << script.name << ": its waits last " << script_length << " samples, longer than the render ("
            << plan.frames << " samples at " << plan.sample_rate << " Hz)\n";
        return EXIT_BAD_INPUT;
    }

    // Ctrl-C or SIGTERM ends the render as a host ends a session: the
    // objects closed and the library unloaded, and no output written.
    struct CatchInterrupts {
        CatchInterrupts() { host_platform::CatchInterrupts(); }
        ~CatchInterrupts() { host_platform::ReleaseInterrupts(); }
    } catch_interrupts;
    HostClock clock = HostClock::ModuleDefault();
    int failure = EXIT_BAD_INPUT;
    const std::unique_ptr<ModuleLibrary> library = OpenModuleFile(file, clock, err, {}, &failure);
    if (library == nullptr) return failure;
    int code;
    {
        HostSession session(*library);
        ModuleIdentity identity;
        code = ProbeModule(session, file, identity, err);
        if (code == EXIT_OK && !(PlanPins(session.pins(), plan, err) &&
                                 ResolveSteps(session.pins(), settings, script, err)))
            code = EXIT_BAD_INPUT;
        if (code == EXIT_OK) code = RenderSession(session, file, plan, settings, script, clock, out, err);
    }
    return UnloadModule(*library, file, code, err);
}
