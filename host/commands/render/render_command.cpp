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

bool ResolveSteps(const std::vector<PinDeclaration>& pins, const RenderPlan& plan, Script& settings, Script& script,
                  std::ostream& err) {
    const std::vector<ScriptPin> named = ScriptPinsOf(pins);
    for (const ScriptCommand& command : settings.commands) {
        const int pin = FindScriptPin(command.pin_text, named);
        if (pin < 0 || !named[pin].samples) continue;
        err << "semhost: --set " << command.pin_text << "=" << command.value_text << ": \"" << pins[pin].name
            << "\" carries audio samples; --in feeds it\n";
        return false;
    }
    std::string problem;
    if (!ResolveScript(settings, named, problem) || !ResolveScript(script, named, problem)) {
        err << "semhost: " << problem << '\n';
        return false;
    }
    // The render runs the blocks and compares the outputs itself; a script
    // may still feed a signal to an input no file feeds.
    for (const ScriptCommand& command : script.commands) {
        const std::string where = "semhost: " + script.name + ":" + std::to_string(command.line) + ": ";
        if (command.kind == ScriptCommand::Kind::Run) {
            err << where << "render runs the blocks itself; its script lets time pass with wait\n";
            return false;
        }
        if (command.kind == ScriptCommand::Kind::Expect && command.measure != ScriptCommand::Measure::None) {
            err << where << "render compares a sample output with a reference file (--expect PIN=FILE)\n";
            return false;
        }
        if (command.kind == ScriptCommand::Kind::Signal) {
            for (const InputFeed& feed : plan.feeds) {
                if (feed.pin != command.pin) continue;
                err << where << "\"" << pins[command.pin].name << "\" is fed by "
                    << plan.inputs[feed.input].binding.path << "\n";
                return false;
            }
        }
    }
    return true;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The render on a probed module: the objects opened at the plan's rate
// and block size, the blocks run with the steps due before each, the
// objects closed, the outputs put in place.
int RenderSession(HostedModule& module, RenderPlan& plan, const Script& settings, const Script& script,
                  std::ostream& out, std::ostream& err) {
    Renderer renderer(plan, err);
    if (!renderer.OpenOutputs()) return EXIT_BAD_INPUT;
    const int opened = module.OpenObjects(err);
    if (opened != EXIT_OK) return opened;
    HostSession& session = module.session();
    HostedObject& audio = *session.Objects(ObjectKind::Audio).front();

    SessionProcessor processor(module, audio, err);
    std::vector<std::string> input_names;
    for (const InputFeed& feed : plan.feeds)
        input_names.push_back(plan.inputs[feed.input].binding.path + ", channel " + std::to_string(feed.channel + 1));
    if (!processor.Connect(renderer.InputPins(), input_names, renderer.OutputPins())) return EXIT_BAD_INPUT;

    // The steps' own record is not shown: render prints what it rendered.
    std::ostream unshown(nullptr);
    SessionRecord record;
    Timeline timeline(unshown, session, module.clock(), record, Timeline::Detail::Brief);
    Player player(session, timeline, module.clock(), err);
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
        const int closed = module.CloseObjects(err);
        if (closed != EXIT_OK) return closed;
    }
    if (code != EXIT_OK) return code;
    code = renderer.Finish(session.pins(), module.file(), out);
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
    const host_platform::InterruptCatch interrupts;
    HostClock clock = HostClock::ModuleDefault();
    HostingOptions hosting;
    hosting.sample_rate = static_cast<float>(plan.sample_rate);
    hosting.block_size = plan.block_size;
    int failure = EXIT_BAD_INPUT;
    const std::unique_ptr<HostedModule> module = HostedModule::Open(file, clock, err, failure, hosting);
    if (module == nullptr) return failure;
    int code = module->Probe(err);
    if (code == EXIT_OK && !(PlanPins(module->session().pins(), plan, err) &&
                             ResolveSteps(module->session().pins(), plan, settings, script, err)))
        code = EXIT_BAD_INPUT;
    if (code == EXIT_OK) code = RenderSession(*module, plan, settings, script, out, err);
    return module->Unload(code, err);
}
