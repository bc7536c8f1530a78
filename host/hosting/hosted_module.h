// One module hosted as a host hosts it, the sequence every command shares:
//
//   Open          load the file with the back end its content asks for, and
//                 settle the clock (virtual where the module's can be)
//   Probe         its identity and its pin table, read through a probe
//                 audio object that is closed again
//   OpenObjects   the audio object opened at a sample rate and block size
//                 and run once, then one GUI object opened
//   Attach        the observers (the timeline) that hear every call
//   CloseObjects  every object closed: GUI objects first, then audio
//   Unload        the library unloaded; a fault there is the module's too
//
// Each step that fails prints one line, "semhost: FILE: problem", on the
// stream it is given and returns the command's exit code (EXIT_OK when it
// went well). A command drives the session between the steps.
#pragma once

#include "hosting/exit_code.h"
#include "library/module_library.h"
#include "reports/timeline.h"
#include "session/host_clock.h"
#include "session/host_session.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// What a host learns on loading a module.
struct ModuleIdentity {
    std::string name;
    std::string id;
    std::string about;
    std::uint32_t flags = 0;
    std::uint32_t secondary_flags = 0;
    std::int32_t sdk_version = 0;
};

struct HostingOptions {
    // The back end's options; the time limit is always the command line's
    // (SetModuleTimeLimit), the clock and key state the host's.
    LibraryOptions library;
    // The stream the audio object is opened for.
    float sample_rate = 44100.0f;
    int block_size = 256;
};

// The milliseconds a call into a native module, its load or its unload may
// take before it counts as hung, for the modules opened from now on
// (--timeout-ms; RunSemhost sets it for each command).
void SetModuleTimeLimit(int milliseconds);

class HostedModule {
public:
    // Loads `file`. An emulated module reads `clock` (which must outlive
    // this) and the key state that scripts and pages drive; a clock left to
    // the module is settled. Null on failure, with `failure` the exit code:
    // EXIT_CRASHED when the module crashed or hung while loading, else
    // EXIT_BAD_INPUT.
    static std::unique_ptr<HostedModule> Open(const std::string& file, HostClock& clock, std::ostream& err,
                                              int& failure, const HostingOptions& options = {});
    // Detaches what is attached, then ends the session (closing what is
    // still open unless the module faulted) and unloads without a word.
    ~HostedModule();
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    const std::string& file() const { return m_file; }
    HostClock& clock() const { return m_clock; }
    ModuleLibrary& library() const { return *m_library; }
    // The session, until Unload.
    HostSession& session() const { return *m_session; }
    const HostingOptions& options() const { return m_options; }
    // What Probe read.
    const ModuleIdentity& identity() const { return m_identity; }

    // Reads the identity and the pin table as a host does on loading.
    int Probe(std::ostream& err);
    // Starts the module as a host does for a new panel: the audio side
    // opened at the options' rate and block size and run once, then one GUI
    // object opened with a false flag.
    int OpenObjects(std::ostream& err);

    // Observers hear every call from now until Detach. A timeline also
    // begins the host's closing moment in CloseObjects, and on Detach is
    // told the module's fault (if it faulted) and finished; it must outlive
    // its attachment.
    void Attach(SessionObserver& observer);
    void Attach(Timeline& timeline);
    void Detach();

    // Closes every object as a host does when it is done, the GUI objects
    // first. EXIT_CRASHED after one line when the module faulted doing so.
    int CloseObjects(std::ostream& err);

    // How the module faulted, as reports print it; "" when it did not.
    std::string FaultText() const;
    // Prints "semhost: FILE: FAULT" and returns EXIT_CRASHED.
    int ReportFault(std::ostream& err) const;

    // Detaches, ends the session and unloads the library as a host does
    // when it is done with it. A crash or hang there is the module's too:
    // one line, and EXIT_CRASHED whatever `code` the command came to
    // before; otherwise `code`.
    int Unload(int code, std::ostream& err);
    // How the unload faulted ("crashed: ..."), or "".
    const std::string& unload_fault() const { return m_unload_fault; }

private:
    HostedModule(std::string file, HostClock& clock, std::unique_ptr<ModuleLibrary> library,
                 const HostingOptions& options);
    // One line for a problem of the module file's; returns the exit code
    // that goes with it.
    int Problem(const std::string& problem, std::ostream& err) const;

    std::string m_file;
    HostClock& m_clock;
    HostingOptions m_options;
    // The session is declared after its library: it goes first.
    std::unique_ptr<ModuleLibrary> m_library;
    std::unique_ptr<HostSession> m_session;
    std::vector<SessionObserver*> m_observers;
    Timeline* m_timeline = nullptr;
    ModuleIdentity m_identity;
    std::string m_unload_fault;
};
