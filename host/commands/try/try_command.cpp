// `semhost try FILE [PANEL] [--port N] [--in [PIN=]FILE[:CHANNEL]]...`: the
// module behind a page in the browser until Ctrl-C (or SIGTERM), which ends
// the session as a host ends one.
#include "commands/commands.h"
#include "commands/try/panel.h"
#include "commands/try/try_service.h"
#include "platform/host_platform.h"

int RunTry(const std::string& file, const std::string& panel_path, int port,
           const std::vector<TryInputBinding>& inputs, std::ostream& out, std::ostream& err) {
    Panel panel;
    if (!panel_path.empty()) {
        std::string error;
        if (!ReadPanelFile(panel_path, panel, error)) {
            err << "semhost: " << error << '\n';
            return EXIT_BAD_INPUT;
        }
    }
    TryServiceOptions options;
    options.port = port;
    if (!ReadTryInputs(inputs, options.files, err)) return EXIT_BAD_INPUT;
    struct CatchInterrupts {
        CatchInterrupts() { host_platform::CatchInterrupts(); }
        ~CatchInterrupts() { host_platform::ReleaseInterrupts(); }
    } catch_interrupts;
    return ServeTry(file, panel, options, out, err, [] { return host_platform::InterruptSignal() != 0; });
}
