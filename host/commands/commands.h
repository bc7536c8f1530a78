// The three commands of semhost and what they share: loading the file and
// meeting the module as a host does when it first loads a library.
#pragma once

#include "session/host_clock.h"
#include "session/host_session.h"
#include "library/module_library.h"
#include "commands/validate/validator.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string>

// Exit codes of every command.
enum ExitCode {
    EXIT_OK = 0,
    EXIT_FAILED = 1,     // a check or an expectation failed
    EXIT_BAD_INPUT = 2,  // the file or script cannot be used; wrong arguments
    EXIT_CRASHED = 3,    // the module crashed or hung where it could not be reported as a check
    // play, interrupted: this and the signal's number, as a shell counts
    // it (130 for SIGINT or Ctrl-C, 143 for SIGTERM); the objects were closed.
    EXIT_INTERRUPTED = 128,
};

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
// idled, each pin changed once, closed. A virtual clock moves only
// with the script's waits (emulated modules only).
int RunPlay(const std::string& file, const std::string& script_path, const PlayOptions& options, std::ostream& out,
            std::ostream& err);

// Serves a page on 127.0.0.1 where a person drives the module with the
// mouse and keyboard, until SIGINT or SIGTERM; PANEL (may be empty) adds
// knobs. Port 0 takes any free port.
int RunTry(const std::string& file, const std::string& panel_path, int port, std::ostream& out, std::ostream& err);

// Refuses, before a command runs, an output file it could not write or that
// is one of its `inputs` (the module, the script): one line on `err` and
// false. A file that did not exist is not left behind.
bool CheckOutputFile(const std::string& path, const std::vector<std::string>& inputs, std::ostream& err);

// Loads the library with the back end its content asks for. An emulated
// module reads `clock` and the key state that scripts drive; a clock left
// to the module is settled (virtual where the module's can be); `options`
// gives the rest (its time limit is the command line's). On failure prints
// "semhost: FILE: problem" and returns null, with `failure` (when given)
// the exit code: EXIT_CRASHED when the module crashed or hung while
// loading, else EXIT_BAD_INPUT.
std::unique_ptr<ModuleLibrary> OpenModuleFile(const std::string& file, HostClock& clock,
                                              std::ostream& err, LibraryOptions options = {},
                                              int* failure = nullptr);

// The milliseconds a call into a native module, its load or its unload may
// take before it counts as hung, for the libraries OpenModuleFile opens
// from now on (--timeout-ms; RunSemhost sets it for each command).
void SetModuleTimeLimit(int milliseconds);

// What a host learns on loading a module: its identity and its pins, read
// through a probe audio object that is closed again. On failure prints one
// line and returns the exit code; EXIT_OK otherwise.
struct ModuleIdentity {
    std::string name;
    std::string id;
    std::string about;
    std::uint32_t flags = 0;
    std::uint32_t secondary_flags = 0;
    std::int32_t sdk_version = 0;
};
int ProbeModule(HostSession& session, const std::string& file, ModuleIdentity& identity, std::ostream& err);

// Unloads the library as a host does when it is done with it. A crash or
// hang there is the module's too: one line, and EXIT_CRASHED whatever
// `code` the command came to before; otherwise `code`.
int UnloadModule(ModuleLibrary& library, const std::string& file, int code, std::ostream& err);

// Starts the module as a host does for a new panel: the audio side opened
// and run once, then one GUI object opened with a false flag. Returns
// EXIT_OK, or the exit code after one line on `err`.
int OpenHostObjects(HostSession& session, const std::string& file, std::ostream& err);

// Prints "semhost: FILE: the module crashed ..." for a faulted session.
int ReportFault(const HostSession& session, const std::string& file, std::ostream& err);
