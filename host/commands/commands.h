// The six commands of semhost (info, list-checks, validate, play, try, render)
// and what they share besides the hosting of a module (hosting/): the
// refusal of an output file.
#pragma once

#include "hosting/exit_code.h"
#include "hosting/hosted_module.h"
#include "session/host_clock.h"
#include "commands/render/render_options.h"
#include "commands/try/input_files.h"
#include "commands/validate/validator.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

int RunInfo(const std::string& file, std::ostream& out, std::ostream& err);
int RunValidate(const std::string& file, const ValidateOptions& options, std::ostream& out,
                std::ostream& err);
// What `play` writes besides its text.
struct PlayOptions {
    // No mode: the module's default (virtual where its clock can be).
    std::optional<HostClock::Mode> clock;
    bool brief = false;       // the steps, the module's writes and the expects only
    std::string html_path;    // the session's picture, when not empty
    std::string trace_path;   // the session as a trace, when not empty
};

// An empty script path plays the generic session: the module opened,
// idled, each pin changed once (a sine in each sample input and four
// blocks run, for a module with sample pins), closed. A virtual clock moves only
// with the script's waits (emulated modules only).
int RunPlay(const std::string& file, const std::string& script_path, const PlayOptions& options, std::ostream& out,
            std::ostream& err);

// Serves a page on 127.0.0.1 where a person drives the module with the
// mouse and keyboard, and hears and sees its sample outputs, until SIGINT or
// SIGTERM; PANEL (may be empty) adds knobs; `inputs` are the audio files
// its generators offer. Port 0 takes any free port.
int RunTry(const std::string& file, const std::string& panel_path, int port,
           const std::vector<TryInputBinding>& inputs, std::ostream& out, std::ostream& err);

// Runs the module's audio side over audio files (see RenderOptions).
// Bad input is refused before the module is opened, with no file written.
// Not in the Windows build (no libsndfile for it).
int RunRender(const std::string& file, const RenderOptions& options, std::ostream& out, std::ostream& err);

// Refuses, before a command runs, an output file it could not write or that
// is one of its `inputs` (the module, the script): one line on `err` and
// false. A file that did not exist is not left behind.
bool CheckOutputFile(const std::string& path, const std::vector<std::string>& inputs, std::ostream& err);
